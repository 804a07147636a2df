#pragma once

#include <filesystem>
#include <memory>

#include "platform/file_manager.h"

namespace tovra::posix {

class PosixFileManager : public platform::FileManager {
public:
    std::filesystem::path homeDirectoryForCurrentUser() override;
    // $XDG_STATE_HOME/Tovra and $XDG_DATA_HOME (~/.local/state/Tovra and ~/.local/share).
    std::filesystem::path logsDirectory() override;
    std::filesystem::path applicationSupportDirectory() override;
    bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to) override;
    bool isExecutableFile(const std::filesystem::path& path) override;
    // Missing directories are created with mode 0700 (less what the umask removes).
    bool createDirectory(const std::filesystem::path& path) override;
    // Mode 0600 (less what the umask removes).
    bool createFile(const std::filesystem::path& path) override;
    std::shared_ptr<platform::FileHandle> fileHandleForWriting(const std::filesystem::path& path) override;
};

} // namespace tovra::posix
