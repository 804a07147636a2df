// Files, the user's directories and the instance lock on the real file system, where the
// end-to-end tests cannot look (the log's appends and a FIFO at its name are seen there).
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/instance_lock.h"
#include "platform/linux/posix_file_manager.h"
#include "platform/linux/posix_process_info.h"
#include "platform/linux/user_directories.h"
#include "support/temp_dir.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using testing::readFile, testing::TempDir, testing::writeFile;

TEST(LinuxFileManager, MakesPrivateFoldersAndFilesOnlyWhereNothingStandsAndWritesOnlyToFiles)
{
    const TempDir dir;
    PosixFileManager files;
    umask(022);
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
    EXPECT_FALSE(fs::exists(dir / "nowhere") || files.createDirectory(dir / "file") ||
                 files.createDirectory(""));
    for (const fs::path& path : {dir / "open", fs::path("/dev/null"), dir / "missing"}) {
        EXPECT_FALSE(files.fileHandleForWriting(path)) << path;
    }
    fs::permissions(dir / "file", fs::perms(0700));
    EXPECT_TRUE(files.fileHandleForWriting(dir / "file") && files.isExecutableFile(dir / "file"));
    EXPECT_FALSE(files.isExecutableFile(dir / "open") || files.isExecutableFile(dir / "missing"));
}

TEST(LinuxUserDirectories, AbsoluteVariablesElseThePasswordDatabase)
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
        EXPECT_EQ(PosixFileManager().homeDirectoryForCurrentUser(), expectedHome);
        EXPECT_EQ(configDirectory(), expectedConfig);
    }
    setenv("TOVRA_TEST_ENTRY", "a=b", 1); // the process's environment, as it was when taken
    PosixProcessInfo info;
    setenv("TOVRA_TEST_ENTRY", "c", 1);
    EXPECT_EQ(info.environment().at("TOVRA_TEST_ENTRY"), "a=b");
}

TEST(LinuxInstanceLock, HeldWhileItsHolderLivesAndNeverProvedThroughAFolderOrALink)
{
    const TempDir dir;
    if (fork() == 0) {
        _exit(claimInstance(dir / "lock") == InstanceClaim::claimed ? 0 : 1);
    }
    int status = -1;
    wait(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(claimInstance(dir / "lock"), InstanceClaim::claimed) << "the holder is gone, the lock with it";
    EXPECT_EQ(claimInstance(dir / "lock"), InstanceClaim::heldByAnother); // flock is the open file's
    fs::create_symlink(dir / "target", dir / "link");
    for (const fs::path& path : {dir.path, dir / "link", fs::path()}) {
        EXPECT_EQ(claimInstance(path), InstanceClaim::unproven) << path;
    }
    EXPECT_FALSE(fs::exists(dir / "target"));
    unsetenv("XDG_RUNTIME_DIR"); // then a folder of this user's alone under the temporary folder
    const fs::path ours = dir / ("tovra-bridge-" + std::to_string(getuid()));
    EXPECT_EQ(instanceLockFile(dir.path), ours / "tovra-bridge.lock");
    EXPECT_EQ(fs::status(ours).permissions(), fs::perms::owner_all);
    fs::permissions(ours, fs::perms(0755));
    EXPECT_EQ(instanceLockFile(dir.path), fs::path()) << "a folder others can reach";
}

} // namespace
} // namespace tovra::posix
