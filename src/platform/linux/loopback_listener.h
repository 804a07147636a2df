#pragma once

#include <optional>
#include <string>

#include "platform/network.h"

namespace tovra::posix {

// The loopback address to reach process `pid`'s TCP listener on `port`: "127.0.0.1" when it, or a
// process it started, listens there on 127.0.0.1 or on every IPv4 address, else "::1" when on ::1
// or every IPv6 address. None when no listener on the port is theirs, or the process is gone.
// Read from /proc: the listening sockets' inodes among the processes' descriptors.
std::optional<std::string> loopbackListenerOf(int pid, int port);

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

} // namespace tovra::posix
