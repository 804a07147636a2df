#pragma once

// A private JACK server (the dummy driver, 48 kHz, 64 frames, a name of its own), for tests of the
// JACK output. It runs synchronously (-S), as the server's tests run theirs.
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tovra::testing {

// Polls `done` every millisecond until it holds or `limit` passes; true when it held.
template <typename Done>
bool waitUntil(Done&& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// JACK keeps a registry of at most eight servers, and a killed server keeps its entry until one of
// the same name starts. So a test process names its server after itself, and a server that was
// killed is started again before it ends for good.
class JackServer {
public:
    JackServer() : name_("tovra-test-" + std::to_string(::getpid()) + "-1") { start(); }
    ~JackServer()
    {
        if (killed_ && !freeing_) {
            start();
        }
        stop(SIGTERM);
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    const std::string& name() const { return name_; }
    bool running() const { return pid_ > 0; }

    // Starts it, and waits until it takes clients; not running after, when another server of its
    // name runs. JACK has room for eight servers on a machine, other tests' included: a start that
    // finds none frees what gone tests left behind, or else tries again until there is room, up to
    // a minute.
    void start()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!launch() && saidNoRoom() && std::chrono::steady_clock::now() < end) {
            for (const auto& name : leftBehind()) {
                JackServer{Freeing{}, name};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // until another server ends
        }
    }

    // Ends it with `signal`, and waits for the end.
    void stop(int signal)
    {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, signal);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        killed_ = signal == SIGKILL;
    }

private:
    struct Freeing {};
    // A server of `name` that takes the registry's entry of that name and gives it back as it stops.
    JackServer(Freeing, std::string name) : name_(std::move(name)), freeing_(true) { launch(); }

    // The servers of test processes that have gone which JACK's registry still counts: a killed
    // server keeps its entry until a server of its name starts, and a test process killed in
    // between never starts it. The registry is a 24-byte header, then eight entries of a pid and a
    // name "jack-<uid>:<server>:" in 257 bytes, 264 in all.
    static std::vector<std::string> leftBehind()
    {
        constexpr std::size_t kHeader = 24, kEntry = 264, kEntries = 8;
        std::array<char, kHeader + kEntries * kEntry> registry{};
        std::ifstream("/dev/shm/jack-shm-registry", std::ios::binary).read(registry.data(), registry.size());
        const auto alive = [](long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; };
        const std::string prefix = "jack-" + std::to_string(::getuid()) + ":tovra-test-";
        std::vector<std::string> names;
        for (std::size_t i = 0; i < kEntries; ++i) {
            const char* entry = registry.data() + kHeader + i * kEntry;
            std::int32_t pid = 0;
            std::memcpy(&pid, entry, sizeof pid);
            const std::string name(entry + 4, ::strnlen(entry + 4, kEntry - 4));
            long test = 0;
            if (pid <= 0 || !name.starts_with(prefix) || !name.ends_with(':') ||
                std::from_chars(name.data() + prefix.size(), name.data() + name.size(), test).ec !=
                    std::errc()) {
                continue;
            }
            if (!alive(pid) && !alive(test)) {
                names.push_back(name.substr(name.find(':') + 1, name.size() - name.find(':') - 2));
            }
        }
        return names;
    }

    jack_client_t* openClient(const char* client) const
    {
        return jack_client_open(client, static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                nullptr, name_.c_str());
    }

    // Starts jackd as it, and waits until it takes clients; true when it does. What jackd says
    // goes to its own file, which is copied to the test's stderr if it ends. It ends with the
    // test's process, whatever ends that (a sanitizer's report included), so it cannot hold the
    // test's output open.
    bool launch()
    {
        std::vector<std::string> args = {"jackd", "-S", "-n",    name_, "-d",
                                         "dummy", "-r", "48000", "-p",  "64"};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int said = ::memfd_create("jackd", MFD_CLOEXEC);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(said, 1);
            ::dup2(said, 2);
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        killed_ = false;
        bool gone = false;
        if (pid_ > 0 &&
            !waitUntil([&] { return (gone = gone || ended()) || (holdsSocket() && answers()); })) {
            stop(SIGKILL);
        }
        said_.clear();
        if (gone) {
            pid_ = -1;
            std::array<char, 4096> buffer;
            for (ssize_t length; (length = ::pread(said, buffer.data(), buffer.size(), said_.size())) > 0;) {
                said_.append(buffer.data(), static_cast<std::size_t>(length));
            }
            std::fputs(said_.c_str(), stderr);
        }
        ::close(said);
        return running();
    }

    bool saidNoRoom() const { return said_.find("Too many servers already active") != std::string::npos; }

    bool answers() const
    {
        jack_client_t* probe = openClient("probe");
        if (probe == nullptr) {
            return false;
        }
        jack_client_close(probe);
        return true;
    }

    // Reaps it when it has ended (it does at once when another server has its name).
    bool ended() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_; }

    // Whether it holds the socket its name binds: another server of the name answers too.
    bool holdsSocket() const
    {
        const std::string path = "/dev/shm/jack_" + name_ + "_" + std::to_string(::getuid()) + "_0";
        std::set<std::string> sockets;
        std::ifstream table("/proc/net/unix");
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string field;
            std::vector<std::string> parts;
            while (fields >> field) {
                parts.push_back(field);
            }
            if (parts.size() == 8 && parts[7] == path) {
                sockets.insert("socket:[" + parts[6] + "]");
            }
        }
        std::error_code error;
        const std::string folder = "/proc/" + std::to_string(pid_) + "/fd";
        for (const auto& fd : std::filesystem::directory_iterator(folder, error)) {
            if (sockets.contains(std::filesystem::read_symlink(fd.path(), error).string())) {
                return true;
            }
        }
        return false;
    }

    std::string name_;
    std::string said_; // by the last jackd that ended at its start
    pid_t pid_ = -1;
    bool killed_ = false;
    bool freeing_ = false;
};

} // namespace tovra::testing
