// Decoding never crashes, and whatever decodes survives a round trip through JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "health/health.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::optional<tovra::Health> health = tovra::decodeHealth(body);
    if (!health) {
        return 0;
    }
    const nlohmann::json again{{"version", health->version},
                               {"midiReady", health->midiReady},
                               {"midiPort", health->midiPort},
                               {"pairedClients", health->pairedClients}};
    const std::optional<tovra::Health> decoded = tovra::decodeHealth(again.dump());
    if (!decoded || decoded->version != health->version || decoded->midiReady != health->midiReady ||
        decoded->midiPort != health->midiPort || decoded->pairedClients != health->pairedClients ||
        tovra::healthStatusText(*decoded).empty()) {
        std::abort();
    }
    return 0;
}
