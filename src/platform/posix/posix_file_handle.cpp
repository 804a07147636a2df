#include "platform/posix/posix_file_handle.h"

#include <unistd.h>

#include <cerrno>

namespace tovra::posix {

PosixFileHandle::PosixFileHandle(int descriptor) : descriptor_(descriptor) {}

PosixFileHandle::~PosixFileHandle()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

bool PosixFileHandle::seekToEnd()
{
    return descriptor_ >= 0 && lseek(descriptor_, 0, SEEK_END) != -1;
}

bool PosixFileHandle::write(std::string_view bytes)
{
    if (descriptor_ < 0) {
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool PosixFileHandle::close()
{
    if (descriptor_ < 0) {
        return false;
    }
    // Not retried on EINTR: on Linux the descriptor is gone whatever close() returns.
    const int result = ::close(descriptor_);
    descriptor_ = -1;
    return result == 0;
}

int PosixFileHandle::fileDescriptor() const
{
    return descriptor_;
}

} // namespace tovra::posix
