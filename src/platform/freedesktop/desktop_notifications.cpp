#include "platform/freedesktop/desktop_notifications.h"

#include "platform/diagnostics.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

namespace tovra::freedesktop {

namespace {

bool onDesktop()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QDBusMessage notify(const QString& applicationName, const QString& icon, const std::string& summary,
                    const std::string& body, const QStringList& actions = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // Application name, no notification to replace, icon, summary, body, actions (key, label, ...),
    // no hints, the server's own time-out.
    message << applicationName << 0U << icon << QString::fromUtf8(summary) << QString::fromUtf8(body)
            << actions << QVariantMap() << -1;
    return message;
}

} // namespace

DesktopNotifications::DesktopNotifications(SessionBus& bus, QString applicationName, QString icon)
    : bus_(bus), applicationName_(std::move(applicationName)),
      // A file's URI: the desktop shows it also where the icon is not in its theme.
      icon_(icon.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(icon).toString() : std::move(icon))
{
}

void DesktopNotifications::post(const std::string& summary, const std::string& body)
{
    // Also where no desktop shows it: for a terminal, a journal, a session over ssh.
    platform::warn(summary, ": ", body);
    if (const std::optional<QDBusConnection> bus = bus_.connection(); bus && onDesktop()) {
        bus->asyncCall(notify(applicationName_, icon_, summary, body));
    }
}

void DesktopNotifications::post(const std::string& summary, const std::string& body,
                                const std::string& actionLabel, std::function<void()> action)
{
    platform::warn(summary, ": ", body);
    std::optional<QDBusConnection> bus = bus_.connection();
    if (!bus || !onDesktop()) {
        return;
    }
    const QString path = QStringLiteral("/org/freedesktop/Notifications");
    const QString interface = QStringLiteral("org.freedesktop.Notifications");
    if (!listening_) {
        listening_ = bus->connect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                                  SLOT(actionInvoked(uint, QString)));
    }
    // A click on the notification ("default") and its button both take the action.
    const QString label = QString::fromStdString(actionLabel);
    const QDBusPendingCall call =
        bus->asyncCall(notify(applicationName_, icon_, summary, body,
                              {QStringLiteral("default"), label, QStringLiteral("show"), label}));
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, action = std::move(action)](QDBusPendingCallWatcher* finished) {
                         const QDBusPendingReply<uint> reply = *finished;
                         if (!reply.isError()) {
                             actions_[reply.value()] = action;
                         }
                         finished->deleteLater();
                     });
}

void DesktopNotifications::actionInvoked(uint id, const QString& /*key*/)
{
    const auto found = actions_.find(id);
    if (found != actions_.end()) {
        const std::function<void()> action = found->second; // a copy: it may post again
        action();
    }
}

void postAndWait(const QString& applicationName, const QString& icon, const std::string& summary,
                 const std::string& body, std::chrono::milliseconds time)
{
    const auto deadline = std::chrono::steady_clock::now() + time;
    if (!onDesktop() || !SessionBus::answers(time)) {
        return;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    QDBusConnection::sessionBus().call(notify(applicationName, icon, summary, body), QDBus::Block,
                                       static_cast<int>(std::max<long long>(left.count(), 1)));
}

} // namespace tovra::freedesktop
