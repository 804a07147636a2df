// The Linux backend set: Qt for the desktop, POSIX and /proc for processes and files, XDG for
// the login item. The process entry reaches it only through platform/process_entry.h.
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/executable_bundle.h"
#include "platform/linux/instance_lock.h"
#include "platform/linux/loopback_listener.h"
#include "platform/linux/posix_file_manager.h"
#include "platform/linux/posix_process_info.h"
#include "platform/linux/posix_task.h"
#include "platform/linux/system_clock.h"
#include "platform/linux/termination_signals.h"
#include "platform/linux/user_directories.h"
#include "platform/process_entry.h"
#include "platform/qt/qt_alerts.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_notifications.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_url_session.h"
#include "platform/qt/qt_user_defaults.h"
#include "platform/qt/qt_workspace.h"
#include "platform/xdg/xdg_login_service.h"

namespace tovra::platform {

namespace {

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// Without a display and with no platform chosen, Qt's offscreen platform runs the program all
// the same, without a visible tray. Chosen on the command line Qt reads, not in the environment,
// which the bridge server inherits.
std::vector<char*> withPlatformChosen(int argc, char** argv)
{
    static char option[] = "-platform";
    static char offscreen[] = "offscreen";
    std::vector<char*> arguments(argv, argv + argc);
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
        arguments.push_back(option);
        arguments.push_back(offscreen);
    }
    arguments.push_back(nullptr);
    return arguments;
}

// The program as users start it: the launcher at <prefix>/bin, in front of this application at
// <prefix>/libexec/tovra-bridge. The bundle and the login entry go by it.
std::optional<std::filesystem::path> program()
{
    const std::optional<std::filesystem::path> application = posix::ExecutableBundle::currentExecutable();
    if (!application) {
        return std::nullopt;
    }
    return application->parent_path().parent_path().parent_path() / "bin" / "tovra-bridge";
}

std::string settingsFile()
{
    const std::filesystem::path config = posix::configDirectory();
    return config.empty() ? std::string() : (config / "Tovra" / "Tovra Bridge.conf").string();
}

class LinuxBackends final : public Backends {
public:
    LinuxBackends(int argc, char** argv, const std::string& applicationName)
        : arguments_(withPlatformChosen(argc, argv)), argc_(static_cast<int>(arguments_.size()) - 1),
          application_(argc_, arguments_.data(), posix::terminationSignalDescriptor()),
          bundle_(program().value_or(std::filesystem::path())),
          userDefaults_(QString::fromStdString(settingsFile())),
          loginService_(program(), posix::configDirectory() / "autostart", workspace_)
    {
        QGuiApplication::setApplicationDisplayName(QString::fromStdString(applicationName));
        QGuiApplication::setDesktopFileName(QStringLiteral("tovra-bridge"));
        notifications_.setApplicationName(QString::fromStdString(applicationName));
    }

    Platform platform() override
    {
        return Platform{application_,  mainQueue_,    clock_,         fileManager_,
                        taskLauncher_, bundle_,       processInfo_,   statusBar_,
                        alerts_,       workspace_,    pasteboard_,    userDefaults_,
                        urlSession_,   loginService_, notifications_, network_};
    }

private:
    posix::PosixProcessInfo processInfo_; // first: the environment as the program got it
    std::vector<char*> arguments_;
    int argc_;
    qt::QtApplication application_;
    qt::QtMainQueue mainQueue_;
    posix::SystemClock clock_;
    posix::PosixFileManager fileManager_;
    posix::PosixTaskLauncher taskLauncher_;
    posix::ExecutableBundle bundle_;
    qt::QtStatusBar statusBar_;
    qt::QtAlerts alerts_;
    qt::QtWorkspace workspace_;
    qt::QtPasteboard pasteboard_;
    qt::QtUserDefaults userDefaults_;
    qt::QtUrlSession urlSession_{posix::loopbackListenerOf};
    xdg::XdgLoginService loginService_;
    qt::QtNotifications notifications_;
    posix::LinuxNetwork network_;
};

} // namespace

void catchTerminationSignals()
{
    posix::catchTerminationSignals();
}

bool claimSingleInstance()
{
    return posix::claimSingleInstance(posix::instancePlaces()).claim != posix::InstanceClaim::heldByAnother;
}

void postDesktopNotification(const std::string& applicationName, const std::string& summary,
                             const std::string& body)
{
    int argc = 1;
    char name[] = "tovra-bridge";
    char* argv[] = {name, nullptr};
    const QCoreApplication application(argc, argv);
    qt::QtNotifications notifications;
    notifications.setApplicationName(QString::fromStdString(applicationName));
    notifications.postAndWait(summary, body, 300);
}

std::unique_ptr<Backends> makeBackends(int& argc, char** argv, const std::string& applicationName)
{
    // Qt's own warnings speak of Qt, not of this program; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false\nqt.*.warning=false"));
    return std::make_unique<LinuxBackends>(argc, argv, applicationName);
}

} // namespace tovra::platform
