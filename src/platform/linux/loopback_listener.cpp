#include "platform/linux/loopback_listener.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

namespace tovra::posix {

namespace {

namespace fs = std::filesystem;

// Listening sockets on the port that a loopback client reaches, by inode: true for IPv4.
std::map<std::string, bool> loopbackListeners(int port)
{
    constexpr std::string_view kListen = "0A";
    std::map<std::string, bool> listeners;
    for (const auto& [table, ipv4] : {std::pair{"/proc/net/tcp", true}, std::pair{"/proc/net/tcp6", false}}) {
        std::ifstream lines(table);
        // The heading has no state 0A, so the test below turns it away with the other lines.
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                inode;
            const std::size_t colon = local.find(':');
            if (state != kListen || colon == std::string::npos ||
                std::stoi(local.substr(colon + 1), nullptr, 16) != port) {
                continue;
            }
            // Addresses in the kernel's byte order: 127.0.0.1 and ::1 as the x86 and arm hosts show them.
            // An IPv6 socket on ::ffff:127.0.0.1 takes IPv4 connections to 127.0.0.1.
            const std::string address = local.substr(0, colon);
            const bool mapped = address == "0000000000000000FFFF00000100007F";
            const bool reachable = ipv4 ? address == "0100007F" || address == "00000000"
                                        : mapped || address == "00000000000000000000000001000000" ||
                                              address == "00000000000000000000000000000000";
            if (reachable) {
                listeners.emplace(inode, ipv4 || mapped);
            }
        }
    }
    return listeners;
}

// The socket inodes among a process's descriptors.
std::set<std::string> socketsOf(const std::string& pid)
{
    std::set<std::string> sockets;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc/" + pid + "/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:[")) { // socket:[<inode>]
            sockets.insert(target.substr(8, target.size() - 9));
        }
    }
    return sockets;
}

// The process and every process below it, from the parent IDs in /proc/<pid>/stat.
std::vector<std::string> processTree(const std::string& root)
{
    std::multimap<std::string, std::string> children;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t end = text.rfind(')');
        if (end == std::string::npos) {
            continue;
        }
        std::istringstream fields(text.substr(end + 2));
        std::string state, parent;
        fields >> state >> parent;
        children.emplace(parent, entry.path().filename().string());
    }
    std::vector<std::string> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const auto [first, last] = children.equal_range(tree[i]);
        for (auto child = first; child != last; ++child) {
            tree.push_back(child->second);
        }
    }
    return tree;
}

// Whether the processes hold any of the listeners, and if so whether one of those is IPv4.
std::optional<bool> heldAmong(const std::vector<std::string>& processes,
                              const std::map<std::string, bool>& listeners)
{
    std::optional<bool> ipv4;
    for (const std::string& process : processes) {
        for (const std::string& socket : socketsOf(process)) {
            const auto listener = listeners.find(socket);
            if (listener != listeners.end()) {
                ipv4 = ipv4.value_or(false) || listener->second;
            }
        }
    }
    return ipv4;
}

std::string nameOf(const std::string& pid)
{
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    return name;
}

} // namespace

std::optional<platform::ListeningProcess> loopbackListenerOnPort(int port)
{
    const std::map<std::string, bool> listeners = loopbackListeners(port);
    if (listeners.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") == std::string::npos && heldAmong({pid}, listeners)) {
            return platform::ListeningProcess{std::stoi(pid), nameOf(pid)};
        }
    }
    return platform::ListeningProcess{};
}

std::optional<std::string> loopbackListenerOf(int pid, int port)
{
    const std::map<std::string, bool> listeners = loopbackListeners(port);
    if (listeners.empty() || pid <= 0) {
        return std::nullopt;
    }
    // The process itself first: a server that listens on its own needs no look at the others.
    std::optional<bool> ipv4 = heldAmong({std::to_string(pid)}, listeners);
    if (!ipv4) {
        ipv4 = heldAmong(processTree(std::to_string(pid)), listeners);
    }
    if (!ipv4) {
        return std::nullopt;
    }
    return *ipv4 ? "127.0.0.1" : "::1";
}

} // namespace tovra::posix
