#pragma once

#include <cstdint>

#include "platform/process_info.h"

namespace tovra::posix {

class PosixProcessInfo : public platform::ProcessInfo {
public:
    // Entries without '=' are skipped; of a name given twice, the first value counts, as
    // getenv() sees it.
    platform::Environment environment() override;
    std::uint32_t userId() override;
};

} // namespace tovra::posix
