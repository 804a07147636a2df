#include "platform/linux/control_socket.h"

#include "platform/diagnostics.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tovra::linuxos {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<sockaddr_un> addressOf(const std::filesystem::path& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.native().size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    return address;
}

// The user on the other end of a connected Unix socket; -1 when unknown.
long long peerUser(int descriptor)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return -1;
    }
    return credentials.uid;
}

void wake(int eventDescriptor)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventDescriptor, &one, sizeof one);
}

} // namespace

std::filesystem::path controlSocketPath(const std::filesystem::path& folder, const std::string& name)
{
    return folder / (name + ".control");
}

ControlSocket::ControlSocket(std::filesystem::path path, platform::MainQueue& mainQueue,
                             std::chrono::milliseconds connectionTime)
    : path_(std::move(path)), mainQueue_(mainQueue), connectionTime_(connectionTime)
{
    if (path_.empty()) {
        return;
    }
    const std::optional<sockaddr_un> address = addressOf(path_);
    shared_->wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const char* failed = !address                  ? "the path is too long"
                         : !shared_->wake.isOpen() ? "no event descriptor"
                         : !listener.isOpen()      ? "no socket"
                                                   : nullptr;
    if (!failed) {
        ::unlink(path_.c_str());
        // Made closed to everyone else from the start, not opened up and then closed.
        const mode_t previous = ::umask(0077);
        const bool bound =
            ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
        ::umask(previous);
        if (!bound || ::chmod(path_.c_str(), 0600) != 0 || ::listen(listener.get(), 8) != 0) {
            failed = std::strerror(errno);
        }
    }
    if (failed) {
        platform::warn("no command-line control at ", path_.c_str(), ": ", failed);
        return;
    }
    listener_ = std::move(listener);
    worker_ = std::thread([this] { run(); });
}

ControlSocket::~ControlSocket()
{
    if (worker_.joinable()) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
        }
        wake(shared_->wake.get());
        worker_.join();
        ::unlink(path_.c_str());
    }
}

void ControlSocket::serve(Handler handler)
{
    handler_ = std::move(handler);
    for (auto& [request, id] : std::exchange(waiting_, {})) {
        dispatch(request, id);
    }
}

// Main thread.
void ControlSocket::dispatch(const std::string& request, std::uint64_t id)
{
    if (!handler_) {
        waiting_.emplace_back(request, id);
        return;
    }
    handler_(request,
             [shared = shared_, id](const platform::ControlAnswer& given) { answer(shared, id, given); });
}

// Main thread: the answer goes out at once (a line fits the socket's buffer), and the worker
// closes the connection.
void ControlSocket::answer(const std::shared_ptr<Shared>& shared, std::uint64_t id,
                           const platform::ControlAnswer& given)
{
    std::string line = (given.ok ? "ok\t" : "no\t") + given.text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    line += '\n';
    std::lock_guard lock(shared->mutex);
    const auto found = shared->connections.find(id);
    if (found == shared->connections.end() || found->second.done) {
        return; // the asker has gone, or was answered already
    }
    [[maybe_unused]] const ssize_t sent =
        ::send(found->second.descriptor.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    found->second.done = true;
    wake(shared->wake.get());
}

void ControlSocket::run()
{
    std::uint64_t nextId = 0;
    for (;;) {
        std::vector<pollfd> watched{{listener_.get(), POLLIN, 0}, {shared_->wake.get(), POLLIN, 0}};
        std::vector<std::uint64_t> ids;
        auto timeout = std::chrono::milliseconds(-1);
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->stopping) {
                return;
            }
            const auto now = Clock::now();
            for (auto it = shared_->connections.begin(); it != shared_->connections.end();) {
                Connection& connection = it->second;
                if (connection.done || now >= connection.deadline) {
                    it = shared_->connections.erase(it);
                    continue;
                }
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(connection.deadline - now);
                timeout = timeout.count() < 0 ? left : std::min(timeout, left);
                // An asked connection is only watched for its end: nothing more is read from it.
                watched.push_back(
                    {connection.descriptor.get(), static_cast<short>(connection.asked ? 0 : POLLIN), 0});
                ids.push_back(it->first);
                ++it;
            }
        }
        if (::poll(watched.data(), watched.size(), static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(shared_->wake.get(), &count, sizeof count);
        }
        bool backOff = false;
        std::unique_lock lock(shared_->mutex);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const short events = watched[i + 2].revents;
            const auto found = shared_->connections.find(ids[i]);
            if (events == 0 || found == shared_->connections.end() || found->second.done) {
                continue;
            }
            Connection& connection = found->second;
            if (connection.asked) { // gone before its answer
                connection.done = true;
                continue;
            }
            char buffer[kMaxRequest + 1];
            const ssize_t size = ::recv(connection.descriptor.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (size < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (size <= 0) {
                connection.done = true;
                continue;
            }
            connection.received.append(buffer, static_cast<std::size_t>(size));
            const std::size_t end = connection.received.find('\n');
            if (end == std::string::npos || end > kMaxRequest) {
                connection.done = connection.received.size() > kMaxRequest; // refused: too long
                continue;
            }
            connection.asked = true;
            mainQueue_.async([this, alive = std::weak_ptr<bool>(alive_),
                              request = connection.received.substr(0, end), id = ids[i]] {
                if (alive.lock()) {
                    dispatch(request, id);
                }
            });
        }
        if (watched[0].revents != 0) {
            for (;;) {
                FileDescriptor accepted(
                    ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
                if (!accepted.isOpen()) {
                    // Out of descriptors, say: the waiting client stays queued, so not asked again at once.
                    backOff = errno != EAGAIN && errno != EINTR && errno != ECONNABORTED;
                    break;
                }
                // Another user's process, or one too many: closed unheard.
                if (peerUser(accepted.get()) != static_cast<long long>(::getuid()) ||
                    shared_->connections.size() >= kMaxConnections) {
                    continue;
                }
                shared_->connections.emplace(
                    nextId++, Connection{std::move(accepted), {}, Clock::now() + connectionTime_});
            }
        }
        lock.unlock();
        if (backOff) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

std::optional<platform::ControlAnswer> askControlSocket(const std::filesystem::path& path,
                                                        const std::string& request,
                                                        std::chrono::milliseconds time)
{
    const auto deadline = Clock::now() + time;
    const std::optional<sockaddr_un> address = addressOf(path);
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!address || !socket.isOpen() ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        peerUser(socket.get()) != static_cast<long long>(::getuid())) {
        return std::nullopt;
    }
    const std::string line = request + "\n";
    std::string received;
    bool sent =
        ::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    while (sent && received.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{socket.get(), POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&watched, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char buffer[4096];
        const ssize_t size = ready > 0 ? ::recv(socket.get(), buffer, sizeof buffer, 0) : 0;
        if (size < 0 && errno == EINTR) {
            continue;
        }
        if (size <= 0 || received.size() > 65536) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(size));
    }
    const std::size_t end = received.find('\n');
    if (end == std::string::npos || (!received.starts_with("ok\t") && !received.starts_with("no\t"))) {
        return platform::ControlAnswer{false, ""};
    }
    return platform::ControlAnswer{received.starts_with("ok"), received.substr(3, end - 3)};
}

} // namespace tovra::linuxos
