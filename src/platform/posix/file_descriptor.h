#pragma once

#include <string_view>
#include <utility>

namespace tovra::posix {

// Owns one open descriptor and closes it when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor = -1) : descriptor_(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const { return descriptor_; }
    bool isOpen() const { return descriptor_ >= 0; }
    // Closes it now; false when there was none or close reported an error. Not retried on EINTR:
    // on Linux the descriptor is gone whatever close returns.
    bool close();

private:
    int descriptor_;
};

// Wakes a thread that polls: poll descriptor() for reading; wake() from any thread. Wakes that come
// before the thread drains them read as one.
class Wakeup {
public:
    // Without a pipe (none could be made) the thread wakes only at its own times.
    Wakeup();
    int descriptor() const { return readEnd_.get(); }
    void wake() const;
    void drain() const;

private:
    FileDescriptor readEnd_;
    FileDescriptor writeEnd_;
};

// Writes all of `bytes`, going on after short writes and interruptions; false on any error.
bool writeAll(int descriptor, std::string_view bytes);

} // namespace tovra::posix
