#pragma once

#include <optional>
#include <utility>

#include "platform/posix/file_descriptor.h"

// Linux's own calls that portable code is handed by the composition root: a wake-up timer for the
// event loop, and a rename that never replaces.
namespace tovra::linuxos {

// A timerfd on the monotonic clock, due once: its descriptor turns readable when the time has
// passed. Keeps to the kernel's timer, to the nanosecond.
class TimerFd {
public:
    // Due `seconds` from now (at least a nanosecond: a zero time would disarm it); none when the
    // kernel makes none.
    static std::optional<TimerFd> after(double seconds);

    int descriptor() const { return descriptor_.get(); }

private:
    explicit TimerFd(posix::FileDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

    posix::FileDescriptor descriptor_;
};

// Renames `from` to `to` only while nothing is at `to`, in one step (renameat2 with
// RENAME_NOREPLACE); 0, or -1 with errno set.
int renameExclusive(const char* from, const char* to);

} // namespace tovra::linuxos
