#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

namespace tovra::posix {

// A copy of a file, a link or a whole folder to a place on any file system, as close to the
// original as a user can make it: each file's bytes, mode and times; folders' modes and times;
// links as links with the same text; files linked to each other still linked in the copy. Every
// file and folder is flushed to its device before the copy counts as made. Anything else (a FIFO, a
// socket, a device) cannot be copied and fails the copy. Ownership is not copied: everything is the
// copier's.
class TreeCopy {
public:
    // Copies `from` to `to`, where nothing may be yet. On failure what was made of `to` stays, for
    // the caller to remove, and failure() says why.
    bool copy(const std::filesystem::path& from, const std::filesystem::path& to);

    // "<path>: <the system's reason>" for the step that failed.
    const std::string& failure() const { return failure_; }

private:
    bool copyEntry(const std::filesystem::path& from, const std::filesystem::path& to);
    bool copyFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                    const struct stat& status);
    bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to,
                  const struct stat& status);
    bool copyLink(const std::filesystem::path& from, const std::filesystem::path& to,
                  const struct stat& status);
    // Records the reason of a failed step: errno's, or `reason` when given. Always false.
    bool fail(const std::filesystem::path& path, const char* reason = nullptr);

    // The first copy made of each file that has other names, by device and inode.
    std::map<std::pair<dev_t, ino_t>, std::filesystem::path> copiesOfLinkedFiles_;
    std::string failure_;
};

// Writes a folder's entries through to its device (a file renamed into it, say); false if it cannot.
bool flushFolder(const std::filesystem::path& folder);

} // namespace tovra::posix
