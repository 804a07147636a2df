// The desktop's conventions where only a real session shows them: the user's places and the opener
// of pages, in one QCoreApplication (the session bus needs one).
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "platform/freedesktop/desktop_workspace.h"
#include "platform/freedesktop/user_directories.h"

namespace tovra::freedesktop {
namespace {

namespace fs = std::filesystem;

TEST(UserDirectories, AbsoluteVariablesElseThePasswordDatabase)
{
    const fs::path database = getpwuid(getuid())->pw_dir;
    const std::tuple<const char*, const char*, fs::path, fs::path> cases[] = {
        {"/h", "/c", "/h", "/c"},
        {"/h", nullptr, "/h", "/h/.config"},
        {nullptr, nullptr, database, database / ".config"},
        {"h", "c", database, database / ".config"}};
    for (const auto& [home, config, expectedHome, expectedConfig] : cases) {
        home ? setenv("HOME", home, 1) : unsetenv("HOME");
        config ? setenv("XDG_CONFIG_HOME", config, 1) : unsetenv("XDG_CONFIG_HOME");
        for (const char* variable : {"XDG_STATE_HOME", "XDG_DATA_HOME"}) { // the same rule
            config ? setenv(variable, config, 1) : unsetenv(variable);
        }
        EXPECT_EQ(homeDirectory(), expectedHome);
        EXPECT_EQ(configDirectory(), expectedConfig);
        const bool absolute = config && config[0] == '/';
        EXPECT_EQ(stateDirectory(), absolute ? fs::path(config) : expectedHome / ".local/state");
        EXPECT_EQ(dataDirectory(), absolute ? fs::path(config) : expectedHome / ".local/share");
    }
}

TEST(DesktopWorkspace, OnlyAnAddressGoesToTheDesktopsOpenerNeverAnOption)
{
    SessionBus bus; // the tests' environment names no bus
    EXPECT_FALSE(DesktopWorkspace(bus).openURL("-h"));
    EXPECT_FALSE(DesktopWorkspace(bus).openURL("not a url"));
}

} // namespace
} // namespace tovra::freedesktop

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
