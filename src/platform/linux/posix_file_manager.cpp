#include "platform/linux/posix_file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/posix_file_handle.h"
#include "platform/linux/user_directories.h"
#include "platform/qt/diagnostics.h"

namespace tovra::posix {

namespace {

bool isDirectory(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::filesystem::path PosixFileManager::homeDirectoryForCurrentUser()
{
    return homeDirectory();
}

std::filesystem::path PosixFileManager::logsDirectory()
{
    const std::filesystem::path state = stateDirectory();
    return state.empty() ? state : state / "Tovra";
}

std::filesystem::path PosixFileManager::applicationSupportDirectory()
{
    return dataDirectory();
}

bool PosixFileManager::moveItem(const std::filesystem::path& from, const std::filesystem::path& to)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(fs::symlink_status(to, error))) {
        qCWarning(lcPlatform).nospace()
            << "cannot move " << from.c_str() << " to " << to.c_str() << ": something is there already";
        return false;
    }
    // renameat2 with RENAME_NOREPLACE: nothing that appears at `to` meanwhile is replaced.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
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
    qCWarning(lcPlatform).nospace() << "cannot move " << from.c_str() << " to " << to.c_str() << ": "
                                    << std::strerror(errno);
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
            qCWarning(lcPlatform).nospace()
                << "cannot make the folder " << current.c_str() << ": " << std::strerror(error);
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
        qCWarning(lcPlatform).nospace()
            << "cannot append to " << path.c_str() << ": "
            << (descriptor.isOpen() ? "not a regular file" : std::strerror(openError));
        return nullptr;
    }
    return std::make_shared<PosixFileHandle>(std::move(descriptor));
}

} // namespace tovra::posix
