#include "platform/linux/loopback_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>

namespace tovra::linuxos {

namespace {

namespace fs = std::filesystem;

bool reachedOverLoopback(const inet_diag_msg& message, bool& ipv4)
{
    const auto* address = reinterpret_cast<const unsigned char*>(message.id.idiag_src);
    if (message.idiag_family == AF_INET) {
        const std::uint32_t value = ntohl(message.id.idiag_src[0]);
        ipv4 = true;
        return value == INADDR_LOOPBACK || value == INADDR_ANY;
    }
    // ::, ::1, and ::ffff:127.0.0.1, which takes IPv4 connections to 127.0.0.1.
    constexpr std::array<unsigned char, 16> any{}, one{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    ipv4 = std::equal(mapped.begin(), mapped.end(), address);
    return ipv4 || std::equal(any.begin(), any.end(), address) || std::equal(one.begin(), one.end(), address);
}

// A question about TCP sockets on `port`, in the older form of the request (its family may be
// "any"); `flags` beside NLM_F_REQUEST.
struct Question {
    nlmsghdr header;
    inet_diag_req request;
};

Question question(int port, std::uint16_t flags)
{
    Question message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    message.request.id.idiag_sport = htons(static_cast<std::uint16_t>(port));
    return message;
}

bool ask(int diagnostics, const Question& message)
{
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(diagnostics, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) == static_cast<ssize_t>(sizeof message);
}

// Sends one dump request for the TCP listeners on the port, of both address families (the older
// form of the request, whose family is "any": one walk of the listener table, not one for each
// family), and reads the whole answer.
bool dump(int diagnostics, int port, std::vector<LoopbackListener>& listeners)
{
    Question message = question(port, NLM_F_DUMP);
    message.request.idiag_states = 1U << TCP_LISTEN; // the kernel then never walks the connections
    if (!ask(diagnostics, message)) {
        return false;
    }
    alignas(nlmsghdr) std::array<char, 8192> buffer;
    for (;;) {
        ssize_t size = ::recv(diagnostics, buffer.data(), buffer.size(), 0);
        if (size < 0 && errno == EINTR) {
            continue;
        }
        if (size <= 0) {
            return false;
        }
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, size);
             header = NLMSG_NEXT(header, size)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                return false;
            }
            if (header->nlmsg_type != TCPDIAG_GETSOCK ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            LoopbackListener listener{socket->idiag_inode, false, socket->idiag_uid};
            if (socket->idiag_state == TCP_LISTEN && ntohs(socket->id.idiag_sport) == port &&
                reachedOverLoopback(*socket, listener.ipv4)) {
                listeners.push_back(listener);
            }
        }
    }
}

// The inode of the listener that a connection to the loopback address of the family on `port`
// reaches, as the kernel's own lookup finds it (a hash lookup: no walk of any table); 0 when none
// listens there or the kernel could not be asked.
std::uint64_t listenerReached(int diagnostics, bool ipv4, int port)
{
    Question message = question(port, 0);
    message.request.idiag_family = ipv4 ? AF_INET : AF_INET6;
    message.request.id.idiag_src[ipv4 ? 0 : 3] = htonl(ipv4 ? INADDR_LOOPBACK : 1);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!ask(diagnostics, message)) {
        return 0;
    }
    alignas(nlmsghdr) std::array<char, 1024> buffer;
    ssize_t size;
    do {
        size = ::recv(diagnostics, buffer.data(), buffer.size(), 0);
    } while (size < 0 && errno == EINTR);
    const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data());
    if (size <= 0 || !NLMSG_OK(header, size) || header->nlmsg_type == NLMSG_ERROR ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return 0;
    }
    const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    return socket->idiag_state == TCP_LISTEN && ntohs(socket->id.idiag_sport) == port ? socket->idiag_inode
                                                                                      : 0;
}

// A small file of /proc, whole; none when it cannot be read (its process gone meanwhile, say).
// Never an exception: a stream's read of a file whose process has gone throws.
std::optional<std::string> readProcFile(const std::string& path)
{
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen()) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t size = ::read(file.get(), buffer.data(), buffer.size());
        if (size < 0 && errno == EINTR) {
            continue;
        }
        if (size < 0) {
            return std::nullopt;
        }
        if (size == 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(size));
    }
}

// The whole of `text` as a non-negative number; none for anything else ("self", "", "12a", one
// beyond an int).
std::optional<int> numberOf(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// Calls visit(name) for each entry of a folder, in whatever order; nothing when it cannot be read,
// and no more once reading it fails.
template <typename Visit> void forEachEntry(const std::string& folder, Visit visit)
{
    std::error_code error;
    for (fs::directory_iterator entry(folder, error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        visit(entry->path().filename().string());
    }
}

std::string socketName(std::uint64_t inode)
{
    return "socket:[" + std::to_string(inode) + "]";
}

std::string linkAt(const std::string& path)
{
    std::array<char, 64> target{};
    const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
    return size > 0 ? std::string(target.data(), static_cast<std::size_t>(size)) : std::string();
}

struct Found {
    int process;
    int descriptor;
    LoopbackListener listener;
};

// The first of the listeners among a process's descriptors, an IPv4 one preferred.
std::optional<Found> heldBy(int process, const std::vector<LoopbackListener>& listeners)
{
    std::optional<Found> found;
    const std::string folder = "/proc/" + std::to_string(process) + "/fd/";
    forEachEntry(folder, [&](const std::string& name) {
        const std::optional<int> descriptor = numberOf(name);
        const std::string target = descriptor ? linkAt(folder + name) : std::string();
        for (const LoopbackListener& listener : listeners) {
            if (target == socketName(listener.inode) &&
                (!found || (listener.ipv4 && !found->listener.ipv4))) {
                found = Found{process, *descriptor, listener};
            }
        }
    });
    return found;
}

// The numbers of a list separated by blanks; what is not a number is skipped.
std::vector<int> numbersIn(std::string_view text)
{
    std::vector<int> numbers;
    while (!text.empty()) {
        const std::size_t start = std::min(text.find_first_not_of(" \n"), text.size());
        const std::size_t end = std::min(text.find_first_of(" \n", start), text.size());
        if (const std::optional<int> number = numberOf(text.substr(start, end - start))) {
            numbers.push_back(*number);
        }
        text.remove_prefix(end);
    }
    return numbers;
}

// The children of every thread of a process, as the kernel lists them; none when it does not.
std::optional<std::vector<int>> childrenOf(int process)
{
    std::vector<int> children;
    bool listed = false;
    const std::string tasks = "/proc/" + std::to_string(process) + "/task/";
    std::error_code error;
    const bool readable = fs::is_directory(tasks, error);
    forEachEntry(tasks, [&](const std::string& thread) {
        const std::optional<std::string> list = readProcFile(tasks + thread + "/children");
        listed = listed || list;
        const std::vector<int> more = numbersIn(list.value_or(""));
        children.insert(children.end(), more.begin(), more.end());
    });
    if (!listed && readable) {
        return std::nullopt;
    }
    return children;
}

} // namespace

std::vector<int> descendantsByParents(int root, const std::filesystem::path& proc)
{
    std::multimap<int, int> children;
    forEachEntry(proc.string(), [&](const std::string& name) {
        const std::optional<int> pid = numberOf(name); // not self, thread-self or any other name
        // "pid (name) state parent ...": the name may hold anything, ") " too, so the last ')'.
        const std::string stat = pid ? readProcFile((proc / name / "stat").string()).value_or("") : "";
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos || end + 2 > stat.size()) {
            return;
        }
        // Then the state, then the parent.
        std::string_view fields = std::string_view(stat).substr(end + 1);
        std::optional<int> parent;
        for (int field = 0; field < 2 && !fields.empty(); ++field) {
            fields.remove_prefix(std::min(fields.find_first_not_of(' '), fields.size()));
            const std::string_view value = fields.substr(0, fields.find(' '));
            parent = field == 1 ? numberOf(value) : std::nullopt;
            fields.remove_prefix(value.size());
        }
        if (parent) {
            children.emplace(*parent, *pid);
        }
    });
    // Pids reused during the walk may make a loop of parents: each process is taken once.
    std::vector<int> tree{root};
    std::set<int> seen{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const auto [first, last] = children.equal_range(tree[i]);
        for (auto child = first; child != last; ++child) {
            if (seen.insert(child->second).second) {
                tree.push_back(child->second);
            }
        }
    }
    tree.erase(tree.begin());
    return tree;
}

namespace {

// The listener held by `root` or a process below it, an IPv4 one preferred. The root first: one
// that listens on its own needs no look at others. Each process's descriptors are read before its
// children are listed, so a listener handed down to a child meanwhile is seen in the one or the
// other.
std::optional<Found> heldInTree(int root, const std::vector<LoopbackListener>& listeners)
{
    std::optional<Found> found = heldBy(root, listeners);
    if (found) {
        return found;
    }
    const auto consider = [&](int process) {
        std::optional<Found> here = heldBy(process, listeners);
        if (here && (!found || (here->listener.ipv4 && !found->listener.ipv4))) {
            found = here;
        }
    };
    std::vector<int> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        if (i > 0) {
            consider(tree[i]);
        }
        const std::optional<std::vector<int>> children = childrenOf(tree[i]);
        if (!children) { // a kernel that keeps no children lists: by the parents, all at once
            for (const int process : descendantsByParents(root)) {
                consider(process);
            }
            return found;
        }
        tree.insert(tree.end(), children->begin(), children->end());
    }
    return found;
}

std::string nameOf(int pid)
{
    const std::string name = readProcFile("/proc/" + std::to_string(pid) + "/comm").value_or("");
    return name.substr(0, name.find('\n'));
}

} // namespace

FileDescriptor openSocketDiagnostics()
{
    return FileDescriptor(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
}

std::vector<LoopbackListener> loopbackListeners(int diagnostics, int port)
{
    std::vector<LoopbackListener> listeners;
    if (!dump(diagnostics, port, listeners)) {
        return {};
    }
    return listeners;
}

std::optional<std::string> OwnedListenerCheck::operator()(int pid, int port)
{
    if (pid <= 0 || !diagnostics_.isOpen()) {
        return std::nullopt;
    }
    const auto address = [](const LoopbackListener& listener) { return listener.ipv4 ? "127.0.0.1" : "::1"; };
    // The steady case: a connection to the address reaches the same socket, still at the same
    // descriptor of the process that held it, and the server is still there.
    if (held_ && held_->server == pid && held_->port == port &&
        listenerReached(diagnostics_.get(), held_->listener.ipv4, port) == held_->listener.inode &&
        linkAt("/proc/" + std::to_string(held_->process) + "/fd/" + std::to_string(held_->descriptor)) ==
            socketName(held_->listener.inode) &&
        ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0) {
        return address(held_->listener);
    }
    held_.reset();
    const std::vector<LoopbackListener> listeners = loopbackListeners(diagnostics_.get(), port);
    if (listeners.empty()) {
        return std::nullopt;
    }
    const std::optional<Found> found = heldInTree(pid, listeners);
    if (!found) {
        return std::nullopt;
    }
    held_ = Holder{pid, port, found->process, found->descriptor, found->listener};
    return address(found->listener);
}

std::optional<platform::ListeningProcess> loopbackListenerOnPort(int port)
{
    const FileDescriptor diagnostics = openSocketDiagnostics();
    const std::vector<LoopbackListener> listeners = loopbackListeners(diagnostics.get(), port);
    if (listeners.empty()) {
        return std::nullopt;
    }
    if (std::none_of(listeners.begin(), listeners.end(),
                     [](const LoopbackListener& listener) { return listener.uid == ::getuid(); })) {
        return platform::ListeningProcess{}; // another user's: their processes are not ours to name
    }
    std::optional<platform::ListeningProcess> holder;
    forEachEntry("/proc", [&](const std::string& name) {
        const std::optional<int> pid = numberOf(name);
        if (!holder && pid && heldBy(*pid, listeners)) {
            holder = platform::ListeningProcess{*pid, nameOf(*pid)};
        }
    });
    return holder.value_or(platform::ListeningProcess{});
}

} // namespace tovra::linuxos
