#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/network.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

using posix::FileDescriptor;

// A TCP listener on a port, where a loopback client reaches it (127.0.0.1, ::1, ::ffff:127.0.0.1
// or every address), as the kernel's socket diagnostics list it.
struct LoopbackListener {
    std::uint64_t inode = 0;
    bool ipv4 = false; // reached at 127.0.0.1 (else at ::1)
    unsigned uid = 0;
};

// The listeners on `port`; none when the kernel could not be asked. Only listening sockets are
// asked for, so the cost does not grow with the connections the machine holds.
std::vector<LoopbackListener> loopbackListeners(int diagnostics, int port);

// A NETLINK_SOCK_DIAG socket for the function above.
FileDescriptor openSocketDiagnostics();

// The loopback address to reach process `pid`'s TCP listener on `port`: "127.0.0.1" when it, or a
// process it started, listens there on 127.0.0.1 or on every IPv4 address, else "::1" when on ::1
// or every IPv6 address. None when no listener on the port is theirs, or the process is gone.
//
// Asked once a second, so it remembers the holder it found (process, descriptor, socket) and only
// checks that this still holds; it looks through the processes again only when the listener moved.
// One object per thread.
class OwnedListenerCheck {
public:
    std::optional<std::string> operator()(int pid, int port);

private:
    struct Holder {
        int server = 0;
        int port = 0;
        int process = 0;
        int descriptor = -1;
        LoopbackListener listener;
    };
    FileDescriptor diagnostics_ = openSocketDiagnostics();
    std::optional<Holder> held_;
};

// Every process below `root`, by the parents that <proc>/<pid>/stat names: for kernels that keep
// no lists of children. Entries that are not a process's, or that cannot be read, are skipped.
std::vector<int> descendantsByParents(int root, const std::filesystem::path& proc = "/proc");

// Whoever listens on `port` where a loopback client reaches it: the process whose descriptors hold
// the socket, when this user can see them. Reads all of /proc, so for rare questions only.
std::optional<platform::ListeningProcess> loopbackListenerOnPort(int port);

class LinuxNetwork : public platform::Network {
public:
    std::optional<platform::ListeningProcess> loopbackListener(int port) override
    {
        return loopbackListenerOnPort(port);
    }
};

} // namespace tovra::linuxos
