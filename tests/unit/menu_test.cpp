// The menu and its commands: phone link, start at login, log; the legacy agent at start-up.
#include "log/bridge_log.h"
#include "unit/fake_platform.h"

namespace tovra::testing {
namespace {

TEST_F(DelegateTest, TheVersionEntryShowsTextAsItIsOrBeta)
{
    const std::pair<platform::InfoValue, std::string> cases[] = {
        {std::string(" 1.0 beta "), "Tovra  1.0 beta "},
        {std::string(), "Tovra "},
        {{}, "Tovra Beta"},
        {2.0, "Tovra Beta"}};
    for (const auto& [value, title] : cases) {
        FakePlatform other;
        other.version = value;
        std::make_shared<TovraAppDelegate>(other.platform())->applicationDidFinishLaunching();
        EXPECT_EQ(other.menu.at(10)->title, title);
    }
}

TEST_F(DelegateTest, SetUpPhoneOpensThePageWhateverTheBridgeDoes)
{
    fake.resources.reset();
    launch();
    choose("Set Up Phone\u2026");
    EXPECT_EQ(fake.only("open:"), History{"open:http://localhost:4173/setup"});
}

TEST_F(DelegateTest, CopyPutsTheLinkExactlyAsSentAndOpenOpensIt)
{
    launch();
    choose("Copy Private Phone Link");
    choose("Open Controller on This Mac");
    ASSERT_EQ(fake.requests().size(), 3u);
    EXPECT_EQ(fake.requests()[1].url, "http://localhost:4173/api/setup");
    EXPECT_DOUBLE_EQ(fake.requests()[1].timeoutInterval, 1.5);
    EXPECT_EQ(fake.requests()[1].serverProcess, 100);
    // JSON escapes resolved; nothing a URL parser would normalise is changed.
    fake.answer(1, R"({"other":1,"phoneURL":"HTTP://Tovra.local:80/a\/b/../c?x=%7e#t=\u0041"})");
    fake.answer(2, R"({"phoneURL":"https://[fd00::1]:4173/controller?token=abc"})");
    fake.queue.runPending();
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}),
              (History{"clear", "copy:HTTP://Tovra.local:80/a/b/../c?x=%7e#t=A",
                       "open:https://[fd00::1]:4173/controller?token=abc"}));
}

TEST_F(DelegateTest, AnythingButAWebAddressIsNeitherCopiedNorOpened)
{
    launch();
    const std::optional<std::string> answers[] = {std::nullopt,
                                                  "",
                                                  "not json",
                                                  R"(["http://a/"])",
                                                  R"({"phoneURL":null})",
                                                  R"({"phoneURL":42})",
                                                  R"({"PhoneURL":"http://a/"})",
                                                  R"({"phoneURL":""})",
                                                  R"x({"phoneURL":"javascript:alert(document.cookie)"})x",
                                                  R"({"phoneURL":"file:///etc/shadow"})",
                                                  R"({"phoneURL":"data:text/html,hi"})",
                                                  R"({"phoneURL":"http:///path"})",
                                                  R"({"phoneURL":"http://user@:80/"})",
                                                  R"({"phoneURL":"http://[::1/"})",
                                                  R"({"phoneURL":"/relative/path"})",
                                                  R"({"phoneURL":"http://a b/"})",
                                                  R"({"phoneURL":"http://a/%4z"})",
                                                  R"({"phoneURL":"http://a/%4"})",
                                                  R"({"phoneURL":"http://caf\u00e9/"})",
                                                  R"({"phoneURL":"ftp://a/"})"};
    for (const auto& body : answers) {
        choose("Copy Private Phone Link");
        choose("Open Controller on This Mac");
        const std::size_t sent = fake.requests().size();
        fake.answer(sent - 2, body);
        fake.answer(sent - 1, body);
        fake.queue.runPending();
    }
    EXPECT_EQ(fake.only({"clear", "copy:", "open:"}), History{});
}

TEST_F(DelegateTest, TheLastLinkToArriveStaysOnThePasteboard)
{
    launch();
    choose("Copy Private Phone Link");
    choose("Copy Private Phone Link");
    fake.answer(2, R"({"phoneURL":"http://second/"})");
    fake.answer(1, R"({"phoneURL":"http://first/"})");
    delegate.reset(); // a link asked for is delivered all the same
    fake.queue.runPending();
    EXPECT_EQ(fake.only("copy:"), (History{"copy:http://second/", "copy:http://first/"}));
}

TEST_F(DelegateTest, WithoutABridgeThePhoneLinkIsNotAsked)
{
    fake.launchesSucceed = false;
    launch();
    choose("Copy Private Phone Link");
    choose("Open Controller on This Mac");
    EXPECT_TRUE(fake.requests().empty());
}

struct LoginCase {
    platform::LoginItemStatus status;
    bool succeeds;
    History atStart, onToggle;
};

TEST(LoginTest, StartUpRegistersOnlyWhatWasNeverRegisteredAndTheCommandToggles)
{
    using enum platform::LoginItemStatus;
    const LoginCase cases[] = {
        {notRegistered, true, {"state:off", "register", "state:on"}, {"unregister", "state:off"}},
        {notRegistered, false, {"state:off", "register", "state:off"}, {"register", "settings", "state:off"}},
        {enabled, true, {"state:on", "state:on"}, {"unregister", "state:off"}},
        {enabled, false, {"state:on", "state:on"}, {"unregister", "settings", "state:on"}},
        {requiresApproval, true, {"state:off", "state:off"}, {"register", "state:on"}},
        {requiresApproval, false, {"state:off", "state:off"}, {"register", "settings", "state:off"}},
        {notFound, false, {"state:off", "state:off"}, {"register", "settings", "state:off"}},
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.status) * 2 + c.succeeds);
        FakePlatform fake;
        fake.loginStatus = c.status;
        fake.loginCallsSucceed = c.succeeds;
        const auto delegate = std::make_shared<TovraAppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        const auto login = {"state:", "register", "unregister", "settings"};
        EXPECT_EQ(fake.only(login), c.atStart);
        fake.menu.at(6)->action();
        History expected = c.atStart;
        expected.insert(expected.end(), c.onToggle.begin(), c.onToggle.end());
        EXPECT_EQ(fake.only(login), expected);
    }
}

TEST_F(DelegateTest, TheAgentIsBootedOutAndItsFileMovedOverAnEarlierBackup)
{
    const std::filesystem::path backup =
        fake.home / "Library/Application Support/Tovra Automation/Legacy/com.tovra.automation.plist";
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "agent");
    writeFile(backup, "earlier");
    fake.launchesSucceed = false; // the tool cannot start: the file still moves
    launch();
    const FakeTask& tool = *fake.tasks.at(0);
    EXPECT_EQ(tool.executable, "/bin/launchctl");
    EXPECT_EQ(tool.arguments, (std::vector<std::string>{"bootout", "gui/501/com.tovra.automation"}));
    EXPECT_TRUE(tool.environment.empty());
    EXPECT_EQ(readFile(backup), "agent");
    EXPECT_FALSE(std::filesystem::exists(fake.home / "Library/LaunchAgents/com.tovra.automation.plist"));
}

TEST_F(DelegateTest, AFileNamedLegacyKeepsTheAgentInPlaceSilently)
{
    writeFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist", "agent");
    writeFile(fake.home / "Library/Application Support/Tovra Automation/Legacy", "in the way");
    launch();
    EXPECT_EQ(readFile(fake.home / "Library/LaunchAgents/com.tovra.automation.plist"), "agent");
    EXPECT_TRUE(fake.only("alert:").empty());
    EXPECT_EQ(fake.only("title:"), History{"title:Starting bridge\u2026"});
}

TEST(LogBannerTest, IsTheLaunchTimeInUtcWithWholeSeconds)
{
    using namespace std::chrono;
    EXPECT_EQ(log::logBanner(sys_days{year{2024} / 2 / 29} + hours{23} + minutes{59} + seconds{59} +
                             milliseconds{999}),
              "\n--- Tovra started 2024-02-29T23:59:59Z ---\n");
    EXPECT_EQ(log::iso8601(system_clock::time_point{} - milliseconds{500}), "1969-12-31T23:59:59Z");
}

TEST_F(DelegateTest, TheBannerFollowsWhateverTheLogHolds)
{
    writeFile(fake.logFile, "earlier run\npartial line");
    launch();
    EXPECT_EQ(readFile(fake.logFile),
              "earlier run\npartial line\n--- Tovra started 2026-12-05T03:48:30Z ---\n");
}

TEST_F(DelegateTest, ALogOverTenMegabytesIsSetAsideBeforeTheBanner)
{
    const std::string full(10 * 1024 * 1024, 'x');
    writeFile(fake.logFile.string() + ".1", "older");
    writeFile(fake.logFile, full + "!");
    launch();
    EXPECT_EQ(readFile(fake.logFile.string() + ".1"), full + "!");
    EXPECT_EQ(readFile(fake.logFile), "\n--- Tovra started 2026-12-05T03:48:30Z ---\n");
    writeFile(fake.logFile, full);
    bridgeExits();
    fake.queue.advance(2); // exactly at the limit: kept
    EXPECT_EQ(std::filesystem::file_size(fake.logFile), full.size() + 44);
}

TEST_F(DelegateTest, RevealLogRecreatesADeletedLogAndSelectsIt)
{
    launch();
    std::filesystem::remove(fake.logFile);
    choose("Reveal Log");
    EXPECT_EQ(readFile(fake.logFile), "");
    EXPECT_EQ(fake.only("reveal:"), History{"reveal:" + fake.logFile.string()});
}

} // namespace
} // namespace tovra::testing
