#pragma once

#include <filesystem>
#include <memory>
#include <utility>

#include "platform/file_manager.h"

namespace tovra::posix {

// The user's places, as the desktop's conventions name them; an empty one is unknown.
struct UserPlaces {
    std::filesystem::path home;
    std::filesystem::path logs;
    std::filesystem::path applicationSupport;
};

// Renames `from` to `to` only while nothing is at `to`, in one step (so that nothing appearing there
// meanwhile is replaced); 0, or -1 with errno set. POSIX has no such call; each system has its own.
using ExclusiveRename = int (*)(const char* from, const char* to);

class PosixFileManager : public platform::FileManager {
public:
    PosixFileManager(UserPlaces places, ExclusiveRename rename) : places_(std::move(places)), rename_(rename)
    {
    }

    std::filesystem::path homeDirectoryForCurrentUser() override { return places_.home; }
    std::filesystem::path logsDirectory() override { return places_.logs; }
    std::filesystem::path applicationSupportDirectory() override { return places_.applicationSupport; }
    bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to) override;
    bool isExecutableFile(const std::filesystem::path& path) override;
    // Missing directories are created with mode 0700 (less what the umask removes).
    bool createDirectory(const std::filesystem::path& path) override;
    // Mode 0600 (less what the umask removes).
    bool createFile(const std::filesystem::path& path) override;
    std::shared_ptr<platform::FileHandle> fileHandleForWriting(const std::filesystem::path& path) override;

private:
    bool moveAcross(const std::filesystem::path& from, const std::filesystem::path& to);
    bool moveLink(const std::filesystem::path& from, const std::filesystem::path& to);

    UserPlaces places_;
    ExclusiveRename rename_;
};

} // namespace tovra::posix
