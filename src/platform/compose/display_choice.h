#pragma once

#include <string>

namespace tovra::platform {

// What the environment says of the displays a start may use.
struct DisplayEnvironment {
    std::string qpaPlatform;    // QT_QPA_PLATFORM
    std::string display;        // DISPLAY
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string sessionType;    // XDG_SESSION_TYPE
    std::string desktops;       // XDG_CURRENT_DESKTOP and XDG_SESSION_DESKTOP, one after the other

    // This process's.
    static DisplayEnvironment ofProcess();
};

// The platform Qt runs on: QT_QPA_PLATFORM when set, else one of the displays the environment
// names: X, unless a Wayland session says otherwise. GNOME's Wayland session is the exception: its
// tray extension and its window manager serve an X client better, through Xwayland.
std::string preferredPlatform(const DisplayEnvironment& environment);

} // namespace tovra::platform
