#include "platform/freedesktop/session_bus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAccessible>
#include <QCoreApplication>
#include <QMetaObject>

#include "platform/posix/file_descriptor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::freedesktop {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The longest wait between two tries of a bus that did not answer.
constexpr auto kLongestRetry = 64s;

// Waits for `events` on `descriptor` until the deadline.
bool ready(int descriptor, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{descriptor, events, 0};
        const int n = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (n >= 0 || errno != EINTR) {
            return n > 0;
        }
    }
}

// Whether the bus at `address` authenticates this user before the deadline.
bool authenticates(const sockaddr_un& address, socklen_t length, Clock::time_point deadline)
{
    const posix::FileDescriptor bus(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (bus.get() < 0 ||
        (::connect(bus.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
         !((errno == EINPROGRESS || errno == EAGAIN) && ready(bus.get(), POLLOUT, deadline)))) {
        return false;
    }
    std::string request("\0AUTH EXTERNAL ", 15);
    constexpr char hex[] = "0123456789abcdef";
    for (const char digit : std::to_string(::getuid())) {
        request += {hex[digit >> 4], hex[digit & 0x0F]};
    }
    request += "\r\n";
    if (::send(bus.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return false;
    }
    std::string answer;
    while (answer.find("\r\n") == std::string::npos && answer.size() < 512 &&
           ready(bus.get(), POLLIN, deadline)) {
        char received[256];
        const ssize_t n = ::recv(bus.get(), received, sizeof received, 0);
        if (n <= 0) {
            return false;
        }
        answer.append(received, static_cast<std::size_t>(n));
    }
    return answer.starts_with("OK ");
}

// A value of a bus address with its %XX escapes undone; none when one is not two hex digits.
std::optional<std::string> unescape(std::string_view value)
{
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            text += value[i];
            continue;
        }
        const char* first = value.data() + i + 1;
        const char* last = value.data() + std::min(i + 3, value.size());
        unsigned byte = 0;
        const auto [end, error] = std::from_chars(first, last, byte, 16);
        if (last - first != 2 || error != std::errc() || end != last) {
            return std::nullopt;
        }
        text += static_cast<char>(byte);
        i += 2;
    }
    return text;
}

// The socket addresses of the session bus, as libdbus would try them: those of
// DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus.
std::vector<std::pair<std::string, bool>> busAddresses() // path, abstract
{
    const char* variable = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (variable && *variable) {
        return busAddressesOf(variable);
    }
    std::vector<std::pair<std::string, bool>> found;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat status {};
    if (runtime && runtime[0] == '/' && ::stat((std::string(runtime) + "/bus").c_str(), &status) == 0 &&
        S_ISSOCK(status.st_mode)) {
        found.emplace_back(std::string(runtime) + "/bus", false);
    }
    return found;
}

bool answer(const std::vector<std::pair<std::string, bool>>& addresses, std::chrono::milliseconds time)
{
    const Clock::time_point deadline = Clock::now() + time;
    for (const auto& [path, abstract] : addresses) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // An abstract name starts with a NUL where a path would start.
        const std::size_t offset = abstract ? 1 : 0;
        if (path.empty()) {
            return true;
        }
        if (path.size() + offset >= sizeof address.sun_path) {
            continue;
        }
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() +
                                                   (abstract ? 0 : 1));
        if (authenticates(address, length, deadline)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<std::pair<std::string, bool>> busAddressesOf(std::string_view addresses)
{
    std::vector<std::pair<std::string, bool>> found;
    while (!addresses.empty()) {
        const std::string_view address = addresses.substr(0, addresses.find(';'));
        addresses.remove_prefix(std::min(address.size() + 1, addresses.size()));
        if (address.starts_with("tcp:") || address.starts_with("nonce-tcp:")) {
            found.emplace_back("", false);
        } else if (address.starts_with("unix:")) {
            std::string_view keys = address.substr(5);
            while (!keys.empty()) {
                const std::string_view key = keys.substr(0, keys.find(','));
                keys.remove_prefix(std::min(key.size() + 1, keys.size()));
                const bool abstract = key.starts_with("abstract=");
                if (!abstract && !key.starts_with("path=")) {
                    continue;
                }
                // libdbus refuses a malformed address; so is this one, and the next one tried.
                if (const std::optional<std::string> path = unescape(key.substr(abstract ? 9 : 5));
                    path && !path->empty()) {
                    found.emplace_back(*path, abstract);
                }
            }
        }
    }
    return found;
}

SessionBus::SessionBus() : addresses_(busAddresses()), thread_([this] { reach(); }) {}

SessionBus::~SessionBus()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool SessionBus::answers(std::chrono::milliseconds time)
{
    return answer(busAddresses(), time);
}

void SessionBus::reach()
{
    if (addresses_.empty()) {
        return;
    }
    for (auto wait = 1s;; wait = std::min(wait * 2, kLongestRetry)) {
        if (answer(addresses_, kAnswerTime)) {
            const QDBusConnection bus = QDBusConnection::sessionBus();
            if (bus.isConnected()) {
                QMetaObject::invokeMethod(
                    this,
                    [this, bus] {
                        connection_ = bus;
                        settled_ = true;
                        Q_EMIT connected();
                    },
                    Qt::QueuedConnection);
                return;
            }
        }
        if (wait == 1s) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    settled_ = true;
                    Q_EMIT unanswered();
                },
                Qt::QueuedConnection);
        }
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, wait, [this] { return stopping_; })) {
            return;
        }
    }
}

void makeAccessibilityBridge(SessionBus& bus)
{
    QObject::connect(&bus, &SessionBus::connected, qApp, [] { QAccessible::setRootObject(qApp); });
    QObject::connect(&bus, &SessionBus::unanswered, qApp, [] {
        // The bridge takes an accessibility bus named in the environment as it is made, and then
        // never asks the session bus. Set for that moment only: programs started later inherit
        // the environment. No other thread reads the environment meanwhile.
        const QByteArray named = qgetenv("AT_SPI_BUS_ADDRESS");
        qputenv("AT_SPI_BUS_ADDRESS", named.isEmpty() ? QByteArray("unix:path=/nonexistent") : named);
        QAccessible::setRootObject(qApp);
        if (named.isEmpty()) {
            qunsetenv("AT_SPI_BUS_ADDRESS");
        }
    });
}

} // namespace tovra::freedesktop
