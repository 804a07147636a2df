#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovra {

// The body of the bridge server's setup-info endpoint.
struct SetupInfo {
    std::string phoneURL;
};

// Strict decoding: a JSON object whose "phoneURL" is a string; other keys are ignored.
std::optional<SetupInfo> decodeSetupInfo(std::string_view body);

// An absolute URI: a scheme (a letter, then letters, digits, '+', '-' or '.'), a colon, and
// the rest made only of characters allowed in a URI, every '%' followed by two hex digits.
// The empty string, spaces, quotes, angle brackets and non-ASCII text are rejected.
bool isValidURL(std::string_view text);

} // namespace tovra
