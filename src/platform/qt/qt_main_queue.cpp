#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>

namespace tovra::qt {

namespace {

int milliseconds(double seconds)
{
    return static_cast<int>(std::llround(std::max(0.0, seconds) * 1000.0));
}

// Runs a work item once when its wake-up timer is due.
class PreciseSingleShot final : public QSocketNotifier {
public:
    PreciseSingleShot(std::unique_ptr<WakeUpTimer> timer, std::shared_ptr<platform::WorkItem> item,
                      QObject* parent)
        : QSocketNotifier(timer->descriptor(), QSocketNotifier::Read, parent), timer_(std::move(timer))
    {
        QObject::connect(this, &QSocketNotifier::activated, this, [this, item = std::move(item)] {
            setEnabled(false);
            deleteLater();
            item->perform();
        });
    }

private:
    std::unique_ptr<WakeUpTimer> timer_;
};

class QtTimer : public platform::Timer {
public:
    explicit QtTimer(std::unique_ptr<QTimer> timer) : timer_(std::move(timer)) {}
    void invalidate() override { timer_->stop(); }

private:
    std::unique_ptr<QTimer> timer_;
};

} // namespace

QtMainQueue::QtMainQueue(WakeUpTimers wakeUpTimers) : wakeUpTimers_(std::move(wakeUpTimers)) {}

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
    if (std::unique_ptr<WakeUpTimer> timer = wakeUpTimers_ ? wakeUpTimers_(delaySeconds) : nullptr) {
        // Owned by the context; deletes itself once it has run.
        new PreciseSingleShot(std::move(timer), std::move(item), &context_);
        return;
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
