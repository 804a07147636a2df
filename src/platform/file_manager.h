#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace tovra::platform {

// An open file, for writing only.
class FileHandle {
public:
    virtual ~FileHandle() = default;
    // Moves the position to the end of the file.
    virtual bool seekToEnd() = 0;
    // Writes all of `bytes` at the current position.
    virtual bool write(std::string_view bytes) = 0;
    // Closes the handle; later calls fail. Reports the close's own error.
    virtual bool close() = 0;
    // The descriptor a child's output can be pointed at; -1 once closed or where there is none.
    virtual int fileDescriptor() const = 0;
};

// File operations that std::filesystem cannot do the way this program needs.
// Everything else (exists, remove, rename) is done with std::filesystem directly.
class FileManager {
public:
    virtual ~FileManager() = default;
    // The current user's home directory.
    virtual std::filesystem::path homeDirectoryForCurrentUser() = 0;
    // Where the user's programs keep their logs, and their data (on a Mac ~/Library/Logs and
    // ~/Library/Application Support).
    virtual std::filesystem::path logsDirectory() = 0;
    virtual std::filesystem::path applicationSupportDirectory() = 0;
    // True only for an existing regular file that this user may execute.
    virtual bool isExecutableFile(const std::filesystem::path& path) = 0;
    // Creates the directory and any missing parents, each private to the user. An existing
    // directory is no failure; existing ones keep their modes.
    virtual bool createDirectory(const std::filesystem::path& path) = 0;
    // Moves a file, link or folder to `to`, which must not exist: renamed, or across file systems
    // copied whole (modes, times and hard links kept) and written through under another name, then
    // renamed to `to`, and only then removed. A link keeps pointing at the same place. On failure
    // nothing is left at `to`, `from` is as it was, and the reason is said.
    virtual bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
    // Creates an empty file, private to the user, unless something already exists there.
    virtual bool createFile(const std::filesystem::path& path) = 0;
    // Opens an existing regular file for appending: every write lands at the end of the file as
    // it is then. Never blocks. None when it does not exist, cannot be written or is no regular
    // file (a folder, a FIFO, a device, a socket).
    virtual std::shared_ptr<FileHandle> fileHandleForWriting(const std::filesystem::path& path) = 0;
};

} // namespace tovra::platform
