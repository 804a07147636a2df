#pragma once

#include <string_view>

#include "platform/file_manager.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::posix {

// A descriptor open for writing.
class PosixFileHandle : public platform::FileHandle {
public:
    explicit PosixFileHandle(FileDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

    bool seekToEnd() override;
    bool write(std::string_view bytes) override
    {
        return descriptor_.isOpen() && writeAll(descriptor_.get(), bytes);
    }
    bool close() override { return descriptor_.close(); }
    int fileDescriptor() const override { return descriptor_.get(); }

private:
    FileDescriptor descriptor_;
};

} // namespace tovra::posix
