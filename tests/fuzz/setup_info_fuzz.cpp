// Decoding never crashes; a decoded link survives a round trip, and one that passes the URL
// rule is never empty and holds no byte outside printable ASCII.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "menu/setup_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::optional<tovra::SetupInfo> info = tovra::decodeSetupInfo(body);
    if (!info) {
        return 0;
    }
    const std::optional<tovra::SetupInfo> again =
        tovra::decodeSetupInfo(nlohmann::json{{"phoneURL", info->phoneURL}}.dump());
    if (!again || again->phoneURL != info->phoneURL) {
        std::abort();
    }
    if (tovra::isValidURL(info->phoneURL)) {
        if (info->phoneURL.empty()) {
            std::abort();
        }
        for (const unsigned char c : info->phoneURL) {
            if (c <= 0x20 || c >= 0x7F) {
                std::abort();
            }
        }
    }
    return 0;
}
