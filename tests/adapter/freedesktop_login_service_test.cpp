#include "platform/freedesktop/xdg_login_service.h"

#include <sys/stat.h>

#include <cstdlib>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/freedesktop/desktop_entry.h"
#include "support/temp_dir.h"

namespace tovra::freedesktop {
namespace {

namespace fs = std::filesystem;
using enum platform::LoginItemStatus;
using namespace tovra::testing;

const std::string ours = "/opt/tovra/bin/tovra-bridge";
const std::string head = "[Desktop Entry]\nType=Application\n";
const std::string own = head + "Exec=" + ours + "\n";
const AutostartIdentity identity{"tovra-bridge", "Tovra Bridge", "Keeps the Tovra bridge server running"};

struct MockWorkspace : platform::Workspace {
    MOCK_METHOD(bool, openURL, (const std::string&), (override));
    MOCK_METHOD(void, activateFileViewerSelecting, (const std::vector<fs::path>&), (override));
};

class XdgLoginServiceTest : public ::testing::Test {
protected:
    TempDir home;
    fs::path folder = home / "autostart";
    fs::path name = folder / "tovra-bridge.desktop";
    ::testing::StrictMock<MockWorkspace> workspace; // nothing is opened unless a test expects it
    XdgLoginService service{identity, fs::path(ours), folder, workspace};
};

TEST_F(XdgLoginServiceTest, StatusFollowsTheEntry)
{
    const std::string other = head + "Exec=/usr/bin/other\n";
    const std::string padding(XdgLoginService::maxEntrySize, '#');
    EXPECT_EQ(service.status(), notRegistered) << "no entry";
    const std::tuple<const char*, std::string, platform::LoginItemStatus> cases[] = {
        {"ours", own, enabled},
        {"another program", other, notRegistered},
        {"not an application", "[Desktop Entry]\nType=Link\nExec=" + ours + "\n", notRegistered},
        {"Hidden=1 over another program", other + "Hidden=1\n", requiresApproval},
        {"autostart off, no Exec", head + "X-GNOME-Autostart-enabled=false\n", requiresApproval},
        {"flags on, trailing blanks", own + "Hidden=0 \t\nX-GNOME-Autostart-enabled=true \n", enabled},
        {"unreadable beside off", own + "Hidden=true\nX-GNOME-Autostart-enabled=no\n", notRegistered},
        {"quoted after env", head + "Exec=env \"" + ours + "\" --login\n", enabled},
        {"a wrapper that is gone", head + "Exec=/gone/wrapper " + ours + " --login\n", notRegistered},
        {"only named in a variable", head + "Exec=env X=" + ours + " /usr/bin/true\n", notRegistered},
        {"an Exec that cannot be read", head + "Exec=env \"" + ours + "\n", notRegistered},
        {"exactly the size limit", (own + padding).substr(0, XdgLoginService::maxEntrySize), enabled},
        {"over the size limit", own + padding, notRegistered},
    };
    for (const auto& [label, text, status] : cases) {
        writeFile(name, text);
        EXPECT_EQ(service.status(), status) << label;
    }
    fs::remove(name);
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    EXPECT_EQ(service.status(), notRegistered) << "a FIFO, not waited for";
}

TEST_F(XdgLoginServiceTest, RegisterWritesAValidEntryNamingThisProgramUnregisterSwitchesItOffTheFolderOpens)
{
    const fs::path program = home / "Tovra \"Bridge\" $`%\\\xC3\xA9" / "tovra-bridge";
    XdgLoginService awkward(identity, program, folder, workspace);
    ASSERT_TRUE(awkward.registerService());
    EXPECT_EQ(awkward.status(), enabled);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "a temporary file is left";
    const std::optional<DesktopEntryKeys> keys = parseDesktopEntry(readFile(name));
    ASSERT_TRUE(keys);
    EXPECT_EQ(programOfExec(keys->at("Exec")), program.string());
    EXPECT_TRUE(keys->at("Exec").ends_with("\" --login")) << keys->at("Exec"); // it knows who started it
    EXPECT_EQ(keys->at("TryExec"), home.path.string() + "/Tovra \"Bridge\" $`%\\\\\xC3\xA9/tovra-bridge");
    const std::string validate =
        "desktop-file-validate '" + name.string() + "' >'" + home.path.string() + "/out' 2>&1";
    EXPECT_EQ(std::system(validate.c_str()), 0);
    EXPECT_EQ(readFile(home / "out"), "");
    fs::create_symlink(home / "elsewhere", home / "link");
    fs::rename(home / "link", name);
    ASSERT_TRUE(awkward.registerService());
    EXPECT_FALSE(fs::exists(home / "elsewhere")) << "written through a symlink at the name";
    EXPECT_FALSE(fs::is_symlink(name));
    EXPECT_TRUE(awkward.unregisterService());
    EXPECT_EQ(awkward.status(), requiresApproval) << "switched off, kept";
    EXPECT_EQ(parseDesktopEntry(readFile(name))->at("Hidden"), "true");
    EXPECT_EQ(std::system(validate.c_str()), 0);
    EXPECT_CALL(workspace, openURL("file://" + home.path.string() + "/auto%20start%25%C3%A9"));
    XdgLoginService(identity, program, home / "auto start%\xC3\xA9", workspace).openSettingsPane();
}

TEST_F(XdgLoginServiceTest, AnEntryTheUserEditedIsSwitchedOffAndOnAsItStands)
{
    const std::string mine =
        "# mine\n[Desktop Entry]\nType=Application\nName=Mine\nExec=env QT_SCALE_FACTOR=2 " + ours +
        " --login\nX-GNOME-Autostart-enabled=true\n";
    const std::string action = "[Desktop Action x]\nName=X\n"; // a group after ours: the keys go in ours
    writeFile(name, mine + action);
    ASSERT_EQ(service.status(), enabled);
    ASSERT_TRUE(service.unregisterService());
    EXPECT_EQ(service.status(), requiresApproval);
    EXPECT_EQ(readFile(name), mine + "Hidden=true\n" + action);
    ASSERT_TRUE(service.registerService());
    EXPECT_EQ(service.status(), enabled);
    EXPECT_EQ(readFile(name), mine + "Hidden=false\n" + action);
    // One that starts a program no longer there is written anew.
    writeFile(name, head + "Exec=/gone/wrapper " + ours + " --login\n");
    ASSERT_TRUE(service.registerService());
    EXPECT_EQ(programOfExec(parseDesktopEntry(readFile(name))->at("Exec")), ours);
}

TEST_F(XdgLoginServiceTest, ThisProgramByItsNameOnThePath)
{
    const fs::path bin = home / "bin";
    writeFile(bin / "tovra-bridge", "#!/bin/sh\n");
    fs::permissions(bin / "tovra-bridge", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    XdgLoginService installed(identity, bin / "tovra-bridge", folder, workspace);
    writeFile(name, head + "Exec=env QT_SCALE_FACTOR=2 tovra-bridge --login\n");
    EXPECT_EQ(installed.status(), enabled);
    writeFile(name, head + "Exec=tovra-bridge --login\n");
    EXPECT_EQ(installed.status(), enabled);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(installed.status(), notRegistered) << "another tovra-bridge, or none";
}

TEST_F(XdgLoginServiceTest, FailuresAreReportedAndLeaveNothingBehind)
{
    writeFile(folder, "a file in place of the folder");
    EXPECT_FALSE(service.registerService());
    EXPECT_FALSE(service.unregisterService()) << "no entry can be kept switched off there";
    fs::remove(folder);
    fs::create_directories(name);
    EXPECT_FALSE(service.registerService()) << "a folder at the entry's name";
    EXPECT_FALSE(service.unregisterService()) << "a folder at the entry's name";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
    EXPECT_FALSE(
        XdgLoginService(identity, "bin/tovra", home / "new", workspace).registerService()); // relative
}

} // namespace
} // namespace tovra::freedesktop
