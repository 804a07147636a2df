#include "platform/linux/control_socket.h"

#include "platform/diagnostics.h"

#include <fcntl.h>
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
using From = platform::ControlReply::From;

// Names tried for moving aside what stands at the socket's name: .aside, then .aside.1 and on.
constexpr int kAsideNames = 8;
constexpr int kBacklog = 16;

std::string socketName(const std::string& name)
{
    return name + ".control";
}

// Where `file` in `folder` is reached: by its path when that fits a socket address, else through
// the folder's open descriptor `directory` (its name under /proc/self/fd), which needs no change
// of the working folder and so no care for other threads.
std::optional<sockaddr_un> socketAddress(const std::filesystem::path& folder, const std::string& file,
                                         const FileDescriptor& directory)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string direct = (folder / file).native();
    const std::string reached = direct.size() < sizeof address.sun_path || !directory.isOpen()
                                    ? direct
                                    : "/proc/self/fd/" + std::to_string(directory.get()) + "/" + file;
    if (folder.empty() || reached.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, reached.c_str(), reached.size());
    return address;
}

// Makes room for the socket at `file` in `folder`: an old socket goes; anything else is moved
// aside under a name of its own, never removed. Null when there is room; else why not.
const char* makeRoom(const FileDescriptor& folder, const std::filesystem::path& path, const std::string& file)
{
    struct stat status {};
    if (::fstatat(folder.get(), file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? nullptr : std::strerror(errno);
    }
    if (S_ISSOCK(status.st_mode)) {
        return ::unlinkat(folder.get(), file.c_str(), 0) == 0 ? nullptr : std::strerror(errno);
    }
    for (int fresh = 0; fresh <= kAsideNames; ++fresh) {
        std::string aside = file + ".aside";
        if (fresh > 0) {
            aside.append(".").append(std::to_string(fresh));
        }
        if (::renameat2(folder.get(), file.c_str(), folder.get(), aside.c_str(), RENAME_NOREPLACE) == 0) {
            platform::warn("moved ", path.c_str(), " aside to ", aside, ": it is not a socket");
            return nullptr;
        }
        if (errno != EEXIST) {
            return std::strerror(errno);
        }
    }
    return "something else stands at its name, and every name to move it aside to is taken";
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
    return folder / socketName(name);
}

std::optional<ControlListener> listenForControl(const std::filesystem::path& folder, const std::string& name)
{
    const std::string file = socketName(name);
    const std::filesystem::path path = folder / file;
    const auto refuse = [&](const char* reason) {
        platform::warn("no command-line control at ", path.c_str(), ": ", reason);
        return std::nullopt;
    };
    FileDescriptor directory(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.isOpen()) {
        return refuse(std::strerror(errno));
    }
    if (const char* fault = makeRoom(directory, path, file)) {
        return refuse(fault);
    }
    const std::optional<sockaddr_un> address = socketAddress(folder, file, directory);
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!address || !socket.isOpen()) {
        return refuse(!address ? "the path is too long" : std::strerror(errno));
    }
    // Made closed to everyone else from the start, not opened up and then closed.
    const mode_t previous = ::umask(0077);
    const bool bound =
        ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0;
    const int error = errno;
    ::umask(previous);
    if (!bound) {
        return refuse(std::strerror(error));
    }
    if (::fchmodat(directory.get(), file.c_str(), 0600, 0) != 0 || ::listen(socket.get(), kBacklog) != 0) {
        return refuse(std::strerror(errno));
    }
    return ControlListener{std::move(socket), std::move(directory), file};
}

ControlSocket::ControlSocket(std::vector<ControlListener> listeners, platform::MainQueue& mainQueue,
                             std::chrono::milliseconds connectionTime)
    : listeners_(std::move(listeners)), mainQueue_(mainQueue), connectionTime_(connectionTime)
{
    if (listeners_.empty()) {
        return;
    }
    shared_->wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared_->wake.isOpen()) {
        platform::warn("no command-line control: no event descriptor: ", std::strerror(errno));
        return;
    }
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
    }
    for (const ControlListener& listener : listeners_) {
        ::unlinkat(listener.folder.get(), listener.name.c_str(), 0);
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
    // Looked at last thing: a request may have waited long (the program stopped, say), and the
    // program acts only for an asker that still waits for its answer.
    if (!stillWaiting(id)) {
        return;
    }
    handler_(request,
             [shared = shared_, id](const platform::ControlAnswer& given) { answer(shared, id, given); });
}

bool ControlSocket::stillWaiting(std::uint64_t id)
{
    std::lock_guard lock(shared_->mutex);
    const auto found = shared_->connections.find(id);
    if (found == shared_->connections.end() || found->second.done) {
        return false;
    }
    // A peer that has closed its end shows as a hang-up; one that only ended its request does not.
    pollfd end{found->second.descriptor.get(), 0, 0};
    ::poll(&end, 1, 0);
    return (end.revents & (POLLHUP | POLLERR)) == 0;
}

// Main thread: as much of the answer as the socket takes goes out at once (a short one whole, so
// that it is out before a quit ends the program); the worker sends the rest and closes.
void ControlSocket::answer(const std::shared_ptr<Shared>& shared, std::uint64_t id,
                           const platform::ControlAnswer& given)
{
    std::string line = (given.ok ? "ok\t" : "no\t") + given.text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    line += '\n';
    std::lock_guard lock(shared->mutex);
    const auto found = shared->connections.find(id);
    if (found == shared->connections.end() || found->second.done || found->second.answered) {
        return; // the asker has gone, or was answered already
    }
    Connection& connection = found->second;
    const ssize_t sent =
        ::send(connection.descriptor.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    connection.sent = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    connection.answer = std::move(line);
    connection.answered = true;
    connection.done = connection.sent == connection.answer.size();
    wake(shared->wake.get());
}

void ControlSocket::run()
{
    std::uint64_t nextId = 0;
    const std::size_t firstConnection = 1 + listeners_.size();
    for (;;) {
        std::vector<pollfd> watched{{shared_->wake.get(), POLLIN, 0}};
        for (const ControlListener& listener : listeners_) {
            watched.push_back({listener.socket.get(), POLLIN, 0});
        }
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
                // Read until it has asked; then watched only for its end; once answered, written to.
                const short events = connection.answered ? POLLOUT : connection.asked ? 0 : POLLIN;
                watched.push_back({connection.descriptor.get(), events, 0});
                ids.push_back(it->first);
                ++it;
            }
        }
        if (::poll(watched.data(), watched.size(), static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
            return;
        }
        if (watched[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(shared_->wake.get(), &count, sizeof count);
        }
        bool backOff = false;
        std::unique_lock lock(shared_->mutex);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const short events = watched[firstConnection + i].revents;
            const auto found = shared_->connections.find(ids[i]);
            if (events == 0 || found == shared_->connections.end() || found->second.done) {
                continue;
            }
            Connection& connection = found->second;
            if (connection.answered) {
                const ssize_t size =
                    ::send(connection.descriptor.get(), connection.answer.data() + connection.sent,
                           connection.answer.size() - connection.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (size < 0) {
                    connection.done = errno != EAGAIN && errno != EINTR; // the asker has gone
                } else {
                    connection.sent += static_cast<std::size_t>(size);
                    connection.done = connection.sent == connection.answer.size();
                }
                continue;
            }
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
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            if (watched[1 + i].revents == 0) {
                continue;
            }
            for (;;) {
                FileDescriptor accepted(
                    ::accept4(listeners_[i].socket.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
                if (!accepted.isOpen()) {
                    // Out of descriptors, say: the waiting client stays queued, so not asked again at once.
                    backOff = backOff || (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED);
                    break;
                }
                // Another user's process, or one too many: closed unheard.
                if (peerUser(accepted.get()) != static_cast<long long>(::getuid()) ||
                    shared_->connections.size() >= kMaxConnections) {
                    continue;
                }
                Connection connection;
                connection.descriptor = std::move(accepted);
                connection.deadline = Clock::now() + connectionTime_;
                shared_->connections.emplace(nextId++, std::move(connection));
            }
        }
        lock.unlock();
        if (backOff) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

platform::ControlReply askControlSocket(const std::filesystem::path& folder, const std::string& name,
                                        const std::string& request, std::chrono::milliseconds time)
{
    const auto deadline = Clock::now() + time;
    const std::string file = socketName(name);
    FileDescriptor directory;
    if ((folder / file).native().size() >= sizeof(sockaddr_un::sun_path)) {
        directory = FileDescriptor(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    const std::optional<sockaddr_un> address = socketAddress(folder, file, directory);
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!address || !socket.isOpen() ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        peerUser(socket.get()) != static_cast<long long>(::getuid())) {
        return {};
    }
    const std::string line = request + "\n";
    std::string received;
    const bool sent =
        ::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    while (sent && received.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{socket.get(), POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&watched, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char buffer[64 * 1024];
        const ssize_t size = ready > 0 ? ::recv(socket.get(), buffer, sizeof buffer, 0) : 0;
        if (size < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (size <= 0 || received.size() > ControlSocket::kMaxAnswer) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(size));
    }
    const std::size_t end = received.find('\n');
    if (end == std::string::npos || end > ControlSocket::kMaxAnswer ||
        (!received.starts_with("ok\t") && !received.starts_with("no\t"))) {
        return {platform::ControlReply::From::silent, {}};
    }
    return {From::instance, {received.starts_with("ok"), received.substr(3, end - 3)}};
}

} // namespace tovra::linuxos
