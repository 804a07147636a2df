#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tovra::posix {

enum class InstanceClaim { claimed, heldByAnother, unlocked };

struct SingleInstance {
    InstanceClaim claim = InstanceClaim::unlocked;
    // The private folder that holds the lock (this user's alone); empty when unlocked.
    std::filesystem::path folder;
};

// The places tried for the lock, in order.
struct InstancePlaces {
    std::filesystem::path runtime;   // used only when it exists already and is private
    std::filesystem::path temporary; // holds a folder of ours, <name>-<uid>, made when missing
    std::filesystem::path cache;     // holds <name>/, made when missing
    std::string name;                // the program's: the folders above and the lock file go by it
};

// The folders that may hold the lock, in the order they are tried.
std::vector<std::filesystem::path> instanceFolders(const InstancePlaces& places);

// This user's single instance: an exclusive flock on <name>.lock in the first place that is
// private (a real folder of this user's, closed to everyone else) and where the lock file is a
// regular file of this user's. It is held for the life of the process and released by the kernel
// however the process ends, so a crash never blocks the next start. A lock file of anyone else's
// never counts as another instance. Under the temporary folder a name taken by someone else gives
// way to fresh names (<name>-<uid>.1, .2, ...), the same for every start. Each place refused
// is named on standard error with its reason; unlocked only when no place is left, and said so.
SingleInstance claimSingleInstance(const InstancePlaces& places);

} // namespace tovra::posix
