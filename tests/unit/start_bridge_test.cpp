#include "app/status_texts.h"
#include "delegate_fixture.h"

namespace tovra::testing {
namespace {

class StartBridgeTest : public DelegateTest {
protected:
    void SetUp() override { probe.buildMenu(); }
    std::filesystem::path runtime() const { return fake.resources() / "runtime/node-arm64"; }
    std::filesystem::path script() const { return fake.resources() / "app/server.js"; }
    std::filesystem::path dataDirectory() const
    {
        return fake.home() / "Library/Application Support/Tovra Automation";
    }
};

TEST_F(StartBridgeTest, LaunchesTheRuntimeWithTheScriptInTheAppDirectory)
{
    fake.processInfo.env = {{"PATH", "/usr/bin"},      {"PORT", "8080"},        {"TOVRA_DATA_DIR", "/tmp/x"},
                            {"TOVRA_BACKGROUND", "0"}, {"LANG", "de_DE.UTF-8"}, {"EMPTY", ""}};
    probe.startBridge();

    ASSERT_EQ(bridgeTasks().size(), 1u);
    const FakeTask& task = *bridgeTasks()[0];
    EXPECT_EQ(task.executable, runtime());
    EXPECT_EQ(task.arguments, std::vector<std::string>{script().string()});
    EXPECT_TRUE(std::filesystem::path(task.arguments[0]).is_absolute());
    EXPECT_EQ(task.currentDirectory, fake.resources() / "app");
    const platform::Environment expected{
        {"PATH", "/usr/bin"},      {"PORT", "4173"},        {"TOVRA_DATA_DIR", dataDirectory().string()},
        {"TOVRA_BACKGROUND", "1"}, {"LANG", "de_DE.UTF-8"}, {"EMPTY", ""}};
    EXPECT_EQ(task.environment, expected);
    EXPECT_TRUE(std::filesystem::is_directory(dataDirectory()));
    // The child's output goes to the log handle, the same one for both streams.
    ASSERT_TRUE(probe.logHandle());
    EXPECT_EQ(task.standardOutput, probe.logHandle());
    EXPECT_EQ(task.standardError, probe.logHandle());
    EXPECT_TRUE(task.hasTerminationHandler());
    EXPECT_EQ(probe.bridgeProcess(), bridgeTasks()[0]);
    EXPECT_EQ(statusTitles(), std::vector<std::string>{"Starting bridge\u2026"});
    EXPECT_EQ(button().tint, platform::TintColor::secondaryLabel);
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 0u);
}

TEST_F(StartBridgeTest, DoesNothingWhileATaskIsPresentEvenOneThatEnded)
{
    probe.startBridge();
    const std::string log = fake.readLog();
    currentTask()->exit(); // its exit is queued, not yet processed
    fake.log.clear();

    probe.startBridge();
    EXPECT_EQ(bridgeTasks().size(), 1u);
    EXPECT_TRUE(fake.log.events().empty());
    EXPECT_EQ(fake.readLog(), log);
}

struct MissingCase {
    const char* label;
    std::function<void(FakePlatform&)> breakIt;
    bool alert;
};

class MissingFilesTest : public StartBridgeTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingFilesTest, ReportsWithoutLaunchingOrRetrying)
{
    GetParam().breakIt(fake);
    probe.startBridge();

    EXPECT_TRUE(fake.taskLauncher.tasks.empty());
    EXPECT_FALSE(probe.bridgeProcess());
    EXPECT_FALSE(probe.logHandle());
    EXPECT_FALSE(std::filesystem::exists(fake.logFile()));
    EXPECT_EQ(statusTitles(), std::vector<std::string>{"Bridge files missing"});
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 0u);
    if (!GetParam().alert) {
        EXPECT_TRUE(fake.alerts.shown.empty());
        return;
    }
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    const platform::AlertContent& alert = fake.alerts.shown[0];
    EXPECT_EQ(alert.style, platform::AlertStyle::critical);
    EXPECT_EQ(alert.messageText, "Tovra couldn\xE2\x80\x99t start");
    EXPECT_EQ(alert.informativeText,
              "Tovra\xE2\x80\x99s bridge files are incomplete. Move Tovra to Trash and download it again.");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
    // The application comes to the front first, and the status already reads as missing.
    const std::vector<std::string> events = fake.log.events();
    const auto activate = std::find(events.begin(), events.end(), "app:activate");
    const auto shown = std::find(events.begin(), events.end(), "alert:Tovra couldn\u2019t start");
    const auto status = std::find(events.begin(), events.end(), "title:Bridge files missing");
    EXPECT_LT(status, activate);
    EXPECT_LT(activate, shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingFilesTest,
    ::testing::Values(
        MissingCase{"NoResourceDirectory", [](FakePlatform& f) { f.bundle.resources.reset(); }, false},
        MissingCase{"RuntimeMissing",
                    [](FakePlatform& f) { std::filesystem::remove(f.resources() / "runtime/node-arm64"); },
                    true},
        MissingCase{"RuntimeNotExecutable",
                    [](FakePlatform& f) {
                        std::filesystem::permissions(f.resources() / "runtime/node-arm64",
                                                     std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
                    },
                    true},
        MissingCase{"RuntimeIsADirectory",
                    [](FakePlatform& f) {
                        std::filesystem::remove(f.resources() / "runtime/node-arm64");
                        std::filesystem::create_directories(f.resources() / "runtime/node-arm64");
                    },
                    true},
        MissingCase{"ScriptMissing",
                    [](FakePlatform& f) { std::filesystem::remove(f.resources() / "app/server.js"); }, true}),
    [](const ::testing::TestParamInfo<MissingCase>& info) { return info.param.label; });

TEST_F(StartBridgeTest, FailedLaunchClosesTheLogAndSchedulesARetry)
{
    fake.taskLauncher.onLaunch = [](FakeTask&) { return false; };
    probe.startBridge();

    EXPECT_FALSE(probe.bridgeProcess());
    EXPECT_FALSE(probe.logHandle());
    ASSERT_EQ(fake.fileManager.openedHandles.size(), 1u);
    EXPECT_TRUE(fake.fileManager.openedHandles[0]->isClosed());
    EXPECT_EQ(statusTitles(), std::vector<std::string>{"Couldn\u2019t start bridge"});
    EXPECT_EQ(fake.mainQueue.pendingWorkItems(), 1u);

    // The retry opens the log afresh and writes a new banner.
    fake.taskLauncher.onLaunch = nullptr;
    fake.mainQueue.advance(2.0);
    EXPECT_TRUE(probe.bridgeProcess());
    EXPECT_EQ(fake.fileManager.openedHandles.size(), 2u);
    EXPECT_EQ(fake.readLog(), "\n--- Tovra started 2026-12-05T03:48:30Z ---\n"
                              "\n--- Tovra started 2026-12-05T03:48:32Z ---\n");
}

TEST_F(StartBridgeTest, DataDirectoryThatCannotBeCreatedStillLaunches)
{
    writeFile(fake.home() / "Library/Application Support", "a file in the way");
    probe.startBridge();

    ASSERT_TRUE(probe.bridgeProcess());
    EXPECT_EQ(currentTask()->environment->at("TOVRA_DATA_DIR"), dataDirectory().string());
    EXPECT_EQ(statusLine().title, "Starting bridge\u2026");
}

TEST_F(StartBridgeTest, LogThatCannotBeOpenedStillLaunchesWithoutRedirection)
{
    writeFile(fake.home() / "Library/Logs", "a file where the log folder belongs");
    probe.startBridge();

    ASSERT_TRUE(probe.bridgeProcess());
    EXPECT_FALSE(probe.logHandle());
    EXPECT_FALSE(currentTask()->standardOutput);
    EXPECT_FALSE(currentTask()->standardError);
    EXPECT_TRUE(fake.alerts.shown.empty());
    EXPECT_EQ(statusTitles(), std::vector<std::string>{"Starting bridge\u2026"});
}

} // namespace
} // namespace tovra::testing
