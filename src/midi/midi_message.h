#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace tovra::midi {

// One whole channel message: a status byte and its one or two data bytes.
struct MidiMessage {
    std::array<std::uint8_t, 3> bytes{};
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
    friend bool operator==(const MidiMessage&, const MidiMessage&) = default;
};

// The length of a channel message that starts with `status` (note off and on, poly pressure,
// control change, pitch bend: 3; program change, channel pressure: 2); 0 for any other byte.
std::size_t channelMessageLength(std::uint8_t status);

// The message `bytes` spell, when they are exactly one whole channel message with data bytes
// 0-127; otherwise why not, in words for whoever sent them.
std::variant<MidiMessage, std::string> checkMessage(std::span<const std::uint8_t> bytes);

} // namespace tovra::midi
