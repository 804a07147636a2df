#include "platform/posix/executable_bundle.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <variant>

#include <gtest/gtest.h>

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() /
                ("tovra-posix-bundle-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
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

TEST(ExecutableBundle, ResourceDirectoryIsShareBesideTheExecutablesDirectoryWhenItExists)
{
    TempDir dir;
    fs::create_directories(dir.path() / "prefix" / "bin");
    const fs::path executable = dir.path() / "prefix" / "bin" / "tovra-bridge";
    std::ofstream(executable) << "";

    EXPECT_EQ(ExecutableBundle(executable).resourceDirectory(), std::nullopt);

    std::ofstream(dir.path() / "prefix" / "share") << "a file, not a directory";
    EXPECT_EQ(ExecutableBundle(executable).resourceDirectory(), std::nullopt);
    fs::remove(dir.path() / "prefix" / "share");

    fs::create_directories(dir.path() / "prefix" / "share" / "tovra-bridge");
    EXPECT_EQ(ExecutableBundle(executable).resourceDirectory(),
              dir.path() / "prefix" / "share" / "tovra-bridge");
}

TEST(ExecutableBundle, InfoHasTheVersionAndNothingElse)
{
    ExecutableBundle bundle(fs::path("/nonexistent/bin/tovra-bridge"));
    const platform::InfoValue version = bundle.infoValue("CFBundleShortVersionString");
    ASSERT_TRUE(std::holds_alternative<std::string>(version));
    EXPECT_TRUE(std::regex_match(std::get<std::string>(version), std::regex(R"(\d+(\.\d+)*)")))
        << std::get<std::string>(version);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(bundle.infoValue("CFBundleVersion")));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(bundle.infoValue("")));
    EXPECT_EQ(bundle.resourceDirectory(), std::nullopt);
}

TEST(ExecutableBundle, CurrentExecutableIsThisTestProgram)
{
    const auto executable = ExecutableBundle::currentExecutable();
    ASSERT_TRUE(executable.has_value());
    EXPECT_TRUE(executable->is_absolute());
    EXPECT_EQ(executable->filename(), "tovra_posix_tests");
    EXPECT_TRUE(fs::is_regular_file(*executable));
}

} // namespace
} // namespace tovra::posix
