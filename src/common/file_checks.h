#pragma once

#include <filesystem>

namespace tovra {

// True when the path names an existing file or directory, following symbolic links.
inline bool fileExists(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// True when anything at all stands at the path, a dangling symbolic link included.
inline bool anythingExistsAt(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

} // namespace tovra
