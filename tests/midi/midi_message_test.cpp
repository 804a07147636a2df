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
         {Bytes{0x80, 0, 0}, Bytes{0x9F, 127, 127}, Bytes{0xA3, 0, 64}, Bytes{0xB0, 7, 127}, Bytes{0xC5, 12},
          Bytes{0xDF, 99}, Bytes{0xEF, 127, 127}}) {
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
        {{0x7F, 1, 2}, "status byte 127 does not start a channel message"}, // a data byte first
        {{0xF0, 1, 0xF7}, "status byte 240 does not start a channel message"},
        {{0x90, 60}, "a message with status byte 144 has 3 bytes, not 2"},
        {{0xC0, 1, 2}, "a message with status byte 192 has 2 bytes, not 3"},
        {{0xD0}, "a message with status byte 208 has 2 bytes, not 1"},
        {{0x90, 128, 1}, "a data byte over 127"},
        {{0xB0, 1, 128}, "a data byte over 127"},
    };
    for (const auto& [bytes, reason] : refused) {
        const auto checked = checkMessage(bytes);
        ASSERT_TRUE(std::holds_alternative<std::string>(checked)) << "took " << bytes.size() << " bytes";
        EXPECT_EQ(std::get<std::string>(checked), reason);
    }
}

} // namespace
} // namespace tovra::midi
