// The process entry: picks the backends, builds the platform and the delegate, runs the loop.
#include <memory>

#include "app/tovra_app_delegate.h"
#include "platform/posix/executable_bundle.h"
#include "platform/posix/posix_file_manager.h"
#include "platform/posix/posix_process_info.h"
#include "platform/posix/posix_task.h"
#include "platform/posix/system_clock.h"
#include "platform/qt/qt_alerts.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_url_session.h"
#include "platform/qt/qt_user_defaults.h"
#include "platform/qt/qt_workspace.h"
#include "platform/xdg/xdg_login_service.h"

int main(int argc, char** argv)
{
    using namespace tovra;

    qt::QtApplication::selectPlatformForHeadlessSession();
    qt::QtApplication application(argc, argv);

    // Declared in the order they may be torn down in reverse: the delegate goes first, the
    // application object last.
    qt::QtMainQueue mainQueue;
    posix::SystemClock clock;
    posix::PosixFileManager fileManager;
    posix::PosixTaskLauncher taskLauncher;
    posix::ExecutableBundle bundle;
    posix::PosixProcessInfo processInfo;
    qt::QtStatusBar statusBar;
    qt::QtAlerts alerts;
    qt::QtWorkspace workspace;
    qt::QtPasteboard pasteboard;
    qt::QtUserDefaults userDefaults;
    qt::QtUrlSession urlSession;
    xdg::XdgLoginService loginService(posix::ExecutableBundle::currentExecutable(),
                                      xdg::XdgLoginService::defaultAutostartDirectory(), workspace);

    const auto delegate = std::make_shared<TovraAppDelegate>(
        platform::Platform{application, mainQueue, clock, fileManager, taskLauncher, bundle, processInfo,
                           statusBar, alerts, workspace, pasteboard, userDefaults, urlSession, loginService});
    application.setDelegate(delegate);
    return application.run();
}
