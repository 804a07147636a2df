#pragma once

#include <QObject>

#include <mutex>

#include "platform/main_queue.h"

namespace tovra::qt {

// The main thread's queue on the Qt event loop. Create and destroy it on the main thread,
// after the application object exists; blocks posted after it is gone are dropped.
class QtMainQueue : public platform::MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void async(std::function<void()> block) override;
    void asyncAfter(double delaySeconds, std::shared_ptr<platform::WorkItem> item) override;
    std::unique_ptr<platform::Timer> scheduledTimer(double intervalSeconds,
                                                    std::function<void()> tick) override;

private:
    QObject context_; // lives on the main thread; queued blocks run in its thread
    std::mutex mutex_;
    bool open_ = true;
};

} // namespace tovra::qt
