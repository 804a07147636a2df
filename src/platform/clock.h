#pragma once

#include <chrono>

namespace tovra::platform {

// Wall-clock time, for time stamps shown to people.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() = 0;
};

} // namespace tovra::platform
