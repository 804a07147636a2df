#include "platform/posix/posix_file_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;

class PosixFileManagerTest : public ::testing::Test {
protected:
    ~PosixFileManagerTest() override
    {
        umask(previousMask);
        fs::remove_all(dir, ignored);
    }
    std::string read(const fs::path& name)
    {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    unsigned mode(const fs::path& name) { return unsigned(fs::status(dir / name).permissions()); }

    fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "tovra-files-XXXXXX").string();
        return fs::path(mkdtemp(pattern.data()));
    }();
    mode_t previousMask = umask(022);
    std::error_code ignored;
    PosixFileManager files;
};

TEST_F(PosixFileManagerTest, HomeIsAnAbsoluteHomeVariableElseThePasswordDatabaseEntry)
{
    const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/some/where", 1);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), "/some/where");
    setenv("HOME", "relative", 1);
    EXPECT_EQ(files.homeDirectoryForCurrentUser(), fs::path(getpwuid(getuid())->pw_dir));
    saved.empty() ? unsetenv("HOME") : setenv("HOME", saved.c_str(), 1);
}

TEST_F(PosixFileManagerTest, OnlyRegularFilesWithExecutePermissionAreExecutable)
{
    std::ofstream(dir / "program") << "#!/bin/sh\n";
    chmod((dir / "program").c_str(), 0755);
    std::ofstream(dir / "data") << "";
    fs::create_symlink(dir / "program", dir / "link");
    fs::create_directory(dir / "directory");
    for (const auto& [name, executable] : std::vector<std::pair<const char*, bool>>{
             {"program", true}, {"link", true}, {"data", false}, {"directory", false}, {"missing", false}}) {
        EXPECT_EQ(files.isExecutableFile(dir / name), executable) << name;
    }
}

TEST_F(PosixFileManagerTest, CreatesPrivateDirectoriesAndFilesOnlyWhereNothingElseIs)
{
    fs::create_directory(dir / "existing");
    chmod((dir / "existing").c_str(), 0750);
    EXPECT_TRUE(files.createDirectory(dir / "existing" / "a" / "b"));
    EXPECT_TRUE(files.createDirectory(dir / "existing" / "a" / "b"));
    EXPECT_EQ(mode("existing"), 0750u);
    EXPECT_EQ(mode("existing/a"), 0700u);
    EXPECT_EQ(mode("existing/a/b"), 0700u);
    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(files.createDirectory(dir / "file"));
    EXPECT_FALSE(files.createDirectory(dir / "file" / "below"));

    ASSERT_TRUE(files.createFile(dir / "log"));
    EXPECT_EQ(mode("log"), 0600u);
    EXPECT_EQ(read("log"), "");
    std::ofstream(dir / "log") << "kept";
    EXPECT_FALSE(files.createFile(dir / "log"));
    EXPECT_EQ(read("log"), "kept");
    EXPECT_FALSE(files.createFile(dir));
}

TEST_F(PosixFileManagerTest, HandleWritesFromTheStartAppendsAfterSeekingToTheEndAndIsCloseOnExec)
{
    std::ofstream(dir / "log") << "abcdef";
    const auto handle = files.fileHandleForWriting(dir / "log");
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(fcntl(handle->fileDescriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(handle->write("XY"));
    EXPECT_TRUE(handle->seekToEnd());
    EXPECT_TRUE(handle->write("++"));
    EXPECT_EQ(read("log"), "XYcdef++");
    EXPECT_TRUE(handle->close());
    EXPECT_FALSE(handle->write("late"));

    EXPECT_EQ(files.fileHandleForWriting(dir / "missing"), nullptr);
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(files.fileHandleForWriting(dir), nullptr);
    EXPECT_FALSE(files.fileHandleForWriting("/dev/full")->write("no space"));
}

} // namespace
} // namespace tovra::posix
