#include "platform/posix/posix_process_info.h"

#include <unistd.h>

#include <string_view>

namespace tovra::posix {

PosixProcessInfo::PosixProcessInfo()
{
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::size_t separator = text.find('=');
        if (separator != std::string_view::npos) {
            environment_.emplace(text.substr(0, separator), text.substr(separator + 1));
        }
    }
}

std::uint32_t PosixProcessInfo::userId()
{
    return ::getuid();
}

} // namespace tovra::posix
