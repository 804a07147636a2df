#include "platform/posix/instance_lock.h"

#include "platform/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace tovra::posix {

namespace {

namespace fs = std::filesystem;

// Names tried under the temporary folder after the first, which anyone can take before us.
constexpr int kFreshNames = 8;

enum class Kind { temporary, runtime, cache };

struct Place {
    fs::path folder;
    Kind kind;
};

enum class Outcome { claimed, held, taken, unusable };

struct Claim {
    Outcome outcome;
    FileDescriptor lock; // claimed: the descriptor that holds it
};

// The lock file, as one open file, identified across the names a folder may go by.
struct Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Identity&) const = default;
};

std::vector<Place> places(const InstancePlaces& given)
{
    std::vector<Place> found;
    const auto add = [&](const fs::path& folder, Kind kind) {
        const bool listed = std::any_of(found.begin(), found.end(), [&](const Place& place) {
            return place.folder.lexically_normal() == folder.lexically_normal();
        });
        if (!folder.empty() && !listed) {
            found.push_back({folder, kind});
        }
    };
    if (!given.temporary.empty()) {
        const std::string ours = given.name + "-" + std::to_string(::getuid());
        for (int fresh = 0; fresh <= kFreshNames; ++fresh) {
            add(given.temporary / (fresh == 0 ? ours : ours + "." + std::to_string(fresh)), Kind::temporary);
        }
    }
    if (!given.userRuntime.empty()) {
        add(given.userRuntime / std::to_string(::getuid()), Kind::runtime);
    }
    add(given.runtime, Kind::runtime);
    if (!given.cache.empty()) {
        add(given.cache / given.name, Kind::cache);
    }
    return found;
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

// A write lock on the whole file, owned by the open file (not the process), so that it conflicts
// with every other opening of the file, in this process too.
struct flock wholeFile()
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Opens the lock file in `folder` when it may be an instance's: a regular file of this user's in a
// private folder of this user's. Else says why not in `fault`.
FileDescriptor openLockFile(const fs::path& folder, const std::string& name, int flags, const char*& fault)
{
    if ((fault = privacyFault(folder))) {
        return FileDescriptor();
    }
    FileDescriptor file(::open((folder / (name + ".lock")).c_str(),
                               flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!file.isOpen()) {
        fault = std::strerror(errno);
        return file;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        fault = "the lock file is someone else's";
        return FileDescriptor();
    }
    return file;
}

Claim claimIn(const fs::path& folder, const std::string& name, bool quiet, std::vector<Identity>& taken)
{
    const auto refuse = [&](const char* reason) {
        if (!quiet) {
            platform::warn("cannot keep the single-instance lock in ", folder.c_str(), ": ", reason);
        }
        return Claim{Outcome::unusable, FileDescriptor()};
    };
    const char* fault = nullptr;
    FileDescriptor file = openLockFile(folder, name, O_RDWR | O_CREAT, fault);
    if (!file.isOpen()) {
        return refuse(fault);
    }
    // One folder under two names (a link among its parents, a bind mount) is locked once.
    struct stat status {};
    ::fstat(file.get(), &status);
    const Identity identity{status.st_dev, status.st_ino};
    if (std::find(taken.begin(), taken.end(), identity) != taken.end()) {
        return {Outcome::taken, FileDescriptor()};
    }
    struct flock lock = wholeFile();
    if (::fcntl(file.get(), F_OFD_SETLK, &lock) == 0) {
        taken.push_back(identity);
        return {Outcome::claimed, std::move(file)};
    }
    if (errno == EAGAIN || errno == EACCES) {
        return {Outcome::held, FileDescriptor()};
    }
    return refuse(std::strerror(errno));
}

} // namespace

std::vector<fs::path> instanceFolders(const InstancePlaces& given)
{
    std::vector<fs::path> folders;
    for (const Place& place : places(given)) {
        folders.push_back(place.folder);
    }
    return folders;
}

SingleInstance claimSingleInstance(const InstancePlaces& given)
{
    SingleInstance instance;
    std::vector<Identity> taken;
    bool temporaryClaimed = false;
    for (const Place& place : places(given)) {
        struct stat status {};
        const bool present = ::lstat(place.folder.c_str(), &status) == 0;
        // Beside the one claimed, the other names under the temporary folder are only looked at.
        const bool quiet = place.kind == Kind::temporary && temporaryClaimed;
        if (place.kind == Kind::runtime || quiet) {
            if (!present) {
                continue; // a runtime folder is its session's to make
            }
        } else if (!present) {
            // Missing parents too, for the cache; made closed to others. An existing one is checked.
            std::error_code ignored;
            fs::create_directories(place.folder.parent_path(), ignored);
            ::mkdir(place.folder.c_str(), 0700);
        }
        Claim claim = claimIn(place.folder, given.name, quiet, taken);
        switch (claim.outcome) {
        case Outcome::claimed:
            instance.folders.push_back(place.folder);
            instance.locks.push_back(std::move(claim.lock));
            temporaryClaimed = temporaryClaimed || place.kind == Kind::temporary;
            break;
        case Outcome::held: // the locks taken so far go with `instance`
            return {InstanceClaim::heldByAnother, {place.folder}, {}};
        case Outcome::taken:
        case Outcome::unusable:
            break;
        }
    }
    if (instance.locks.empty()) {
        platform::warn("no private folder for the single-instance lock: running unlocked, so a second "
                       "start will run too");
        return {};
    }
    instance.claim = InstanceClaim::claimed;
    return instance;
}

bool isInstanceLockHeld(const fs::path& folder, const std::string& name)
{
    const char* fault = nullptr;
    const FileDescriptor file = openLockFile(folder, name, O_RDONLY, fault);
    struct flock lock = wholeFile();
    return file.isOpen() && ::fcntl(file.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

} // namespace tovra::posix
