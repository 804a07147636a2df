#include "platform/qt/qt_notifications.h"

#include "platform/qt/diagnostics.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

namespace tovra::qt {

namespace {

// A desktop session whose bus this program reaches.
bool reachesDesktop(const QDBusConnection& bus)
{
    return (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) &&
           bus.isConnected();
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

QtNotifications::QtNotifications(QDBusConnection bus)
    : bus_(std::move(bus)), applicationName_(QGuiApplication::applicationDisplayName())
{
}

void QtNotifications::post(const std::string& summary, const std::string& body)
{
    // Also where no desktop shows it: for a terminal, a journal, a session over ssh.
    qCWarning(lcPlatform).noquote() << QString::fromStdString(summary + ": " + body);
    if (reachesDesktop(bus_)) {
        bus_.asyncCall(notify(applicationName_, summary, body));
    }
}

void QtNotifications::postAndWait(const std::string& summary, const std::string& body, int milliseconds)
{
    if (reachesDesktop(bus_)) {
        bus_.call(notify(applicationName_, summary, body), QDBus::Block, milliseconds);
    }
}

} // namespace tovra::qt
