// The composition root's own decisions: the display a start runs on, and a start that can lock
// nowhere. The instance claimed and listening in each folder is seen end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

#include "platform/compose/display_choice.h"
#include "platform/compose/instance_claim.h"
#include "platform/diagnostics.h"
#include "support/temp_dir.h"

namespace tovra::platform {
namespace {

using tovra::testing::TempDir, tovra::testing::writeFile;

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
