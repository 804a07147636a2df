#include "platform/qt/qt_notifications.h"

#include "platform/qt/diagnostics.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

namespace tovra::qt {

namespace {

bool onDesktop()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QDBusMessage notify(const QString& applicationName, const std::string& summary, const std::string& body)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // Application name, no notification to replace, icon, summary, body, no actions, no hints, the
    // server's own time-out.
    message << applicationName << 0U << QStringLiteral("tovra-bridge") << QString::fromUtf8(summary)
            << QString::fromUtf8(body) << QStringList() << QVariantMap() << -1;
    return message;
}

} // namespace

QtNotifications::QtNotifications(SessionBus& bus, QString applicationName)
    : bus_(bus), applicationName_(std::move(applicationName))
{
}

void QtNotifications::post(const std::string& summary, const std::string& body)
{
    // Also where no desktop shows it: for a terminal, a journal, a session over ssh.
    qCWarning(lcPlatform).noquote() << QString::fromStdString(summary + ": " + body);
    if (const std::optional<QDBusConnection> bus = bus_.connection(); bus && onDesktop()) {
        bus->asyncCall(notify(applicationName_, summary, body));
    }
}

void postAndWait(const QString& applicationName, const std::string& summary, const std::string& body,
                 std::chrono::milliseconds time)
{
    const auto deadline = std::chrono::steady_clock::now() + time;
    if (!onDesktop() || !SessionBus::answers(time)) {
        return;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    QDBusConnection::sessionBus().call(notify(applicationName, summary, body), QDBus::Block,
                                       static_cast<int>(std::max<long long>(left.count(), 1)));
}

} // namespace tovra::qt
