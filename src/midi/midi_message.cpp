#include "midi/midi_message.h"

#include <algorithm>

namespace tovra::midi {

std::size_t channelMessageLength(std::uint8_t status)
{
    switch (status & 0xF0) {
    case 0x80: // note off
    case 0x90: // note on
    case 0xA0: // poly pressure
    case 0xB0: // control change
    case 0xE0: // pitch bend
        return 3;
    case 0xC0: // program change
    case 0xD0: // channel pressure
        return 2;
    default: // data bytes, and system messages, which a controller does not send
        return 0;
    }
}

std::variant<MidiMessage, std::string> checkMessage(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty()) {
        return std::string("an empty message");
    }
    const std::size_t length = channelMessageLength(bytes[0]);
    if (length == 0) {
        return "status byte " + std::to_string(bytes[0]) + " does not start a channel message";
    }
    if (bytes.size() != length) {
        return "a message with status byte " + std::to_string(bytes[0]) + " has " + std::to_string(length) +
               " bytes, not " + std::to_string(bytes.size());
    }
    if (std::any_of(bytes.begin() + 1, bytes.end(), [](std::uint8_t byte) { return byte > 127; })) {
        return std::string("a data byte over 127");
    }
    MidiMessage message;
    std::copy(bytes.begin(), bytes.end(), message.bytes.begin());
    message.size = bytes.size();
    return message;
}

} // namespace tovra::midi
