#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace tovra::platform {

// A block that can be cancelled before it runs. Cancelling one that already ran does nothing.
class WorkItem {
public:
    explicit WorkItem(std::function<void()> block) : block_(std::move(block)) {}
    void cancel() { cancelled_ = true; }
    // Runs the block unless the item was cancelled.
    void perform()
    {
        if (!cancelled_ && block_) {
            block_();
        }
    }

private:
    std::atomic<bool> cancelled_{false};
    std::function<void()> block_;
};

// A repeating timer; its ticks stop once it is invalidated or destroyed.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
};

// The main thread's queue.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Runs `block` later on the main thread, in posting order. Callable from any thread.
    virtual void async(std::function<void()> block) = 0;
    // Performs `item` on the main thread `delaySeconds` from now, measured on the monotonic
    // clock. A cancelled item never runs. Main thread only.
    virtual void asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) = 0;
    // Calls `tick` on the main thread every `intervalSeconds`, the first time one interval
    // from now, until the timer is invalidated. Main thread only.
    virtual std::unique_ptr<Timer> scheduledTimer(double intervalSeconds, std::function<void()> tick) = 0;
};

} // namespace tovra::platform
