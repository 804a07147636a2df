#pragma once

#include <cstdint>

// What tovra-guard and the task that started it say to each other: one record per message on a
// SOCK_SEQPACKET socket, the guard's end on its descriptor 3. The application never writes; its
// end closing tells the guard that it has gone.
namespace tovra::linuxos {

inline constexpr int kGuardChannel = 3;

struct GuardMessage {
    enum Kind : std::int32_t {
        started = 1, // value: the server's pid
        failed = 2,  // the server could not be started; value: the errno
        ended = 3,   // the server has ended (its tree may still be ending); value: its status
    };
    std::int32_t kind;
    std::int32_t value;
};

} // namespace tovra::linuxos
