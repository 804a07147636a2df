// Callbacks that the platform runs on its own threads only decode and post; everything else
// happens when the main queue runs. Run under ThreadSanitizer, these catch a callback that
// touches the delegate's state from the wrong thread.
#include <thread>

#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

class ThreadHandoffTest : public DelegateTest {};

TEST_F(ThreadHandoffTest, AnswersAndExitsFromOtherThreadsApplyOnlyOnTheMainQueue)
{
    delegate->applicationDidFinishLaunching();
    fake.mainQueue.advance(3.0);
    delegate->copyPrivatePhoneLink();
    const std::size_t requests = fake.urlSession.count();
    const std::shared_ptr<FakeTask> child = currentTask();

    std::vector<std::thread> threads;
    for (std::size_t i = 0; i + 1 < requests; ++i) {
        threads.emplace_back([this, i] {
            fake.urlSession.complete(i, R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":)" +
                                            std::to_string(i) + "}");
        });
    }
    threads.emplace_back(
        [this, requests] { fake.urlSession.complete(requests - 1, R"({"phoneURL":"http://a/"})"); });
    threads.emplace_back([child] { child->exit(); });
    // The main thread keeps running its queue while the answers arrive.
    for (int round = 0; round < 100; ++round) {
        fake.mainQueue.runPending();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    fake.mainQueue.runPending();

    EXPECT_EQ(fake.pasteboard.contents, "http://a/");
    EXPECT_EQ(fake.workspace.openedURLs.size(), 1u);
    EXPECT_FALSE(probe.bridgeProcess()); // the exit went through on the main queue
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);
}

} // namespace
} // namespace tovra::testing
