#pragma once

#include <cstdint>

#include "platform/task.h"

namespace tovra::platform {

class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;
    // A copy of this process's environment.
    virtual Environment environment() = 0;
    // The real user ID of this process.
    virtual std::uint32_t userId() = 0;
};

} // namespace tovra::platform
