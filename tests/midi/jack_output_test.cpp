#include "midi/jack_output.h"
#include "midi/message_ring.h"

#include "midi/jack_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>

namespace tovra::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::JackServer;
using testing::MidiRecorder;

std::shared_ptr<const JackLibrary> library()
{
    auto loaded = JackLibrary::load("libjack.so.0");
    return std::get<std::shared_ptr<const JackLibrary>>(loaded);
}

MidiMessage message(const Bytes& bytes)
{
    return std::get<MidiMessage>(checkMessage(bytes));
}

// The JACK ports of `server` whose names contain `part`.
std::vector<std::string> ports(const JackServer& server, const char* type, unsigned long flags)
{
    jack_client_t* client = server.connect("lister");
    std::vector<std::string> names;
    if (client == nullptr) {
        return names;
    }
    if (const char** found = jack_get_ports(client, "^Tovra Bridge", type, flags)) {
        for (const char** name = found; *name != nullptr; ++name) {
            names.emplace_back(*name);
        }
        jack_free(found);
    }
    jack_client_close(client);
    return names;
}

TEST(JackLibrary, AMissingLibraryIsNamedInTheReason)
{
    const auto loaded = JackLibrary::load("libjack-missing.so.0");
    ASSERT_TRUE(std::holds_alternative<std::string>(loaded));
    EXPECT_EQ(std::get<std::string>(loaded), "JACK's library cannot be loaded: libjack-missing.so.0: cannot "
                                             "open shared object file: No such file or "
                                             "directory");
}

TEST(MessageRing, AFullRingRefusesTheNewestAndGivesTheRestInOrder)
{
    MessageRing ring(library(), 3);
    ASSERT_TRUE(ring.isValid());
    std::size_t taken = 0;
    while (ring.push(message({0x90, static_cast<std::uint8_t>(taken), 1})) && taken < 1000) {
        ++taken;
    }
    EXPECT_EQ(taken, 3u) << "room for as many as asked";
    EXPECT_FALSE(ring.push(message({0xC0, 5})));
    std::vector<Bytes> drained;
    ring.drain([&](const std::uint8_t* data, std::size_t size) {
        drained.emplace_back(data, data + size);
        return drained.size() < 2; // the second does not fit: it stays
    });
    EXPECT_EQ(drained, (std::vector<Bytes>{{0x90, 0, 1}, {0x90, 1, 1}}));
    EXPECT_TRUE(ring.push(message({0xC0, 5})));
    drained.clear();
    ring.drain([&](const std::uint8_t* data, std::size_t size) {
        drained.emplace_back(data, data + size);
        return true;
    });
    EXPECT_EQ(drained, (std::vector<Bytes>{{0x90, 1, 1}, {0x90, 2, 1}, {0xC0, 5}}));
}

TEST(JackOutput, WithoutAServerItSaysSoAndStartsNone)
{
    const std::string name = "tovra-test-none-" + std::to_string(::getpid());
    JackOutput output(library(), {"Tovra Bridge", "midi_out", name});
    EXPECT_EQ(output.open([] {}), "no JACK server named \"" + name + "\" is running");
    EXPECT_EQ(output.portName(), "");
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/jack_" + name + "_" + std::to_string(::getuid()) + "_0"))
        << "a server was started";
}

TEST(JackOutput, ItsPortIsAMidiOutputOfTheClientAndGoesAndComesWithCloseAndOpen)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    JackOutput output(library(), {"Tovra Bridge", "midi_out", server.name()});
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(output.open([] {}), std::nullopt) << round;
        EXPECT_EQ(output.portName(), "Tovra Bridge:midi_out");
        EXPECT_EQ(ports(server, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput),
                  std::vector<std::string>{"Tovra Bridge:midi_out"});
        EXPECT_EQ(ports(server, nullptr, 0).size(), 1u) << "one port, no other";
        output.close();
        EXPECT_EQ(ports(server, nullptr, 0), std::vector<std::string>{}) << round;
    }
}

TEST(JackOutput, MessagesArriveByteForByteInOrderBurstsIncluded)
{
    JackServer server;
    JackOutput output(library(), {"Tovra Bridge", "midi_out", server.name()});
    ASSERT_EQ(output.open([] {}), std::nullopt);
    MidiRecorder recorder(server, output.portName());
    ASSERT_TRUE(recorder.connected());
    std::vector<Bytes> sent = {{0x90, 60, 100}, {0xB3, 7, 127}, {0xE0, 0, 64},
                               {0xCF, 5},       {0xD1, 0},      {0xA2, 1, 2}};
    for (int i = 0; i < 1000; ++i) {
        sent.push_back({0x80, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(i / 128)});
    }
    for (const auto& bytes : sent) {
        ASSERT_TRUE(output.send(message(bytes)));
    }
    EXPECT_EQ(recorder.messages(sent.size()), sent);
    EXPECT_EQ(output.dropped(), 0u);
}

TEST(JackOutput, WhileTheServerStandsStillAFullRingDropsTheNewestAndCountsThem)
{
    JackServer server;
    JackOutput output(library(), {"Tovra Bridge", "midi_out", server.name()}, 3);
    ASSERT_EQ(output.open([] {}), std::nullopt);
    MidiRecorder recorder(server, output.portName());
    ASSERT_TRUE(recorder.connected());
    ASSERT_TRUE(server.pause());
    // A cycle under way as the server stopped may still take what a cycle's MIDI buffer holds
    // (32 KiB, some 2,700 of these); then three fit.
    std::vector<Bytes> taken;
    std::uint64_t refused = 0;
    for (int n = 0; n < 3000; ++n) {
        const Bytes bytes = {0x90, static_cast<std::uint8_t>(n & 127), static_cast<std::uint8_t>(n >> 7)};
        if (output.send(message(bytes))) {
            taken.push_back(bytes);
        } else {
            ++refused;
        }
    }
    EXPECT_GE(taken.size(), 3u) << "room for as many as asked";
    EXPECT_GT(refused, 0u);
    EXPECT_EQ(output.dropped(), refused);
    server.resume();
    EXPECT_EQ(recorder.messages(taken.size()), taken) << "what was taken arrives, and nothing refused";
    EXPECT_TRUE(output.send(message({0x80, 1, 1}))) << "room again";
    EXPECT_EQ(recorder.messages(taken.size() + 1).back(), (Bytes{0x80, 1, 1}));
}

TEST(JackOutput, AServerThatDiesIsReportedOnceAndTheOutputClosesAndOpensOnTheNextServer)
{
    JackServer server;
    JackOutput output(library(), {"Tovra Bridge", "midi_out", server.name()});
    std::atomic<int> lost{0};
    ASSERT_EQ(output.open([&] { ++lost; }), std::nullopt);
    EXPECT_EQ(output.lost(), std::nullopt);
    server.stop(SIGKILL);
    ASSERT_TRUE(testing::waitUntil([&] { return lost.load() > 0; }));
    ASSERT_TRUE(output.lost().has_value());
    EXPECT_TRUE(output.lost()->starts_with("the JACK server went away: ")) << *output.lost();
    output.close(); // returns: the server is gone, nothing waits for it
    EXPECT_EQ(lost.load(), 1);
    server.start();
    ASSERT_EQ(output.open([&] { ++lost; }), std::nullopt);
    EXPECT_EQ(output.lost(), std::nullopt);
    EXPECT_EQ(ports(server, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput),
              std::vector<std::string>{"Tovra Bridge:midi_out"});
}

} // namespace
} // namespace tovra::midi
