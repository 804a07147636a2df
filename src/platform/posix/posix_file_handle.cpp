#include "platform/posix/posix_file_handle.h"

#include <unistd.h>

namespace tovra::posix {

bool PosixFileHandle::seekToEnd()
{
    return ::lseek(descriptor_.get(), 0, SEEK_END) != -1;
}

} // namespace tovra::posix
