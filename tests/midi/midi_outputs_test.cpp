#include "midi/midi_outputs.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>

namespace tovra::midi {
namespace {

using namespace std::chrono_literals;

// An output that records what it is asked, on whichever thread asks; its opens fail while it
// refuses, or has problems queued.
class FakeOutput final : public MidiOutput {
public:
    FakeOutput(MidiSystem system, std::string port) : system_(system), port_(std::move(port)) {}

    MidiSystem system() const override { return system_; }
    std::optional<std::string> open(LostHandler lost) override
    {
        std::lock_guard lock(mutex_);
        ++opens;
        opened_.notify_all();
        auto problem = refusal_;
        if (!problem && !problems_.empty()) {
            problem = problems_.front();
            problems_.pop_front();
        }
        if (!problem) {
            lost_ = std::move(lost);
        }
        return problem;
    }
    void close() override { ++closes; }
    bool send(const MidiMessage& message) override
    {
        std::lock_guard lock(mutex_);
        if (full) {
            ++dropped_;
            return false;
        }
        sent_.push_back(message);
        return true;
    }
    std::string portName() const override { return port_; }
    std::uint64_t dropped() const override { return dropped_; }
    std::optional<std::string> lost() const override { return lostReason_; }

    // The system takes the port away, as JACK does from a thread of its own.
    void loseIt(std::string reason)
    {
        lostReason_ = std::move(reason);
        std::thread([handler = lost_] { handler(); }).join();
    }
    // The next opens fail with these; every open fails with `refusal` while it is set.
    void failOpens(std::deque<std::string> problems, std::optional<std::string> refusal = {})
    {
        std::lock_guard lock(mutex_);
        problems_ = std::move(problems);
        refusal_ = std::move(refusal);
    }
    // Waits (up to 5 s) until it was asked to open `count` times; false when it was not.
    bool waitForOpens(int count)
    {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, std::chrono::seconds(5), [&] { return opens >= count; });
    }
    std::vector<MidiMessage> sent() const
    {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    bool full = false;

private:
    MidiSystem system_;
    std::string port_;
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    std::optional<std::string> refusal_;
    std::deque<std::string> problems_;
    LostHandler lost_;
    std::optional<std::string> lostReason_;
    std::uint64_t dropped_ = 0;
    std::vector<MidiMessage> sent_;
};

MidiMessage noteOn(std::uint8_t note)
{
    return {{0x90, note, 100}, 3};
}

// Two fake outputs, ALSA's and JACK's, behind a watch of temporary folders, tried again up to five
// times a millisecond or so apart; ALSA's refuses while `alsaRefusal` is set; `changes` counts the
// change reports, and waitFor() waits (up to 5 s) until the state is as asked.
struct Outputs {
    testing::TempDir root;
    FakeOutput* alsa = nullptr;
    FakeOutput* jack = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    std::unique_ptr<MidiOutputs> outputs;

    explicit Outputs(std::optional<std::string> alsaRefusal = {})
    {
        std::filesystem::create_directories(root / "dev");
        std::filesystem::create_directories(root / "shm");
        std::vector<std::unique_ptr<MidiOutput>> list;
        list.push_back(std::make_unique<FakeOutput>(MidiSystem::alsa, "Tovra Bridge"));
        list.push_back(std::make_unique<FakeOutput>(MidiSystem::jack, "Tovra Bridge:midi_out"));
        alsa = static_cast<FakeOutput*>(list[0].get());
        jack = static_cast<FakeOutput*>(list[1].get());
        alsa->failOpens({}, std::move(alsaRefusal));
        outputs = std::make_unique<MidiOutputs>(
            std::move(list),
            std::make_unique<DeviceWatch>(
                DeviceWatch::Places{root / "dev", root / "shm", "jack_default_1000_0"}),
            [this] {
                std::lock_guard lock(mutex);
                ++changes;
                changed.notify_all();
            },
            [](int tries) {
                return tries <= 5 ? std::optional(std::chrono::milliseconds(tries)) : std::nullopt;
            });
    }

    // Both outputs: open, port, problem.
    using Pair =
        std::pair<std::tuple<bool, std::string, std::string>, std::tuple<bool, std::string, std::string>>;
    Pair pair() const
    {
        const auto state = outputs->state();
        return {{state[0].open, state[0].port, state[0].problem},
                {state[1].open, state[1].port, state[1].problem}};
    }
    bool waitFor(const Pair& wanted)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return pair() == wanted; });
    }
    // As a new server makes its socket anew.
    void jackServerAppears()
    {
        std::filesystem::remove(root / "shm" / "jack_default_1000_0");
        testing::writeFile(root / "shm" / "jack_default_1000_0", "");
    }
};

TEST(MidiOutputs, StartOpensWhatItCanAndSaysWhyNotForTheRest)
{
    Outputs o("no sequencer");
    EXPECT_EQ(o.pair(), Outputs::Pair({false, "", "not opened yet"}, {false, "", "not opened yet"}));
    o.outputs->start();
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {true, "Tovra Bridge:midi_out", ""}}));
    EXPECT_TRUE(o.alsa->waitForOpens(6)) << "tried again five times";
    std::lock_guard lock(o.mutex);
    EXPECT_EQ(o.changes, 1) << "a try that fails as the last one did is no change";
}

TEST(MidiOutputs, SendingReachesEveryOpenOutputInOrderAndCountsWhatOneDropped)
{
    Outputs o("no sequencer");
    EXPECT_EQ(o.outputs->send(noteOn(1)).open, 0) << "before start";
    o.outputs->start();
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {true, "Tovra Bridge:midi_out", ""}}));
    const auto sent = o.outputs->send(noteOn(60));
    EXPECT_EQ(std::pair(sent.open, sent.delivered), std::pair(1, 1));
    o.outputs->send(noteOn(61));
    EXPECT_EQ(o.jack->sent(), (std::vector{noteOn(60), noteOn(61)}));
    EXPECT_TRUE(o.alsa->sent().empty());
    o.jack->full = true;
    const auto dropped = o.outputs->send(noteOn(62));
    EXPECT_EQ(std::pair(dropped.open, dropped.delivered), std::pair(1, 0));
    EXPECT_EQ(o.outputs->state()[1].dropped, 1u);
}

TEST(MidiOutputs, ALostOutputIsClosedOnItsThreadAndOpenedAgainWhenItsSystemAppears)
{
    Outputs o("no sequencer");
    o.outputs->start();
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {true, "Tovra Bridge:midi_out", ""}}));
    o.jack->failOpens({"no JACK server is running"});
    o.jack->loseIt("the JACK server went away: killed");
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {false, "", "the JACK server went away: killed"}}));
    EXPECT_EQ(o.jack->closes, 1);
    EXPECT_EQ(o.outputs->send(noteOn(60)).open, 0);
    o.jackServerAppears();
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {true, "Tovra Bridge:midi_out", ""}}))
        << "tried again after the failure";
    EXPECT_EQ(o.jack->opens, 3);
    EXPECT_EQ(o.outputs->send(noteOn(60)).delivered, 1);
    // The sequencer's device appearing opens ALSA's, once the tries after the start have ended.
    ASSERT_TRUE(o.alsa->waitForOpens(6));
    o.alsa->failOpens({});
    testing::writeFile(o.root / "dev" / "snd" / "seq", "");
    ASSERT_TRUE(o.waitFor({{true, "Tovra Bridge", ""}, {true, "Tovra Bridge:midi_out", ""}}));
}

TEST(MidiOutputs, AnOpenThatKeepsFailingIsTriedFiveTimesMoreThenLeftUntilItsSystemAppears)
{
    Outputs o;
    o.jack->failOpens({}, "no JACK server is running");
    o.outputs->start();
    ASSERT_TRUE(o.jack->waitForOpens(6)) << "the start, then five more";
    ASSERT_TRUE(o.waitFor({{true, "Tovra Bridge", ""}, {false, "", "no JACK server is running"}}));
    o.jack->failOpens({}, "the JACK server refused the client");
    o.jackServerAppears();
    ASSERT_TRUE(o.jack->waitForOpens(12)) << "the sign, then five more";
    ASSERT_TRUE(o.waitFor({{true, "Tovra Bridge", ""}, {false, "", "the JACK server refused the client"}}));
    // It has stopped trying: the next sign starts again, and that try succeeds.
    o.jack->failOpens({});
    o.jackServerAppears();
    ASSERT_TRUE(o.waitFor({{true, "Tovra Bridge", ""}, {true, "Tovra Bridge:midi_out", ""}}));
    EXPECT_EQ(o.jack->opens, 13);
}

TEST(MidiOutputs, RetriesWaitLongerEachTimeAndStopAfterFive)
{
    const std::vector<std::optional<std::chrono::milliseconds>> delays = {
        std::nullopt, 100ms, 200ms, 400ms, 800ms, 1600ms, std::nullopt};
    for (std::size_t tries = 0; tries < delays.size(); ++tries) {
        EXPECT_EQ(retryDelay(static_cast<int>(tries)), delays[tries]) << tries << " failed tries";
    }
}

TEST(MidiOutputs, StopClosesEveryOutputAndOpenOnesAreClosedOnlyOnce)
{
    Outputs o("no sequencer");
    o.outputs->start();
    ASSERT_TRUE(o.waitFor({{false, "", "no sequencer"}, {true, "Tovra Bridge:midi_out", ""}}));
    EXPECT_TRUE(o.outputs->stop(5s));
    EXPECT_EQ(o.outputs->send(noteOn(60)).open, 0);
    EXPECT_EQ(o.pair(), Outputs::Pair({false, "", "closed"}, {false, "", "closed"}));
    EXPECT_EQ(o.jack->closes, 1);
    EXPECT_TRUE(o.outputs->stop(5s)) << "a second stop";
}

} // namespace
} // namespace tovra::midi
