#include "midi/jack_output.h"
#include "midi/message_ring.h"

#include "midi/jack_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

namespace tovra::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::shared_ptr<const JackLibrary> library()
{
    auto loaded = JackLibrary::load("libjack.so.0");
    return std::get<std::shared_ptr<const JackLibrary>>(loaded);
}

MidiMessage message(const Bytes& bytes)
{
    return std::get<MidiMessage>(checkMessage(bytes));
}

// Opens `output`; a JACK server refuses a client now and then while another JACK server on the
// machine takes one, and the outputs' thread then tries again, as this does.
std::optional<std::string> open(JackOutput& output, MidiOutput::LostHandler lost)
{
    auto problem = output.open(lost);
    for (int tries = 0; problem && problem->find("refused the client") != std::string::npos && tries < 50;
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        problem = output.open(lost);
    }
    return problem;
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

TEST(JackOutput, AServerThatDiesIsReportedOnceAndTheOutputClosesAndOpensOnTheNextServer)
{
    testing::JackServer server;
    ASSERT_TRUE(server.running());
    JackOutput output(library(), {"Tovra Bridge", "midi_out", server.name()});
    std::atomic<int> lost{0};
    ASSERT_EQ(open(output, [&] { ++lost; }), std::nullopt);
    EXPECT_EQ(output.lost(), std::nullopt);
    server.stop(SIGKILL);
    ASSERT_TRUE(testing::waitUntil([&] { return lost.load() > 0; }));
    ASSERT_TRUE(output.lost().has_value());
    EXPECT_TRUE(output.lost()->starts_with("the JACK server went away: ")) << *output.lost();
    output.close(); // returns: the server is gone, nothing waits for it
    EXPECT_EQ(lost.load(), 1);
    server.start();
    ASSERT_EQ(open(output, [&] { ++lost; }), std::nullopt);
    EXPECT_EQ(output.lost(), std::nullopt);
    EXPECT_EQ(output.portName(), "Tovra Bridge:midi_out");
}

} // namespace
} // namespace tovra::midi
