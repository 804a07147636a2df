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

const std::string kOurs = "tovra-bridge-" + std::to_string(getuid());

InstancePlaces placesIn(const TempDir& dir)
{
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    return {dir / "tmp", dir / "user", dir / "run", dir / "cache", "tovra-bridge"};
}

std::string said(InstanceClaim claim, const std::vector<fs::path>& folders)
{
    std::string text = std::to_string(static_cast<int>(claim)) + "\n";
    for (const fs::path& folder : folders) {
        text += folder.string() + "\n";
    }
    return text;
}

// Takes the lock from a process of its own, as another start would, and holds it until `release`
// is written to; returns what that start claimed and where, one folder a line.
struct OtherStart {
    explicit OtherStart(const InstancePlaces& places)
    {
        int report[2], release[2];
        EXPECT_EQ(pipe(report) | pipe(release), 0);
        pid = fork();
        if (pid == 0) {
            ::close(report[0]);
            ::close(release[1]);
            const SingleInstance instance = claimSingleInstance(places);
            [[maybe_unused]] const bool written = writeAll(report[1], said(instance.claim, instance.folders));
            ::close(report[1]);
            char byte;
            [[maybe_unused]] const ssize_t ignored = read(release[0], &byte, 1);
            _exit(0);
        }
        ::close(report[1]);
        ::close(release[0]);
        releaseEnd = FileDescriptor(release[1]);
        char buffer[4096];
        for (ssize_t size; (size = read(report[0], buffer, sizeof buffer)) > 0;) {
            claimed.append(buffer, static_cast<std::size_t>(size));
        }
        ::close(report[0]);
    }
    ~OtherStart()
    {
        releaseEnd.close();
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
    FileDescriptor releaseEnd;
    std::string claimed;
};

// A start that could not use /tmp holds the lock in the runtime folder: a later one takes /tmp,
// then finds the runtime folder held, and lets /tmp go again. (Starts in other environments meet
// end to end.)
TEST(PosixInstanceLock, AStartThatTookPlacesBeforeFindingTheLockHeldGivesThemBack)
{
    const TempDir dir;
    const InstancePlaces desktop = placesIn(dir);
    InstancePlaces noTemporary = desktop;
    noTemporary.temporary.clear();
    const OtherStart first(noTemporary);
    EXPECT_EQ(first.claimed, said(InstanceClaim::claimed, {dir / "run", dir / "cache/tovra-bridge"}));
    const SingleInstance found = claimSingleInstance(desktop);
    EXPECT_EQ(std::make_pair(found.claim, found.folders),
              std::make_pair(InstanceClaim::heldByAnother, std::vector{dir / "run"}));
    EXPECT_FALSE(isInstanceLockHeld(dir / "tmp" / kOurs, "tovra-bridge"));
}

// Each place that is not private, or holds a lock file not ours, is passed over with its own reason;
// a place never tried is never spoken of.
TEST(PosixInstanceLock, TakenInEveryPrivatePlaceOfOursAndNeverDeniedByAnotherUsersFile)
{
    const fs::path tmp = "tmp/" + kOurs;
    const fs::path user = "user/" + std::to_string(getuid());
    using Setup = void (*)(const TempDir&);
    const std::tuple<const char*, Setup, std::vector<fs::path>, const char*> cases[] = {
        {"the user's runtime folder as well, once however named",
         [](const TempDir& d) {
             fs::create_directories(d / "user");
             EXPECT_EQ(mkdir((d / ("user/" + std::to_string(getuid()))).c_str(), 0700), 0);
             fs::create_directory_symlink(d / "user", d / "alias");
             fs::remove(d / "run");
             fs::create_directory_symlink(d / ("alias/" + std::to_string(getuid())), d / "run");
         },
         {tmp, user, "cache/tovra-bridge"},
         "not a folder"},
        {"no runtime folder",
         [](const TempDir& d) { fs::remove(d / "run"); },
         {tmp, "cache/tovra-bridge"},
         nullptr},
        {"runtime open to others",
         [](const TempDir& d) { fs::permissions(d / "run", fs::perms(0755)); },
         {tmp, "cache/tovra-bridge"},
         "open to others"},
        {"a link at the lock's name",
         [](const TempDir& d) { fs::create_symlink(d / "elsewhere", d / "run/tovra-bridge.lock"); },
         {tmp, "cache/tovra-bridge"},
         "Too many levels of symbolic links"},
        {"the first temporary name a link, the next taken by a file",
         [](const TempDir& d) {
             fs::create_directories(d / "tmp/ours");
             fs::create_symlink(d / "tmp/ours", d / ("tmp/" + kOurs));
             writeFile(d / ("tmp/" + kOurs + ".1"), "");
         },
         {tmp.string() + ".2", "run", "cache/tovra-bridge"},
         "not a folder"},
        {"a later temporary name of ours too, and quietly not one of someone else's",
         [](const TempDir& d) {
             fs::create_directories(d / ("tmp/" + kOurs + ".3"));
             fs::permissions(d / ("tmp/" + kOurs + ".3"), fs::perms::owner_all);
             writeFile(d / ("tmp/" + kOurs + ".5"), "");
         },
         {tmp, tmp.string() + ".3", "run", "cache/tovra-bridge"},
         nullptr},
        {"every temporary name taken",
         [](const TempDir& d) {
             for (const char* suffix : {"", ".1", ".2", ".3", ".4", ".5", ".6", ".7", ".8"}) {
                 writeFile(d / ("tmp/" + kOurs + suffix), "");
             }
         },
         {"run", "cache/tovra-bridge"},
         "not a folder"},
        {"a shared runtime folder",
         [](const TempDir& d) {
             fs::permissions(d / "run", fs::perms(01777));
             makeSomeoneElses(d / "run");
         },
         {tmp, "cache/tovra-bridge"},
         "someone else's"},
        {"another user's lock, open to all and held",
         [](const TempDir& d) {
             writeFile(d / "run/tovra-bridge.lock", "");
             fs::permissions(d / "run/tovra-bridge.lock", fs::perms(0666));
             makeSomeoneElses(d / "run/tovra-bridge.lock");
             heldLock = FileDescriptor(open((d / "run/tovra-bridge.lock").c_str(), O_RDWR | O_CLOEXEC));
             struct flock lock {};
             lock.l_type = F_WRLCK;
             EXPECT_EQ(fcntl(heldLock.get(), F_OFD_SETLK, &lock), 0);
         },
         {tmp, "cache/tovra-bridge"},
         "the lock file is someone else's"},
    };
    platform::warningSink() = [](std::string_view line) { warnings.append(line).append("\n"); };
    for (const auto& [label, setup, expected, reason] : cases) {
        if (geteuid() != 0 && reason && std::string_view(reason).find("someone") != std::string_view::npos) {
            continue;
        }
        const TempDir dir;
        const InstancePlaces places = placesIn(dir);
        setup(dir);
        warnings.clear();
        const SingleInstance taken = claimSingleInstance(places);
        std::vector<fs::path> folders;
        for (const fs::path& folder : expected) {
            folders.push_back(dir / folder);
        }
        EXPECT_EQ(taken.folders, folders) << label;
        EXPECT_EQ(taken.locks.size(), folders.size()) << label;
        EXPECT_EQ(taken.claim, InstanceClaim::claimed) << label;
        if (reason) {
            EXPECT_THAT(warnings, ::testing::HasSubstr(reason)) << label;
        } else {
            EXPECT_EQ(warnings, "") << label;
        }
        for (const fs::path& folder : folders) {
            EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << label << ": " << folder;
        }
    }
    platform::warningSink() = nullptr;
}

} // namespace
} // namespace tovra::posix
