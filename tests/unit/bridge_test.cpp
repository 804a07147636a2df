// Launch, exit and relaunch of the bridge server, and the restart command.
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

const std::string kAlert =
    "alert:critical Tovra couldn\u2019t start | Tovra\u2019s bridge files are incomplete. "
    "Move Tovra to Trash and download it again. [OK]";

struct Missing {
    const char* label;
    void (*breakIt)(FakePlatform&);
    bool alert;
};

class MissingFilesTest : public DelegateTest, public ::testing::WithParamInterface<Missing> {};

TEST_P(MissingFilesTest, ReportAndNeverRetry)
{
    GetParam().breakIt(fake);
    std::size_t requestsWhileShown = 99;
    fake.whileAlertShown = [&] { requestsWhileShown = fake.requests().size(); };
    launch();
    fake.queue.advance(10);
    History expected{"title:Bridge files missing"};
    if (GetParam().alert) {
        expected.insert(expected.end(), {"activate", kAlert});
        EXPECT_EQ(requestsWhileShown, 0u) << "the health poll started before the alert was dismissed";
    }
    EXPECT_EQ(fake.only({"title:", "activate", "alert:"}), expected);
    EXPECT_EQ(fake.only("tint:"), History{"tint:grey"});
    EXPECT_EQ(fake.tasks.size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(fake.logFile));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingFilesTest,
    ::testing::Values(
        Missing{"NoResourceFolder", [](FakePlatform& f) { f.resources.reset(); }, false},
        Missing{"NoRuntime",
                [](FakePlatform& f) { std::filesystem::remove(*f.resources / "runtime/node-arm64"); }, true},
        Missing{"RuntimeNotExecutable",
                [](FakePlatform& f) {
                    std::filesystem::permissions(*f.resources / "runtime/node-arm64",
                                                 std::filesystem::perms::owner_read);
                },
                true},
        Missing{"NoScript", [](FakePlatform& f) { std::filesystem::remove(*f.resources / "app/server.js"); },
                true}),
    [](const auto& info) { return info.param.label; });

TEST_F(DelegateTest, AnExitShowsStoppedAndRelaunchesTwoSecondsLater)
{
    launch();
    answerLatest(healthBody(true, 0));
    fake.queue.advance(0.5);
    bridgeExits();
    EXPECT_EQ(fake.only("title:").back(), "title:Bridge stopped");
    EXPECT_EQ(fake.only("log:"), History{"log:close"});
    fake.queue.advance(1.999);
    EXPECT_EQ(fake.tasks.size(), 1u);
    fake.queue.advance(0.001);
    ASSERT_EQ(fake.tasks.size(), 2u);
    EXPECT_EQ(fake.only("title:").back(), "title:Starting bridge\u2026");
    EXPECT_EQ(readFile(fake.logFile), "\n--- Tovra started 2026-12-05T03:48:30Z ---\n"
                                      "\n--- Tovra started 2026-12-05T03:48:32Z ---\n");
    // Ready again after the relaunch: the status turns, the setup page does not open twice.
    answerLatest(healthBody(true, 2));
    EXPECT_EQ(fake.only("title:").back(), "title:Ready \u00B7 2 phones");
    EXPECT_EQ(fake.only("open:").size(), 1u);
}

TEST_F(DelegateTest, AFailedLaunchIsRetriedEveryTwoSeconds)
{
    fake.launchesSucceed = false;
    launch();
    fake.queue.advance(6);
    EXPECT_EQ(fake.tasks.size(), 4u);
    EXPECT_EQ(fake.only("log:").size(), 4u) << "each failed launch closes its log";
    EXPECT_EQ(fake.only("title:").back(), "title:Couldn\u2019t start bridge");
    EXPECT_EQ(fake.only("tint:").back(), "tint:grey");
    EXPECT_TRUE(fake.requests().empty()) << "asked a bridge that never ran";
    fake.launchesSucceed = true;
    fake.queue.advance(2);
    EXPECT_EQ(fake.only("title:").back(), "title:Starting bridge\u2026");
}

TEST_F(DelegateTest, RestartOfARunningBridgeAsksItToStopAndRelaunchesAfterItsEnd)
{
    launch();
    choose("Restart Bridge");
    choose("Restart Bridge"); // it ignores the request: another one, never more
    EXPECT_EQ(fake.only("terminate"), (History{"terminate 100", "terminate 100"}));
    EXPECT_EQ(fake.tasks.size(), 1u);
    bridgeExits();
    fake.queue.advance(1.9);
    EXPECT_EQ(fake.tasks.size(), 1u);
    fake.queue.advance(0.1);
    EXPECT_EQ(fake.tasks.size(), 2u);
}

TEST_F(DelegateTest, RestartWhileARelaunchIsPendingLaunchesAtOnceAndOnlyOnce)
{
    launch();
    bridgeExits();
    choose("Restart Bridge");
    EXPECT_EQ(fake.tasks.size(), 2u);
    fake.queue.advance(10);
    EXPECT_EQ(fake.tasks.size(), 2u);
}

TEST_F(DelegateTest, RestartBeforeAnEndIsSeenKeepsOneBridge)
{
    launch();
    fake.lastTask()->exit(); // its end is queued when the command comes
    delegate->restartBridge();
    ASSERT_EQ(fake.tasks.size(), 2u);
    fake.queue.advance(10);
    EXPECT_EQ(fake.tasks.size(), 2u);
    EXPECT_EQ(fake.only("title:").back(), "title:Starting bridge\u2026");
    EXPECT_TRUE(fake.only("log:").empty()) << "the old end closed the new bridge's log";
    bridgeExits(); // the new bridge's own end still counts
    fake.queue.advance(2);
    EXPECT_EQ(fake.tasks.size(), 3u);
}

TEST_F(DelegateTest, RestartWithFilesMissingShowsTheAlertEachTime)
{
    launch();
    bridgeExits();
    std::filesystem::remove(*fake.resources / "app/server.js");
    choose("Restart Bridge");
    choose("Restart Bridge");
    fake.queue.advance(10);
    EXPECT_EQ(fake.only("alert:"), (History{kAlert, kAlert}));
    EXPECT_EQ(fake.tasks.size(), 1u);
}

} // namespace
} // namespace tovra::testing
