#include "platform/posix/posix_file_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {

namespace {

std::filesystem::path homeFromPasswordDatabase()
{
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    passwd entry{};
    passwd* result = nullptr;
    int error = 0;
    while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
           buffer.size() < (std::size_t{1} << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || result == nullptr || result->pw_dir == nullptr) {
        return {};
    }
    return result->pw_dir;
}

bool isDirectory(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::filesystem::path PosixFileManager::homeDirectoryForCurrentUser()
{
    if (const char* home = std::getenv("HOME")) {
        std::filesystem::path path(home);
        if (path.is_absolute()) {
            return path;
        }
    }
    return homeFromPasswordDatabase();
}

bool PosixFileManager::isExecutableFile(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool PosixFileManager::createDirectory(const std::filesystem::path& path)
{
    if (path.empty()) {
        return false;
    }
    // One component at a time, so that every directory created gets this mode; existing
    // ones are left as they are.
    std::filesystem::path current;
    for (const std::filesystem::path& component : path) {
        if (component.empty()) {
            continue;
        }
        current /= component;
        if (isDirectory(current)) {
            continue;
        }
        if (::mkdir(current.c_str(), 0700) != 0 && !(errno == EEXIST && isDirectory(current))) {
            return false;
        }
    }
    return true;
}

bool PosixFileManager::createFile(const std::filesystem::path& path)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return false;
    }
    return ::close(descriptor) == 0;
}

std::shared_ptr<platform::FileHandle>
PosixFileManager::fileHandleForWriting(const std::filesystem::path& path)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    return std::make_shared<PosixFileHandle>(descriptor);
}

} // namespace tovra::posix
