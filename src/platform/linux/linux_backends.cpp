// The Linux backend set: Qt for the desktop, POSIX and /proc for processes and files, XDG for
// the login item. The process entry reaches it only through platform/process_entry.h.
#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/control_socket.h"
#include "platform/linux/display_wait.h"
#include "platform/linux/executable_bundle.h"
#include "platform/linux/instance_lock.h"
#include "platform/linux/loopback_listener.h"
#include "platform/linux/posix_file_manager.h"
#include "platform/linux/posix_process_info.h"
#include "platform/linux/posix_task.h"
#include "platform/linux/posix_url_session.h"
#include "platform/linux/system_clock.h"
#include "platform/linux/termination_signals.h"
#include "platform/linux/user_directories.h"
#include "platform/process_entry.h"
#include "platform/qt/diagnostics.h"
#include "platform/qt/qt_alerts.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_notifications.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_user_defaults.h"
#include "platform/qt/qt_workspace.h"
#include "platform/qt/session_bus.h"
#include "platform/xdg/xdg_login_service.h"

namespace tovra::platform {

namespace {

// How long a display named by the environment may take to come.
constexpr std::chrono::milliseconds kDisplayWait{30000};

// What stands here for the words of a Mac's.
Words linuxWords()
{
    return {"Open Controller on This Computer",
            "Tovra\u2019s bridge files are incomplete. Reinstall Tovra and start it again."};
}

// The lock folder this process claimed; empty when it runs unlocked.
std::filesystem::path& instanceFolder()
{
    static std::filesystem::path folder;
    return folder;
}

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

std::string lowercase(const char* text)
{
    std::string lower = text ? text : "";
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return lower;
}

// The platform Qt runs on: QT_QPA_PLATFORM when set, else Qt's own choice among the displays the
// environment names (X, unless a Wayland session that is not GNOME's says otherwise), else none.
std::string preferredPlatform()
{
    if (isSet("QT_QPA_PLATFORM")) {
        return std::getenv("QT_QPA_PLATFORM");
    }
    const bool x = isSet("DISPLAY");
    const bool wayland = isSet("WAYLAND_DISPLAY");
    const std::string desktop =
        lowercase(std::getenv("XDG_CURRENT_DESKTOP")) + lowercase(std::getenv("XDG_SESSION_DESKTOP"));
    if (wayland && (!x || (lowercase(std::getenv("XDG_SESSION_TYPE")) == "wayland" &&
                           desktop.find("gnome") == std::string::npos))) {
        return "wayland";
    }
    return x ? "xcb" : "offscreen";
}

// A display that the environment names but that takes no clients yet (a login often starts
// programs before the compositor) is waited for; Qt would abort without it. One that does not come
// in time, or that Qt cannot open after all, leaves the program on the offscreen platform, where it
// supervises the bridge all the same, without a tray. Chosen on the command line Qt reads, not in
// the environment, which the bridge server inherits.
std::string choosePlatform(bool& displayExpected)
{
    const std::string preferred = preferredPlatform();
    const std::string first = preferred.substr(0, preferred.find(';'));
    displayExpected = false;
    if (first == "offscreen") {
        return preferred;
    }
    switch (posix::waitForDisplay(first, kDisplayWait, posix::terminationSignalDescriptor())) {
    case posix::DisplayWait::ready:
        displayExpected = true;
        return preferred + ";offscreen";
    case posix::DisplayWait::interrupted: // the signal ends the program before it starts anything
        return "offscreen";
    case posix::DisplayWait::timedOut:
        break;
    }
    qCWarning(lcPlatform).nospace() << "no display: " << (first == "xcb" ? "DISPLAY " : "WAYLAND_DISPLAY ")
                                    << std::getenv(first == "xcb" ? "DISPLAY" : "WAYLAND_DISPLAY")
                                    << " took no clients within " << kDisplayWait.count() / 1000
                                    << " s; running without a display, so without a tray";
    return "offscreen";
}

std::vector<char*> withPlatform(int argc, char** argv, std::string& platform)
{
    static char option[] = "-platform";
    std::vector<char*> arguments(argv, argv + argc);
    arguments.push_back(option);
    arguments.push_back(platform.data());
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

// The application's icon as installed beside the program, for notifications; else the theme's name.
QString applicationIconFile()
{
    const std::optional<std::filesystem::path> launcher = program();
    const std::filesystem::path icon = launcher ? launcher->parent_path().parent_path() /
                                                      "share/icons/hicolor/scalable/apps/tovra-bridge.svg"
                                                : std::filesystem::path();
    std::error_code error;
    return launcher && std::filesystem::is_regular_file(icon, error) ? QString::fromStdString(icon.string())
                                                                     : QStringLiteral("tovra-bridge");
}

std::string settingsFile()
{
    const std::filesystem::path config = posix::configDirectory();
    return config.empty() ? std::string() : (config / "Tovra" / "Tovra Bridge.conf").string();
}

class LinuxBackends final : public Backends {
public:
    LinuxBackends(int argc, char** argv, const std::string& applicationName)
        : platform_(choosePlatform(displayExpected_)), arguments_(withPlatform(argc, argv, platform_)),
          argc_(static_cast<int>(arguments_.size()) - 1),
          application_(argc_, arguments_.data(), posix::terminationSignalDescriptor()),
          bundle_(program().value_or(std::filesystem::path())), statusBar_(sessionBus_),
          workspace_(sessionBus_), userDefaults_(QString::fromStdString(settingsFile())),
          loginService_(program(), posix::configDirectory() / "autostart", workspace_),
          notifications_(sessionBus_, QString::fromStdString(applicationName), applicationIconFile())
    {
        QGuiApplication::setApplicationDisplayName(QString::fromStdString(applicationName));
        QGuiApplication::setDesktopFileName(QStringLiteral("tovra-bridge"));
        QGuiApplication::setWindowIcon(qt::applicationIcon());
        qt::makeAccessibilityBridge(sessionBus_);
        if (displayExpected_ && QGuiApplication::platformName() == QLatin1String("offscreen")) {
            qCWarning(lcPlatform) << "cannot open the display; running without one, so without a tray";
        }
    }

    Platform platform() override
    {
        return Platform{application_, mainQueue_,     clock_,      fileManager_,  taskLauncher_,
                        bundle_,      processInfo_,   statusBar_,  alerts_,       workspace_,
                        pasteboard_,  userDefaults_,  urlSession_, loginService_, notifications_,
                        network_,     controlSocket_, linuxWords()};
    }

private:
    posix::PosixProcessInfo processInfo_; // first: the environment as the program got it
    bool displayExpected_ = false;
    std::string platform_;
    std::vector<char*> arguments_;
    int argc_;
    qt::QtApplication application_;
    qt::SessionBus sessionBus_; // before everything that uses the bus, after the application
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
    posix::PosixUrlSession urlSession_{[check = std::make_shared<posix::OwnedListenerCheck>()](
                                           int pid, int port) { return (*check)(pid, port); }};
    xdg::XdgLoginService loginService_;
    qt::QtNotifications notifications_;
    posix::LinuxNetwork network_;
    // Last: gone first, before the main queue its requests go through.
    posix::ControlSocket controlSocket_{instanceFolder().empty() ? std::filesystem::path()
                                                                 : posix::controlSocketPath(instanceFolder()),
                                        mainQueue_};
};

} // namespace

void catchTerminationSignals()
{
    posix::catchTerminationSignals();
}

bool claimSingleInstance()
{
    const posix::SingleInstance instance = posix::claimSingleInstance(posix::instancePlaces());
    if (instance.claim == posix::InstanceClaim::claimed) {
        instanceFolder() = instance.folder;
    }
    return instance.claim != posix::InstanceClaim::heldByAnother;
}

std::optional<ControlAnswer> askRunningInstance(const std::string& request, double seconds)
{
    const auto time = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    // Nothing is made on the way: each place that may hold the lock is asked in turn.
    for (const std::filesystem::path& folder : posix::instanceFolders(posix::instancePlaces())) {
        if (std::optional<ControlAnswer> answer =
                posix::askControlSocket(posix::controlSocketPath(folder), request, time)) {
            return answer;
        }
    }
    return std::nullopt;
}

std::string programVersion()
{
    return TOVRA_VERSION;
}

void postDesktopNotification(const std::string& applicationName, const std::string& summary,
                             const std::string& body)
{
    int argc = 1;
    char name[] = "tovra-bridge";
    char* argv[] = {name, nullptr};
    const QCoreApplication application(argc, argv);
    qt::postAndWait(QString::fromStdString(applicationName), summary, body, qt::SessionBus::kAnswerTime);
}

std::unique_ptr<Backends> makeBackends(int& argc, char** argv, const std::string& applicationName)
{
    // Qt's own warnings speak of Qt, not of this program; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(
        QStringLiteral("default.warning=false\nqt.*.warning=false\nqt.*.info=false"));
    return std::make_unique<LinuxBackends>(argc, argv, applicationName);
}

} // namespace tovra::platform
