#pragma once

#include <chrono>
#include <string_view>

namespace tovra::linuxos {

enum class DisplayWait { ready, timedOut, interrupted };

// Waits until the display server that Qt's `platform` ("xcb", "wayland", "wayland-egl") would use,
// as the environment names it (DISPLAY, WAYLAND_DISPLAY), accepts a connection: at once when it
// does, else trying again a few times a second, sleeping in between, for at most `limit`.
// `interrupt`, when readable, ends the wait (a termination signal's pipe); -1 for none. A platform
// that needs no display server is ready at once.
DisplayWait waitForDisplay(std::string_view platform, std::chrono::milliseconds limit, int interrupt);

} // namespace tovra::linuxos
