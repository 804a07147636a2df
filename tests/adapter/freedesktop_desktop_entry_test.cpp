// The desktop's conventions: entries as desktops read and write them, the user's places, the
// opener of pages.
#include "platform/freedesktop/desktop_entry.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "platform/freedesktop/desktop_workspace.h"
#include "platform/freedesktop/user_directories.h"
#include "support/temp_dir.h"

namespace tovra::freedesktop {
namespace {

const std::nullopt_t none = std::nullopt;

TEST(DesktopEntry, ParsesTheEntryGroupOfWellFormedTextOnly)
{
    const std::tuple<const char*, std::string_view, std::optional<DesktopEntryKeys>> cases[] = {
        {"CRLF, comments, blanks, another group, no final newline",
         " # note\r\n\r\n[Other]\nA=1\nA=2\n  [Desktop Entry] \t\r\n  Type \t= \tLink\r\nName[de]=a b "
         "\nExec=/a",
         DesktopEntryKeys{{"Type", "Link"}, {"Name[de]", "a b "}, {"Exec", "/a"}}},
        {"a NUL byte", std::string_view("[Desktop Entry]\nA=\0", 19), none},
        {"no entry group", "[Other]\nA=1\n", none},
        {"the group twice", "[Desktop Entry]\n[Other]\n[Desktop Entry]\n", none},
        {"a key twice", "[Desktop Entry]\nA=1\nA = 2\n", none},
        {"a key before any group", "A=1\n[Desktop Entry]\n", none},
        {"a line without =", "[Desktop Entry]\nExec\n", none},
        {"an empty key", "[Desktop Entry]\n=x\n", none},
        {"an unclosed header", "[Desktop Entry\n", none},
        {"a bracket in a header", "[Desktop Entry]\n[a[b]\n", none},
    };
    for (const auto& [label, text, keys] : cases) {
        EXPECT_EQ(parseDesktopEntry(text), keys) << label;
    }
}

TEST(DesktopEntry, ReadsTheProgramOfAnExecValue)
{
    const std::tuple<const char*, std::string_view, std::optional<std::string>> cases[] = {
        {"bare, with arguments", "/opt/a --x %U", "/opt/a"},
        {"quoted, with escapes and arguments", R"("/opt/\\"a\\"\\\\b\\`\\$ c" %f)", R"(/opt/"a"\b`$ c)"},
        {"string escapes inside quotes", R"("/a\sb\tc\nd\re")", "/a b\tc\nd\re"},
        {"%% in the program", "/opt/100%%", "/opt/100%"},
        {"a field code in the program", "/opt/a%f", none},
        {"a reserved character unquoted", "/opt/a$b", none},
        {"an unterminated quote", "\"/opt/a", none},
        {"text after the closing quote", "\"/opt/a\"b", none},
        {"an unknown escape inside quotes", R"("/opt/\\a")", none},
        {"a backslash ending a quoted value", R"("/opt/a\\)", none},
        {"an unknown string escape", R"(/opt/\x)", none},
        {"a backslash at the end", "/opt/a\\", none},
    };
    for (const auto& [label, exec, program] : cases) {
        EXPECT_EQ(programOfExec(exec), program) << label;
    }
}

TEST(DesktopEntry, ReadsEveryArgumentOfAnExecValueAndSetsKeysKeepingTheRest)
{
    using Arguments = std::optional<std::vector<std::string>>;
    EXPECT_EQ(argumentsOfExec(R"(env  A=1 "/o p/t\\"x" --login %u 100%%)"),
              (Arguments{{"env", "A=1", "/o p/t\"x", "--login", "%u", "100%"}}));
    EXPECT_EQ(argumentsOfExec(""), Arguments(std::vector<std::string>()));
    EXPECT_EQ(argumentsOfExec(R"(env "/unclosed)"), std::nullopt);
    EXPECT_EQ(argumentsOfExec("a b|c"), std::nullopt) << "a reserved character unquoted";

    EXPECT_EQ(withDesktopEntryKeys("[Other]\nHidden=x\n[Desktop Entry]\nHidden = 0\nName=N",
                                   {{"Hidden", "true"}, {"K", "v"}}),
              "[Other]\nHidden=x\n[Desktop Entry]\nHidden=true\nName=N\nK=v\n");
}

TEST(DesktopEntry, WritesExecValuesThatRunTheProgram)
{
    const std::string_view utf8Edges = "/\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    const std::tuple<const char*, std::string_view, std::optional<std::string>> cases[] = {
        {"plain", "/opt/tovra/bin/tovra-bridge", "/opt/tovra/bin/tovra-bridge"},
        {"a space", "/opt/Tovra Bridge/x", "\"/opt/Tovra Bridge/x\""},
        {"quotes, backslash, $, backtick, %", R"(/o "q" \ $ ` %)", R"("/o \\"q\\" \\\\ \\$ \\` %%")"},
        {"tab, newline, carriage return", "/a\tb\nc\rd", R"("/a\tb\nc\rd")"},
        {"UTF-8 at the edges of its ranges", utf8Edges, std::string(utf8Edges)},
        {"a control character", "/a\x01", none},
        {"an overlong sequence", "/a\xC1\xBF", none},
        {"the first surrogate", "/a\xED\xA0\x80", none},
        {"beyond U+10FFFF", "/a\xF4\x90\x80\x80", none},
        {"a five-byte sequence", "/a\xF8\x88\x80\x80\x80", none},
        {"a bad continuation byte", "/a\xE2\x28\xA1", none},
        {"a lone continuation byte", "/a\x80", none},
        {"a sequence cut short by the end", std::string_view("/a\xE2\x82\xAC", 4), none},
    };
    for (const auto& [label, program, exec] : cases) {
        EXPECT_EQ(execValue(program), exec) << label;
        EXPECT_EQ(tryExecValue(program).has_value(), exec.has_value()) << label;
        if (exec) {
            EXPECT_EQ(programOfExec(*exec), program) << label;
        }
    }
}

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

TEST(DesktopWorkspace, OnlyAnAddressGoesToTheDesktopsOpenerAndAnOpenerThatDoesNotStartFails)
{
    int argc = 0;
    const QCoreApplication application(argc, nullptr); // the bus lives in one
    SessionBus bus;                                    // the tests' environment names no bus
    EXPECT_FALSE(DesktopWorkspace(bus).openURL("-h"));
    EXPECT_FALSE(DesktopWorkspace(bus).openURL("not a url"));
    const std::string path = std::getenv("PATH");
    setenv("PATH", "/nonexistent", 1);
    EXPECT_FALSE(DesktopWorkspace(bus).openURL("http://localhost:4173/setup"))
        << "no opener started, yet opened";
    setenv("PATH", path.c_str(), 1);
}

TEST(DesktopWorkspace, WithoutAFileManagerTheFolderOpensAndAPathThatCannotBeMadeAbsoluteNothing)
{
    int argc = 0;
    const QCoreApplication application(argc, nullptr);
    SessionBus bus; // no bus: no file manager to ask, so the desktop's opener shows the folder
    const testing::TempDir dir;
    testing::writeFile(dir / "bin/xdg-open",
                       "#!/bin/sh\necho \"$@\" >> '" + (dir / "opened").string() + "'\n");
    fs::permissions(dir / "bin/xdg-open", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (dir / "bin").string().append(":").append(path).c_str(), 1);
    const fs::path home = fs::current_path();
    fs::create_directories(dir / "gone");
    fs::current_path(dir / "gone");
    fs::remove(dir / "gone");
    DesktopWorkspace(bus).activateFileViewerSelecting({"relative.log"}); // no folder to make it absolute in
    fs::current_path(home);
    DesktopWorkspace(bus).activateFileViewerSelecting({dir / "logs/Tovra Bridge.log"});
    for (int wait = 0; wait < 500 && testing::readFile(dir / "opened").empty(); ++wait) {
        QThread::msleep(10);
    }
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(testing::readFile(dir / "opened"), "file://" + dir.path.string() + "/logs\n");
}

} // namespace
} // namespace tovra::freedesktop
