#include "platform/compose/display_choice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tovra::platform {

namespace {

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

DisplayEnvironment DisplayEnvironment::ofProcess()
{
    return {variable("QT_QPA_PLATFORM"), variable("DISPLAY"), variable("WAYLAND_DISPLAY"),
            variable("XDG_SESSION_TYPE"),
            variable("XDG_CURRENT_DESKTOP") + ":" + variable("XDG_SESSION_DESKTOP")};
}

std::string preferredPlatform(const DisplayEnvironment& environment)
{
    if (!environment.qpaPlatform.empty()) {
        return environment.qpaPlatform;
    }
    const bool x = !environment.display.empty();
    const bool wayland = !environment.waylandDisplay.empty();
    const bool gnome = lowercase(environment.desktops).find("gnome") != std::string::npos;
    if (wayland && (!x || (lowercase(environment.sessionType) == "wayland" && !gnome))) {
        return "wayland";
    }
    return x ? "xcb" : "offscreen";
}

} // namespace tovra::platform
