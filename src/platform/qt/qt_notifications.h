#pragma once

#include "platform/notifications.h"

#include <QString>

#include "platform/qt/session_bus.h"

namespace tovra::qt {

// Desktop notifications through org.freedesktop.Notifications on the session bus. A desktop
// session is one with a display (DISPLAY or WAYLAND_DISPLAY set).
class QtNotifications final : public platform::Notifications {
public:
    // Notifications come from `applicationName`; none is posted before `bus` is connected.
    QtNotifications(SessionBus& bus, QString applicationName);

    void post(const std::string& summary, const std::string& body) override;

private:
    SessionBus& bus_;
    QString applicationName_;
};

// One notification, for a process that makes no session bus of its own: sent once the bus has
// answered, waiting for its delivery, all within `time`.
void postAndWait(const QString& applicationName, const std::string& summary, const std::string& body,
                 std::chrono::milliseconds time);

} // namespace tovra::qt
