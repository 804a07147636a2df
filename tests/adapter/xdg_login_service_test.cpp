#include "platform/xdg/xdg_login_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using tovra::platform::LoginItemStatus;
using tovra::xdg::XdgLoginService;

const fs::path ourExecutable = "/opt/tovra/bin/tovra-bridge";

class RecordingWorkspace : public tovra::platform::Workspace {
public:
    bool openURL(const std::string& url) override
    {
        openedURLs.push_back(url);
        return true;
    }
    void activateFileViewerSelecting(const std::vector<fs::path>& files) override
    {
        selections.push_back(files);
    }

    std::vector<std::string> openedURLs;
    std::vector<std::vector<fs::path>> selections;
};

const char* statusName(LoginItemStatus status)
{
    switch (status) {
    case LoginItemStatus::notRegistered:
        return "notRegistered";
    case LoginItemStatus::enabled:
        return "enabled";
    case LoginItemStatus::requiresApproval:
        return "requiresApproval";
    case LoginItemStatus::notFound:
        return "notFound";
    }
    return "?";
}

std::string entryExecuting(const std::string& execValue, const std::string& extraLines = "")
{
    return "[Desktop Entry]\nType=Application\nName=Tovra Bridge\nExec=" + execValue + "\n" + extraLines;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& contents)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    ASSERT_TRUE(out.flush()) << path;
}

std::set<std::string> namesIn(const fs::path& directory)
{
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(directory)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

struct ValidatorResult {
    int exitCode;
    std::string output;
};

ValidatorResult validateDesktopFile(const fs::path& file)
{
    std::string command = "/usr/bin/desktop-file-validate '" + file.string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "popen failed"};
    }
    std::string output;
    char buffer[512];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class XdgLoginServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tovra-xdg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        autostart = root / "config" / "autostart";
        entry = autostart / "tovra-bridge.desktop";
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(autostart, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }

    XdgLoginService service(std::optional<fs::path> executable = ourExecutable)
    {
        return XdgLoginService(std::move(executable), autostart, workspace);
    }

    fs::path root;
    fs::path autostart;
    fs::path entry;
    RecordingWorkspace workspace;
};

TEST_F(XdgLoginServiceTest, StatusReadsTheEntryAtTheName)
{
    const std::string ours = ourExecutable.string();
    struct Case {
        const char* label;
        std::string contents;
        LoginItemStatus expected;
        fs::path executable = ourExecutable;
    };
    const std::vector<Case> cases = {
        {"ours", entryExecuting(ours), LoginItemStatus::enabled},
        {"CRLF line endings", "[Desktop Entry]\r\nType=Application\r\nExec=" + ours + "\r\nHidden=true\r\n",
         LoginItemStatus::requiresApproval},
        {"no trailing newline", "[Desktop Entry]\nType=Application\nExec=" + ours, LoginItemStatus::enabled},
        {"comments, blank lines, indentation, spaces around =",
         "# written by hand\n\n[Desktop Entry]\n  # indented comment\n\n  Type = Application\nExec  =  " +
             ours + "\n",
         LoginItemStatus::enabled},
        {"other groups and localized keys do not count",
         "[Desktop Action quit]\nExec=/usr/bin/other\nHidden=true\n[Desktop Entry]\nType=Application\n"
         "Exec[de]=/usr/bin/other\nHidden[de]=true\nExec=" +
             ours + "\n[X-Extra]\nX-GNOME-Autostart-enabled=false\n",
         LoginItemStatus::enabled},
        {"program quoted though it need not be", entryExecuting("\"" + ours + "\""),
         LoginItemStatus::enabled},
        {"program followed by arguments", entryExecuting(ours + " --quiet %u"), LoginItemStatus::enabled},
        {"\\s separates the program from its argument", entryExecuting(ours + "\\s--quiet"),
         LoginItemStatus::enabled},
        {"flags that leave it on", entryExecuting(ours, "Hidden=false\nX-GNOME-Autostart-enabled=true\n"),
         LoginItemStatus::enabled},
        {"Hidden=true", entryExecuting(ours, "Hidden=true\n"), LoginItemStatus::requiresApproval},
        {"X-GNOME-Autostart-enabled=false", entryExecuting(ours, "X-GNOME-Autostart-enabled=false\n"),
         LoginItemStatus::requiresApproval},
        {"switched off with 0 and trailing spaces", entryExecuting(ours, "X-GNOME-Autostart-enabled=0  \n"),
         LoginItemStatus::requiresApproval},
        {"Hidden=true outweighs enabled=true",
         entryExecuting(ours, "Hidden=true\nX-GNOME-Autostart-enabled=true\n"),
         LoginItemStatus::requiresApproval},
        {"unreadable flag", entryExecuting(ours, "Hidden=yes\n"), LoginItemStatus::notRegistered},

        {"program moved", entryExecuting("/usr/local/bin/tovra-bridge"), LoginItemStatus::notRegistered},
        {"our path as a prefix", entryExecuting(ours + "2"), LoginItemStatus::notRegistered},
        {"our path as an argument", entryExecuting("/usr/bin/env " + ours), LoginItemStatus::notRegistered},
        {"foreign entry, switched off", entryExecuting("/usr/bin/other", "Hidden=true\n"),
         LoginItemStatus::notRegistered},
        {"Type=Link", "[Desktop Entry]\nType=Link\nExec=" + ours + "\n", LoginItemStatus::notRegistered},
        {"no Type", "[Desktop Entry]\nExec=" + ours + "\n", LoginItemStatus::notRegistered},
        {"no Exec", "[Desktop Entry]\nType=Application\n", LoginItemStatus::notRegistered},
        {"empty Exec", entryExecuting(""), LoginItemStatus::notRegistered},
        {"only a localized Exec", "[Desktop Entry]\nType=Application\nExec[de]=" + ours + "\n",
         LoginItemStatus::notRegistered},
        {"unterminated quote", entryExecuting("\"" + ours), LoginItemStatus::notRegistered},
        {"quotes around part of the program", entryExecuting("\"" + ours + "\"x"),
         LoginItemStatus::notRegistered},
        {"invalid escape sequence", entryExecuting(ours + " --x\\q"), LoginItemStatus::notRegistered},
        {"key before any group", "Exec=" + ours + "\n" + entryExecuting(ours),
         LoginItemStatus::notRegistered},
        {"line that is no key, group or comment", entryExecuting(ours, "garbage\n"),
         LoginItemStatus::notRegistered},
        {"no [Desktop Entry] group", "[Desktop Action x]\nType=Application\nExec=" + ours + "\n",
         LoginItemStatus::notRegistered},
        {"group names are case-sensitive", "[desktop entry]\nType=Application\nExec=" + ours + "\n",
         LoginItemStatus::notRegistered},
        {"conflicting Exec keys", entryExecuting(ours, "Exec=/usr/bin/other\n"),
         LoginItemStatus::notRegistered},
        {"[Desktop Entry] twice", entryExecuting(ours, "[Desktop Entry]\nHidden=true\n"),
         LoginItemStatus::notRegistered},
        {"NUL byte", entryExecuting(ours, "Comment=a\0"s + "b\n"), LoginItemStatus::notRegistered},
        {"empty file", "", LoginItemStatus::notRegistered},

        {"space quoted", entryExecuting("\"/opt/my app/tovra\""), LoginItemStatus::enabled,
         "/opt/my app/tovra"},
        {"space unquoted splits the program", entryExecuting("/opt/my app/tovra"),
         LoginItemStatus::notRegistered, "/opt/my app/tovra"},
        {"$ quoted and escaped", entryExecuting("\"/opt/a\\\\$b\""), LoginItemStatus::enabled, "/opt/a$b"},
        {"$ unquoted", entryExecuting("/opt/a$b"), LoginItemStatus::notRegistered, "/opt/a$b"},
        {"backslash escaped twice", entryExecuting("\"/opt/a\\\\\\\\b\""), LoginItemStatus::enabled,
         "/opt/a\\b"},
        {"backslash escaped once", entryExecuting("\"/opt/a\\\\b\""), LoginItemStatus::notRegistered,
         "/opt/a\\b"},
        {"%%", entryExecuting("/opt/100%%"), LoginItemStatus::enabled, "/opt/100%"},
        {"lone % is a field code", entryExecuting("/opt/100%"), LoginItemStatus::notRegistered, "/opt/100%"},
    };
    for (const auto& c : cases) {
        writeFile(entry, c.contents);
        EXPECT_STREQ(statusName(service(c.executable).status()), statusName(c.expected)) << c.label;
    }
}

TEST_F(XdgLoginServiceTest, StatusOfWhatStandsAtTheName)
{
    struct Case {
        const char* label;
        std::function<void()> arrange;
        LoginItemStatus expected;
    };
    const fs::path elsewhere = root / "elsewhere.desktop";
    const std::vector<Case> cases = {
        {"no autostart folder", [] {}, LoginItemStatus::notRegistered},
        {"empty autostart folder", [&] { fs::create_directories(autostart); },
         LoginItemStatus::notRegistered},
        {"directory", [&] { fs::create_directories(entry); }, LoginItemStatus::notRegistered},
        {"symlink to our entry",
         [&] {
             writeFile(elsewhere, entryExecuting(ourExecutable.string()));
             fs::create_directories(autostart);
             fs::create_symlink(elsewhere, entry);
         },
         LoginItemStatus::enabled},
        {"dangling symlink",
         [&] {
             fs::create_directories(autostart);
             fs::create_symlink(root / "missing.desktop", entry);
         },
         LoginItemStatus::notRegistered},
        {"regular file where the folder should be", [&] { writeFile(autostart, entryExecuting("x")); },
         LoginItemStatus::notRegistered},
    };
    for (const auto& c : cases) {
        std::error_code ignored;
        fs::remove_all(root / "config", ignored);
        fs::remove(elsewhere, ignored);
        c.arrange();
        EXPECT_STREQ(statusName(service().status()), statusName(c.expected)) << c.label;
    }
}

TEST_F(XdgLoginServiceTest, StatusDoesNotBlockOnAFifoAtTheName)
{
    fs::create_directories(autostart);
    ASSERT_EQ(::mkfifo(entry.c_str(), 0644), 0);
    auto pending = std::async(std::launch::async, [this] { return service().status(); });
    bool returned = pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!returned) {
        // Give the blocked reader a writer and end of file, so the test fails instead of hanging.
        int fd = ::open(entry.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    EXPECT_TRUE(returned) << "status() blocked opening a FIFO";
    EXPECT_EQ(pending.get(), LoginItemStatus::notRegistered);
}

TEST_F(XdgLoginServiceTest, StatusOfAnUnreadableEntryIsNotRegistered)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root: permission bits do not stop reading";
    }
    writeFile(entry, entryExecuting(ourExecutable.string()));
    fs::permissions(entry, fs::perms::none);
    EXPECT_EQ(service().status(), LoginItemStatus::notRegistered);
}

TEST_F(XdgLoginServiceTest, StatusReadsEntriesUpToTheSizeCap)
{
    const std::string base = entryExecuting(ourExecutable.string());
    for (std::size_t size : {XdgLoginService::maxEntrySize, XdgLoginService::maxEntrySize + 1}) {
        std::string contents = base + "#" + std::string(size - base.size() - 2, 'x') + "\n";
        ASSERT_EQ(contents.size(), size);
        writeFile(entry, contents);
        EXPECT_EQ(service().status(), size <= XdgLoginService::maxEntrySize ? LoginItemStatus::enabled
                                                                            : LoginItemStatus::notRegistered)
            << size << " bytes";
    }
}

TEST_F(XdgLoginServiceTest, UnknownExecutableIsNotFoundAndCannotRegister)
{
    const std::string existing = entryExecuting(ourExecutable.string());
    const std::vector<std::pair<const char*, std::optional<fs::path>>> cases = {
        {"none", std::nullopt}, {"empty", fs::path()}, {"relative", fs::path("bin/tovra-bridge")}};
    for (const auto& [label, executable] : cases) {
        writeFile(entry, existing);
        auto login = service(executable);
        EXPECT_EQ(login.status(), LoginItemStatus::notFound) << label;
        EXPECT_FALSE(login.registerService()) << label;
        EXPECT_EQ(readFile(entry), existing) << label;
    }
}

TEST_F(XdgLoginServiceTest, RegisteredEntryIsValidAndNamesTheExactProgram)
{
    if (!fs::exists("/usr/bin/desktop-file-validate")) {
        GTEST_SKIP() << "desktop-file-validate is not installed";
    }
    struct Case {
        const char* label;
        std::string executable;
        std::string execLine;
    };
    const std::vector<Case> cases = {
        {"plain", "/opt/tovra/bin/tovra-bridge", "Exec=/opt/tovra/bin/tovra-bridge"},
        {"spaces", "/home/a b/Tovra Bridge/tovra-bridge", "Exec=\"/home/a b/Tovra Bridge/tovra-bridge\""},
        {"dollar", "/opt/a$HOME/t", "Exec=\"/opt/a\\\\$HOME/t\""},
        {"double quotes", "/opt/say \"hi\"/t", "Exec=\"/opt/say \\\\\"hi\\\\\"/t\""},
        {"backslash", "/opt/back\\slash/t", "Exec=\"/opt/back\\\\\\\\slash/t\""},
        {"percent", "/opt/100%/t", "Exec=/opt/100%%/t"},
        {"percent in a quoted path", "/opt/100% sure/t", "Exec=\"/opt/100%% sure/t\""},
        {"backtick and single quote", "/opt/it's `x`/t", "Exec=\"/opt/it's \\\\`x\\\\`/t\""},
        {"tab and newline", "/opt/a\tb\nc/t", "Exec=\"/opt/a\\tb\\nc/t\""},
        {"other reserved characters", "/opt/~#&;|<>*?()/t", "Exec=\"/opt/~#&;|<>*?()/t\""},
        {"non-ASCII", "/opt/Grüße/t", "Exec=/opt/Grüße/t"},
        {"all at once", "/opt/$\"\\%` x/t", "Exec=\"/opt/\\\\$\\\\\"\\\\\\\\%%\\\\` x/t\""},
    };
    for (const auto& c : cases) {
        std::error_code ignored;
        fs::remove_all(root / "config", ignored);

        ASSERT_TRUE(service(c.executable).registerService()) << c.label;
        EXPECT_EQ(service(c.executable).status(), LoginItemStatus::enabled) << c.label;
        EXPECT_EQ(service("/opt/tovra/bin/tovra-bridge-other").status(), LoginItemStatus::notRegistered)
            << c.label;

        std::string contents = readFile(entry);
        EXPECT_NE(contents.find("\n" + c.execLine + "\n"), std::string::npos) << c.label << "\n" << contents;
        EXPECT_EQ(contents.rfind("[Desktop Entry]\n", 0), 0u) << c.label;
        EXPECT_NE(contents.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos) << c.label;

        auto validation = validateDesktopFile(entry);
        EXPECT_EQ(validation.exitCode, 0) << c.label << "\n" << validation.output;
        EXPECT_EQ(validation.output, "") << c.label;
        EXPECT_EQ(namesIn(autostart), std::set<std::string>{"tovra-bridge.desktop"}) << c.label;
    }
}

TEST_F(XdgLoginServiceTest, ProgramsADesktopFileCannotNameAreNotRegistered)
{
    for (const char* executable : {"/opt/a\x01"
                                   "b",
                                   "/opt/a\x7f"
                                   "b",
                                   "/opt/\xff\xfe", "/opt/\xc0\xaf"}) {
        EXPECT_FALSE(service(fs::path(executable)).registerService()) << executable;
        EXPECT_FALSE(fs::exists(entry)) << executable;
    }
}

TEST_F(XdgLoginServiceTest, RegisterReplacesWhateverEntryIsThere)
{
    const std::string ours = ourExecutable.string();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"Hidden=true", entryExecuting(ours, "Hidden=true\n")},
        {"X-GNOME-Autostart-enabled=false", entryExecuting(ours, "X-GNOME-Autostart-enabled=false\n")},
        {"program moved", entryExecuting("/usr/local/bin/tovra-bridge")},
        {"foreign", entryExecuting("/usr/bin/other")},
        {"malformed", "not a desktop file\n"},
    };
    for (const auto& [label, contents] : cases) {
        writeFile(entry, contents);
        ASSERT_TRUE(service().registerService()) << label;
        EXPECT_EQ(service().status(), LoginItemStatus::enabled) << label;
        EXPECT_EQ(namesIn(autostart), std::set<std::string>{"tovra-bridge.desktop"}) << label;
    }
}

TEST_F(XdgLoginServiceTest, RegisterReplacesASymlinkWithoutWritingThroughIt)
{
    const fs::path target = root / "system" / "tovra-bridge.desktop";
    const std::string foreign = entryExecuting("/usr/bin/other");
    writeFile(target, foreign);
    fs::create_directories(autostart);
    fs::create_symlink(target, entry);

    ASSERT_TRUE(service().registerService());
    EXPECT_FALSE(fs::is_symlink(entry));
    EXPECT_EQ(readFile(target), foreign);
    EXPECT_EQ(service().status(), LoginItemStatus::enabled);
}

TEST_F(XdgLoginServiceTest, RegisterFailsCleanlyWhenTheEntryCannotBeWritten)
{
    struct Case {
        const char* label;
        std::function<void()> arrange;
        std::set<std::string> leftInAutostart;
    };
    const std::vector<Case> cases = {
        {"regular file where a parent folder should be", [&] { writeFile(root / "config", "x"); }, {}},
        {"regular file where the folder should be", [&] { writeFile(autostart, "x"); }, {}},
        {"directory at the entry's name",
         [&] { fs::create_directories(entry / "inside"); },
         {"tovra-bridge.desktop"}},
    };
    for (const auto& c : cases) {
        std::error_code ignored;
        fs::remove_all(root / "config", ignored);
        c.arrange();
        EXPECT_FALSE(service().registerService()) << c.label;
        if (fs::is_directory(autostart)) {
            EXPECT_EQ(namesIn(autostart), c.leftInAutostart) << c.label;
        }
        EXPECT_NE(service().status(), LoginItemStatus::enabled) << c.label;
    }
    EXPECT_TRUE(fs::is_directory(entry / "inside"));
}

TEST_F(XdgLoginServiceTest, RegisterFailsInAReadOnlyFolder)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root: permission bits do not stop writes "
                        "(the files-in-the-way cases cover the failure path)";
    }
    fs::create_directories(autostart);
    fs::permissions(autostart, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(service().registerService());
    EXPECT_EQ(namesIn(autostart), std::set<std::string>{});
}

TEST_F(XdgLoginServiceTest, UnregisterRemovesTheEntry)
{
    struct Case {
        const char* label;
        std::function<void()> arrange;
        std::optional<fs::path> executable;
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {"our entry", [&] { ASSERT_TRUE(service().registerService()); }, ourExecutable, true},
        {"switched-off entry",
         [&] { writeFile(entry, entryExecuting(ourExecutable.string(), "Hidden=true\n")); }, ourExecutable,
         true},
        {"executable unknown", [&] { ASSERT_TRUE(service().registerService()); }, std::nullopt, true},
        {"no entry", [&] { fs::create_directories(autostart); }, ourExecutable, true},
        {"no autostart folder", [] {}, ourExecutable, true},
        {"directory at the entry's name", [&] { fs::create_directories(entry); }, ourExecutable, false},
    };
    for (const auto& c : cases) {
        std::error_code ignored;
        fs::remove_all(root / "config", ignored);
        c.arrange();
        EXPECT_EQ(service(c.executable).unregisterService(), c.succeeds) << c.label;
        EXPECT_EQ(fs::exists(entry), !c.succeeds) << c.label;
        EXPECT_NE(service().status(), LoginItemStatus::enabled) << c.label;
    }
}

TEST_F(XdgLoginServiceTest, UnregisterFailsInAReadOnlyFolder)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "running as root: permission bits do not stop removal";
    }
    ASSERT_TRUE(service().registerService());
    fs::permissions(autostart, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(service().unregisterService());
    EXPECT_EQ(service().status(), LoginItemStatus::enabled);
}

TEST_F(XdgLoginServiceTest, SettingsPaneOpensTheAutostartFolderWithoutCreatingIt)
{
    autostart = root / "auto start" / "Grüße #1%";
    service().openSettingsPane();
    EXPECT_EQ(workspace.openedURLs, std::vector<std::string>{"file://" + root.string() +
                                                             "/auto%20start/Gr%C3%BC%C3%9Fe%20%231%25"});
    EXPECT_TRUE(workspace.selections.empty());
    EXPECT_FALSE(fs::exists(root / "auto start"));
}

class DefaultAutostartDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved) {
            setVariable(name, value);
        }
    }
    static void setVariable(const char* name, const std::optional<std::string>& value)
    {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_F(DefaultAutostartDirectoryTest, PrefersAnAbsoluteXdgConfigHome)
{
    struct Case {
        const char* label;
        std::optional<std::string> xdgConfigHome;
        fs::path expected;
    };
    const std::vector<Case> cases = {
        {"absolute XDG_CONFIG_HOME", "/srv/cfg", "/srv/cfg/autostart"},
        {"relative XDG_CONFIG_HOME", "cfg", "/home/ada/.config/autostart"},
        {"empty XDG_CONFIG_HOME", "", "/home/ada/.config/autostart"},
        {"no XDG_CONFIG_HOME", std::nullopt, "/home/ada/.config/autostart"},
    };
    ::setenv("HOME", "/home/ada", 1);
    for (const auto& c : cases) {
        setVariable("XDG_CONFIG_HOME", c.xdgConfigHome);
        EXPECT_EQ(XdgLoginService::defaultAutostartDirectory(), c.expected) << c.label;
    }
}

} // namespace
