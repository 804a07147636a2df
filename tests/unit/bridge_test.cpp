// Launch, exit and relaunch of the bridge server, and the restart command.
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

const std::string kAlert =
    "alert:critical Tovra couldn\u2019t start | Tovra\u2019s bridge files are incomplete. "
    "Move Tovra to Trash and download it again. [OK]";

TEST(BridgeTest, MissingFilesAreReportedAndNeverRetried)
{
    const std::pair<void (*)(FakePlatform&), bool> cases[] = {
        {[](FakePlatform& f) { f.resources.reset(); }, false},
        {[](FakePlatform& f) { std::filesystem::permissions(*f.resources / "runtime/node-arm64", {}); },
         true},
        {[](FakePlatform& f) { std::filesystem::remove(*f.resources / "app/server.js"); }, true}};
    for (const auto& [breakIt, alert] : cases) {
        FakePlatform fake;
        breakIt(fake);
        std::size_t requestsWhileShown = 99;
        fake.whileAlertShown = [&] { requestsWhileShown = fake.requests.size(); };
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.advance(10);
        History expected{"title:Bridge files missing", "tint:grey"};
        if (alert) {
            expected.insert(expected.end(), {"activate", kAlert});
        }
        EXPECT_EQ(fake.only({"title:", "tint:", "activate", "alert:"}), expected);
        EXPECT_EQ(requestsWhileShown, alert ? 0u : 99u)
            << "the health poll started before the alert was dismissed";
        EXPECT_EQ(fake.only("launch "), History{});
        EXPECT_FALSE(std::filesystem::exists(fake.logFile));
    }
}

TEST_F(DelegateTest, AnExitShowsStoppedAndRelaunchesTwoSecondsLater)
{
    launch();
    EXPECT_TRUE(is_directory(fake.applicationSupport / "Tovra Automation")) << "the bridge's data folder";
    ASSERT_TRUE(fake.tasks[0]->output && fake.tasks[0]->error == fake.tasks[0]->output);
    fake.tasks[0]->output->write("its output");
    answerHealth(true, 0);
    fake.advance(0.5);
    bridgeExits();
    EXPECT_EQ(fake.only({"title:B", "log:", "tint:"}),
              (History{"tint:grey", "tint:green", "log:close", "title:Bridge stopped", "tint:grey"}));
    fake.advance(1.999);
    EXPECT_EQ(fake.tasks.size(), 1u);
    fake.advance(0.001);
    ASSERT_EQ(fake.tasks.size(), 2u);
    EXPECT_EQ(readFile(fake.logFile), "\n--- Tovra started 2026-12-05T03:48:30Z ---\nits output"
                                      "\n--- Tovra started 2026-12-05T03:48:32Z ---\n");
    answerHealth(true, 2);
    EXPECT_EQ(fake.only("title:").back(), "title:Ready \u00B7 2 phones");
}

TEST(BridgeTest, AnotherProgramOnThePortIsNamedOnceARunWhenOurServerStops)
{
    const std::pair<ListeningProcess, std::string> holders[] = {{{4242, "node"}, "node (process 4242)"},
                                                                {{}, "A program of another user"}};
    for (const auto& [holder, named] : holders) {
        FakePlatform fake;
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.tasks.back()->exit(); // nobody on the port: nothing to say
        fake.advance(2);
        fake.portHolder = holder;
        for (int exits = 0; exits < 3; ++exits, fake.advance(2)) {
            fake.tasks.back()->exit();
        }
        EXPECT_EQ(fake.only("notify:"),
                  History{"notify:The bridge can\u2019t start: port 4173 is taken | " + named +
                          " is listening on port 4173. Quit it, and Tovra starts the "
                          "bridge on its own."});
    }
}

TEST_F(DelegateTest, WithoutALogOrADataFolderTheBridgeStillStarts)
{
    writeFile(fake.home / "Library", "a file where both folders would go");
    launch();
    EXPECT_EQ(fake.only("title:"), History{"title:Starting bridge\u2026"});
}

TEST_F(DelegateTest, AFailedLaunchIsRetriedEveryTwoSecondsAndNothingIsAsked)
{
    fake.launchesSucceed = false;
    launch();
    choose("Copy Private Phone Link");
    fake.advance(6);
    EXPECT_EQ(fake.tasks.size(), 4u);
    EXPECT_EQ(fake.only("log:").size(), 4u) << "each failed launch closes its log";
    EXPECT_EQ(fake.only("title:").back(), "title:Couldn\u2019t start bridge");
    EXPECT_EQ(fake.only("tint:").back(), "tint:grey");
    EXPECT_TRUE(fake.requests.empty()) << "asked a bridge that never ran";
    delegate->applicationWillTerminate();
    EXPECT_EQ(fake.only("log:").size(), 4u) << "a closed log closed again";
}

TEST_F(DelegateTest, TheRestartCommand)
{
    launch();
    choose("Restart Bridge");
    choose("Restart Bridge"); // a bridge that ignores the request gets another one, never more
    EXPECT_EQ(fake.only("terminate"), (History{"terminate 100", "terminate 100"}));
    bridgeExits();
    fake.advance(1.9);
    EXPECT_EQ(fake.tasks.size(), 1u) << "relaunched before the delay";
    choose("Restart Bridge"); // a relaunch is pending: at once, and only once
    fake.advance(10);
    EXPECT_EQ(fake.tasks.size(), 2u);
    std::filesystem::remove(*fake.resources / "app/server.js");
    bridgeExits();
    choose("Restart Bridge");
    choose("Restart Bridge");
    fake.advance(10);
    EXPECT_EQ(fake.only("alert:"), (History{kAlert, kAlert}));
    EXPECT_EQ(fake.tasks.size(), 2u);
}

TEST_F(DelegateTest, ARestartBetweenAnExitAndItsHandlingStartsOneChild)
{
    launch();
    fake.tasks.back()->exit();
    EXPECT_EQ(fake.only("title:").back(), "title:Starting bridge\u2026") << "handled off the main queue";
    choose("Restart Bridge"); // the old end is seen after the new child started
    EXPECT_EQ(fake.tasks.size(), 2u);
    fake.advance(10);
    EXPECT_EQ(fake.tasks.size(), 2u);
}

TEST_F(DelegateTest, AGoneDelegateStartsNothing)
{
    launch();
    bridgeExits(); // a relaunch is pending
    delegate.reset();
    fake.advance(5);
    EXPECT_EQ(fake.tasks.size(), 1u);
}

} // namespace
} // namespace tovra::testing
