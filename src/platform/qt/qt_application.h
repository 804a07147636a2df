#pragma once

#include <QApplication>

#include <memory>

#include "platform/application.h"

class QSocketNotifier;

namespace tovra::qt {

// The application object on QApplication. SIGTERM, SIGINT and SIGHUP are this platform's
// termination notice: they take the same path as terminate().
class QtApplication : public platform::Application {
public:
    // Call before constructing: without a display and with no platform chosen, Qt's offscreen
    // platform is selected so the program runs all the same, without a visible tray.
    static void selectPlatformForHeadlessSession();

    QtApplication(int& argc, char** argv);
    ~QtApplication() override;

    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    int run() override;
    void setActivationPolicy(platform::ActivationPolicy policy) override;
    void activateIgnoringOtherApps() override;
    void terminate() override;

private:
    void installTerminationSignals();

    QApplication application_;
    std::weak_ptr<platform::ApplicationDelegate> delegate_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    bool terminating_ = false;
};

} // namespace tovra::qt
