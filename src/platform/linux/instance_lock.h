#pragma once

#include <filesystem>

namespace tovra::posix {

enum class InstanceClaim { claimed, heldByAnother, unproven };

// This user's single instance: an exclusive flock on `lockFile`, held for the life of the process
// and released by the kernel however the process ends, so a crash never blocks the next start.
// Never follows a symbolic link; whatever stops the claim from being proved (a folder or a link at
// the name, no permission) makes it unproven.
InstanceClaim claimInstance(const std::filesystem::path& lockFile);

// $XDG_RUNTIME_DIR/tovra-bridge.lock when that is absolute, else the same name in a folder of this
// user's own under `temporaryFolder`, made 0700 when missing; empty when no such folder can be
// had: a folder at that name of someone else's, or open to others, or anything but a folder.
std::filesystem::path instanceLockFile(const std::filesystem::path& temporaryFolder = "/tmp");

} // namespace tovra::posix
