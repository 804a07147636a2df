#pragma once

#include <QApplication>

#include <memory>

#include "platform/application.h"

class QSocketNotifier;

namespace tovra::qt {

// The application object on QApplication. A byte on `terminationDescriptor` (the termination
// signals' pipe) takes the same path as terminate().
class QtApplication : public platform::Application {
public:
    QtApplication(int& argc, char** argv, int terminationDescriptor);
    ~QtApplication() override;

    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    int run() override;
    void setActivationPolicy(platform::ActivationPolicy policy) override;
    void activateIgnoringOtherApps() override;
    void terminate() override;

    // The delegate's applicationWillTerminate, for an end of the process that skips the loop's.
    void endNow();

private:
    // Reads what the signal handler wrote; true when a signal came.
    bool takeTerminationSignals() const;

    QApplication application_;
    int terminationDescriptor_;
    std::weak_ptr<platform::ApplicationDelegate> delegate_;
    std::unique_ptr<QSocketNotifier> terminationNotifier_;
    bool terminating_ = false;
};

} // namespace tovra::qt
