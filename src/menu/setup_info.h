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

// A web address a browser may be handed: scheme http or https, a host, and only characters
// allowed in a URI, every '%' followed by two hex digits. Anything else (javascript:, file:,
// data:, a relative form, spaces, non-ASCII text, the empty string) is not a URL.
bool isValidURL(std::string_view text);

} // namespace tovra
