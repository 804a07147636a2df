#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_queue.h"

namespace tovra::qt {

// A descriptor that turns readable once a time set on it has passed; closed with the object.
class WakeUpTimer {
public:
    virtual ~WakeUpTimer() = default;
    virtual int descriptor() const = 0;
};

// Makes a wake-up timer due `seconds` from now; none where the system cannot.
using WakeUpTimers = std::function<std::unique_ptr<WakeUpTimer>(double seconds)>;

// The main thread's queue on the Qt event loop. Create and destroy it on the main thread,
// after the application object exists; blocks posted after it is gone are dropped.
//
// Work due later runs off the system's wake-up timers where it has them: Qt's own timers round
// their waits up to whole milliseconds, so a relaunch due 2.0 s after an exit came up to a
// millisecond late. Without them (or when one cannot be made) Qt's precise timers serve.
class QtMainQueue : public platform::MainQueue {
public:
    explicit QtMainQueue(WakeUpTimers wakeUpTimers = {});
    ~QtMainQueue() override;

    void async(std::function<void()> block) override;
    void asyncAfter(double delaySeconds, std::shared_ptr<platform::WorkItem> item) override;
    std::unique_ptr<platform::Timer> scheduledTimer(double intervalSeconds,
                                                    std::function<void()> tick) override;

private:
    WakeUpTimers wakeUpTimers_;
    QObject context_; // lives on the main thread; queued blocks run in its thread
    std::mutex mutex_;
    bool open_ = true;
};

} // namespace tovra::qt
