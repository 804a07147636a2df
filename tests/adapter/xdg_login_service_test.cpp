#include "platform/xdg/xdg_login_service.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace tovra::xdg {
namespace {

namespace fs = std::filesystem;
using platform::LoginItemStatus;
using Names = std::set<std::string>;

const std::string ours = "/opt/tovra/bin/tovra-bridge";

std::string entryExecuting(const std::string& exec, const std::string& extraLines = "")
{
    return "[Desktop Entry]\nType=Application\nName=Tovra Bridge\nExec=" + exec + "\n" + extraLines;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class RecordingWorkspace : public platform::Workspace {
public:
    bool openURL(const std::string& url) override
    {
        openedURLs.push_back(url);
        return true;
    }
    void activateFileViewerSelecting(const std::vector<fs::path>&) override { ADD_FAILURE(); }
    std::vector<std::string> openedURLs;
};

class XdgLoginServiceTest : public ::testing::Test {
protected:
    ~XdgLoginServiceTest() override { fs::remove_all(root, ignored); }

    XdgLoginService service(std::optional<fs::path> executable = fs::path(ours))
    {
        return XdgLoginService(std::move(executable), autostart, workspace);
    }
    void reset() { fs::remove_all(root / "config"); }
    void write(const fs::path& path, const std::string& contents)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << contents;
    }
    Names namesInAutostart()
    {
        Names names;
        for (const auto& item : fs::directory_iterator(autostart)) {
            names.insert(item.path().filename().string());
        }
        return names;
    }

    fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "tovra-xdg-XXXXXX").string();
        return fs::path(mkdtemp(pattern.data()));
    }();
    fs::path autostart = root / "config" / "autostart";
    fs::path entry = autostart / "tovra-bridge.desktop";
    RecordingWorkspace workspace;
    std::error_code ignored;
};

TEST_F(XdgLoginServiceTest, StatusReadsTheEntryAtTheName)
{
    const std::string capped = entryExecuting(ours, "#");
    const std::string filler(XdgLoginService::maxEntrySize - capped.size() - 1, 'x');
    const std::vector<std::tuple<const char*, std::optional<std::string>, LoginItemStatus>> cases = {
        {"ours", entryExecuting(ours), LoginItemStatus::enabled},
        {"quoted, with arguments, CRLF",
         "[Desktop Entry]\r\nType=Application\r\nExec=\"" + ours + "\" %u\r\n", LoginItemStatus::enabled},
        {"switched off in another group", "[X]\nHidden=true\n" + entryExecuting(ours),
         LoginItemStatus::enabled},
        {"at the size cap", capped + filler + "\n", LoginItemStatus::enabled},
        {"Hidden", entryExecuting(ours, "Hidden=true\n"), LoginItemStatus::requiresApproval},
        {"disabled", entryExecuting(ours, "X-GNOME-Autostart-enabled=false\n"),
         LoginItemStatus::requiresApproval},
        {"no entry", std::nullopt, LoginItemStatus::notRegistered},
        {"program moved", entryExecuting("/usr/local/bin/tovra-bridge"), LoginItemStatus::notRegistered},
        {"our path as a prefix", entryExecuting(ours + "2"), LoginItemStatus::notRegistered},
        {"our path as an argument", entryExecuting("/usr/bin/env " + ours), LoginItemStatus::notRegistered},
        {"unterminated quote", entryExecuting("\"" + ours), LoginItemStatus::notRegistered},
        {"unreadable flag", entryExecuting(ours, "Hidden=yes\n"), LoginItemStatus::notRegistered},
        {"over the size cap", capped + filler + "x\n", LoginItemStatus::notRegistered},
    };
    for (const auto& [label, contents, expected] : cases) {
        reset();
        if (contents) {
            write(entry, *contents);
        }
        EXPECT_EQ(service().status(), expected) << label;
    }
    EXPECT_EQ(service(std::nullopt).status(), LoginItemStatus::notFound);
    reset();
    // Opening it for reading would block until a writer came.
    fs::create_directories(autostart);
    ASSERT_EQ(mkfifo(entry.c_str(), 0600), 0);
    EXPECT_EQ(service().status(), LoginItemStatus::notRegistered);
}

TEST_F(XdgLoginServiceTest, RegisteredEntryIsValidNamesExactlyThisProgramAndUnregisterRemovesIt)
{
    const bool canValidate = std::system("command -v desktop-file-validate >/dev/null") == 0;
    for (const auto& [program, execLine] : std::vector<std::pair<std::string, std::string>>{
             {ours, "Exec=" + ours},
             {"/opt/100%/t", "Exec=/opt/100%%/t"},
             {"/opt/$\"\\%` x/t", R"(Exec="/opt/\\$\\"\\\\%%\\` x/t")"}}) {
        reset();
        ASSERT_TRUE(service(program).registerService()) << program;
        EXPECT_EQ(service(program).status(), LoginItemStatus::enabled) << program;
        EXPECT_EQ(service(program + "x").status(), LoginItemStatus::notRegistered) << program;
        EXPECT_NE(readFile(entry).find("\n" + execLine + "\n"), std::string::npos) << readFile(entry);
        EXPECT_EQ(namesInAutostart(), Names{"tovra-bridge.desktop"}) << "a temporary file was left behind";
        if (canValidate) {
            // Silent only for an entry with neither errors nor warnings.
            const std::string command = "test -z \"$(desktop-file-validate '" + entry.string() + "' 2>&1)\"";
            EXPECT_EQ(std::system(command.c_str()), 0) << program;
        }
        EXPECT_TRUE(service(program).unregisterService());
        EXPECT_TRUE(namesInAutostart().empty());
    }
}

TEST_F(XdgLoginServiceTest, RegisterHealsAStaleOrSwitchedOffEntryWithoutWritingThroughALink)
{
    const fs::path linked = root / "elsewhere.desktop";
    for (const std::string& stale :
         {entryExecuting("/usr/local/bin/tovra-bridge"), entryExecuting(ours, "Hidden=true\n"),
          std::string("not a desktop file\n")}) {
        write(entry, stale);
        ASSERT_TRUE(service().registerService()) << stale;
        EXPECT_EQ(service().status(), LoginItemStatus::enabled) << stale;
    }
    reset();
    write(linked, "foreign");
    fs::create_directories(autostart);
    fs::create_symlink(linked, entry);
    ASSERT_TRUE(service().registerService());
    EXPECT_EQ(readFile(linked), "foreign");
    EXPECT_EQ(service().status(), LoginItemStatus::enabled);
}

TEST_F(XdgLoginServiceTest, RegisterAndUnregisterFailOnlyWhereSomethingElseStands)
{
    EXPECT_TRUE(service().unregisterService());
    write(autostart, "a file where the folder should be");
    EXPECT_FALSE(service().registerService());
    EXPECT_EQ(readFile(autostart), "a file where the folder should be");
    reset();
    fs::create_directories(entry);
    EXPECT_FALSE(service().registerService());
    EXPECT_FALSE(service().unregisterService());
    EXPECT_EQ(namesInAutostart(), Names{"tovra-bridge.desktop"});
}

TEST_F(XdgLoginServiceTest, SettingsPaneOpensTheAutostartFolderWithoutCreatingIt)
{
    autostart = root / "auto start" / "Grüße #1%";
    service().openSettingsPane();
    EXPECT_EQ(workspace.openedURLs, std::vector<std::string>{"file://" + root.string() +
                                                             "/auto%20start/Gr%C3%BC%C3%9Fe%20%231%25"});
    EXPECT_FALSE(fs::exists(root / "auto start"));
}

} // namespace
} // namespace tovra::xdg
