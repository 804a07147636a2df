#pragma once

#include "midi/device_watch.h"
#include "midi/midi_output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovra::midi {

// What one output is now.
struct OutputState {
    MidiSystem system;
    bool open = false;
    std::string port;    // its name as music programs list it, while open
    std::string problem; // why it is not open, while it is not
    std::uint64_t dropped = 0;
    friend bool operator==(const OutputState&, const OutputState&) = default;
};

// How long to wait before trying to open an output again, when the last try failed: a server's
// socket exists a moment before the server takes clients, and a JACK server refuses a client now
// and then while another JACK server on the machine takes one. None after the last try.
std::optional<std::chrono::milliseconds> retryDelay(int failedTries);

// Every output of the program, kept open while their systems allow. A thread of its own opens
// and closes them (a system that does not answer never holds up the sender), waiting on the
// watch and on outputs that were lost. Sending takes a short lock that this thread takes only to
// add or remove an output; the outputs' own real-time paths take none.
class MidiOutputs {
public:
    using RetryPolicy = std::function<std::optional<std::chrono::milliseconds>(int failedTries)>;

    // `changed` runs on the outputs' thread after each change of state(); `watch` may be none.
    MidiOutputs(std::vector<std::unique_ptr<MidiOutput>> outputs, std::unique_ptr<DeviceWatch> watch,
                std::function<void()> changed, RetryPolicy retry = retryDelay);
    ~MidiOutputs();
    MidiOutputs(const MidiOutputs&) = delete;
    MidiOutputs& operator=(const MidiOutputs&) = delete;

    // Starts the thread, which opens every output it can and reports.
    void start();
    // Stops the thread, closing every output; false when it did not finish within `limit` (a
    // system stuck in a call): it is then left running, and this object must be left alive.
    bool stop(std::chrono::milliseconds limit);

    struct Sent {
        int open = 0;      // outputs open when it was sent
        int delivered = 0; // of those, the ones that took it
    };
    // Any thread.
    Sent send(const MidiMessage& message);
    // Any thread: each output, in the order given.
    std::vector<OutputState> state() const;

private:
    struct Slot {
        std::unique_ptr<MidiOutput> output;
        bool open = false; // guarded by mutex_; only the thread changes it
        std::string port;
        std::string problem;
        int failedTries = 0;
        std::optional<std::chrono::steady_clock::time_point> retryAt;
        std::atomic<bool> lost{false};
    };

    void run();
    void waitForChange();
    void tryOpen(Slot& slot);
    void closeSlot(Slot& slot, std::string problem);
    void publish();

    std::vector<std::unique_ptr<Slot>> slots_;
    std::unique_ptr<DeviceWatch> watch_;
    std::function<void()> changed_;
    RetryPolicy retry_;
    int wakeup_ = -1; // an eventfd: the lost handlers and stop() write to it
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool stopping_ = false;
    bool done_ = false;
    std::vector<OutputState> published_;
};

} // namespace tovra::midi
