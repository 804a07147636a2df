// Start-up, the status line, quit and termination.
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

TEST_F(DelegateTest, StartUpRunsEachStepToItsEndInOrder)
{
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "<plist/>");
    launch();
    EXPECT_EQ(
        fake.history,
        (History{"accessory", "status item", "symbol slider.vertical.3 Tovra", "image",
                 "tooltip:Tovra Automation", "state:off", "menu attached", "window title:Tovra Bridge",
                 "window content:Tovra is starting its bridge. This takes a few seconds. | "
                 "Set Up Phone\u2026 | The code to scan appears here once the bridge is ready.",
                 "launch /bin/launchctl", "wait", "register", "state:on",
                 "launch " + (*fake.resources / "runtime/node-arm64").string(), "title:Starting bridge\u2026",
                 "tint:grey", "tooltip:Tovra Automation \u00B7 Starting bridge\u2026"}));
    // The poll starts last, with one request at once, to our own bridge only.
    ASSERT_EQ(fake.requests.size(), 1u);
    EXPECT_EQ(fake.requests[0].url, "http://localhost:4173/health");
    EXPECT_EQ(fake.requests[0].serverProcess, 101); // the agent's tool was 100
    // The bridge's arguments, folder, name and environment are seen end to end.
}

TEST_F(DelegateTest, QuitStopsTheBridgeAndNeitherItsEndNorALateAnswerIsObserved)
{
    launch(); // asks for the health at once
    choose("Quit Tovra for Now");
    answerHealth(true, 1); // the loop may run a moment longer
    delegate->applicationWillTerminate();
    fake.tasks.back()->exit();
    fake.advance(10);
    EXPECT_EQ(fake.only({"terminate", "quit", "title:", "tint:", "open:", "log:"}),
              (History{"title:Starting bridge\u2026", "tint:grey", "terminate 100", "quit", "terminate 100",
                       "log:close"}));
    EXPECT_EQ(fake.requests.size(), 1u) << "the poll went on after termination";
}

TEST(StartUpTest, AnExitSeenAfterQuitOrTerminationStartsNothing)
{
    const auto quit = &TovraAppDelegate::quitTovra, terminate = &TovraAppDelegate::applicationWillTerminate;
    // The child's end queued and not yet seen, or (last) seen, with its relaunch pending.
    for (const auto& [end, seen] : {std::pair{quit, false}, {terminate, false}, {terminate, true}}) {
        FakePlatform fake;
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.tasks.back()->exit();
        if (seen) {
            fake.runPending();
        }
        ((*delegate).*end)();
        fake.advance(5);
        EXPECT_EQ(fake.tasks.size(), 1u);
        EXPECT_EQ(fake.only("terminate"), History{}) << "an ended child was sent a terminate";
        EXPECT_TRUE(!seen || fake.only("log:").size() == 1u) << "a closed log closed again";
    }
}

TEST_F(DelegateTest, WhatEarlierVersionsKeptUnderLibraryMovesInOnceOverwritingNothing)
{
    fake.logs = fake.home / ".local/state/Tovra";
    fake.applicationSupport = fake.home / ".local/share";
    const path library = fake.home / "Library";
    writeFile(library / "Logs/Tovra Bridge.log", "old log\n");
    writeFile(library / "Logs/Tovra Bridge.log.1", "older log\n");
    writeFile(library / "Application Support/Tovra Automation/pairing.json", "{}");
    writeFile(library / "Application Support/Other App/kept", "");
    writeFile(fake.logs / "Tovra Bridge.log.1", "already here\n");
    launch();
    // Before the bridge starts, and so before its banner is written to the log.
    EXPECT_EQ(fake.only({"move:", "launch "}),
              (History{"move:Library/Logs/Tovra Bridge.log > .local/state/Tovra/Tovra Bridge.log",
                       "move:Library/Application Support/Tovra Automation > .local/share/Tovra Automation",
                       "launch " + (*fake.resources / "runtime/node-arm64").string()}));
    EXPECT_EQ(fake.tasks.back()->environment.at("TOVRA_DATA_DIR"),
              (fake.applicationSupport / "Tovra Automation").string());
    EXPECT_EQ(readFile(fake.logs / "Tovra Bridge.log.1"), "already here\n");
    EXPECT_TRUE(exists(library / "Application Support/Other App/kept")) << "another's folder";

    // The next start finds nothing to move, and once the rest is gone the empty folders go too.
    std::filesystem::remove_all(library / "Application Support/Other App");
    std::filesystem::remove(library / "Logs/Tovra Bridge.log.1");
    fake.history.clear();
    std::make_shared<TovraAppDelegate>(fake.platform())->applicationDidFinishLaunching();
    EXPECT_EQ(fake.only("move:"), History{});
    EXPECT_FALSE(exists(library));
}

TEST_F(DelegateTest, DataThatCannotMoveInIsUsedWhereItIsAndMovesAtALaterStart)
{
    fake.applicationSupport = fake.home / ".local/share";
    const path earlier = fake.home / "Library/Application Support/Tovra Automation";
    writeFile(earlier / "pairing.json", "{\"token\":\"kept\"}");
    writeFile(fake.applicationSupport, "a file where the folder would go");
    launch();
    EXPECT_EQ(fake.only("move:").size(), 1u);
    EXPECT_EQ(fake.tasks.back()->environment.at("TOVRA_DATA_DIR"), earlier.string());
    EXPECT_EQ(readFile(earlier / "pairing.json"), "{\"token\":\"kept\"}");

    // Relaunches keep to it; once the way is clear, the next start moves it and the bridge follows.
    fake.tasks.back()->exit();
    fake.advance(2.0);
    EXPECT_EQ(fake.tasks.back()->environment.at("TOVRA_DATA_DIR"), earlier.string());
    std::filesystem::remove(fake.applicationSupport);
    std::make_shared<TovraAppDelegate>(fake.platform())->applicationDidFinishLaunching();
    EXPECT_EQ(fake.tasks.back()->environment.at("TOVRA_DATA_DIR"),
              (fake.applicationSupport / "Tovra Automation").string());
    EXPECT_EQ(readFile(fake.applicationSupport / "Tovra Automation/pairing.json"), "{\"token\":\"kept\"}");
}

} // namespace
} // namespace tovra::testing
