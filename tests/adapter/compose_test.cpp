// The composition root's own decisions: the display a start runs on, and this user's one instance
// claimed and handed to the backends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

#include "platform/compose/display_choice.h"
#include "platform/compose/instance_claim.h"
#include "platform/diagnostics.h"
#include "support/temp_dir.h"

namespace tovra::platform {
namespace {

using namespace std::chrono_literals;
using tovra::testing::TempDir, tovra::testing::writeFile;
namespace fs = std::filesystem;

TEST(DisplayChoice, QtsOwnChoiceElseXUnlessAWaylandSessionOtherThanGnomesSaysOtherwise)
{
    struct Case {
        DisplayEnvironment environment;
        std::string platform;
    };
    const Case cases[] = {
        {{"wayland;xcb", ":0", "wayland-0", "x11", ""}, "wayland;xcb"}, // the user's word first
        {{"", "", "", "", ""}, "offscreen"},
        {{"", ":0", "", "wayland", "KDE:plasma"}, "xcb"},
        {{"", "", "wayland-0", "", ""}, "wayland"}, // nothing else to run on
        {{"", ":0", "wayland-0", "WAYLAND", "XFCE:xfce"}, "wayland"},
        {{"", ":0", "wayland-0", "wayland", "ubuntu:GNOME:ubuntu"}, "xcb"},
        {{"", ":0", "wayland-0", "x11", "KDE:plasma"}, "xcb"}, // an X session that also names Wayland
    };
    for (const Case& expected : cases) {
        const DisplayEnvironment& e = expected.environment;
        EXPECT_EQ(preferredPlatform(e), expected.platform)
            << e.qpaPlatform << "|" << e.display << "|" << e.waylandDisplay << "|" << e.sessionType << "|"
            << e.desktops;
    }
}

posix::InstancePlaces placesIn(const TempDir& dir)
{
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    return {dir / "tmp", dir / "user", dir / "run", dir / "cache", "tovra-bridge"};
}

TEST(InstanceClaim, HoldsTheLockAndListensInEachFolderFromTheClaimUntilItGoes)
{
    const TempDir dir;
    const posix::InstancePlaces places = placesIn(dir);
    HeldInstance claim = claimInstance(places);
    ASSERT_TRUE(claim);
    const std::vector<fs::path> folders = claim->instance.folders;
    EXPECT_EQ(folders.size(), 3u);
    EXPECT_EQ(claim->listeners.size(), folders.size());
    EXPECT_FALSE(claimInstance(places)) << "claimed twice";
    for (const fs::path& folder : folders) { // listening, not yet served: a request waits
        EXPECT_EQ(linuxos::askControlSocket(folder, places.name, "status", 100ms).from,
                  ControlReply::From::silent)
            << folder;
    }

    claim.reset();
    for (const fs::path& folder : folders) {
        EXPECT_EQ(linuxos::askControlSocket(folder, places.name, "status", 100ms).from,
                  ControlReply::From::nobody)
            << folder;
    }
    EXPECT_TRUE(claimInstance(places)) << "the lock went with its claim";
}

TEST(InstanceClaim, WhereNoPlaceTakesALockTheStartRunsAsTheOnlyOneWithNothingToListenOn)
{
    const TempDir dir;
    writeFile(dir / "file", "");
    static std::string said;
    const WarningSink previous =
        std::exchange(warningSink(), [](std::string_view line) { said.append(line); });
    const HeldInstance claim = claimInstance(
        {dir / "file/tmp", dir / "file/user", dir / "file/run", dir / "file/cache", "tovra-bridge"});
    warningSink() = previous;
    ASSERT_TRUE(claim);
    EXPECT_EQ(claim->instance.claim, posix::InstanceClaim::unlocked);
    EXPECT_TRUE(claim->listeners.empty());
    EXPECT_THAT(said, ::testing::HasSubstr("running unlocked"));
}

} // namespace
} // namespace tovra::platform
