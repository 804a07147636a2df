#include "platform/qt/qt_application.h"

#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace tovra::qt {

namespace {

// The write end is used from the signal handler, so it is a plain global.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

void QtApplication::selectPlatformForHeadlessSession()
{
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

QtApplication::QtApplication(int& argc, char** argv) : application_(argc, argv)
{
    installTerminationSignals();
}

QtApplication::~QtApplication()
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::signal(signal, SIG_DFL);
    }
    signalNotifier_.reset();
    for (int& end : signalPipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

void QtApplication::installTerminationSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, [this] {
        std::array<unsigned char, 64> drained{};
        while (::read(signalPipe[0], drained.data(), drained.size()) > 0) {
        }
        terminate();
    });

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

void QtApplication::setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate)
{
    delegate_ = std::move(delegate);
}

int QtApplication::run()
{
    // Start-up runs once the loop is running, so a quit during it (or during its alert) ends
    // the loop like any other.
    QTimer::singleShot(0, &application_, [this] {
        if (const auto delegate = delegate_.lock()) {
            delegate->applicationDidFinishLaunching();
        }
    });
    QApplication::exec();
    if (const auto delegate = delegate_.lock()) {
        delegate->applicationWillTerminate();
    }
    return 0;
}

void QtApplication::setActivationPolicy(platform::ActivationPolicy policy)
{
    // An accessory has no window of its own: closing the alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(policy == platform::ActivationPolicy::regular);
}

void QtApplication::activateIgnoringOtherApps()
{
    // Nothing to raise until a window exists; the alert raises and activates itself.
}

void QtApplication::terminate()
{
    if (terminating_) {
        return;
    }
    terminating_ = true;
    // exit() ends every running loop of the main thread, a modal alert's included.
    QMetaObject::invokeMethod(
        &application_, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

} // namespace tovra::qt
