#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

using platform::ControlState;
using platform::LoginItemStatus;

struct StartUpCase {
    const char* label;
    LoginItemStatus status;
    bool registerSucceeds;
    int registrations;
    ControlState state;
};

class LaunchAtLoginStartUpTest : public DelegateTest, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(LaunchAtLoginStartUpTest, RegistersOnlyWhatWasNeverRegistered)
{
    fake.loginService.current = GetParam().status;
    fake.loginService.registerSucceeds = GetParam().registerSucceeds;
    probe.buildMenu();
    probe.enableLaunchAtLoginIfPossible();
    EXPECT_EQ(fake.loginService.registrations, GetParam().registrations);
    EXPECT_EQ(fake.loginService.settingsPaneOpenings, 0);
    EXPECT_EQ(menu().entries.at(6)->state, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, LaunchAtLoginStartUpTest,
    ::testing::Values(StartUpCase{"NotRegistered", LoginItemStatus::notRegistered, true, 1, ControlState::on},
                      StartUpCase{"NotRegisteredAndRegisterFails", LoginItemStatus::notRegistered, false, 1,
                                  ControlState::off},
                      StartUpCase{"Enabled", LoginItemStatus::enabled, true, 0, ControlState::on},
                      StartUpCase{"RequiresApproval", LoginItemStatus::requiresApproval, true, 0,
                                  ControlState::off},
                      StartUpCase{"NotFound", LoginItemStatus::notFound, true, 0, ControlState::off}),
    [](const ::testing::TestParamInfo<StartUpCase>& info) { return info.param.label; });

struct ToggleCase {
    const char* label;
    LoginItemStatus status;
    bool callSucceeds;
    const char* call;
    bool paneOpens;
    ControlState state;
};

class ToggleLaunchAtLoginTest : public DelegateTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(ToggleLaunchAtLoginTest, SwitchesAndShowsWhatTheServiceReports)
{
    fake.loginService.current = GetParam().status;
    fake.loginService.registerSucceeds = GetParam().callSucceeds;
    fake.loginService.unregisterSucceeds = GetParam().callSucceeds;
    probe.buildMenu();
    fake.log.clear();
    delegate->toggleLaunchAtLogin();

    std::vector<std::string> expected{GetParam().call};
    if (GetParam().paneOpens) {
        expected.push_back("login:settings");
    }
    EXPECT_EQ(fake.log.events(), expected);
    EXPECT_EQ(menu().entries.at(6)->state, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ToggleLaunchAtLoginTest,
    ::testing::Values(ToggleCase{"EnabledUnregisters", LoginItemStatus::enabled, true, "login:unregister",
                                 false, ControlState::off},
                      ToggleCase{"EnabledUnregisterFails", LoginItemStatus::enabled, false,
                                 "login:unregister", true, ControlState::on},
                      ToggleCase{"NotRegisteredRegisters", LoginItemStatus::notRegistered, true,
                                 "login:register", false, ControlState::on},
                      ToggleCase{"RequiresApprovalRegisters", LoginItemStatus::requiresApproval, true,
                                 "login:register", false, ControlState::on},
                      ToggleCase{"RequiresApprovalRegisterFails", LoginItemStatus::requiresApproval, false,
                                 "login:register", true, ControlState::off},
                      ToggleCase{"NotFoundRegisterFails", LoginItemStatus::notFound, false, "login:register",
                                 true, ControlState::off}),
    [](const ::testing::TestParamInfo<ToggleCase>& info) { return info.param.label; });

TEST_F(DelegateTest, LoginCommandsWorkWithoutTheMenuEntry)
{
    probe.enableLaunchAtLoginIfPossible();
    EXPECT_EQ(fake.loginService.current, LoginItemStatus::enabled);
    delegate->toggleLaunchAtLogin();
    EXPECT_EQ(fake.loginService.current, LoginItemStatus::notRegistered);
    // Switched off from the menu, it is registered again at the next start.
    probe.enableLaunchAtLoginIfPossible();
    EXPECT_EQ(fake.loginService.registrations, 2);
}

class LegacyAgentTest : public DelegateTest {
protected:
    std::filesystem::path agentFile() const
    {
        return fake.home() / "Library/LaunchAgents/com.tovra.automation.plist";
    }
    std::filesystem::path legacyFolder() const
    {
        return fake.home() / "Library/Application Support/Tovra Automation/Legacy";
    }
    std::vector<std::shared_ptr<FakeTask>> toolRuns() const
    {
        std::vector<std::shared_ptr<FakeTask>> runs;
        for (const auto& task : fake.taskLauncher.tasks) {
            if (task->executable == "/bin/launchctl") {
                runs.push_back(task);
            }
        }
        return runs;
    }
};

TEST_F(LegacyAgentTest, WithoutTheAgentFileNothingHappens)
{
    probe.migrateLegacyBackgroundBridge();
    EXPECT_TRUE(fake.taskLauncher.tasks.empty());
    EXPECT_TRUE(fake.fileManager.createdDirectories.empty());
    EXPECT_FALSE(std::filesystem::exists(fake.home() / "Library"));
}

TEST_F(LegacyAgentTest, BootsOutTheAgentAndMovesItsFileReplacingAnEarlierBackup)
{
    fake.processInfo.uid = 501;
    writeFile(agentFile(), "new agent");
    writeFile(legacyFolder() / "com.tovra.automation.plist", "earlier backup");
    probe.migrateLegacyBackgroundBridge();

    ASSERT_EQ(toolRuns().size(), 1u);
    EXPECT_EQ(toolRuns()[0]->arguments,
              (std::vector<std::string>{"bootout", "gui/501/com.tovra.automation"}));
    EXPECT_FALSE(toolRuns()[0]->environment.has_value());
    EXPECT_FALSE(toolRuns()[0]->currentDirectory.has_value());
    EXPECT_FALSE(toolRuns()[0]->standardOutput);
    EXPECT_EQ(toolRuns()[0]->waits, 1);
    EXPECT_FALSE(std::filesystem::exists(agentFile()));
    EXPECT_EQ(readFile(legacyFolder() / "com.tovra.automation.plist"), "new agent");
}

TEST_F(LegacyAgentTest, FileStepsRunWhenTheToolCannotStart)
{
    writeFile(agentFile(), "agent");
    fake.taskLauncher.onLaunch = [](FakeTask&) { return false; };
    probe.migrateLegacyBackgroundBridge();
    EXPECT_EQ(toolRuns().at(0)->waits, 1);
    EXPECT_EQ(readFile(legacyFolder() / "com.tovra.automation.plist"), "agent");
}

TEST_F(LegacyAgentTest, PlainFileWhereTheBackupFolderBelongsLeavesTheAgentSilently)
{
    writeFile(agentFile(), "agent");
    writeFile(legacyFolder(), "a plain file named Legacy");
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(readFile(agentFile()), "agent");
    EXPECT_EQ(readFile(legacyFolder()), "a plain file named Legacy");
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(bridgeTasks().size(), 1u); // start-up went on
}

TEST_F(LegacyAgentTest, SymbolicLinkIsMovedAsTheLink)
{
    const std::filesystem::path target = fake.root / "elsewhere.plist";
    writeFile(target, "target");
    std::filesystem::create_directories(agentFile().parent_path());
    std::filesystem::create_symlink(target, agentFile());
    probe.migrateLegacyBackgroundBridge();

    const std::filesystem::path moved = legacyFolder() / "com.tovra.automation.plist";
    EXPECT_TRUE(std::filesystem::is_symlink(moved));
    EXPECT_EQ(std::filesystem::read_symlink(moved), target);
    EXPECT_EQ(readFile(target), "target");
}

TEST_F(LegacyAgentTest, DanglingLinkStillCountsAsTheAgentFile)
{
    std::filesystem::create_directories(agentFile().parent_path());
    std::filesystem::create_symlink(fake.root / "gone.plist", agentFile());
    probe.migrateLegacyBackgroundBridge();
    EXPECT_TRUE(std::filesystem::is_symlink(legacyFolder() / "com.tovra.automation.plist"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(agentFile())));
}

} // namespace
} // namespace tovra::testing
