#include "midi/midi_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tovra::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MidiMessage, EveryChannelMessageWithDataBytesUpTo127IsTakenWhole)
{
    for (const Bytes& bytes :
         {Bytes{0x80, 60, 0}, Bytes{0x90, 60, 100}, Bytes{0x9F, 127, 127}, Bytes{0xA3, 0, 64},
          Bytes{0xB0, 7, 127}, Bytes{0xC5, 12}, Bytes{0xD0, 99}, Bytes{0xE0, 0, 64}, Bytes{0xEF, 127, 127}}) {
        const auto checked = checkMessage(bytes);
        ASSERT_TRUE(std::holds_alternative<MidiMessage>(checked)) << std::get<std::string>(checked);
        const auto& message = std::get<MidiMessage>(checked);
        EXPECT_EQ(Bytes(message.view().begin(), message.view().end()), bytes);
    }
}

TEST(MidiMessage, AnythingElseIsRefusedWithItsReason)
{
    const std::vector<std::pair<Bytes, std::string>> refused = {
        {{}, "an empty message"},
        {{0x40, 1, 2}, "status byte 64 does not start a channel message"},     // a data byte first
        {{0xF0, 1, 0xF7}, "status byte 240 does not start a channel message"}, // system exclusive
        {{0xF8}, "status byte 248 does not start a channel message"},          // clock
        {{0xFF}, "status byte 255 does not start a channel message"},          // reset
        {{0x90, 60}, "a message with status byte 144 has 3 bytes, not 2"},     // short
        {{0xE0, 0}, "a message with status byte 224 has 3 bytes, not 2"},
        {{0xC0, 1, 2}, "a message with status byte 192 has 2 bytes, not 3"}, // long
        {{0xD0}, "a message with status byte 208 has 2 bytes, not 1"},
        {{0x90, 128, 1}, "a data byte over 127"},
        {{0xB0, 1, 128}, "a data byte over 127"},
        {{0xC0, 255}, "a data byte over 127"},
    };
    for (const auto& [bytes, reason] : refused) {
        const auto checked = checkMessage(bytes);
        ASSERT_TRUE(std::holds_alternative<std::string>(checked)) << "took " << bytes.size() << " bytes";
        EXPECT_EQ(std::get<std::string>(checked), reason);
    }
}

TEST(MidiMessage, LengthFollowsTheKindOnEveryChannel)
{
    for (int channel = 0; channel < 16; ++channel) {
        for (int kind : {0x80, 0x90, 0xA0, 0xB0, 0xE0}) {
            EXPECT_EQ(channelMessageLength(static_cast<std::uint8_t>(kind | channel)), 3u)
                << kind << " " << channel;
        }
        for (int kind : {0xC0, 0xD0}) {
            EXPECT_EQ(channelMessageLength(static_cast<std::uint8_t>(kind | channel)), 2u)
                << kind << " " << channel;
        }
        EXPECT_EQ(channelMessageLength(static_cast<std::uint8_t>(0xF0 | channel)), 0u) << channel;
        EXPECT_EQ(channelMessageLength(static_cast<std::uint8_t>(channel * 8)), 0u) << channel;
    }
}

} // namespace
} // namespace tovra::midi
