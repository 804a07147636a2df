#pragma once

#include <QDBusServiceWatcher>
#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <memory>

#include "platform/freedesktop/session_bus.h"

struct xcb_connection_t;

namespace tovra::freedesktop {

// Watches for the desktop's tray hosts, whenever they come and go: a StatusNotifierWatcher on the
// session bus with a host registered with it, and an XEmbed tray manager on the X display (on
// Qt's xcb platform only). Both are followed by what they announce (the watcher's and the bus's
// signals, the manager's MANAGER message and its window's end), never by asking over and over.
class TrayHostWatcher : public QObject {
    Q_OBJECT

public:
    explicit TrayHostWatcher(SessionBus& bus);
    ~TrayHostWatcher() override;

    bool statusNotifierHost() const { return statusNotifierHost_; }
    // The XEmbed tray manager's window; 0 while there is none.
    std::uint32_t xembedManager() const { return xembedManager_; }

Q_SIGNALS:
    // Either of the two has changed.
    void changed();

private Q_SLOTS:
    // A slot, so that the bus's signals can reach it.
    void askStatusNotifierWatcher();

private:
    void watchBus();
    void watchDisplay();
    void readDisplay();
    void findXembedManager();
    void update(bool statusNotifierHost, std::uint32_t xembedManager);

    SessionBus& bus_;
    std::unique_ptr<QDBusServiceWatcher> serviceWatcher_;
    xcb_connection_t* display_ = nullptr;
    std::unique_ptr<QSocketNotifier> displayEvents_;
    std::uint32_t selection_ = 0; // the atoms _NET_SYSTEM_TRAY_S<screen> and MANAGER
    std::uint32_t managerMessage_ = 0;
    std::uint32_t root_ = 0;
    bool statusNotifierHost_ = false;
    std::uint32_t xembedManager_ = 0;
};

} // namespace tovra::freedesktop
