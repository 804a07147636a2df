#include "platform/linux/system_calls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cmath>

namespace tovra::linuxos {

std::optional<TimerFd> TimerFd::after(double seconds)
{
    const auto nanoseconds = std::max<long long>(1, std::llround(std::max(0.0, seconds) * 1e9));
    posix::FileDescriptor timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (!timer.isOpen() || ::timerfd_settime(timer.get(), 0, &due, nullptr) != 0) {
        return std::nullopt;
    }
    return TimerFd(std::move(timer));
}

int renameExclusive(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

} // namespace tovra::linuxos
