// Files and the instance lock on the real file system, where the end-to-end tests cannot look
// (the log's appends and a FIFO at its name are seen there).
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/diagnostics.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/posix_file_manager.h"
#include "platform/posix/posix_process_info.h"
#include "support/temp_dir.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using testing::readFile, testing::TempDir, testing::writeFile;

TEST(PosixFileManager, MakesPrivateFoldersAndFilesOnlyWhereNothingStandsAndWritesOnlyToFiles)
{
    const TempDir dir;
    PosixFileManager files({}, linuxos::renameExclusive);
    const mode_t previousMask = umask(022);
    fs::create_directory(dir / "open");
    EXPECT_TRUE(files.createDirectory(dir / "open/a/b") && files.createDirectory(dir / "open/a/b"));
    EXPECT_EQ(fs::status(dir / "open").permissions(), fs::perms(0755)) << "an existing folder changed";
    EXPECT_EQ(fs::status(dir / "open/a/b").permissions(), fs::perms(0700));
    EXPECT_TRUE(files.createFile(dir / "file"));
    EXPECT_EQ(fs::status(dir / "file").permissions(), fs::perms(0600));
    writeFile(dir / "file", "kept");
    fs::create_symlink(dir / "nowhere", dir / "link");
    for (const fs::path& taken : {dir / "file", dir / "open", dir / "link"}) {
        EXPECT_FALSE(files.createFile(taken)) << taken;
    }
    EXPECT_EQ(readFile(dir / "file"), "kept");
    EXPECT_FALSE(fs::exists(dir / "nowhere")) << "made through a dangling link";
    EXPECT_FALSE(files.createDirectory(dir / "file"));
    EXPECT_FALSE(files.createDirectory(""));
    for (const fs::path& path : {dir / "open", fs::path("/dev/null"), dir / "missing"}) {
        EXPECT_FALSE(files.fileHandleForWriting(path)) << path;
    }
    fs::permissions(dir / "file", fs::perms(0700));
    EXPECT_TRUE(files.fileHandleForWriting(dir / "file"));
    EXPECT_TRUE(files.isExecutableFile(dir / "file"));
    EXPECT_FALSE(files.isExecutableFile(dir / "open")) << "a folder";
    EXPECT_FALSE(files.isExecutableFile(dir / "missing"));
    umask(previousMask);
}

TEST(PosixProcessInfo, TheEnvironmentIsThatOfTheProcessWhenTaken)
{
    setenv("TOVRA_TEST_ENTRY", "a=b", 1);
    PosixProcessInfo info;
    setenv("TOVRA_TEST_ENTRY", "c", 1);
    EXPECT_EQ(info.environment().at("TOVRA_TEST_ENTRY"), "a=b");
}

std::string warnings;
FileDescriptor heldLock;

// Only root can make a file someone else's.
void makeSomeoneElses(const fs::path& path)
{
    EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
}

InstancePlaces placesIn(const TempDir& dir)
{
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    return {dir / "run", dir / "tmp", dir / "cache", "tovra-bridge"};
}

TEST(PosixInstanceLock, HeldWhileItsHolderLives)
{
    const TempDir dir;
    const InstancePlaces places = placesIn(dir);
    if (fork() == 0) {
        _exit(claimSingleInstance(places).claim == InstanceClaim::claimed ? 0 : 1);
    }
    int status = -1;
    wait(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(claimSingleInstance(places).folder, dir / "run") << "the holder is gone, the lock with it";
    EXPECT_EQ(claimSingleInstance(places).claim, InstanceClaim::heldByAnother); // flock is the open file's
}

// Each place that is not private, or holds a lock file not ours, is passed over with its own reason.
TEST(PosixInstanceLock, TakenOnlyInAPrivatePlaceOfOursAndNeverDeniedByAnotherUsersFile)
{
    const fs::path tmp = "tmp/tovra-bridge-" + std::to_string(getuid());
    using Setup = void (*)(const TempDir&);
    const std::tuple<const char*, Setup, fs::path, const char*> cases[] = {
        {"no runtime folder", [](const TempDir& d) { fs::remove(d / "run"); }, tmp,
         "No such file or directory"},
        {"runtime open to others", [](const TempDir& d) { fs::permissions(d / "run", fs::perms(0755)); }, tmp,
         "open to others"},
        {"a folder at the lock's name",
         [](const TempDir& d) { fs::create_directory(d / "run/tovra-bridge.lock"); }, tmp, "Is a directory"},
        {"a link at the lock's name",
         [](const TempDir& d) { fs::create_symlink(d / "elsewhere", d / "run/tovra-bridge.lock"); }, tmp,
         "Too many levels of symbolic links"},
        {"the first temporary name a link, the next taken by a file",
         [](const TempDir& d) {
             fs::remove(d / "run");
             fs::create_directories(d / "tmp/ours");
             fs::create_symlink(d / "tmp/ours", d / ("tmp/tovra-bridge-" + std::to_string(getuid())));
             writeFile(d / ("tmp/tovra-bridge-" + std::to_string(getuid()) + ".1"), "");
         },
         tmp.string() + ".2", "not a folder"},
        {"the first temporary name open to others",
         [](const TempDir& d) {
             fs::remove(d / "run");
             fs::create_directories(d / ("tmp/tovra-bridge-" + std::to_string(getuid())));
             fs::permissions(d / ("tmp/tovra-bridge-" + std::to_string(getuid())), fs::perms(0755));
         },
         tmp.string() + ".1", "open to others"},
        {"no runtime folder and every temporary name taken",
         [](const TempDir& d) {
             fs::remove(d / "run");
             for (const char* suffix : {"", ".1", ".2", ".3", ".4", ".5", ".6", ".7", ".8"}) {
                 writeFile(d / ("tmp/tovra-bridge-" + std::to_string(getuid()) + suffix), "");
             }
         },
         "cache/tovra-bridge", "not a folder"},
        {"a shared runtime folder",
         [](const TempDir& d) {
             fs::permissions(d / "run", fs::perms(01777));
             makeSomeoneElses(d / "run");
         },
         tmp, "someone else's"},
        {"another user's lock, open to all and held",
         [](const TempDir& d) {
             writeFile(d / "run/tovra-bridge.lock", "");
             fs::permissions(d / "run/tovra-bridge.lock", fs::perms(0666));
             makeSomeoneElses(d / "run/tovra-bridge.lock");
             heldLock = FileDescriptor(open((d / "run/tovra-bridge.lock").c_str(), O_RDWR | O_CLOEXEC));
             EXPECT_EQ(flock(heldLock.get(), LOCK_EX), 0);
         },
         tmp, "the lock file is someone else's"},
        {"nowhere at all",
         [](const TempDir& d) {
             fs::remove(d / "run");
             writeFile(d / "tmp", "");
             writeFile(d / "cache", "");
         },
         "", "running unlocked"},
    };
    platform::warningSink() = [](std::string_view line) { warnings.append(line).append("\n"); };
    for (const auto& [label, setup, expected, reason] : cases) {
        if (geteuid() != 0 && std::string_view(reason).find("someone") != std::string_view::npos) {
            continue;
        }
        const TempDir dir;
        const InstancePlaces places = placesIn(dir);
        setup(dir);
        warnings.clear();
        const SingleInstance taken = claimSingleInstance(places);
        EXPECT_EQ(taken.folder, expected.empty() ? fs::path() : dir / expected) << label;
        EXPECT_EQ(taken.claim, expected.empty() ? InstanceClaim::unlocked : InstanceClaim::claimed) << label;
        EXPECT_THAT(warnings, ::testing::HasSubstr(reason)) << label;
    }
    platform::warningSink() = nullptr;
}

} // namespace
} // namespace tovra::posix
