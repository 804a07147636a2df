#include "platform/posix/posix_file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/tree_copy.h"

namespace tovra::posix {

namespace {

namespace fs = std::filesystem;

void cannotMove(const fs::path& from, const fs::path& to, std::string_view reason)
{
    platform::warn("cannot move ", from.c_str(), " to ", to.c_str(), ": ", reason);
}

bool isDirectory(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool PosixFileManager::moveItem(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::error_code error;
    if (fs::exists(fs::symlink_status(to, error))) {
        cannotMove(from, to, "something is there already");
        return false;
    }
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0) {
        cannotMove(from, to, std::strerror(errno));
        return false;
    }
    if (S_ISLNK(status.st_mode)) {
        return moveLink(from, to);
    }
    if (rename_(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    if (errno != EXDEV) {
        cannotMove(from, to, std::strerror(errno));
        return false;
    }
    return moveAcross(from, to);
}

// All or nothing: the copy is made whole under a name of its own beside `to`, written through, and
// only then renamed to `to`; the original goes last. A copy that an interrupted move left is removed
// and made again.
bool PosixFileManager::moveAcross(const std::filesystem::path& from, const std::filesystem::path& to)
{
    const fs::path partial =
        to.parent_path() / std::string(".").append(to.filename().string()).append(".partial");
    std::error_code error;
    fs::remove_all(partial, error);
    TreeCopy copy;
    if (!copy.copy(from, partial)) {
        fs::remove_all(partial, error);
        cannotMove(from, to, copy.failure());
        return false;
    }
    if (rename_(partial.c_str(), to.c_str()) != 0) {
        const int renameError = errno;
        fs::remove_all(partial, error);
        cannotMove(from, to, std::strerror(renameError));
        return false;
    }
    // The new name on the device before the original goes.
    flushFolder(to.parent_path());
    fs::remove_all(from, error);
    if (error) {
        platform::warn("moved ", from.c_str(), " to ", to.c_str(),
                       ", but cannot remove what is left of it: ", error.message());
    }
    return true;
}

// A link keeps pointing where it pointed: a relative one is made absolute from the folder it was in,
// so that it means the same from its new folder.
bool PosixFileManager::moveLink(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::error_code error;
    const fs::path text = fs::read_symlink(from, error);
    const fs::path folder = error ? fs::path() : fs::canonical(from.parent_path(), error);
    if (error) {
        cannotMove(from, to, error.message());
        return false;
    }
    // symlink() never replaces what is there.
    if (::symlink((text.is_absolute() ? text : folder / text).c_str(), to.c_str()) != 0) {
        cannotMove(from, to, std::strerror(errno));
        return false;
    }
    fs::remove(from, error);
    return true;
}

bool PosixFileManager::isExecutableFile(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool PosixFileManager::createDirectory(const std::filesystem::path& path)
{
    // One component at a time, so that every directory created gets this mode; existing ones
    // are left as they are.
    std::filesystem::path current;
    for (const std::filesystem::path& component : path) {
        current /= component;
        const int made = ::mkdir(current.c_str(), 0700);
        const int error = errno; // the reason, before the check below can overwrite it
        if (made != 0 && !isDirectory(current)) {
            platform::warn("cannot make the folder ", current.c_str(), ": ", std::strerror(error));
            return false;
        }
    }
    return !path.empty();
}

bool PosixFileManager::createFile(const std::filesystem::path& path)
{
    return FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)).close();
}

std::shared_ptr<platform::FileHandle>
PosixFileManager::fileHandleForWriting(const std::filesystem::path& path)
{
    // Non-blocking, so a FIFO without a reader cannot hold up the caller: the open fails, or the
    // check below turns it away. fstat fails on the -1 of a failed open.
    FileDescriptor descriptor(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    const int openError = errno;
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(descriptor.get(), F_SETFL, O_APPEND) != 0) {
        platform::warn("cannot append to ", path.c_str(), ": ",
                       descriptor.isOpen() ? "not a regular file" : std::strerror(openError));
        return nullptr;
    }
    return std::make_shared<PosixFileHandle>(std::move(descriptor));
}

} // namespace tovra::posix
