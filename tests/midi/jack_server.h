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
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
// the same name starts: so a killed server is started again before it is stopped for good.
class JackServer {
public:
    JackServer() : name_("tovra-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count_))
    {
        start();
    }
    ~JackServer()
    {
        if (killed_) {
            start();
        }
        stop(SIGTERM);
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    const std::string& name() const { return name_; }
    bool running() const { return pid_ > 0; }

    // Starts it, and waits until it takes clients. It ends with the test's process, whatever
    // ends that (a sanitizer's report included), so it cannot hold the test's output open.
    void start()
    {
        std::vector<std::string> args = {"jackd", "-S", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "64"};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1); // its errors stay on stderr
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        killed_ = false;
        if (pid_ > 0 && !waitUntil([this] { return answers(); })) {
            stop(SIGKILL);
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
    void pause() const { ::kill(pid_, SIGSTOP); }
    void resume() const { ::kill(pid_, SIGCONT); }

    jack_client_t* connect(const char* client) const
    {
        return jack_client_open(client, static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                nullptr, name_.c_str());
    }

private:
    bool answers() const
    {
        jack_client_t* probe = connect("probe");
        if (probe == nullptr) {
            return false;
        }
        jack_client_close(probe);
        return true;
    }

    static inline int count_ = 0;
    std::string name_;
    pid_t pid_ = -1;
    bool killed_ = false;
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
