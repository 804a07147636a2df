#include "platform/posix/posix_file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {

namespace {

bool isDirectory(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool PosixFileManager::moveItem(const std::filesystem::path& from, const std::filesystem::path& to)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(fs::symlink_status(to, error))) {
        platform::warn("cannot move ", from.c_str(), " to ", to.c_str(), ": something is there already");
        return false;
    }
    if (rename_(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    if (errno == EXDEV) {
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        if (!error) {
            fs::remove_all(from, error);
            return true; // copied: what could not be removed of the old place stays behind
        }
        std::error_code ignored;
        fs::remove_all(to, ignored);
        errno = error.value();
    }
    platform::warn("cannot move ", from.c_str(), " to ", to.c_str(), ": ", std::strerror(errno));
    return false;
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
