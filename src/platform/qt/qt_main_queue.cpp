#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>

namespace tovra::qt {

namespace {

int milliseconds(double seconds)
{
    return static_cast<int>(std::llround(std::max(0.0, seconds) * 1000.0));
}

// Runs a work item once when its timerfd expires. Qt's own timers round their waits up to whole
// milliseconds, so a relaunch due 2.0 s after an exit came up to a millisecond late; a timerfd
// keeps to the kernel's timer.
class PreciseSingleShot final : public QSocketNotifier {
public:
    PreciseSingleShot(int timer, std::shared_ptr<platform::WorkItem> item, QObject* parent)
        : QSocketNotifier(timer, QSocketNotifier::Read, parent), timer_(timer)
    {
        QObject::connect(this, &QSocketNotifier::activated, this, [this, item = std::move(item)] {
            setEnabled(false);
            deleteLater();
            item->perform();
        });
    }
    ~PreciseSingleShot() override { ::close(timer_); }

private:
    int timer_;
};

class QtTimer : public platform::Timer {
public:
    explicit QtTimer(std::unique_ptr<QTimer> timer) : timer_(std::move(timer)) {}
    void invalidate() override { timer_->stop(); }

private:
    std::unique_ptr<QTimer> timer_;
};

} // namespace

QtMainQueue::QtMainQueue() = default;

QtMainQueue::~QtMainQueue()
{
    std::lock_guard lock(mutex_);
    open_ = false;
}

void QtMainQueue::async(std::function<void()> block)
{
    // Posting an event is thread-safe; the lock only keeps a post from racing destruction.
    std::lock_guard lock(mutex_);
    if (open_) {
        QMetaObject::invokeMethod(&context_, std::move(block), Qt::QueuedConnection);
    }
}

void QtMainQueue::asyncAfter(double delaySeconds, std::shared_ptr<platform::WorkItem> item)
{
    // On the monotonic clock. A zero value would disarm the timer: the least wait is a nanosecond.
    const auto nanoseconds = std::max<long long>(1, std::llround(std::max(0.0, delaySeconds) * 1e9));
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (timer >= 0 && ::timerfd_settime(timer, 0, &due, nullptr) == 0) {
        new PreciseSingleShot(timer, std::move(item), &context_); // owned by the context, deletes itself
        return;
    }
    if (timer >= 0) {
        ::close(timer);
    }
    QTimer::singleShot(milliseconds(delaySeconds), Qt::PreciseTimer, &context_,
                       [item = std::move(item)] { item->perform(); });
}

std::unique_ptr<platform::Timer> QtMainQueue::scheduledTimer(double intervalSeconds,
                                                             std::function<void()> tick)
{
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(milliseconds(intervalSeconds));
    QObject::connect(timer.get(), &QTimer::timeout, &context_, std::move(tick));
    timer->start();
    return std::make_unique<QtTimer>(std::move(timer));
}

} // namespace tovra::qt
