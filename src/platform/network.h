#pragma once

#include <optional>
#include <string>

namespace tovra::platform {

// A process that listens for TCP connections.
struct ListeningProcess {
    // -1 and empty where the process cannot be seen (another user's).
    int processIdentifier = -1;
    std::string name;
};

class Network {
public:
    virtual ~Network() = default;
    // Whoever listens on `port` where a loopback client reaches it (a loopback address or every
    // address); none when nothing does.
    virtual std::optional<ListeningProcess> loopbackListener(int port) = 0;
};

} // namespace tovra::platform
