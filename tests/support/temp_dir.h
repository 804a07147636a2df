#pragma once

// Files for tests: a fresh temporary folder, removed with everything in it, and whole-file
// reads and writes.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tovra::testing {

struct TempDir {
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tovra-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path / name; }

    std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Creates the missing folders on the way.
inline void writeFile(const std::filesystem::path& path, std::string_view contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

} // namespace tovra::testing
