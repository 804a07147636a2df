#pragma once

#include <memory>
#include <vector>

#include "platform/linux/control_socket.h"
#include "platform/posix/instance_lock.h"
#include "platform/process_entry.h"

namespace tovra::platform {

// This user's one instance as this process claimed it: its locks, and beside each a control socket
// that listens from the claim on and is served once the program runs.
class InstanceClaim {
public:
    posix::SingleInstance instance;
    std::vector<linuxos::ControlListener> listeners;
};

// Claims the instance in `places`; null when another instance holds it. A claim that cannot be
// proved either way (no place takes a lock) counts as the only one, with nothing to listen on.
HeldInstance claimInstance(const posix::InstancePlaces& places);

} // namespace tovra::platform
