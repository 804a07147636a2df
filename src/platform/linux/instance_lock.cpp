#include "platform/linux/instance_lock.h"

#include "platform/qt/diagnostics.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tovra::posix {

namespace {

constexpr const char* kLockName = "tovra-bridge.lock";

// A folder that only this user can reach: a real folder, ours, with no access for anyone else.
bool isPrivateFolder(const std::filesystem::path& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::getuid() &&
           (status.st_mode & 077) == 0;
}

} // namespace

InstanceClaim claimInstance(const std::filesystem::path& lockFile)
{
    if (lockFile.empty()) {
        return InstanceClaim::unproven;
    }
    // Kept open for the life of the process: closing it would release the lock.
    const int descriptor =
        ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        qCWarning(lcPlatform).nospace()
            << "cannot tell whether this is the only instance: " << lockFile.c_str() << ": "
            << std::strerror(errno);
        return InstanceClaim::unproven;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        return InstanceClaim::claimed;
    }
    const bool held = errno == EWOULDBLOCK;
    ::close(descriptor);
    return held ? InstanceClaim::heldByAnother : InstanceClaim::unproven;
}

std::filesystem::path instanceLockFile(const std::filesystem::path& temporaryFolder)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        return std::filesystem::path(runtime) / kLockName;
    }
    const std::filesystem::path folder = temporaryFolder / ("tovra-bridge-" + std::to_string(::getuid()));
    ::mkdir(folder.c_str(), 0700);
    return isPrivateFolder(folder) ? folder / kLockName : std::filesystem::path();
}

} // namespace tovra::posix
