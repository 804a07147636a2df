#pragma once

#include <QApplication>

#include <functional>
#include <memory>

#include "platform/application.h"

class QSocketNotifier;

namespace tovra::qt {

// How the system tells the program to end (its termination signals): a descriptor that turns
// readable when it has, and what takes the notice from it (true when one was there).
struct TerminationNotice {
    int descriptor = -1;
    std::function<bool()> take;
};

// The application object on QApplication. A termination notice takes the same path as terminate().
class QtApplication : public platform::Application {
public:
    QtApplication(int& argc, char** argv, TerminationNotice notice);
    ~QtApplication() override;

    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    int run() override;
    void setActivationPolicy(platform::ActivationPolicy policy) override;
    void activateIgnoringOtherApps() override;
    void terminate() override;

    // The delegate's applicationWillTerminate, for an end of the process that skips the loop's.
    void endNow();

private:
    QApplication application_;
    TerminationNotice termination_;
    std::weak_ptr<platform::ApplicationDelegate> delegate_;
    std::unique_ptr<QSocketNotifier> terminationNotifier_;
    bool terminating_ = false;
    bool ended_ = false; // the delegate was told
};

} // namespace tovra::qt
