#include "app/status_texts.h"
#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

using platform::TintColor;

class LifecycleTest : public DelegateTest {};

TEST_F(LifecycleTest, StartUpRunsEachStepInOrder)
{
    writeFile(fake.home() / "Library/LaunchAgents/com.tovra.automation.plist", "<plist/>");
    delegate->applicationDidFinishLaunching();

    const std::vector<std::string> events = fake.log.events();
    const auto position = [&](const std::string& event) {
        return std::find(events.begin(), events.end(), event) - events.begin();
    };
    ASSERT_EQ(fake.application.policy, platform::ActivationPolicy::accessory);
    EXPECT_LT(position("app:policy"), position("tooltip:Tovra Automation")); // then the menu
    EXPECT_LT(position("tooltip:Tovra Automation"), position("task:launch /bin/launchctl"));
    EXPECT_LT(position("task:wait"), position("login:register"));
    EXPECT_LT(position("login:register"),
              position("task:launch " + (fake.resources() / "runtime/node-arm64").string()));
    EXPECT_EQ(statusLine().title, texts::kStartingBridge);
    // The poll starts last and sends its first request at once.
    EXPECT_EQ(fake.urlSession.count(), 1u);
    EXPECT_EQ(fake.mainQueue.activeTimers(), 1u);
}

TEST_F(LifecycleTest, MissingFilesAlertHoldsUpTheHealthPoll)
{
    std::filesystem::remove(fake.resources() / "app/server.js");
    std::size_t requestsWhileAlertShown = 99;
    fake.alerts.whileShown = [&] { requestsWhileAlertShown = fake.urlSession.count(); };
    delegate->applicationDidFinishLaunching();
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    EXPECT_EQ(requestsWhileAlertShown, 0u);
    EXPECT_EQ(fake.urlSession.count(), 1u);
}

TEST_F(LifecycleTest, StatusLineSetsTitleTintAndToolTip)
{
    probe.buildMenu();
    probe.setBridgeStatus("Bridge stopped", false);
    EXPECT_EQ(statusLine().title, "Bridge stopped");
    EXPECT_EQ(button().toolTip, "Tovra Automation \xC2\xB7 Bridge stopped");
    EXPECT_EQ(button().tint, TintColor::secondaryLabel);

    probe.setBridgeStatus("Ready \u00B7 1 phone", true);
    EXPECT_EQ(button().tint, TintColor::systemGreen);
    probe.setBridgeStatus("Ready \u00B7 1 phone", false);
    EXPECT_EQ(button().tint, TintColor::secondaryLabel);
    EXPECT_FALSE(probe.bridgeReady());
}

TEST_F(LifecycleTest, StatusLineBeforeTheMenuOrWithoutAButtonDoesNothing)
{
    probe.setBridgeStatus("Bridge stopped", true);
    EXPECT_TRUE(fake.log.events().empty());

    fake.statusBar.itemsHaveButtons = false;
    probe.buildMenu();
    probe.setBridgeStatus("Bridge stopped", true);
    EXPECT_EQ(statusLine().title, "Bridge stopped");
    EXPECT_TRUE(eventsWithPrefix("tint:").empty());
}

TEST_F(LifecycleTest, QuitStopsTheRunningBridgeWithoutObservingItsExit)
{
    startWithMenu();
    const std::shared_ptr<FakeTask> task = currentTask();
    delegate->quitTovra();

    EXPECT_FALSE(probe.shouldRestart());
    EXPECT_FALSE(task->hasTerminationHandler());
    EXPECT_EQ(task->terminateRequests, 1);
    EXPECT_EQ(fake.application.terminateRequests, 1);

    // Still running at termination, it is asked once more; nobody waits for it.
    delegate->applicationWillTerminate();
    EXPECT_EQ(task->terminateRequests, 2);
    task->exit();
    fake.mainQueue.advance(10);
    EXPECT_NE(statusLine().title, texts::kBridgeStopped);
    EXPECT_EQ(bridgeTasks().size(), 1u);
}

TEST_F(LifecycleTest, QuitWithARelaunchPendingStartsNothing)
{
    startWithMenu();
    currentTask()->exit();
    fake.mainQueue.runPending();
    ASSERT_EQ(fake.mainQueue.pendingWorkItems(), 1u);

    delegate->quitTovra();
    delegate->applicationWillTerminate();
    EXPECT_TRUE(probe.restartWorkItem()->isCancelled());
    fake.mainQueue.advance(5);
    EXPECT_EQ(bridgeTasks().size(), 1u);
}

TEST_F(LifecycleTest, TerminationStopsThePollAndClosesTheLogKeepingTheFields)
{
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(probe.logHandle());
    delegate->applicationWillTerminate();

    EXPECT_EQ(fake.mainQueue.activeTimers(), 0u);
    EXPECT_TRUE(std::dynamic_pointer_cast<FakeFileHandle>(probe.logHandle())->isClosed());
    EXPECT_TRUE(probe.bridgeProcess());
    EXPECT_TRUE(probe.healthTimer());
    fake.mainQueue.advance(3);
    EXPECT_EQ(fake.urlSession.count(), 1u);
}

TEST_F(LifecycleTest, CallbacksDoNothingOnceTheDelegateIsGone)
{
    delegate->applicationDidFinishLaunching();
    const std::shared_ptr<FakeTask> task = currentTask();
    std::shared_ptr<platform::Timer> keepTimer; // the timer dies with the delegate
    delegate.reset();

    task->exit();
    fake.urlSession.complete(0, R"({"version":"1","midiReady":true,"midiPort":"p","pairedClients":0})");
    fake.mainQueue.advance(5);
    EXPECT_EQ(fake.urlSession.count(), 1u);
    EXPECT_TRUE(fake.workspace.openedURLs.empty());
    EXPECT_EQ(fake.taskLauncher.launchedTasks().size(), 1u);
}

} // namespace
} // namespace tovra::testing
