#include "platform/posix/posix_process_info.h"

#include <unistd.h>

#include <string_view>

namespace tovra::posix {

platform::Environment PosixProcessInfo::environment()
{
    platform::Environment result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::size_t separator = text.find('=');
        if (separator == std::string_view::npos) {
            continue;
        }
        result.emplace(text.substr(0, separator), text.substr(separator + 1));
    }
    return result;
}

std::uint32_t PosixProcessInfo::userId()
{
    return getuid();
}

} // namespace tovra::posix
