// The menu's commands (phone link, start at login, log), the version entry, the legacy agent.
#include "log/bridge_log.h"
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

TEST_F(DelegateTest, CopyPutsTheLinkAsSentOpenOpensItAndSetUpOpensThePage)
{
    launch();
    choose("Copy Private Phone Link");
    choose("Open Controller on This Mac");
    choose("Set Up Phone\u2026");
    choose("Copy Private Phone Link");
    ASSERT_EQ(fake.requests.size(), 4u);
    EXPECT_EQ(fake.requests[1].url, "http://localhost:4173/api/setup");
    EXPECT_EQ(std::make_pair(fake.requests[1].timeoutInterval, fake.requests[1].serverProcess),
              std::make_pair(1.5, std::optional(100)));
    // JSON escapes resolved; nothing a URL parser would normalise is changed. The last to arrive wins.
    fake.answer(3, R"({"phoneURL":"http://second/zZ9?%9f%F0"})");
    fake.answer(2, R"({"phoneURL":"https://[fd00::1]:4173/controller?token=abc"})");
    fake.answer(1, R"({"other":1,"phoneURL":"HTTP://Tovra.local:80/a\/b/../c?x=%7e#t=\u0041"})");
    delegate.reset(); // a link asked for is delivered all the same
    fake.runPending();
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}),
              (History{"open:http://localhost:4173/setup", "clear", "copy:http://second/zZ9?%9f%F0",
                       "open:https://[fd00::1]:4173/controller?token=abc", "clear",
                       "copy:HTTP://Tovra.local:80/a/b/../c?x=%7e#t=A"}));
}

TEST_F(DelegateTest, AnythingButAWebAddressIsNeitherCopiedNorOpened)
{
    launch();
    // clang-format off
    const std::optional<std::string> answers[] = {std::nullopt, "not json", R"({"phoneURL":42})",
        R"x({"phoneURL":"javascript:alert(document.cookie)"})x", R"({"phoneURL":"ftp://a/"})",
        R"({"phoneURL":"http:///path"})", R"({"phoneURL":"http://user@:80/"})", R"({"phoneURL":"http://[::1/"})",
        R"({"phoneURL":"http://a b/"})", R"({"phoneURL":"http://a/%4z"})", R"({"phoneURL":"http://a/%4"})"};
    // clang-format on
    for (const auto& body : answers) {
        choose("Copy Private Phone Link");
        choose("Open Controller on This Mac");
        fake.answer(fake.requests.size() - 2, body);
        fake.answer(fake.requests.size() - 1, body);
        fake.runPending();
    }
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}), History{});
}

TEST(MenuTest, EntriesInTheirOrderWithTheirShortcutsAndTheVersionAsTheBundleGivesIt)
{
    using Case = std::pair<InfoValue, std::string>;
    for (const auto& [version, shown] :
         {Case{"2.4.1", "Tovra 2.4.1"}, Case{{}, "Tovra Beta"}, Case{2.0, "Tovra Beta"}}) {
        FakePlatform fake;
        fake.version = version;
        std::make_shared<TovraAppDelegate>(fake.platform())->applicationDidFinishLaunching();
        History entries; // title as made, shortcut, and "-" when disabled
        for (const auto& item : fake.menu) {
            entries.push_back(item ? item->asMade + (item->enabled ? "" : "-") : "---");
        }
        EXPECT_EQ(entries, (History{"Starting Tovra\u2026 -", "---", "Set Up Phone\u2026 s",
                                    "Copy Private Phone Link ", "Open Controller on This Mac ", "---",
                                    "Start Tovra at Login ", "Restart Bridge ", "Reveal Log ", "---",
                                    shown + " -", "Quit Tovra for Now q"}));
    }
}

TEST(LoginTest, StartUpRegistersOnlyWhatWasNeverRegisteredAndTheCommandToggles)
{
    using enum LoginItemStatus;
    // clang-format off
    const std::tuple<LoginItemStatus, bool, History> cases[] = {
        {notRegistered, true, {"state:off", "register", "state:on", "unregister", "state:off"}},
        {notRegistered, false, {"state:off", "register", "state:off", "register", "settings", "state:off"}},
        {enabled, true, {"state:on", "state:on", "unregister", "state:off"}},
        {enabled, false, {"state:on", "state:on", "unregister", "settings", "state:on"}},
        {requiresApproval, true, {"state:off", "state:off", "register", "state:on"}}};
    // clang-format on
    for (const auto& [status, succeeds, expected] : cases) {
        FakePlatform fake;
        fake.loginStatus = status;
        fake.loginCallsSucceed = succeeds;
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.choose("Start Tovra at Login");
        EXPECT_EQ(fake.only({"state:", "register", "unregister", "settings"}), expected)
            << static_cast<int>(status) << succeeds;
    }
}

TEST_F(DelegateTest, TheLegacyAgentIsBootedOutAndItsFileMovedOverAnEarlierBackup)
{
    const path legacy = fake.home / "Library/Application Support/Tovra Automation/Legacy";
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "agent");
    writeFile(legacy / "com.tovra.automation.plist", "earlier");
    fake.launchesSucceed = false; // the tool cannot start: the file still moves
    launch();
    const FakeTask& tool = *fake.tasks.at(0);
    EXPECT_EQ(tool.executable.string() + " " + tool.arguments.at(0) + " " + tool.arguments.at(1),
              "/bin/launchctl bootout gui/501/com.tovra.automation");
    EXPECT_TRUE(tool.arguments.size() == 2 && tool.environment.empty());
    EXPECT_EQ(readFile(legacy / "com.tovra.automation.plist"), "agent");
    EXPECT_FALSE(std::filesystem::exists(fake.home / "Library/LaunchAgents/com.tovra.automation.plist"));
}

TEST_F(DelegateTest, TheBannerFollowsWhatTheLogHoldsAndALogPastTenMegabytesIsSetAside)
{
    using namespace std::chrono;
    EXPECT_EQ(log::logBanner(sys_days{year{2024} / 2 / 29} - milliseconds{1}),
              "\n--- Tovra started 2024-02-28T23:59:59Z ---\n");
    const std::string full(10 * 1024 * 1024, 'x');
    writeFile(fake.logFile.string() + ".1", "older");
    writeFile(fake.logFile, full + "!");
    launch();
    EXPECT_EQ(readFile(fake.logFile.string() + ".1"), full + "!");
    writeFile(fake.logFile, full);
    bridgeExits();
    fake.advance(2); // exactly at the limit: kept
    EXPECT_EQ(readFile(fake.logFile), full + "\n--- Tovra started 2026-12-05T03:48:32Z ---\n");
}

TEST_F(DelegateTest, RevealLogSelectsTheLogRecreatingItEmptyButNotItsFolder)
{
    delegate->revealLog(); // before any launch: no folder, and none is made
    EXPECT_FALSE(std::filesystem::exists(fake.logs));
    launch();
    std::filesystem::remove(fake.logFile);
    choose("Reveal Log");
    EXPECT_EQ(std::filesystem::file_size(fake.logFile, fake.ignored), 0u);
    const std::string revealed = "reveal:" + fake.logFile.string();
    EXPECT_EQ(fake.only("reveal:"), (History{revealed + " (nothing there)", revealed}));
}

} // namespace
} // namespace tovra::testing
