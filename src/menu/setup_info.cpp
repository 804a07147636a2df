#include "menu/setup_info.h"

#include <algorithm>
#include <cctype>

#include "app/status_texts.h"
#include "common/json_fields.h"

namespace tovra {

std::optional<SetupInfo> decodeSetupInfo(std::string_view body)
{
    const nlohmann::json document = json_fields::parse(body);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto phoneURL = json_fields::stringField(document, "phoneURL");
    if (!phoneURL) {
        return std::nullopt;
    }
    return SetupInfo{*phoneURL};
}

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Unreserved, general and sub-delimiters of RFC 3986.
bool isURICharacter(char c)
{
    constexpr std::string_view kOthers = "-._~:/?#[]@!$&'()*+,;=";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kOthers.find(c) != std::string_view::npos;
}

bool isWebScheme(std::string_view scheme)
{
    std::string lower(scheme);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return lower == "http" || lower == "https";
}

} // namespace

bool isValidURL(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isURICharacter(text[i]) && (text[i] != '%' || i + 2 >= text.size() || !isHexDigit(text[i + 1]) ||
                                         !isHexDigit(text[i + 2]))) {
            return false;
        }
    }
    const std::size_t separator = text.find("://");
    if (separator == std::string_view::npos || !isWebScheme(text.substr(0, separator))) {
        return false;
    }
    std::string_view authority = text.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    authority.remove_prefix(authority.rfind('@') + 1); // no '@': npos + 1 is 0
    std::string_view host = authority.substr(0, authority.find(':'));
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        host = close == std::string_view::npos ? std::string_view() : authority.substr(1, close - 1);
    }
    return !host.empty();
}

PhoneLink phoneLinkIn(const std::optional<std::string>& body)
{
    if (!body) {
        return {std::nullopt, texts::kNoPhoneLink};
    }
    std::optional<SetupInfo> info = decodeSetupInfo(*body);
    if (!info) {
        return {std::nullopt, texts::kNoPhoneLinkInAnswer};
    }
    if (!isValidURL(info->phoneURL)) {
        return {std::nullopt, texts::kPhoneLinkRefused};
    }
    return {std::move(info->phoneURL), {}};
}

} // namespace tovra
