#pragma once

#include <chrono>
#include <string_view>

namespace tovra::linuxos {

enum class DisplayWait { ready, timedOut, interrupted, unusable };

// Waits until the display server that Qt's `platform` ("xcb", "wayland", "wayland-egl") would use,
// as the environment names it (DISPLAY, WAYLAND_DISPLAY), serves clients: at once when it does,
// else trying again a few times a second, for at most `limit`. Nothing in it blocks: connections
// are made without blocking and a remote host is looked up in the background, so `interrupt`, when
// it turns readable (a termination signal's pipe; -1 for none), ends the wait at once. A local
// server must answer a greeting (a connection it only queues is not served); a remote X server is
// taken at its word once it takes the connection, since one reached through ssh hands the
// connection on to the user's own server, which refuses a client without the user's cookie.
// Unusable at once for a DISPLAY that names no display. A platform that needs no display server
// is ready at once.
DisplayWait waitForDisplay(std::string_view platform, std::chrono::milliseconds limit, int interrupt);

} // namespace tovra::linuxos
