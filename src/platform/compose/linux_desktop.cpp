// The Linux desktop's backend set, composed: portable POSIX and Qt, Linux's own calls, and the
// freedesktop.org conventions (D-Bus, XDG, XEmbed) between them. Only this file knows them all; the
// process entry reaches it only through platform/process_entry.h.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/compose/display_choice.h"
#include "platform/compose/instance_claim.h"
#include "platform/diagnostics.h"
#include "platform/freedesktop/desktop_notifications.h"
#include "platform/freedesktop/desktop_workspace.h"
#include "platform/freedesktop/session_bus.h"
#include "platform/freedesktop/tray_host_watcher.h"
#include "platform/freedesktop/user_directories.h"
#include "platform/freedesktop/xdg_login_service.h"
#include "platform/freedesktop/xembed_tray_icon.h"
#include "platform/linux/control_socket.h"
#include "platform/linux/display_wait.h"
#include "platform/linux/executable_bundle.h"
#include "platform/linux/linux_task.h"
#include "platform/linux/loopback_listener.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/instance_lock.h"
#include "platform/posix/posix_file_manager.h"
#include "platform/posix/posix_process_info.h"
#include "platform/posix/posix_url_session.h"
#include "platform/posix/system_clock.h"
#include "platform/posix/termination_signals.h"
#include "platform/process_entry.h"
#include "platform/qrencode/qr_matrix.h"
#include "platform/qt/qt_alerts.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_user_defaults.h"
#include "platform/qt/tray_hosts.h"

Q_LOGGING_CATEGORY(lcPlatform, "tovra.platform")

namespace tovra::platform {

namespace {

// Who the program is to the system, said once here: the backends are told.
struct Identity {
    // The command and the name its files go by (TOVRA_NAME, from the build).
    static constexpr const char* name = TOVRA_NAME;
    // Its folder among the user's places (logs, settings).
    static constexpr const char* folder = "Tovra";
    static constexpr const char* settingsFile = "Tovra Bridge.conf";
    // What its login entry says it does.
    static constexpr const char* comment = "Keeps the Tovra bridge server running";
};

// Backends say why an operation failed in Qt's logging, where QT_LOGGING_RULES reaches them.
void toQtLogging(std::string_view line)
{
    qCWarning(lcPlatform).noquote() << QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}
// Routed before main runs, ahead of every thread.
[[maybe_unused]] const bool warningsRouted = [] {
    warningSink() = toQtLogging;
    return true;
}();

// How often a start that finds the lock held but no socket looks for the socket again.
constexpr std::chrono::milliseconds kSocketRetry{20};

// How long a display named by the environment may take to come.
constexpr std::chrono::milliseconds kDisplayWait{30000};

// How long the bridge server's tree has to end after its SIGTERM before what is left is killed.
constexpr std::chrono::milliseconds kTreeGrace{5000};

// What stands here for the words of a Mac's.
Words linuxWords()
{
    return {"Open Controller on This Computer",
            "Tovra\u2019s bridge files are incomplete. Reinstall Tovra and start it again."};
}

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "(unset)";
}

// A display that the environment names but that takes no clients yet (a login often starts
// programs before the compositor) is waited for; Qt would abort without it. One that does not come
// in time, or that Qt cannot open after all, leaves the program on the offscreen platform, where it
// supervises the bridge all the same, without a tray. Chosen on the command line Qt reads, not in
// the environment, which the bridge server inherits.
std::string choosePlatform(bool& displayExpected)
{
    const std::string preferred = preferredPlatform(DisplayEnvironment::ofProcess());
    const std::string first = preferred.substr(0, preferred.find(';'));
    displayExpected = false;
    if (first == "offscreen") {
        return preferred;
    }
    const char* name = first == "xcb" ? "DISPLAY" : "WAYLAND_DISPLAY";
    switch (linuxos::waitForDisplay(first, kDisplayWait, posix::terminationSignalDescriptor())) {
    case linuxos::DisplayWait::ready:
        displayExpected = true;
        return preferred + ";offscreen";
    case linuxos::DisplayWait::interrupted: // the signal ends the program before it starts anything
        return "offscreen";
    case linuxos::DisplayWait::unusable:
        warn("no display: ", name, " ", variable(name),
             " names none; running without a display, so without a tray");
        return "offscreen";
    case linuxos::DisplayWait::timedOut:
        break;
    }
    warn("no display: ", name, " ", variable(name), " took no clients within ",
         std::to_string(kDisplayWait.count() / 1000), " s; running without a display, so without a tray");
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
// <prefix>/libexec/<name>. The bundle and the login entry go by it.
std::optional<std::filesystem::path> program()
{
    const std::optional<std::filesystem::path> application = linuxos::ExecutableBundle::currentExecutable();
    if (!application) {
        return std::nullopt;
    }
    return application->parent_path().parent_path().parent_path() / "bin" / Identity::name;
}

// The application's icon as installed beside the program, for notifications; else the theme's name.
QString applicationIconFile(const std::optional<std::filesystem::path>& launcher)
{
    const std::filesystem::path icon = launcher ? launcher->parent_path().parent_path() /
                                                      "share/icons/hicolor/scalable/apps" /
                                                      (std::string(Identity::name) + ".svg")
                                                : std::filesystem::path();
    std::error_code error;
    return launcher && std::filesystem::is_regular_file(icon, error) ? QString::fromStdString(icon.string())
                                                                     : QString::fromUtf8(Identity::name);
}

std::string settingsFile()
{
    const std::filesystem::path config = freedesktop::configDirectory();
    return config.empty() ? std::string() : (config / Identity::folder / Identity::settingsFile).string();
}

// The user's places by the XDG base directories: logs in $XDG_STATE_HOME/Tovra, data in $XDG_DATA_HOME.
posix::UserPlaces userPlaces()
{
    const std::filesystem::path state = freedesktop::stateDirectory();
    return {freedesktop::homeDirectory(), state.empty() ? state : state / Identity::folder,
            freedesktop::dataDirectory()};
}

// The places the single-instance lock is kept: /tmp, the runtime folder the login manager makes for
// the user (which a start from cron or su, without $XDG_RUNTIME_DIR, still finds), $XDG_RUNTIME_DIR
// and $XDG_CACHE_HOME.
posix::InstancePlaces instancePlaces()
{
    return {"/tmp", "/run/user", freedesktop::runtimeDirectory(), freedesktop::cacheDirectory(),
            Identity::name};
}

// Work due later wakes the loop by a timerfd, to the kernel's nanosecond.
std::unique_ptr<qt::WakeUpTimer> timerFd(double seconds)
{
    struct TimerFdWakeUp final : qt::WakeUpTimer {
        explicit TimerFdWakeUp(linuxos::TimerFd timer) : timer(std::move(timer)) {}
        int descriptor() const override { return timer.descriptor(); }
        linuxos::TimerFd timer;
    };
    std::optional<linuxos::TimerFd> timer = linuxos::TimerFd::after(seconds);
    return timer ? std::make_unique<TimerFdWakeUp>(std::move(*timer)) : nullptr;
}

// The guard the bridge server runs under: beside the application.
std::filesystem::path guardProgram()
{
    const std::optional<std::filesystem::path> application = linuxos::ExecutableBundle::currentExecutable();
    return application ? application->parent_path() / TOVRA_GUARD_NAME : std::filesystem::path();
}

// The task launcher's descriptors, watched by the loop. A notifier is let go of later, as it may
// be in its own call; `context` takes those the loop has no time left to.
linuxos::DescriptorWatches descriptorWatches(QObject& context)
{
    struct NotifierWatch final : linuxos::DescriptorWatch {
        NotifierWatch(int descriptor, std::function<void()> readable, QObject& context)
            : notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, &context))
        {
            QObject::connect(notifier, &QSocketNotifier::activated, notifier, std::move(readable));
        }
        ~NotifierWatch() override
        {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
        QSocketNotifier* notifier;
    };
    return [&context](int descriptor,
                      std::function<void()> readable) -> std::unique_ptr<linuxos::DescriptorWatch> {
        return std::make_unique<NotifierWatch>(descriptor, std::move(readable), context);
    };
}

// The phone link as a QR code for the window, by libqrencode.
qt::QrCode qrCode(const std::string& text)
{
    qrencode::Matrix matrix = qrencode::encode(text);
    return {matrix.size, std::move(matrix.dark)};
}

// An icon docked in an XEmbed tray, for the status item.
class XEmbedDock final : public qt::DockedIcon {
public:
    explicit XEmbedDock(std::uint32_t manager) : icon_(manager) {}
    void setIcon(const QIcon& icon) override { icon_.setIcon(icon); }
    void setToolTip(const QString& toolTip) override { icon_.setToolTip(toolTip); }
    void onClick(std::function<void(QPoint)> click) override { icon_.onClick(std::move(click)); }

private:
    freedesktop::XEmbedTrayIcon icon_;
};

// The trays of a freedesktop.org desktop: a StatusNotifier host shows Qt's tray icon; an XEmbed tray
// takes an icon docked in it. Settled once the session bus has answered or been given up on.
class FreedesktopTrays final : public qt::TrayHosts {
public:
    explicit FreedesktopTrays(freedesktop::SessionBus& bus) : bus_(bus), watcher_(bus)
    {
        // First: Qt's accessibility bridge must be made as the bus settles, before settledNow lets
        // a window show (its first showing would make the bridge, waiting for a stalled bus).
        freedesktop::makeAccessibilityBridge(bus_);
        QObject::connect(&watcher_, &freedesktop::TrayHostWatcher::changed, this, &qt::TrayHosts::changed);
        for (const auto signal :
             {&freedesktop::SessionBus::connected, &freedesktop::SessionBus::unanswered}) {
            QObject::connect(&bus_, signal, this, &qt::TrayHosts::settledNow);
        }
    }

    bool showsTrayIcon() const override { return watcher_.statusNotifierHost(); }
    std::uint64_t otherTray() const override { return watcher_.xembedManager(); }
    std::unique_ptr<qt::DockedIcon> dockIn(std::uint64_t key) override
    {
        return std::make_unique<XEmbedDock>(static_cast<std::uint32_t>(key));
    }
    bool settled() const override { return bus_.settled(); }

private:
    freedesktop::SessionBus& bus_;
    freedesktop::TrayHostWatcher watcher_;
};

class LinuxBackends final : public Backends {
public:
    LinuxBackends(HeldInstance instance, int argc, char** argv, const std::string& applicationName)
        : instance_(std::move(instance)), platform_(choosePlatform(displayExpected_)),
          arguments_(withPlatform(argc, argv, platform_)), argc_(static_cast<int>(arguments_.size()) - 1),
          application_(argc_, arguments_.data(),
                       {posix::terminationSignalDescriptor(), posix::takeTerminationSignals}),
          bundle_(program_.value_or(std::filesystem::path()), Identity::name, TOVRA_VERSION),
          trays_(sessionBus_), statusBar_(trays_, qrCode), workspace_(sessionBus_),
          userDefaults_(QString::fromStdString(settingsFile())),
          loginService_({Identity::name, applicationName, Identity::comment}, program_,
                        freedesktop::configDirectory() / "autostart", workspace_),
          notifications_(sessionBus_, QString::fromStdString(applicationName), applicationIconFile(program_))
    {
        QGuiApplication::setApplicationDisplayName(QString::fromStdString(applicationName));
        QGuiApplication::setDesktopFileName(QString::fromUtf8(Identity::name));
        QGuiApplication::setWindowIcon(qt::applicationIcon());
        if (displayExpected_ && QGuiApplication::platformName() == QLatin1String("offscreen")) {
            warn("cannot open the display; running without one, so without a tray");
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
    HeldInstance instance_;               // held until everything else has gone
    posix::PosixProcessInfo processInfo_; // the environment as the program got it
    const std::optional<std::filesystem::path> program_ = program();
    bool displayExpected_ = false;
    std::string platform_;
    std::vector<char*> arguments_;
    int argc_;
    qt::QtApplication application_;
    freedesktop::SessionBus sessionBus_; // before everything that uses the bus, after the application
    qt::QtMainQueue mainQueue_{timerFd};
    posix::SystemClock clock_;
    posix::PosixFileManager fileManager_{userPlaces(), linuxos::renameExclusive};
    QObject watchContext_; // before the launcher, whose watches it holds
    linuxos::LinuxTaskLauncher taskLauncher_{{guardProgram(), kTreeGrace, descriptorWatches(watchContext_)}};
    linuxos::ExecutableBundle bundle_;
    FreedesktopTrays trays_;
    qt::QtStatusBar statusBar_;
    qt::QtAlerts alerts_;
    freedesktop::DesktopWorkspace workspace_;
    qt::QtPasteboard pasteboard_;
    qt::QtUserDefaults userDefaults_;
    posix::PosixUrlSession urlSession_{[check = std::make_shared<linuxos::OwnedListenerCheck>()](
                                           int pid, int port) { return (*check)(pid, port); }};
    freedesktop::XdgLoginService loginService_;
    freedesktop::DesktopNotifications notifications_;
    linuxos::LinuxNetwork network_;
    // Last: gone first, before the main queue its requests go through.
    linuxos::ControlSocket controlSocket_{std::move(instance_->listeners), mainQueue_};
};

} // namespace

void catchTerminationSignals()
{
    posix::catchTerminationSignals();
}

void endOnTerminationSignals()
{
    posix::endOnTerminationSignals();
}

HeldInstance claimSingleInstance()
{
    return claimInstance(instancePlaces());
}

ControlReply askRunningInstance(const std::string& request, double seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    const posix::InstancePlaces places = instancePlaces();
    const std::vector<std::filesystem::path> folders = posix::instanceFolders(places);
    for (;;) {
        // Nothing is made on the way: each place that may hold the lock is asked in turn.
        for (const std::filesystem::path& folder : folders) {
            const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                                       std::chrono::milliseconds(0));
            if (ControlReply reply = linuxos::askControlSocket(folder, places.name, request, left);
                reply.from != ControlReply::From::nobody) {
                return reply;
            }
        }
        // No socket takes the request, but a lock held is an instance all the same: one that has
        // taken its lock and is about to make its socket, or one whose socket could not be made.
        const bool held =
            std::any_of(folders.begin(), folders.end(), [&](const std::filesystem::path& folder) {
                return posix::isInstanceLockHeld(folder, places.name);
            });
        if (!held) {
            return {};
        }
        if (Clock::now() >= deadline) {
            return {ControlReply::From::silent, {}};
        }
        std::this_thread::sleep_for(kSocketRetry);
    }
}

std::string programVersion()
{
    return TOVRA_VERSION;
}

void postDesktopNotification(const std::string& applicationName, const std::string& summary,
                             const std::string& body)
{
    int argc = 1;
    std::string name = Identity::name;
    char* argv[] = {name.data(), nullptr};
    const QCoreApplication application(argc, argv);
    freedesktop::postAndWait(QString::fromStdString(applicationName), QString::fromUtf8(Identity::name),
                             summary, body, freedesktop::SessionBus::kAnswerTime);
}

std::unique_ptr<Backends> makeBackends(HeldInstance instance, int& argc, char** argv,
                                       const std::string& applicationName)
{
    // Qt's own warnings speak of Qt, not of this program; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(
        QStringLiteral("default.warning=false\nqt.*.warning=false\nqt.*.info=false"));
    return std::make_unique<LinuxBackends>(std::move(instance), argc, argv, applicationName);
}

} // namespace tovra::platform
