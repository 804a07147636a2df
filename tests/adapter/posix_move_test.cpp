// Moving the user's files between places, within a file system and across one: all or nothing.
// A target without room is seen end to end (it needs a file system of its own).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/diagnostics.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/posix_file_manager.h"
#include "support/temp_dir.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using testing::readFile, testing::TempDir, testing::writeFile;

std::string warnings;

struct FileManagerTest : ::testing::Test {
    FileManagerTest()
    {
        // On another file system than `here` when /dev/shm is one.
        if (fs::exists("/dev/shm")) {
            fs::remove(there.path);
            there.path = ::mkdtemp(const_cast<char*>(std::string("/dev/shm/tovra-test-XXXXXX").c_str()));
        }
        warnings.clear();
        platform::warningSink() = [](std::string_view line) { warnings.append(line).append("\n"); };
    }
    ~FileManagerTest() override { platform::warningSink() = nullptr; }

    bool acrossFileSystems() const
    {
        struct stat hereStatus {
        }, thereStatus{};
        return ::stat(here.path.c_str(), &hereStatus) == 0 && ::stat(there.path.c_str(), &thereStatus) == 0 &&
               hereStatus.st_dev != thereStatus.st_dev;
    }
    // Everything under a folder, as relative paths.
    static std::vector<std::string> tree(const fs::path& folder)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            names.push_back(entry.path().lexically_relative(folder).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir here;
    TempDir there;
    PosixFileManager files{{}, linuxos::renameExclusive};
};

TEST_F(FileManagerTest, MovesByRenameOrAcrossFileSystemsButNeverOverAnything)
{
    writeFile(here / "data/pairing.json", "{}");
    writeFile(here / "data/nested/more", "x");
    writeFile(here / "log", "lines");
    ASSERT_TRUE(files.moveItem(here / "data", there / "data"));
    EXPECT_EQ(readFile(there / "data/pairing.json"), "{}");
    EXPECT_EQ(readFile(there / "data/nested/more"), "x");
    EXPECT_FALSE(fs::exists(here / "data"));
    writeFile(there / "log", "already");
    EXPECT_FALSE(files.moveItem(here / "log", there / "log"));
    EXPECT_EQ(readFile(here / "log") + "/" + readFile(there / "log"), "lines/already");
    writeFile(there / "file", "");
    EXPECT_FALSE(files.moveItem(here / "log", there / "file/log")) << "into a file";
    EXPECT_FALSE(files.moveItem(here / "missing", there / "missing"));
    EXPECT_EQ(readFile(here / "log"), "lines");
    EXPECT_TRUE(files.moveItem(here / "log", here / "renamed"));
    EXPECT_EQ(readFile(here / "renamed"), "lines");
}

TEST_F(FileManagerTest, ACopyAcrossFileSystemsKeepsModesTimesHardLinksAndLinksAndReplacesAnInterruptedOne)
{
    if (!acrossFileSystems()) {
        GTEST_SKIP() << "no second file system (/dev/shm) here";
    }
    writeFile(here / "data/pairing.json", "{\"token\":1}");
    writeFile(here / "data/phones/list", "a phone");
    fs::create_hard_link(here / "data/phones/list", here / "data/list-again");
    fs::create_symlink("phones/list", here / "data/latest");
    ::chmod((here / "data/pairing.json").c_str(), 0600);
    ::chmod((here / "data/phones").c_str(), 0750);
    const timespec times[2] = {{1000000000, 5}, {1200000000, 123456789}};
    for (const char* name : {"data/pairing.json", "data/phones", "data"}) {
        ::utimensat(AT_FDCWD, (here / name).c_str(), times, 0);
    }
    // What a move killed in the middle left: a copy in the making, under a name beside the target.
    writeFile(there / ".data.partial/pairing.json", "half");

    ASSERT_TRUE(files.moveItem(here / "data", there / "data"));
    EXPECT_EQ(tree(there.path),
              (std::vector<std::string>{"data", "data/latest", "data/list-again", "data/pairing.json",
                                        "data/phones", "data/phones/list"}));
    EXPECT_EQ(readFile(there / "data/pairing.json"), "{\"token\":1}");
    struct stat file {
    }, folder{}, top{}, list{}, again{};
    ::stat((there / "data/pairing.json").c_str(), &file);
    ::stat((there / "data/phones").c_str(), &folder);
    ::stat((there / "data").c_str(), &top);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0750u);
    for (const struct stat* copied : {&file, &folder, &top}) {
        EXPECT_EQ(copied->st_mtim.tv_sec, 1200000000);
        EXPECT_EQ(copied->st_mtim.tv_nsec, 123456789);
    }
    ::stat((there / "data/phones/list").c_str(), &list);
    ::stat((there / "data/list-again").c_str(), &again);
    EXPECT_EQ(list.st_ino, again.st_ino) << "a hard link split in two";
    EXPECT_EQ(list.st_nlink, 2u);
    EXPECT_EQ(fs::read_symlink(there / "data/latest"), "phones/list");
    EXPECT_FALSE(fs::exists(here / "data"));
}

TEST_F(FileManagerTest, ALinkedFolderKeepsPointingAtTheSamePlace)
{
    writeFile(here / "real/pairing.json", "{}");
    fs::create_directories(here / "Library");
    fs::create_symlink("../real", here / "Library/data");
    ASSERT_TRUE(files.moveItem(here / "Library/data", there / "data"));
    EXPECT_EQ(fs::canonical(there / "data"), fs::canonical(here / "real"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(here / "Library/data")));
    EXPECT_EQ(readFile(here / "real/pairing.json"), "{}") << "what the link points at moved";

    fs::create_symlink("../real", here / "Library/again");
    fs::create_directories(here / "elsewhere/deeper");
    ASSERT_TRUE(files.moveItem(here / "Library/again", here / "elsewhere/deeper/data"));
    EXPECT_EQ(fs::canonical(here / "elsewhere/deeper/data"), fs::canonical(here / "real"))
        << "on one file system";
}

TEST_F(FileManagerTest, ACopyThatCannotBeMadeWholeLeavesEverythingAsItWasAndSaysWhy)
{
    if (!acrossFileSystems()) {
        GTEST_SKIP() << "no second file system (/dev/shm) here";
    }
    writeFile(here / "odd/file", "x");
    ASSERT_EQ(::mkfifo((here / "odd/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(files.moveItem(here / "odd", there / "odd"));
    EXPECT_EQ(tree(there.path), std::vector<std::string>{});
    EXPECT_EQ(tree(here / "odd"), (std::vector<std::string>{"fifo", "file"}));
    EXPECT_THAT(warnings, ::testing::HasSubstr("odd/fifo: not a file, a folder or a link"));
}

} // namespace
} // namespace tovra::posix
