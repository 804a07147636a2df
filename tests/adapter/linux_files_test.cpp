// Files, folders, the user's directories and the instance lock on the real file system.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/linux/executable_bundle.h"
#include "platform/linux/file_descriptor.h"
#include "platform/linux/instance_lock.h"
#include "platform/linux/posix_file_manager.h"
#include "platform/linux/posix_process_info.h"
#include "platform/linux/user_directories.h"
#include "support/temp_dir.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
constexpr fs::perms kPrivate = fs::perms::owner_all;

void setOrUnset(const char* name, const char* value)
{
    value ? setenv(name, value, 1) : unsetenv(name);
}

TEST(LinuxFileHandle, EveryWriteLandsAtTheEndOfTheFileAsItIsThen)
{
    const TempDir dir;
    writeFile(dir / "log", "abc");
    // Opened while 0 is free, the file gets descriptor 0, as in a program started without stdin.
    const FileDescriptor input(dup(0));
    close(0);
    const std::shared_ptr<platform::FileHandle> handle = PosixFileManager().fileHandleForWriting(dir / "log");
    ASSERT_TRUE(handle);
    std::ofstream(dir / "log", std::ios::app) << "de";
    EXPECT_TRUE(handle->write("1"));
    EXPECT_EQ(readFile(dir / "log"), "abcde1");
    fs::resize_file(dir / "log", 0);
    EXPECT_TRUE(handle->seekToEnd());
    EXPECT_TRUE(handle->write("2"));
    EXPECT_EQ(readFile(dir / "log"), "2");
    EXPECT_TRUE(handle->close());
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    EXPECT_FALSE(handle->close());
    EXPECT_FALSE(handle->write("3"));
    dup2(input.get(), 0);
}

TEST(LinuxFileManager, NoHandleWithoutARegularFileAndNeverBlocks)
{
    const TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{AF_UNIX, {}};
    std::strcpy(address.sun_path, (dir / "socket").c_str());
    ASSERT_EQ(bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    for (const fs::path& path :
         {dir / "fifo", dir / "folder", dir / "socket", fs::path("/dev/null"), dir / "missing"}) {
        EXPECT_FALSE(PosixFileManager().fileHandleForWriting(path)) << path;
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(LinuxFileManager, CreatesPrivateFoldersAndFilesOnlyWhereNothingStands)
{
    const TempDir dir;
    PosixFileManager files;
    umask(022);
    fs::create_directory(dir / "open");
    EXPECT_TRUE(files.createDirectory(dir / "open/a/b"));
    EXPECT_TRUE(files.createDirectory(dir / "open/a/b"));
    EXPECT_TRUE((fs::status(dir / "open").permissions() & fs::perms::others_read) != fs::perms::none);
    EXPECT_EQ(fs::status(dir / "open/a").permissions(), kPrivate);
    EXPECT_EQ(fs::status(dir / "open/a/b").permissions(), kPrivate);
    EXPECT_TRUE(files.createFile(dir / "file"));
    EXPECT_EQ(fs::status(dir / "file").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    writeFile(dir / "file", "kept");
    fs::create_symlink(dir / "nowhere", dir / "link");
    for (const fs::path& taken : {dir / "file", dir / "open", dir / "link"}) {
        EXPECT_FALSE(files.createFile(taken)) << taken;
    }
    EXPECT_EQ(readFile(dir / "file"), "kept");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_FALSE(files.createDirectory(dir / "file"));
    EXPECT_FALSE(files.createDirectory(""));
}

TEST(LinuxFileManager, ExecutableOnlyForARegularFileWithThePermission)
{
    const TempDir dir;
    writeFile(dir / "tool", "");
    fs::permissions(dir / "tool", kPrivate);
    writeFile(dir / "text", "");
    const std::pair<fs::path, bool> cases[] = {
        {dir / "tool", true}, {dir / "text", false}, {dir.path, false}, {dir / "missing", false}};
    for (const auto& [path, executable] : cases) {
        EXPECT_EQ(PosixFileManager().isExecutableFile(path), executable) << path;
    }
}

TEST(LinuxUserDirectories, AbsoluteVariablesElseThePasswordDatabase)
{
    const fs::path database = getpwuid(getuid())->pw_dir;
    const struct {
        const char* home;
        const char* config;
        fs::path expectedHome;
        fs::path expectedConfig;
    } cases[] = {{"/h", "/c", "/h", "/c"},
                 {"/h", nullptr, "/h", "/h/.config"},
                 {nullptr, nullptr, database, database / ".config"},
                 {"h", "c", database, database / ".config"}};
    for (const auto& [home, config, expectedHome, expectedConfig] : cases) {
        setOrUnset("HOME", home);
        setOrUnset("XDG_CONFIG_HOME", config);
        EXPECT_EQ(PosixFileManager().homeDirectoryForCurrentUser(), expectedHome);
        EXPECT_EQ(configDirectory(), expectedConfig);
    }
    // A user the password database does not know, as in some containers: no home at all.
    const pid_t child = fork();
    if (child == 0) {
        _exit(setuid(54321) != 0 ? 2 : homeDirectory().empty() && configDirectory().empty() ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    if (status == 2 << 8) {
        GTEST_SKIP() << "taking another user's ID takes root";
    }
    EXPECT_EQ(status, 0);
}

TEST(LinuxProcessInfo, TheEnvironmentAsItWasWhenMade)
{
    setenv("TOVRA_TEST_ENTRY", "a=b", 1);
    PosixProcessInfo info;
    setenv("TOVRA_TEST_ENTRY", "c", 1);
    EXPECT_EQ(info.environment().at("TOVRA_TEST_ENTRY"), "a=b");
}

TEST(LinuxExecutableBundle, ResourcesOnlyBesideTheExecutable)
{
    const TempDir dir;
    fs::create_directories(dir / "share/tovra-bridge");
    const fs::path directory = fs::current_path();
    fs::current_path(dir / "share"); // where a relative ../share/tovra-bridge is found
    EXPECT_EQ(ExecutableBundle(dir / "bin/tovra-bridge").resourceDirectory(), dir / "share/tovra-bridge");
    EXPECT_EQ(ExecutableBundle(dir / "other/bin/tovra-bridge").resourceDirectory(), std::nullopt);
    EXPECT_EQ(ExecutableBundle(fs::path()).resourceDirectory(), std::nullopt);
    fs::current_path(directory);
    EXPECT_TRUE(
        std::holds_alternative<std::string>(ExecutableBundle().infoValue("CFBundleShortVersionString")));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(ExecutableBundle().infoValue("CFBundleVersion")));
}

TEST(LinuxInstanceLock, HeldWhileItsHolderLivesFreeAfterward)
{
    const TempDir dir;
    const pid_t holder = fork();
    if (holder == 0) {
        _exit(claimInstance(dir / "lock") == InstanceClaim::claimed ? 0 : 1);
    }
    int status = -1;
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(claimInstance(dir / "lock"), InstanceClaim::claimed); // the file stays, the lock went
    // flock belongs to the open file, so even a second claim of this process's is turned away.
    EXPECT_EQ(claimInstance(dir / "lock"), InstanceClaim::heldByAnother);
}

TEST(LinuxInstanceLock, UnprovenForAFolderALinkOrNoPath)
{
    const TempDir dir;
    fs::create_symlink(dir / "target", dir / "link");
    for (const fs::path& path : {dir.path, dir / "link", fs::path()}) {
        EXPECT_EQ(claimInstance(path), InstanceClaim::unproven) << path;
    }
    EXPECT_FALSE(fs::exists(dir / "target"));
}

TEST(LinuxInstanceLock, FileInTheRuntimeFolderElseInAPrivateFolderOfThisUsers)
{
    const TempDir dir;
    const fs::path own = dir / ("tovra-bridge-" + std::to_string(getuid()));
    setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(instanceLockFile(dir.path), "/run/user/7/tovra-bridge.lock");
    for (const char* runtime : {"run", static_cast<const char*>(nullptr)}) {
        setOrUnset("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(instanceLockFile(dir.path), own / "tovra-bridge.lock");
        EXPECT_EQ(fs::symlink_status(own).permissions(), kPrivate);
    }
    fs::permissions(own, fs::perms::group_exec, fs::perm_options::add);
    EXPECT_EQ(instanceLockFile(dir.path), "");
    fs::rename(own, dir / "private");
    fs::permissions(dir / "private", kPrivate);
    fs::create_directory_symlink(dir / "private", own);
    EXPECT_EQ(instanceLockFile(dir.path), "");
    fs::remove(own);
    fs::rename(dir / "private", own);
    if (chown(own.c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "giving a folder away takes root";
    }
    EXPECT_EQ(instanceLockFile(dir.path), "");
}

} // namespace
} // namespace tovra::posix
