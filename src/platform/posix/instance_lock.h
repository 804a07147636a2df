#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace tovra::posix {

enum class InstanceClaim { claimed, heldByAnother, unlocked };

struct SingleInstance {
    InstanceClaim claim = InstanceClaim::unlocked;
    // Claimed: the private folders (this user's alone) that hold a lock of this process, in the
    // order they were taken. Held by another: the folder where its lock was found.
    std::vector<std::filesystem::path> folders;
    // The locks, one for each folder claimed: released when these close.
    std::vector<FileDescriptor> locks;
};

// The places that may hold the lock.
struct InstancePlaces {
    std::filesystem::path temporary; // holds a folder of ours, <name>-<uid>, made when missing
    std::filesystem::path
        userRuntime;               // holds the user's runtime folder, <uid>, as the login manager makes it
    std::filesystem::path runtime; // $XDG_RUNTIME_DIR; runtime folders are used only where they exist
    std::filesystem::path cache;   // holds <name>/, made when missing
    std::string name;              // the program's: the folders above and the lock file go by it
};

// Every folder that may hold the lock, in the one order every start shares whatever its
// environment: the names under the temporary folder (which no environment changes) first, then
// the user's runtime folder, $XDG_RUNTIME_DIR and the cache's. Nothing is made.
std::vector<std::filesystem::path> instanceFolders(const InstancePlaces& places);

// This user's single instance: a write lock of its own open file (an OFD lock) on <name>.lock in
// every usable place, taken in the order of instanceFolders. A place is usable when it is private
// (a real folder of this user's, closed to everyone else) and its lock file a regular file of this
// user's; a lock file of anyone else's never counts as another instance. Where a place's lock is
// held already, another instance runs: every lock taken so far is released and the claim lost.
// So two starts with different environments meet in the first place they share, and of two that
// come at once exactly one wins. The locks are held for the life of the process (as long as the
// result lives) and released by the kernel however it ends, so a crash never blocks the next
// start. Under the temporary folder a name taken by someone else gives way to fresh names
// (<name>-<uid>.1, .2, ...), the same for every start; the first usable one is made, and later
// ones are locked too where they exist. Each place refused is named on standard error with its
// reason, but for runtime folders that do not exist; unlocked only when no place is left, and
// said so.
SingleInstance claimSingleInstance(const InstancePlaces& places);

// Whether the lock in `folder` is held: only a lock file of this user's in a private folder of
// this user's counts. Asks without taking the lock, so it never stands in the way of a start.
bool isInstanceLockHeld(const std::filesystem::path& folder, const std::string& name);

} // namespace tovra::posix
