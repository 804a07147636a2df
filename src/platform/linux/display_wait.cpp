#include "platform/linux/display_wait.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

namespace {

using Clock = std::chrono::steady_clock;
using posix::FileDescriptor;
constexpr std::chrono::milliseconds kRetry{250};

// An X client's first words, asking for a protocol version no server speaks: every server answers
// at once that it does not, and closes, so the question counts as no client of its (a server
// without -noreset would reset when its last client goes).
constexpr unsigned char kXGreeting[12] = {'l'};

enum class Probe { served, refused, interrupted, timedOut };

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Where a display server listens: local sockets, tried in order, each to be greeted; or a host
// and port to look up, taken at its word once it takes the connection.
struct Target {
    std::vector<Endpoint> local;
    std::string greeting;
    std::string host;
    unsigned port = 0;
};

std::chrono::milliseconds leftUntil(Clock::time_point deadline)
{
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0));
}

// Waits until `descriptor` shows `events` (or an error, or its end), `interrupt` turns readable,
// or `deadline` passes.
Probe await(int descriptor, short events, Clock::time_point deadline, int interrupt)
{
    for (;;) {
        const auto left = leftUntil(deadline);
        if (left.count() == 0) {
            return Probe::timedOut;
        }
        pollfd watched[] = {{descriptor, events, 0}, {interrupt, POLLIN, 0}};
        const int ready = ::poll(watched, interrupt >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return Probe::refused;
        }
        if (ready > 0 && watched[1].revents != 0) {
            return Probe::interrupted;
        }
        if (ready > 0) {
            return Probe::served;
        }
    }
}

// Connects without blocking; then, with a greeting, says it and waits for any answer: a server
// that only queues the connection says nothing. Its closing counts as an answer: it read the
// greeting and decided.
Probe probe(const Endpoint& endpoint, std::string_view greeting, Clock::time_point deadline, int interrupt)
{
    const FileDescriptor socket(
        ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.isOpen()) {
        return Probe::refused;
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
        if (errno != EINPROGRESS) {
            return Probe::refused; // nothing listens, or its queue is full
        }
        if (const Probe connected = await(socket.get(), POLLOUT, deadline, interrupt);
            connected != Probe::served) {
            return connected;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            return Probe::refused;
        }
    }
    if (greeting.empty()) {
        return Probe::served;
    }
    if (::send(socket.get(), greeting.data(), greeting.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(greeting.size())) {
        return Probe::refused;
    }
    return await(socket.get(), POLLIN, deadline, interrupt);
}

// A local socket by path, or by abstract name when `abstract`; none when the name does not fit.
std::optional<Endpoint> localEndpoint(const std::string& name, bool abstract)
{
    Endpoint endpoint;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (name.empty() || name.size() + offset >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    std::memcpy(&endpoint.address, &address, sizeof address);
    endpoint.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size());
    return endpoint;
}

// DISPLAY as [host]:number[.screen]: a local server listens under the abstract name
// /tmp/.X11-unix/X<number> and at that path; one on a host, such as a display forwarded over
// ssh, on TCP port 6000 + number. None for anything else.
std::optional<Target> xTarget(std::string_view display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view host = display.substr(0, colon);
    std::string_view digits = display.substr(colon + 1);
    digits = digits.substr(0, digits.find('.'));
    unsigned number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    Target target;
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        for (const bool abstract : {true, false}) {
            if (std::optional<Endpoint> endpoint = localEndpoint(socket, abstract)) {
                target.local.push_back(*endpoint);
            }
        }
        target.greeting.assign(std::begin(kXGreeting), std::end(kXGreeting));
        return target;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (number > 65535 - 6000) {
        return std::nullopt;
    }
    target.host = std::string(host);
    target.port = 6000 + number;
    return target;
}

// WAYLAND_DISPLAY (wayland-0 when unset): a path, or a name in $XDG_RUNTIME_DIR. Greeted with a
// request to the display for a callback once the compositor has read it (wl_display.sync).
std::optional<Target> waylandTarget(std::string_view name)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!name.starts_with('/') && !runtime) {
        return std::nullopt;
    }
    const std::string path =
        name.starts_with('/') ? std::string(name) : std::string(runtime) + "/" + std::string(name);
    std::optional<Endpoint> endpoint = localEndpoint(path, false);
    if (!endpoint) {
        return std::nullopt;
    }
    // In the host's byte order: the display (object 1), opcode 0 in a message of 12 bytes, new id 2.
    const std::uint32_t sync[] = {1, 12u << 16, 2};
    Target target;
    target.local.push_back(*endpoint);
    target.greeting.assign(reinterpret_cast<const char*>(sync), sizeof sync);
    return target;
}

// The addresses of `host`, looked up on a thread of its own while the wait watches `interrupt`
// and `deadline` (a name server may take long to answer); none when the lookup fails or either
// comes first (then `interrupted` tells which). A lookup given up on is left to end by itself.
std::vector<Endpoint> lookUp(const std::string& host, unsigned port, Clock::time_point deadline,
                             int interrupt, bool& interrupted)
{
    struct Lookup {
        std::mutex mutex;
        std::optional<std::vector<Endpoint>> found; // set once the lookup has ended
        posix::Wakeup ended;
    };
    const auto lookup = std::make_shared<Lookup>();
    const auto look = [lookup, host, service = std::to_string(port)] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        std::vector<Endpoint> found;
        if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) {
            for (const addrinfo* each = list; each; each = each->ai_next) {
                Endpoint endpoint;
                std::memcpy(&endpoint.address, each->ai_addr,
                            std::min<std::size_t>(each->ai_addrlen, sizeof endpoint.address));
                endpoint.length = each->ai_addrlen;
                found.push_back(endpoint);
            }
            ::freeaddrinfo(list);
        }
        const std::lock_guard lock(lookup->mutex);
        lookup->found = std::move(found);
        lookup->ended.wake();
    };
    try {
        std::thread(look).detach();
    } catch (const std::system_error&) { // no thread to be had: as if the name were unknown
        return {};
    }
    for (;;) {
        {
            const std::lock_guard lock(lookup->mutex);
            if (lookup->found) {
                return std::move(*lookup->found);
            }
        }
        switch (await(lookup->ended.descriptor(), POLLIN, deadline, interrupt)) {
        case Probe::interrupted:
            interrupted = true;
            return {};
        case Probe::timedOut:
            return {};
        case Probe::served:
        case Probe::refused:
            lookup->ended.drain();
            break;
        }
    }
}

// One attempt at the display server: served, refused (try again later), or the wait's end.
Probe reach(const Target& target, Clock::time_point deadline, int interrupt)
{
    std::vector<Endpoint> endpoints = target.local;
    if (!target.host.empty()) {
        bool interrupted = false;
        endpoints = lookUp(target.host, target.port, deadline, interrupt, interrupted);
        if (interrupted) {
            return Probe::interrupted;
        }
    }
    for (const Endpoint& endpoint : endpoints) {
        if (const Probe probed = probe(endpoint, target.greeting, deadline, interrupt);
            probed != Probe::refused) {
            return probed;
        }
    }
    return Probe::refused;
}

std::optional<Target> targetOf(std::string_view platform)
{
    if (platform.starts_with("wayland")) {
        const char* name = std::getenv("WAYLAND_DISPLAY");
        return waylandTarget(name && *name ? name : "wayland-0");
    }
    const char* display = std::getenv("DISPLAY");
    return display ? xTarget(display) : std::nullopt;
}

} // namespace

DisplayWait waitForDisplay(std::string_view platform, std::chrono::milliseconds limit, int interrupt)
{
    if (platform != "xcb" && !platform.starts_with("wayland")) {
        return DisplayWait::ready;
    }
    const std::optional<Target> target = targetOf(platform);
    if (!target) {
        return DisplayWait::unusable;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        switch (reach(*target, deadline, interrupt)) {
        case Probe::served:
            return DisplayWait::ready;
        case Probe::interrupted:
            return DisplayWait::interrupted;
        case Probe::timedOut:
        case Probe::refused:
            break;
        }
        const auto left = leftUntil(deadline);
        if (left.count() == 0) {
            return DisplayWait::timedOut;
        }
        pollfd signal{interrupt, POLLIN, 0};
        if (::poll(&signal, interrupt >= 0 ? 1 : 0, static_cast<int>(std::min(left, kRetry).count())) > 0) {
            return DisplayWait::interrupted;
        }
    }
}

} // namespace tovra::linuxos
