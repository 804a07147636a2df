#include "delegate_fixture.h"
#include "log/bridge_log.h"

namespace tovra::testing {
namespace {

using namespace std::chrono;

TEST(LogBannerTest, IsFortyFourBytesInUtcWithWholeSeconds)
{
    const system_clock::time_point time =
        sys_days{year{2026} / 12 / 5} + hours{3} + minutes{48} + seconds{30} + milliseconds{999};
    const std::string banner = log::logBanner(time);
    EXPECT_EQ(banner, "\n--- Tovra started 2026-12-05T03:48:30Z ---\n");
    EXPECT_EQ(banner.size(), 44u);
}

TEST(LogBannerTest, FormatsCalendarEdges)
{
    EXPECT_EQ(log::iso8601(system_clock::time_point{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(log::iso8601(sys_days{year{2024} / 2 / 29} + hours{23} + minutes{59} + seconds{59}),
              "2024-02-29T23:59:59Z");
    // Before the epoch the time still rounds down, to the earlier second.
    EXPECT_EQ(log::iso8601(sys_days{year{1969} / 12 / 31} + hours{23} + minutes{59} + seconds{59} +
                           milliseconds{500}),
              "1969-12-31T23:59:59Z");
}

class BridgeLogTest : public DelegateTest {};

TEST_F(BridgeLogTest, FirstLaunchCreatesTheFolderAndAFileStartingWithTheBanner)
{
    ASSERT_FALSE(std::filesystem::exists(fake.home() / "Library"));
    probe.appendLogHeader();

    EXPECT_EQ(fake.readLog(), "\n--- Tovra started 2026-12-05T03:48:30Z ---\n");
    ASSERT_TRUE(probe.logHandle());
    EXPECT_FALSE(std::dynamic_pointer_cast<FakeFileHandle>(probe.logHandle())->isClosed());
}

TEST_F(BridgeLogTest, BannerLandsAfterEverythingAlreadyThere)
{
    writeFile(fake.logFile(), "earlier run\npartial line without a feed");
    probe.appendLogHeader();
    EXPECT_EQ(fake.readLog(), "earlier run\npartial line without a feed"
                              "\n--- Tovra started 2026-12-05T03:48:30Z ---\n");

    // Whatever the server writes next follows the banner, through the same handle.
    probe.logHandle()->write("listening\n");
    EXPECT_EQ(fake.readLog(), "earlier run\npartial line without a feed"
                              "\n--- Tovra started 2026-12-05T03:48:30Z ---\nlistening\n");
}

TEST_F(BridgeLogTest, FolderAtTheLogPathLeavesNoHandle)
{
    std::filesystem::create_directories(fake.logFile());
    probe.appendLogHeader();
    EXPECT_FALSE(probe.logHandle());
    EXPECT_TRUE(std::filesystem::is_directory(fake.logFile()));
}

TEST_F(BridgeLogTest, FailedOpenEmptiesAHandleStillHeld)
{
    probe.appendLogHeader();
    ASSERT_TRUE(probe.logHandle());
    std::filesystem::remove(fake.logFile());
    std::filesystem::create_directories(fake.logFile());
    probe.appendLogHeader();
    EXPECT_FALSE(probe.logHandle());
}

TEST_F(BridgeLogTest, EveryLaunchAddsABannerButAnAbandonedOneDoesNot)
{
    probe.buildMenu();
    probe.startBridge();
    currentTask()->exit();
    fake.mainQueue.advance(2.0); // relaunched
    currentTask()->exit();
    fake.mainQueue.runPending();
    std::filesystem::remove(fake.resources() / "app/server.js");
    fake.mainQueue.advance(2.0); // abandoned: files missing

    EXPECT_EQ(fake.readLog(), "\n--- Tovra started 2026-12-05T03:48:30Z ---\n"
                              "\n--- Tovra started 2026-12-05T03:48:32Z ---\n");
}

TEST_F(BridgeLogTest, RevealRecreatesADeletedLogAndSelectsIt)
{
    probe.appendLogHeader();
    std::filesystem::remove(fake.logFile());

    delegate->revealLog();
    EXPECT_TRUE(std::filesystem::is_regular_file(fake.logFile()));
    EXPECT_EQ(std::filesystem::file_size(fake.logFile()), 0u);
    ASSERT_EQ(fake.workspace.revealed.size(), 1u);
    EXPECT_EQ(fake.workspace.revealed[0], std::vector<std::filesystem::path>{fake.logFile()});
}

TEST_F(BridgeLogTest, RevealDoesNotCreateTheFolder)
{
    delegate->revealLog();
    EXPECT_FALSE(std::filesystem::exists(fake.home() / "Library/Logs"));
    ASSERT_EQ(fake.workspace.revealed.size(), 1u);
    EXPECT_EQ(fake.workspace.revealed[0], std::vector<std::filesystem::path>{fake.logFile()});
}

} // namespace
} // namespace tovra::testing
