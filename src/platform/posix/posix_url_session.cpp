#include "platform/posix/posix_url_session.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <list>
#include <utility>

#include "platform/posix/http_reader.h"

namespace tovra::posix {

namespace {

using Clock = std::chrono::steady_clock;

// The parts of an http URL a GET needs.
struct Target {
    std::string host;      // as written, without brackets
    std::string authority; // for the Host header
    int port = 80;
    std::string path; // with the query; "/" when empty
};

// Bytes that may stand in a request line or a header as they are.
bool plain(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < '\x7f'; });
}

std::optional<Target> parseURL(std::string_view url)
{
    constexpr std::string_view kScheme = "http://";
    if (url.size() < kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), url.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
        return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    url = url.substr(0, url.find('#'));
    const std::size_t pathAt = std::min(url.find_first_of("/?"), url.size());
    Target target;
    target.authority = url.substr(0, pathAt);
    target.path = url.substr(pathAt);
    if (target.path.empty() || target.path.front() == '?') {
        target.path = "/" + target.path;
    }
    std::string_view host = target.authority;
    std::string_view port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && !port.starts_with(':')) {
            return std::nullopt;
        }
        port = port.empty() ? port : port.substr(1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (!port.empty()) {
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), target.port);
        if (error != std::errc() || end != port.data() + port.size() || target.port < 1 ||
            target.port > 65535) {
            return std::nullopt;
        }
    }
    target.host = host;
    if (host.empty() || !plain(target.authority) || !plain(target.path) ||
        target.authority.find('@') != std::string::npos) {
        return std::nullopt;
    }
    return target;
}

// A non-blocking socket connecting to the address; none when it cannot even start.
FileDescriptor connectTo(const std::string& host, int port)
{
    sockaddr_in ipv4{};
    sockaddr_in6 ipv6{};
    sockaddr* address = nullptr;
    socklen_t length = 0;
    const std::string literal = host == "localhost" ? "127.0.0.1" : host;
    if (::inet_pton(AF_INET, literal.c_str(), &ipv4.sin_addr) == 1) {
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(static_cast<std::uint16_t>(port));
        address = reinterpret_cast<sockaddr*>(&ipv4);
        length = sizeof ipv4;
    } else if (::inet_pton(AF_INET6, literal.c_str(), &ipv6.sin6_addr) == 1) {
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(static_cast<std::uint16_t>(port));
        address = reinterpret_cast<sockaddr*>(&ipv6);
        length = sizeof ipv6;
    } else {
        return FileDescriptor();
    }
    FileDescriptor socket(::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.isOpen() && ::connect(socket.get(), address, length) != 0 && errno != EINPROGRESS) {
        socket.close();
    }
    return socket;
}

Clock::time_point deadlineAfter(double seconds)
{
    constexpr double kLongestMilliseconds = INT_MAX;
    const double milliseconds =
        seconds > 0 ? std::min(std::ceil(seconds * 1000.0), kLongestMilliseconds) : 0.0;
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(milliseconds));
}

} // namespace

PosixUrlSession::PosixUrlSession(OwnedListener ownedListener)
    : ownedListener_(std::move(ownedListener)), thread_([this] { run(); })
{
}

PosixUrlSession::~PosixUrlSession()
{
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wakeWorker();
    thread_.join();
}

void PosixUrlSession::dataTask(const platform::URLRequest& request, platform::DataCompletion completion)
{
    {
        const std::lock_guard lock(mutex_);
        queued_.push_back({request.url, request.serverProcess, deadlineAfter(request.timeoutInterval),
                           std::move(completion)});
    }
    wakeWorker();
}

void PosixUrlSession::wakeWorker()
{
    wake_.wake();
}

void PosixUrlSession::run()
{
    // Where a connection goes: the address connected to, and the server and listener it was
    // verified for. A connection is used again only for the same.
    struct Peer {
        std::string address;
        int port;
        std::optional<int> server;
        std::optional<std::string> listener;
        bool operator==(const Peer&) const = default;
    };
    struct Open {
        FileDescriptor socket;
        std::string output; // what is left of the request to send
        HttpReader reader{kMaxBodyBytes};
        Clock::time_point deadline;
        platform::DataCompletion completion;
        Peer peer;
    };
    std::list<Open> open;
    // The connection of the last whole answer, kept open for the next request (one a second): no
    // connection to set up and tear down each time.
    std::optional<std::pair<FileDescriptor, Peer>> idle;
    const auto listenerOf = [this](int server, int port) {
        return ownedListener_ ? ownedListener_(server, port) : std::nullopt;
    };
    // Ends a request: its completion runs last, with nothing of it left here.
    const auto complete = [&](std::list<Open>::iterator request, std::optional<std::string> body) {
        platform::DataCompletion completion = std::move(request->completion);
        open.erase(request);
        if (completion) {
            completion(std::move(body));
        }
    };
    const auto answered = [&](std::list<Open>::iterator request) {
        // The answer counts only if the listener that gave it is still the server's.
        const Peer& peer = request->peer;
        const bool fromServer = !peer.server || listenerOf(*peer.server, peer.port) == peer.listener;
        if (fromServer && request->reader.state() == HttpReader::State::complete) {
            if (request->reader.keepsConnection()) {
                idle.emplace(std::move(request->socket), peer);
            }
            complete(request, request->reader.takeBody());
        } else {
            complete(request, std::nullopt);
        }
    };
    std::vector<pollfd> watched;
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        std::vector<Request> started;
        {
            const std::lock_guard lock(mutex_);
            if (ending_) {
                return; // the open requests go uncompleted
            }
            started.swap(queued_);
        }
        for (Request& request : started) {
            const std::optional<Target> target = parseURL(request.url);
            std::optional<std::string> listener;
            if (target && request.server) {
                // Asked before anything is sent, so that nothing reaches a listener of another
                // process: not a byte of its answer is read. The server still sees its own name.
                listener = listenerOf(*request.server, target->port);
            }
            FileDescriptor socket;
            if (target && (!request.server || listener)) {
                const Peer peer{listener.value_or(target->host), target->port, request.server, listener};
                // An idle connection the server has closed, or that holds stray bytes, reads as ready.
                pollfd unused{idle ? idle->first.get() : -1, POLLIN, 0};
                if (idle && idle->second == peer && ::poll(&unused, 1, 0) == 0) {
                    socket = std::move(idle->first);
                } else {
                    socket = connectTo(peer.address, peer.port);
                }
                idle.reset();
            }
            if (!socket.isOpen()) {
                if (request.completion) {
                    request.completion(std::nullopt);
                }
                continue;
            }
            std::string output =
                "GET " + target->path + " HTTP/1.1\r\nHost: " + target->authority + "\r\n\r\n";
            Peer peer{listener.value_or(target->host), target->port, request.server, std::move(listener)};
            open.push_back(Open{std::move(socket), std::move(output), HttpReader(kMaxBodyBytes),
                                request.deadline, std::move(request.completion), std::move(peer)});
        }

        watched.assign(1, pollfd{wake_.descriptor(), POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        for (const Open& request : open) {
            watched.push_back(pollfd{request.socket.get(),
                                     static_cast<short>(request.output.empty() ? POLLIN : POLLOUT), 0});
            next = std::min(next, request.deadline);
        }
        const long long wait =
            next == Clock::time_point::max()
                ? -1
                : std::clamp<long long>(
                      std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count(), 0, INT_MAX);
        if (::poll(watched.data(), watched.size(), static_cast<int>(wait)) < 0 && errno != EINTR) {
            continue;
        }
        if (watched[0].revents != 0) {
            wake_.drain();
        }
        auto request = open.begin();
        for (std::size_t i = 1; i < watched.size(); ++i) {
            auto current = request++; // `current` may end here
            const short events = watched[i].revents;
            if (events == 0) {
                continue;
            }
            if (!current->output.empty()) {
                // Connected, or failed to: a refused connection shows as a failed send.
                const ssize_t sent = ::send(current->socket.get(), current->output.data(),
                                            current->output.size(), MSG_NOSIGNAL);
                if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                    complete(current, std::nullopt);
                } else if (sent > 0) {
                    current->output.erase(0, static_cast<std::size_t>(sent));
                }
                continue;
            }
            for (;;) {
                const ssize_t size = ::recv(current->socket.get(), buffer.data(), buffer.size(), 0);
                if (size < 0 && errno == EINTR) {
                    continue;
                }
                if (size < 0 && errno == EAGAIN) {
                    break;
                }
                if (size <= 0) {
                    current->reader.end(); // the end of the connection, or an error on it
                    answered(current);
                    break;
                }
                if (current->reader.feed(std::string_view(buffer.data(), static_cast<std::size_t>(size))) !=
                    HttpReader::State::reading) {
                    answered(current);
                    break;
                }
            }
        }
        // The time-out is a hard deadline, however the answer trickles in.
        const Clock::time_point now = Clock::now();
        for (auto late = open.begin(); late != open.end();) {
            auto current = late++;
            if (now >= current->deadline) {
                complete(current, std::nullopt);
            }
        }
    }
}

} // namespace tovra::posix
