#pragma once

// A fresh temporary folder, removed with everything in it; whole files read and written.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tovra::testing {

struct TempDir {
    TempDir()
        : path(::mkdtemp((std::filesystem::temp_directory_path() / "tovra-test-XXXXXX").string().data()))
    {
    }
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path / name; }

    std::filesystem::path path;
    std::error_code ignored;
};

inline std::string readFile(const std::filesystem::path& path)
{
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// Makes the folders it needs.
inline void writeFile(const std::filesystem::path& path, std::string_view contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

} // namespace tovra::testing
