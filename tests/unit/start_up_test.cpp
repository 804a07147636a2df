// Start-up, the status line, quit and termination.
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

const std::string kTip = "tooltip:Tovra Automation \u00B7 ";

TEST_F(DelegateTest, StartUpRunsEachStepToItsEndInOrder)
{
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "<plist/>");
    launch();
    EXPECT_EQ(fake.history,
              (History{"accessory", "status item", "symbol slider.vertical.3 Tovra", "image",
                       "tooltip:Tovra Automation", "state:off", "menu attached", "window title:Tovra Bridge",
                       "launch /bin/launchctl", "wait", "register", "state:on",
                       "launch " + (*fake.resources / "runtime/node-arm64").string(),
                       "title:Starting bridge\u2026", "tint:grey", kTip + "Starting bridge\u2026"}));
    // The poll starts last, with one request at once, to our own bridge only.
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0].url, "http://localhost:4173/health");
    EXPECT_EQ(fake.requests()[0].serverProcess, 101); // the agent's tool was 100
}

TEST_F(DelegateTest, TheStatusLineTintsGreenOnlyWhenReady)
{
    launch();
    answerLatest(healthBody(true, 1));
    bridgeExits();
    EXPECT_EQ(fake.only("t"), (History{"tooltip:Tovra Automation", "title:Starting bridge\u2026", "tint:grey",
                                       kTip + "Starting bridge\u2026", "title:Ready \u00B7 1 phone",
                                       "tint:green", kTip + "Ready \u00B7 1 phone", "title:Bridge stopped",
                                       "tint:grey", kTip + "Bridge stopped"}));
}

TEST_F(DelegateTest, QuitStopsTheBridgeAndItsEndIsNotObserved)
{
    launch();
    choose("Quit Tovra for Now");
    delegate->applicationWillTerminate();
    fake.tasks.back()->exit();
    fake.advance(10);
    EXPECT_EQ(
        fake.only({"terminate", "quit", "title:", "log:"}),
        (History{"title:Starting bridge\u2026", "terminate 100", "quit", "terminate 100", "log:close"}));
    EXPECT_EQ(fake.requests().size(), 1u) << "the poll went on after termination";
}

TEST_F(DelegateTest, QuitWithAnExitQueuedStartsNothing)
{
    launch();
    fake.tasks.back()->exit(); // its end is queued, not yet seen
    choose("Quit Tovra for Now");
    delegate->applicationWillTerminate();
    fake.advance(5);
    EXPECT_EQ(fake.tasks.size(), 1u);
}

} // namespace
} // namespace tovra::testing
