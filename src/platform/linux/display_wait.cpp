#include "platform/linux/display_wait.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tovra::linuxos {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRetry{250};

bool connects(const sockaddr* address, socklen_t length)
{
    const int socket = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = socket >= 0 && ::connect(socket, address, length) == 0;
    if (socket >= 0) {
        ::close(socket);
    }
    return connected;
}

// A local socket by path, or by abstract name when `abstract`.
bool localAccepts(const std::string& name, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (name.empty() || name.size() + offset >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    return connects(reinterpret_cast<const sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size()));
}

// DISPLAY as [host]:number[.screen]: a local server listens on /tmp/.X11-unix/X<number> (and under
// the same abstract name); one on a host, such as a display forwarded over ssh, on TCP 6000+number.
bool xAccepts(std::string_view display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string host(display.substr(0, colon));
    const std::string number(display.substr(colon + 1, display.find('.', colon) - colon - 1));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5) {
        return false;
    }
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + number;
        return localAccepts(socket, true) || localAccepts(socket, false);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(6000 + std::stoi(number)).c_str(), &hints, &found) != 0) {
        return false;
    }
    bool accepted = false;
    for (const addrinfo* each = found; each && !accepted; each = each->ai_next) {
        accepted = connects(each->ai_addr, each->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return accepted;
}

bool waylandAccepts(std::string_view name)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (name.starts_with('/')) {
        return localAccepts(std::string(name), false);
    }
    return runtime && localAccepts(std::string(runtime) + "/" + std::string(name), false);
}

bool accepts(std::string_view platform)
{
    const char* display = std::getenv(platform.starts_with("wayland") ? "WAYLAND_DISPLAY" : "DISPLAY");
    if (platform.starts_with("wayland")) {
        return waylandAccepts(display && *display ? display : "wayland-0");
    }
    return display && xAccepts(display);
}

} // namespace

DisplayWait waitForDisplay(std::string_view platform, std::chrono::milliseconds limit, int interrupt)
{
    if (platform != "xcb" && !platform.starts_with("wayland")) {
        return DisplayWait::ready;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (accepts(platform)) {
            return DisplayWait::ready;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return DisplayWait::timedOut;
        }
        pollfd signal{interrupt, POLLIN, 0};
        if (::poll(&signal, interrupt >= 0 ? 1 : 0, static_cast<int>(std::min(left, kRetry).count())) > 0) {
            return DisplayWait::interrupted;
        }
    }
}

} // namespace tovra::linuxos
