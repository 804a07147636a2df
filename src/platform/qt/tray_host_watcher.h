#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>

namespace tovra::qt {

// Watches for a tray host that can show status items: a StatusNotifierWatcher with a host on the
// session bus, or an XEmbed tray manager on the X display. It asks the bus and the display
// directly: Qt decides once, when the first tray icon is made, between the two kinds, so no
// tray icon may be made before a host is there.
class TrayHostWatcher : public QObject {
    Q_OBJECT

public:
    explicit TrayHostWatcher(QDBusConnection bus = QDBusConnection::sessionBus());

    bool hostPresent() const { return statusNotifierHost_ || xembedManager_; }

signals:
    // Each time hostPresent() turns true.
    void hostAppeared();

private:
    void askStatusNotifierWatcher();
    void checkXembedManager();
    void update(bool& flag, bool present);

    QDBusConnection bus_;
    QDBusServiceWatcher serviceWatcher_;
    QTimer xembedPoll_;
    bool statusNotifierHost_ = false;
    bool xembedManager_ = false;
};

} // namespace tovra::qt
