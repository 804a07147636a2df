#pragma once

#include <chrono>

#include "platform/clock.h"

namespace tovra::posix {

class SystemClock : public platform::Clock {
public:
    std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }
};

} // namespace tovra::posix
