#include "platform/qt/qt_application.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tovra::qt {

namespace {

// The application whose loop runs, for a process end that does not come from it.
QtApplication* running = nullptr;

// How long the end waits at most for the window manager to take the focus from a window of ours.
constexpr std::chrono::milliseconds kFocusHandOver{300};

// Qt ends the process from inside the loop, exit(1), when the connection to the X server breaks.
// Then the program ends as a termination signal ends it: the server stopped, status 0, so that a
// start in the next session takes over. Anything else that calls exit() meanwhile ends alike.
extern "C" void endWithoutTheLoop()
{
    if (QtApplication* application = std::exchange(running, nullptr)) {
        application->endNow();
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

} // namespace

QtApplication::QtApplication(int& argc, char** argv, TerminationNotice notice)
    : application_(argc, argv), termination_(std::move(notice))
{
    if (termination_.descriptor < 0 || !termination_.take) {
        return;
    }
    terminationNotifier_ = std::make_unique<QSocketNotifier>(termination_.descriptor, QSocketNotifier::Read);
    QObject::connect(terminationNotifier_.get(), &QSocketNotifier::activated, [this] {
        termination_.take();
        terminate();
    });
}

QtApplication::~QtApplication() = default;

void QtApplication::setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate)
{
    delegate_ = std::move(delegate);
}

int QtApplication::run()
{
    // Start-up runs once the loop is running, so a quit during it (or during its alert) ends
    // the loop like any other. A signal that came before it is waiting in the pipe, whichever of
    // the two the loop would see first: then nothing starts.
    static const bool endingCaught = std::atexit(endWithoutTheLoop) == 0;
    (void)endingCaught;
    running = this;
    QTimer::singleShot(0, &application_, [this] {
        if (termination_.take && termination_.take()) {
            terminate();
        }
        if (const auto delegate = delegate_.lock(); delegate && !terminating_) {
            delegate->applicationDidFinishLaunching();
        }
    });
    // Not QApplication::exec(): that makes the accessibility bridge first, which on a desktop
    // reaches its services on this thread, waiting for them; whoever composes the program makes
    // the bridge once they have answered.
    QEventLoop loop;
    loop.exec();
    running = nullptr;
    endNow();
    return 0;
}

void QtApplication::endNow()
{
    if (std::exchange(ended_, true)) {
        return;
    }
    if (const auto delegate = delegate_.lock()) {
        delegate->applicationWillTerminate();
    }
}

void QtApplication::setActivationPolicy(platform::ActivationPolicy /*accessory*/)
{
    // An accessory has no window of its own: closing the alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
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
    const auto end = [] { QCoreApplication::exit(0); };
    QWindow* focused = QGuiApplication::focusWindow();
    if (!focused || !focused->isVisible()) {
        QMetaObject::invokeMethod(&application_, end, Qt::QueuedConnection);
        return;
    }
    // A window that still has the focus when it goes can take the desktop down with it: GNOME Shell
    // 43 aborts when it unmanages an X window it still counts as focused, as it does when the window
    // goes while the program owns the clipboard. Minimised first, the window gives the focus up the
    // window manager's own way; the loop ends once it has, or after a moment all the same. The
    // program ends now, all but the loop: nothing it scheduled runs in that moment.
    endNow();
    focused->showMinimized();
    auto* handOver = new QObject(&application_);
    const auto done = [handOver, end] {
        handOver->deleteLater();
        end();
    };
    QObject::connect(&application_, &QGuiApplication::focusWindowChanged, handOver,
                     [focused, done](QWindow* now) {
                         if (now != focused) {
                             done();
                         }
                     });
    QTimer::singleShot(kFocusHandOver, handOver, done);
}

} // namespace tovra::qt
