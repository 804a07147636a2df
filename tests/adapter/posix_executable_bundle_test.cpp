#include "platform/posix/executable_bundle.h"

#include <cstdlib>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;

TEST(ExecutableBundle, ResourceDirectoryIsTheShareFolderBesideBinOnlyWhenItIsAFolder)
{
    std::string pattern = (fs::temp_directory_path() / "tovra-bundle-XXXXXX").string();
    const fs::path prefix = mkdtemp(pattern.data());
    const fs::path resources = prefix / "share" / "tovra-bridge";
    ExecutableBundle bundle(prefix / "bin" / "tovra-bridge");
    fs::create_directories(prefix / "share");
    EXPECT_EQ(bundle.resourceDirectory(), std::nullopt);
    std::ofstream(resources) << "a file, not a folder";
    EXPECT_EQ(bundle.resourceDirectory(), std::nullopt);
    fs::remove(resources);
    fs::create_directories(resources);
    EXPECT_EQ(bundle.resourceDirectory(), resources);
    fs::remove_all(prefix);
}

TEST(ExecutableBundle, InfoHasOnlyTheVersionAndTheExecutableIsThisProgram)
{
    ExecutableBundle bundle(fs::path("/nonexistent/bin/tovra-bridge"));
    const platform::InfoValue info = bundle.infoValue("CFBundleShortVersionString");
    const auto* version = std::get_if<std::string>(&info);
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(std::regex_match(*version, std::regex(R"(\d+(\.\d+)*)"))) << *version;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(bundle.infoValue("CFBundleVersion")));
    EXPECT_EQ(ExecutableBundle::currentExecutable(), fs::canonical("/proc/self/exe"));
}

} // namespace
} // namespace tovra::posix
