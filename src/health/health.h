#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovra {

// The body of the bridge server's health endpoint.
struct Health {
    std::string version;
    bool midiReady = false;
    std::string midiPort;
    std::int64_t pairedClients = 0;
};

// Strict decoding: a JSON object with all four keys, exact and case-sensitive, each of its
// own JSON type; other keys are ignored. None for anything else.
std::optional<Health> decodeHealth(std::string_view body);

// "Ready · 2 phones", "Ready · 1 phone", or the MIDI warning.
std::string healthStatusText(const Health& health);

} // namespace tovra
