#include "midi/midi_outputs.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <limits>

namespace tovra::midi {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from `now` to `at`, rounded up, as poll takes them.
int millisecondsUntil(Clock::time_point at, Clock::time_point now)
{
    if (at <= now) {
        return 0;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
    return static_cast<int>(std::min<std::int64_t>(wait, std::numeric_limits<int>::max()));
}

} // namespace

std::optional<std::chrono::milliseconds> retryDelay(int failedTries)
{
    constexpr int kTries = 5;
    if (failedTries < 1 || failedTries > kTries) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(100) * (1 << (failedTries - 1)); // 0.1 s to 1.6 s, 3.1 s in all
}

MidiOutputs::MidiOutputs(std::vector<std::unique_ptr<MidiOutput>> outputs, std::unique_ptr<DeviceWatch> watch,
                         std::function<void()> changed, RetryPolicy retry)
    : watch_(std::move(watch)), changed_(std::move(changed)), retry_(std::move(retry)),
      wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    for (auto& output : outputs) {
        auto slot = std::make_unique<Slot>();
        slot->output = std::move(output);
        published_.push_back({slot->output->system(), false, "", "not opened yet", 0});
        slots_.push_back(std::move(slot));
    }
}

MidiOutputs::~MidiOutputs()
{
    if (thread_.joinable()) {
        stop(std::chrono::hours(1));
    }
    if (wakeup_ >= 0) {
        ::close(wakeup_);
    }
}

void MidiOutputs::start()
{
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

bool MidiOutputs::stop(std::chrono::milliseconds limit)
{
    if (!thread_.joinable()) {
        return true;
    }
    std::unique_lock lock(mutex_);
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
    if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
        lock.unlock();
        thread_.detach();
        return false;
    }
    lock.unlock();
    thread_.join();
    return true;
}

MidiOutputs::Sent MidiOutputs::send(const MidiMessage& message)
{
    Sent sent;
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
        if (slot->open) {
            ++sent.open;
            sent.delivered += slot->output->send(message) ? 1 : 0;
        }
    }
    return sent;
}

std::vector<OutputState> MidiOutputs::state() const
{
    std::lock_guard lock(mutex_);
    std::vector<OutputState> state = published_;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        state[i].dropped = slots_[i]->output->dropped();
    }
    return state;
}

void MidiOutputs::run()
{
    ::pthread_setname_np(::pthread_self(), "tovra-midi"); // as top -H and /proc show it
    for (auto& slot : slots_) {
        tryOpen(*slot);
    }
    publish();
    for (;;) {
        waitForChange();
        if (std::lock_guard lock(mutex_); stopping_) {
            break;
        }
        const auto appeared = watch_ ? watch_->readChanges() : std::set<MidiSystem>{};
        const auto now = Clock::now();
        for (auto& slot : slots_) {
            if (slot->lost.exchange(false)) {
                closeSlot(*slot, slot->output->lost().value_or("the system took the port away"));
            } else if (!slot->open && appeared.contains(slot->output->system())) {
                slot->failedTries = 0;
                tryOpen(*slot);
            } else if (!slot->open && slot->retryAt && *slot->retryAt <= now) {
                tryOpen(*slot);
            }
        }
        publish();
    }
    for (auto& slot : slots_) {
        closeSlot(*slot, "closed");
    }
    publish();
    std::lock_guard lock(mutex_);
    done_ = true;
    finished_.notify_all();
}

// Until the watch or a lost output says something, or the next retry is due.
void MidiOutputs::waitForChange()
{
    const auto now = Clock::now();
    int timeout = -1;
    for (const auto& slot : slots_) {
        if (slot->retryAt) {
            const int wait = millisecondsUntil(*slot->retryAt, now);
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
    }
    std::array<pollfd, 2> descriptors{
        {{wakeup_, POLLIN, 0}, {watch_ ? watch_->descriptor() : -1, POLLIN, 0}}};
    ::poll(descriptors.data(), descriptors.size(), timeout); // an interruption only ends the wait early
    std::uint64_t wakes = 0;
    [[maybe_unused]] const auto read = ::read(wakeup_, &wakes, sizeof wakes);
}

// A failed try is tried again a few times (retryDelay), the first one at start included: a JACK
// server that is there may still refuse a client for a moment, and nothing would ask it again.
void MidiOutputs::tryOpen(Slot& slot)
{
    slot.retryAt.reset();
    auto problem = slot.output->open([this, lost = &slot.lost] {
        lost->store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
    });
    if (problem) {
        slot.problem = std::move(*problem);
        if (const auto delay = retry_(++slot.failedTries)) {
            slot.retryAt = Clock::now() + *delay;
        }
        return;
    }
    slot.port = slot.output->portName();
    slot.problem.clear();
    slot.failedTries = 0;
    std::lock_guard lock(mutex_);
    slot.open = true;
}

// Taken out of sending first, so that the close runs without the lock.
void MidiOutputs::closeSlot(Slot& slot, std::string problem)
{
    {
        std::lock_guard lock(mutex_);
        slot.open = false;
    }
    slot.output->close();
    slot.port.clear();
    slot.problem = std::move(problem);
}

void MidiOutputs::publish()
{
    std::vector<OutputState> state;
    for (const auto& slot : slots_) {
        state.push_back({slot->output->system(), slot->open, slot->port, slot->problem, 0});
    }
    {
        std::lock_guard lock(mutex_);
        if (state == published_) {
            return;
        }
        published_ = std::move(state);
    }
    changed_();
}

} // namespace tovra::midi
