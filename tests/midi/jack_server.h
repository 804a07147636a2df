#pragma once

// A private JACK server (the dummy driver, 48 kHz, 64 frames, a name of its own) and a client
// that records what reaches its MIDI input, for tests of the JACK output. The server runs
// synchronously (-S): on a busy machine a client that is late makes the cycle wait, where JACK
// would otherwise let the cycle's MIDI go between two clients.
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
// the same name starts. So a test process names its servers after itself and gives a released
// name to its next server; a server that is killed is started again before it is released.
class JackServer {
public:
    JackServer()
    {
        if (released().empty()) {
            name_ = "tovra-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count_);
        } else {
            name_ = released().back();
            released().pop_back();
        }
        start();
    }
    ~JackServer()
    {
        if (freeing_) {
            return;
        }
        if (killed_) {
            start();
        }
        stop(SIGTERM);
        released().push_back(name_);
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

    // Sends `signal`, and for one that ends it, waits for the end.
    void stop(int signal)
    {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, signal);
        ::kill(pid_, SIGCONT); // a stopped server takes its signal only once it goes on
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        killed_ = signal == SIGKILL;
    }
    // Stops it, and waits until every thread of it stands still: a signal reaches another process a
    // moment after kill returns. False when it did not within 10 s.
    bool pause() const
    {
        ::kill(pid_, SIGSTOP);
        return waitUntil([this] { return threadStates().find_first_not_of('T') == std::string::npos; });
    }
    void resume() const { ::kill(pid_, SIGCONT); }

    // A client of it; none when it does not answer. A JACK server refuses a client now and then
    // while another JACK server on the machine takes one, so a refusal is asked again a few times.
    jack_client_t* connect(const char* client) const
    {
        for (int tries = 0; tries < 50; ++tries) {
            if (jack_client_t* opened = openClient(client)) {
                return opened;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

private:
    struct Freeing {};
    // A server of `name` that takes the registry's entry of that name and gives it back as it stops.
    JackServer(Freeing, std::string name) : name_(std::move(name)), freeing_(true)
    {
        if (launch()) {
            stop(SIGTERM);
        }
    }

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

    static std::vector<std::string>& released()
    {
        static std::vector<std::string> names;
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

    // The state letter of each of its threads ('T' while stopped by a signal).
    std::string threadStates() const
    {
        std::string states;
        std::error_code error;
        const std::string folder = "/proc/" + std::to_string(pid_) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(folder, error)) {
            std::ifstream stat(task.path() / "stat");
            std::string line;
            if (std::getline(stat, line) && line.rfind(") ") != std::string::npos) {
                states += line[line.rfind(") ") + 2];
            }
        }
        return states;
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

    static inline int count_ = 0;
    std::string name_;
    std::string said_; // by the last jackd that ended at its start
    pid_t pid_ = -1;
    bool killed_ = false;
    bool freeing_ = false;
};

// A client of `server` whose MIDI input, connected to `source`, records every message in order.
class MidiRecorder {
public:
    MidiRecorder(const JackServer& server, const std::string& source)
        : client_(server.connect("recorder")), ring_(jack_ringbuffer_create(1 << 20))
    {
        if (client_ == nullptr) {
            return;
        }
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &MidiRecorder::process, this);
        connected_ =
            jack_activate(client_) == 0 && jack_connect(client_, source.c_str(), jack_port_name(port_)) == 0;
    }
    ~MidiRecorder()
    {
        if (client_ != nullptr) {
            jack_client_close(client_);
        }
        jack_ringbuffer_free(ring_);
    }

    bool connected() const { return connected_; }

    // The messages recorded so far, once there are at least `count` (or after 10 s).
    std::vector<std::vector<std::uint8_t>> messages(std::size_t count)
    {
        waitUntil([&] {
            take();
            return received_.size() >= count;
        });
        take();
        return received_;
    }

private:
    void take()
    {
        std::uint8_t record[4];
        while (jack_ringbuffer_read(ring_, reinterpret_cast<char*>(record), 4) == 4) {
            received_.emplace_back(record + 1, record + 1 + record[0]);
        }
    }

    static int process(jack_nframes_t frames, void* self)
    {
        auto& recorder = *static_cast<MidiRecorder*>(self);
        void* buffer = jack_port_get_buffer(recorder.port_, frames);
        const auto count = jack_midi_get_event_count(buffer);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0 && event.size <= 3) {
                std::uint8_t record[4] = {static_cast<std::uint8_t>(event.size), 0, 0, 0};
                std::copy(event.buffer, event.buffer + event.size, record + 1);
                jack_ringbuffer_write(recorder.ring_, reinterpret_cast<const char*>(record), 4);
            }
        }
        return 0;
    }

    jack_client_t* client_;
    jack_ringbuffer_t* ring_;
    jack_port_t* port_ = nullptr;
    bool connected_ = false;
    std::vector<std::vector<std::uint8_t>> received_;
};

} // namespace tovra::testing
