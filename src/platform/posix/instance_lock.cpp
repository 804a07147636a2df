#include "platform/posix/instance_lock.h"

#include "platform/diagnostics.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tovra::posix {

namespace {

namespace fs = std::filesystem;

// Names tried under the temporary folder after the first, which anyone can take before us.
constexpr int kFreshNames = 8;

enum class Outcome { claimed, held, unusable };

void refuse(const fs::path& path, const char* reason)
{
    platform::warn("cannot keep the single-instance lock in ", path.c_str(), ": ", reason);
}

// Null when `folder` is a real folder of this user's that no one else can reach; else why not.
const char* privacyFault(const fs::path& folder)
{
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return "not a folder";
    }
    if (status.st_uid != ::getuid()) {
        return "the folder is someone else's";
    }
    return (status.st_mode & 077) != 0 ? "the folder is open to others" : nullptr;
}

Outcome claimIn(const fs::path& folder, const std::string& name)
{
    if (const char* fault = privacyFault(folder)) {
        refuse(folder, fault);
        return Outcome::unusable;
    }
    const fs::path file = folder / (name + ".lock");
    // Kept open for the life of the process: closing it would release the lock.
    const int descriptor =
        ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (descriptor < 0) {
        const int error = errno; // before anything else can change it
        refuse(file, std::strerror(error));
        return Outcome::unusable;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        ::close(descriptor);
        refuse(file, "the lock file is someone else's");
        return Outcome::unusable;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        return Outcome::claimed;
    }
    const int error = errno;
    ::close(descriptor);
    if (error == EWOULDBLOCK) {
        return Outcome::held;
    }
    refuse(file, std::strerror(error));
    return Outcome::unusable;
}

} // namespace

std::vector<fs::path> instanceFolders(const InstancePlaces& places)
{
    std::vector<fs::path> folders;
    if (!places.runtime.empty()) {
        folders.push_back(places.runtime);
    }
    if (!places.temporary.empty()) {
        const std::string ours = places.name + "-" + std::to_string(::getuid());
        for (int fresh = 0; fresh <= kFreshNames; ++fresh) {
            folders.push_back(places.temporary / (fresh == 0 ? ours : ours + "." + std::to_string(fresh)));
        }
    }
    if (!places.cache.empty()) {
        folders.push_back(places.cache / places.name);
    }
    return folders;
}

SingleInstance claimSingleInstance(const InstancePlaces& places)
{
    const std::vector<fs::path> folders = instanceFolders(places);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (i > 0) {
            // Missing parents too, for the cache; each made private. An existing one is checked below.
            std::error_code ignored;
            fs::create_directories(folders[i].parent_path(), ignored);
            ::mkdir(folders[i].c_str(), 0700);
        }
        switch (claimIn(folders[i], places.name)) {
        case Outcome::claimed:
            return {InstanceClaim::claimed, folders[i]};
        case Outcome::held:
            return {InstanceClaim::heldByAnother, folders[i]};
        case Outcome::unusable:
            break;
        }
    }
    platform::warn("no private folder for the single-instance lock: running unlocked, so a second start "
                   "will run too");
    return {};
}

} // namespace tovra::posix
