#pragma once

#include <cstdint>

#include "platform/process_info.h"

namespace tovra::posix {

class PosixProcessInfo : public platform::ProcessInfo {
public:
    // Takes the environment as it is now: made first thing, it is the environment the program
    // was started with, whatever is set in the process later. Entries without '=' are skipped;
    // of a name given twice, the first value counts, as getenv() sees it.
    PosixProcessInfo();

    platform::Environment environment() override { return environment_; }
    std::uint32_t userId() override;

private:
    platform::Environment environment_;
};

} // namespace tovra::posix
