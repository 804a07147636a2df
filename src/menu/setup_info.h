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

// What asking the bridge for its phone link gave: the link as the server sent it, or none and why
// (a text for the user).
struct PhoneLink {
    std::optional<std::string> url;
    std::string whyNone;
};

// The phone link in the setup-info endpoint's answer, `body` (none when nothing answered): decoded
// strictly and used only when it is a URL.
PhoneLink phoneLinkIn(const std::optional<std::string>& body);

} // namespace tovra
