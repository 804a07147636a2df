#pragma once

#include "platform/notifications.h"

#include <QDBusConnection>

namespace tovra::qt {

// Desktop notifications through org.freedesktop.Notifications on the session bus. A desktop
// session is one with a display (DISPLAY or WAYLAND_DISPLAY set).
class QtNotifications final : public platform::Notifications {
public:
    explicit QtNotifications(QDBusConnection bus = QDBusConnection::sessionBus());

    void post(const std::string& summary, const std::string& body) override;
    // The same, waiting at most `milliseconds` for the service to take it.
    void postAndWait(const std::string& summary, const std::string& body, int milliseconds);

    // The name the notifications come from; the application's display name by default.
    void setApplicationName(const QString& name) { applicationName_ = name; }

private:
    QDBusConnection bus_;
    QString applicationName_;
};

} // namespace tovra::qt
