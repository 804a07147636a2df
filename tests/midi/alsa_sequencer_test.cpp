#include "midi/alsa_sequencer_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

namespace tovra::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;

MidiMessage message(const Bytes& bytes)
{
    return std::get<MidiMessage>(checkMessage(bytes));
}

// Type, channel, then the note's or the control's two fields.
std::tuple<int, int, int, int> fields(const snd_seq_event_t& event)
{
    if (snd_seq_ev_is_note_type(&event)) {
        return {event.type, event.data.note.channel, event.data.note.note, event.data.note.velocity};
    }
    return {event.type, event.data.control.channel, static_cast<int>(event.data.control.param),
            event.data.control.value};
}

TEST(AlsaSequencer, EachChannelMessageBecomesItsSequencerEvent)
{
    const std::vector<std::pair<Bytes, std::tuple<int, int, int, int>>> table = {
        {{0x80, 60, 64}, {SND_SEQ_EVENT_NOTEOFF, 0, 60, 64}},
        {{0x9F, 61, 100}, {SND_SEQ_EVENT_NOTEON, 15, 61, 100}},
        {{0xA1, 63, 5}, {SND_SEQ_EVENT_KEYPRESS, 1, 63, 5}},
        {{0xB2, 7, 127}, {SND_SEQ_EVENT_CONTROLLER, 2, 7, 127}},
        {{0xC3, 9}, {SND_SEQ_EVENT_PGMCHANGE, 3, 0, 9}},
        {{0xD4, 77}, {SND_SEQ_EVENT_CHANPRESS, 4, 0, 77}},
        {{0xE5, 0, 0}, {SND_SEQ_EVENT_PITCHBEND, 5, 0, -8192}},
        {{0xE5, 127, 127}, {SND_SEQ_EVENT_PITCHBEND, 5, 0, 8191}},
        {{0xE5, 1, 64}, {SND_SEQ_EVENT_PITCHBEND, 5, 0, 1}},
    };
    for (const auto& [bytes, expected] : table) {
        EXPECT_EQ(fields(sequencerEvent(message(bytes))), expected) << int(bytes[0]) << " " << int(bytes[1]);
    }
}

TEST(AlsaSequencer, WithoutTheSequencerDeviceItSaysSoAndClosesAsNeverOpened)
{
    if (std::filesystem::exists("/dev/snd/seq")) {
        GTEST_SKIP() << "this machine has /dev/snd/seq";
    }
    AlsaSequencerOutput output("Tovra Bridge");
    EXPECT_EQ(output.open([] {}), "opening the sequencer (/dev/snd/seq) failed: No such file or directory");
    output.close();
}

// A second client of the sequencer, subscribed to the output's port, reads what it sends.
struct SequencerReader {
    snd_seq_t* sequencer = nullptr;
    int port = -1;

    SequencerReader()
    {
        if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, 0) == 0) {
            port = snd_seq_create_simple_port(sequencer, "reader",
                                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                              SND_SEQ_PORT_TYPE_APPLICATION);
        }
    }
    ~SequencerReader()
    {
        if (sequencer != nullptr) {
            snd_seq_close(sequencer);
        }
    }
    bool subscribe(const char* name)
    {
        snd_seq_addr_t source;
        return snd_seq_parse_address(sequencer, &source, name) == 0 &&
               snd_seq_connect_from(sequencer, port, source.client, source.port) == 0;
    }
    std::tuple<int, int, int, int> next()
    {
        snd_seq_event_t* event = nullptr;
        if (snd_seq_event_input(sequencer, &event) < 0) {
            return {-1, 0, 0, 0};
        }
        return fields(*event);
    }
};

TEST(AlsaSequencer, ItsPortTakesSubscribersAndEventsReachThemInOrder)
{
    if (!std::filesystem::exists("/dev/snd/seq")) {
        GTEST_SKIP() << "no /dev/snd/seq here (the kernel's snd-seq is not loaded)";
    }
    AlsaSequencerOutput output("Tovra Bridge");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(output.open([] {}), std::nullopt);
        EXPECT_EQ(output.portName(), "Tovra Bridge");
        SequencerReader reader;
        ASSERT_TRUE(reader.subscribe("Tovra Bridge:0"));
        EXPECT_TRUE(output.send(message({0x90, 60, 100})));
        EXPECT_TRUE(output.send(message({0xB0, 7, 127})));
        EXPECT_EQ(reader.next(), std::make_tuple(int(SND_SEQ_EVENT_NOTEON), 0, 60, 100));
        EXPECT_EQ(reader.next(), std::make_tuple(int(SND_SEQ_EVENT_CONTROLLER), 0, 7, 127));
        output.close();
        EXPECT_FALSE(reader.subscribe("Tovra Bridge:0")) << "the client is gone";
    }
}

} // namespace
} // namespace tovra::midi
