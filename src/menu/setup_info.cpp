#include "menu/setup_info.h"

#include <cctype>

#include "health/json_fields.h"

namespace tovra {

std::optional<SetupInfo> decodeSetupInfo(std::string_view body)
{
    const nlohmann::json document = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
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

bool isAsciiAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Unreserved, general and sub-delimiters of RFC 3986.
bool isURICharacter(char c)
{
    constexpr std::string_view kOthers = "-._~:/?#[]@!$&'()*+,;=";
    return isAsciiAlpha(c) || isAsciiDigit(c) || kOthers.find(c) != std::string_view::npos;
}

} // namespace

bool isValidURL(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAsciiAlpha(text[0])) {
        return false;
    }
    for (const char c : text.substr(0, colon)) {
        if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!isURICharacter(text[i])) {
            return false;
        }
    }
    return true;
}

} // namespace tovra
