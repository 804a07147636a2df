#include "platform/posix/posix_file_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() /
                ("tovra-posix-files-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directory(path_);
    }
    ~TempDir()
    {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(umask(mask)) {}
    ~ScopedUmask() { umask(previous_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t previous_;
};

class ScopedHome {
public:
    ScopedHome()
    {
        if (const char* home = std::getenv("HOME")) {
            saved_ = home;
        }
    }
    ~ScopedHome()
    {
        if (saved_) {
            setenv("HOME", saved_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

private:
    std::optional<std::string> saved_;
};

mode_t modeOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool isClosed(int descriptor)
{
    return fcntl(descriptor, F_GETFD) == -1 && errno == EBADF;
}

TEST(PosixFileManagerHome, IsAnAbsoluteHomeElseThePasswordDatabaseEntry)
{
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const fs::path fromDatabase = entry->pw_dir;
    ScopedHome restore;
    PosixFileManager files;

    ASSERT_EQ(setenv("HOME", "/somewhere/else", 1), 0);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), fs::path("/somewhere/else"));
    ASSERT_EQ(setenv("HOME", "relative/home", 1), 0);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), fromDatabase);
    ASSERT_EQ(setenv("HOME", "", 1), 0);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), fromDatabase);
    ASSERT_EQ(unsetenv("HOME"), 0);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), fromDatabase);
}

TEST(PosixFileManagerExecutable, OnlyRegularFilesWithExecutePermission)
{
    TempDir dir;
    const fs::path program = dir.path() / "program";
    const fs::path data = dir.path() / "data";
    writeFile(program, "#!/bin/sh\n");
    writeFile(data, "");
    fs::permissions(program, fs::perms(0755));
    fs::permissions(data, fs::perms(0644));
    fs::create_symlink(program, dir.path() / "link-to-program");
    fs::create_symlink(dir.path() / "missing", dir.path() / "dangling");
    fs::create_directory(dir.path() / "directory");
    fs::create_symlink(dir.path() / "directory", dir.path() / "link-to-directory");

    PosixFileManager files;
    EXPECT_TRUE(files.isExecutableFile(program));
    EXPECT_TRUE(files.isExecutableFile(dir.path() / "link-to-program"));
    EXPECT_FALSE(files.isExecutableFile(data));
    EXPECT_FALSE(files.isExecutableFile(dir.path() / "missing"));
    EXPECT_FALSE(files.isExecutableFile(dir.path() / "dangling"));
    EXPECT_FALSE(files.isExecutableFile(dir.path() / "directory"));
    EXPECT_FALSE(files.isExecutableFile(dir.path() / "link-to-directory"));
}

TEST(PosixFileManagerDirectory, CreatesEachMissingComponentPrivateAndLeavesExistingOnes)
{
    TempDir dir;
    ScopedUmask mask(022);
    const fs::path existing = dir.path() / "existing";
    fs::create_directory(existing);
    fs::permissions(existing, fs::perms(0755));

    PosixFileManager files;
    ASSERT_TRUE(files.createDirectory(existing / "a" / "b" / "c"));
    EXPECT_EQ(modeOf(existing), 0755u);
    EXPECT_EQ(modeOf(existing / "a"), 0700u);
    EXPECT_EQ(modeOf(existing / "a" / "b"), 0700u);
    EXPECT_EQ(modeOf(existing / "a" / "b" / "c"), 0700u);

    fs::permissions(existing / "a", fs::perms(0750));
    EXPECT_TRUE(files.createDirectory(existing / "a" / "b" / "c"));
    EXPECT_TRUE(files.createDirectory(existing / "a" / "b" / "c" / ""));
    EXPECT_EQ(modeOf(existing / "a"), 0750u);

    fs::create_directory_symlink(existing / "a", dir.path() / "link");
    EXPECT_TRUE(files.createDirectory(dir.path() / "link" / "through"));
    EXPECT_TRUE(fs::is_directory(existing / "a" / "through"));
}

TEST(PosixFileManagerDirectory, FailsWhereSomethingElseIsInTheWay)
{
    TempDir dir;
    const fs::path file = dir.path() / "file";
    writeFile(file, "x");
    fs::create_symlink(dir.path() / "missing", dir.path() / "dangling");

    PosixFileManager files;
    EXPECT_FALSE(files.createDirectory(file));
    EXPECT_FALSE(files.createDirectory(file / "below"));
    EXPECT_FALSE(files.createDirectory(dir.path() / "dangling"));
    EXPECT_FALSE(files.createDirectory(dir.path() / "dangling" / "below"));
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
    EXPECT_FALSE(files.createDirectory(""));
}

TEST(PosixFileManagerFile, CreatesAnEmptyPrivateFileOnlyWhereNothingIs)
{
    TempDir dir;
    ScopedUmask mask(022);
    PosixFileManager files;
    const fs::path path = dir.path() / "log";

    ASSERT_TRUE(files.createFile(path));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(fs::file_size(path), 0u);

    writeFile(path, "kept");
    EXPECT_FALSE(files.createFile(path));
    EXPECT_EQ(readFile(path), "kept");

    fs::create_directory(dir.path() / "directory");
    EXPECT_FALSE(files.createFile(dir.path() / "directory"));
    fs::create_symlink(dir.path() / "target", dir.path() / "dangling");
    EXPECT_FALSE(files.createFile(dir.path() / "dangling"));
    EXPECT_FALSE(fs::exists(dir.path() / "target"));
    EXPECT_FALSE(files.createFile(dir.path() / "missing" / "log"));
}

TEST(PosixFileHandle, OpensWithoutTruncatingAndAppendsAfterSeekingToTheEnd)
{
    TempDir dir;
    const fs::path path = dir.path() / "log";
    writeFile(path, "abcdef");
    PosixFileManager files;

    auto handle = files.fileHandleForWriting(path);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(readFile(path), "abcdef");
    ASSERT_TRUE(handle->write("XY"));
    EXPECT_EQ(readFile(path), "XYcdef");
    ASSERT_TRUE(handle->seekToEnd());
    ASSERT_TRUE(handle->write("++"));
    ASSERT_TRUE(handle->write(""));
    EXPECT_EQ(readFile(path), "XYcdef++");

    const int flags = fcntl(handle->fileDescriptor(), F_GETFD);
    ASSERT_NE(flags, -1);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    EXPECT_EQ(fcntl(handle->fileDescriptor(), F_GETFL) & O_ACCMODE, O_WRONLY);
}

TEST(PosixFileHandle, IsNoneForAMissingFileOrADirectory)
{
    TempDir dir;
    PosixFileManager files;
    EXPECT_EQ(files.fileHandleForWriting(dir.path() / "missing"), nullptr);
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
    EXPECT_EQ(files.fileHandleForWriting(dir.path()), nullptr);
}

TEST(PosixFileHandle, CloseClosesOnceAndLaterCallsFail)
{
    TempDir dir;
    const fs::path path = dir.path() / "log";
    writeFile(path, "");
    PosixFileManager files;

    auto handle = files.fileHandleForWriting(path);
    ASSERT_NE(handle, nullptr);
    const int descriptor = handle->fileDescriptor();
    ASSERT_GE(descriptor, 0);
    EXPECT_TRUE(handle->close());
    EXPECT_TRUE(isClosed(descriptor));
    EXPECT_EQ(handle->fileDescriptor(), -1);
    EXPECT_FALSE(handle->write("late"));
    EXPECT_FALSE(handle->seekToEnd());
    EXPECT_FALSE(handle->close());
    EXPECT_EQ(readFile(path), "");

    auto dropped = files.fileHandleForWriting(path);
    ASSERT_NE(dropped, nullptr);
    const int droppedDescriptor = dropped->fileDescriptor();
    dropped.reset();
    EXPECT_TRUE(isClosed(droppedDescriptor));
}

TEST(PosixFileHandle, ReportsErrorsOfWriteAndClose)
{
    PosixFileManager files;
    auto full = files.fileHandleForWriting("/dev/full");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(full->write("no space"));

    // A descriptor number far above any open one: close() fails with EBADF.
    PosixFileHandle notOpen(1 << 20);
    EXPECT_FALSE(notOpen.close());
    EXPECT_EQ(notOpen.fileDescriptor(), -1);
}

} // namespace
} // namespace tovra::posix
