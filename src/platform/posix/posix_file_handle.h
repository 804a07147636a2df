#pragma once

#include <string_view>

#include "platform/file_manager.h"

namespace tovra::posix {

// Owns a descriptor open for writing.
class PosixFileHandle : public platform::FileHandle {
public:
    explicit PosixFileHandle(int descriptor);
    ~PosixFileHandle() override;
    PosixFileHandle(const PosixFileHandle&) = delete;
    PosixFileHandle& operator=(const PosixFileHandle&) = delete;

    bool seekToEnd() override;
    bool write(std::string_view bytes) override;
    bool close() override;
    int fileDescriptor() const override;

private:
    int descriptor_;
};

} // namespace tovra::posix
