#pragma once

#include "platform/notifications.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>

#include "platform/freedesktop/session_bus.h"

namespace tovra::freedesktop {

// Desktop notifications through org.freedesktop.Notifications on the session bus. A desktop
// session is one with a display (DISPLAY or WAYLAND_DISPLAY set).
class DesktopNotifications final : public QObject, public platform::Notifications {
    Q_OBJECT

public:
    // Notifications come from `applicationName`, with the icon at `icon` (a file's path, else the
    // icon theme's name); none is posted before `bus` is connected.
    DesktopNotifications(SessionBus& bus, QString applicationName, QString icon);

    void post(const std::string& summary, const std::string& body) override;
    void post(const std::string& summary, const std::string& body, const std::string& actionLabel,
              std::function<void()> action) override;

private Q_SLOTS:
    void actionInvoked(uint id, const QString& key);

private:
    SessionBus& bus_;
    QString applicationName_;
    QString icon_;
    bool listening_ = false;
    // The notifications with an action, by the id the server gave them.
    std::map<uint, std::function<void()>> actions_;
};

// One notification, for a process that makes no session bus of its own: sent once the bus has
// answered, waiting for its delivery, all within `time`. `icon` as for DesktopNotifications.
void postAndWait(const QString& applicationName, const QString& icon, const std::string& summary,
                 const std::string& body, std::chrono::milliseconds time);

} // namespace tovra::freedesktop
