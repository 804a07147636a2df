#include "app/status_texts.h"
#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

class RestartTest : public DelegateTest {
protected:
    void SetUp() override { startWithMenu(); }

    // The child ends; its exit reaches the main queue.
    void childExits()
    {
        currentTask()->exit();
        fake.mainQueue.runPending();
    }
};

TEST_F(RestartTest, ExitShowsStoppedAndRelaunchesTwoSecondsLater)
{
    const std::shared_ptr<FakeTask> first = currentTask();
    fake.mainQueue.advance(0.5);
    first->exit();
    EXPECT_EQ(probe.bridgeProcess(), first); // Ended: nothing changes until the main queue runs
    fake.mainQueue.runPending();

    EXPECT_FALSE(probe.bridgeProcess());
    EXPECT_FALSE(probe.bridgeReady());
    EXPECT_FALSE(probe.logHandle());
    EXPECT_TRUE(fake.fileManager.openedHandles[0]->isClosed());
    EXPECT_EQ(statusLine().title, texts::kBridgeStopped);
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);

    fake.mainQueue.advance(1.999);
    EXPECT_EQ(bridgeTasks().size(), 1u);
    fake.mainQueue.advance(0.001);
    ASSERT_EQ(bridgeTasks().size(), 2u);
    EXPECT_EQ(probe.bridgeProcess(), bridgeTasks()[1]);
    EXPECT_EQ(statusTitles(),
              (std::vector<std::string>{"Starting bridge\u2026", "Bridge stopped", "Starting bridge\u2026"}));
}

TEST_F(RestartTest, ChildThatExitsDuringItsLaunchIsProcessedAfterTheLaunchReturned)
{
    childExits();
    fake.taskLauncher.onLaunch = [](FakeTask& task) {
        task.exit(); // the handler runs while launch() has not returned yet
        return true;
    };
    fake.mainQueue.advance(2.0);
    // The launch stored the task and reported it; only then did its exit go through.
    EXPECT_EQ(statusTitles(), (std::vector<std::string>{"Starting bridge\u2026", "Bridge stopped",
                                                        "Starting bridge\u2026", "Bridge stopped"}));
    EXPECT_FALSE(probe.bridgeProcess());
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);
}

TEST_F(RestartTest, ExitsOfAnyKindNeverLeaveTwoRelaunchesPending)
{
    for (int cycle = 0; cycle < 5; ++cycle) {
        childExits();
        EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);
        delegate->restartBridge(); // launches at once, cancelling the pending one
        EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 0u);
        probe.scheduleRestart();
        probe.scheduleRestart();
        EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);
        fake.mainQueue.advance(2.0); // a child is present: the item does nothing
        EXPECT_EQ(fake.taskLauncher.runningCount(), 1u);
    }
    EXPECT_EQ(bridgeTasks().size(), 6u);
}

TEST_F(RestartTest, RestartOnARunningChildTerminatesOnceAndRelaunchesAfterItsExit)
{
    const std::shared_ptr<FakeTask> first = currentTask();
    delegate->restartBridge();
    EXPECT_EQ(first->terminateRequests, 1);
    EXPECT_EQ(bridgeTasks().size(), 1u);
    EXPECT_EQ(statusLine().title, texts::kStartingBridge); // no change until it has gone

    fake.mainQueue.advance(0.3);
    childExits();
    EXPECT_EQ(statusLine().title, texts::kBridgeStopped);
    fake.mainQueue.advance(1.9);
    EXPECT_EQ(bridgeTasks().size(), 1u);
    fake.mainQueue.advance(0.1);
    EXPECT_EQ(bridgeTasks().size(), 2u);
    EXPECT_EQ(first->terminateRequests, 1);
}

TEST_F(RestartTest, RestartOnAChildThatIgnoresTerminateSendsAnotherRequestEachTime)
{
    delegate->restartBridge();
    delegate->restartBridge();
    EXPECT_EQ(currentTask()->terminateRequests, 2);
    EXPECT_EQ(bridgeTasks().size(), 1u);
    EXPECT_EQ(statusLine().title, texts::kStartingBridge);
}

TEST_F(RestartTest, RestartWhileARelaunchIsPendingLaunchesAtOnceAndCancelsIt)
{
    childExits();
    const std::shared_ptr<platform::WorkItem> pending = probe.restartWorkItem();
    delegate->restartBridge();

    EXPECT_TRUE(pending->isCancelled());
    EXPECT_EQ(bridgeTasks().size(), 2u);
    fake.mainQueue.advance(10);
    EXPECT_EQ(bridgeTasks().size(), 2u);
}

TEST_F(RestartTest, RestartWithFilesMissingShowsTheAlertAgain)
{
    childExits();
    std::filesystem::remove(fake.resources() / "runtime/node-arm64");
    delegate->restartBridge();
    delegate->restartBridge();
    EXPECT_EQ(fake.alerts.shown.size(), 2u);
    EXPECT_EQ(statusLine().title, texts::kBridgeFilesMissing);
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 0u);
}

TEST_F(RestartTest, LaunchThatKeepsFailingIsRetriedEveryTwoSeconds)
{
    childExits();
    fake.taskLauncher.onLaunch = [](FakeTask&) { return false; };
    fake.mainQueue.advance(2.0 * 5);
    EXPECT_EQ(fake.taskLauncher.tasks.size(), 1u + 5u);
    EXPECT_EQ(statusLine().title, "Couldn\u2019t start bridge");
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);
}

// The restart command in the short window between a child's end and the processing of its
// exit starts a new child at once. The old exit, arriving after, must leave the new child
// alone: no second child, no "Bridge stopped", its log still open.
TEST_F(RestartTest, RestartInTheWindowBeforeTheExitIsProcessedKeepsOneChild)
{
    const std::shared_ptr<FakeTask> first = currentTask();
    first->exit(); // continuation queued, not run
    delegate->restartBridge();
    ASSERT_EQ(bridgeTasks().size(), 2u);
    const std::shared_ptr<FakeTask> second = currentTask();
    ASSERT_NE(second, first);

    fake.mainQueue.runPending();
    EXPECT_EQ(probe.bridgeProcess(), second);
    ASSERT_TRUE(probe.logHandle());
    EXPECT_FALSE(std::dynamic_pointer_cast<FakeFileHandle>(probe.logHandle())->isClosed());
    EXPECT_EQ(statusLine().title, texts::kStartingBridge);
    fake.mainQueue.advance(10);
    EXPECT_EQ(bridgeTasks().size(), 2u);

    // The new child's own exit still counts.
    childExits();
    EXPECT_EQ(statusLine().title, texts::kBridgeStopped);
    fake.mainQueue.advance(2.0);
    EXPECT_EQ(bridgeTasks().size(), 3u);
}

TEST_F(RestartTest, ExitAfterQuitSchedulesNothing)
{
    const std::shared_ptr<FakeTask> task = currentTask();
    delegate->quitTovra();
    task->exit();
    fake.mainQueue.advance(5);
    EXPECT_EQ(bridgeTasks().size(), 1u);
    EXPECT_NE(statusLine().title, texts::kBridgeStopped);
}

} // namespace
} // namespace tovra::testing
