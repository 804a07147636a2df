#pragma once

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tovra::freedesktop {

// The desktop session's bus, reached without ever holding up the main thread. Connecting to a bus
// blocks until the bus answers, and one that is stopped, or a socket that accepts and never speaks,
// answers only when libdbus gives up, 25 s on. So a thread of the bus's own first asks it, on a
// socket of its own, to authenticate this user (the first thing a bus answers), and connects only
// to a bus that answered in time; one that did not is asked again later, less and less often.
// Without an address nothing is tried: no bus is launched on the program's behalf.
//
// Make and destroy it on the main thread, with the QCoreApplication alive.
class SessionBus : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kAnswerTime{300};

    SessionBus();
    // Returns once the thread has ended: within kAnswerTime, unless it is connecting just then.
    ~SessionBus() override;

    // The connected bus; none until connected() has been signalled.
    std::optional<QDBusConnection> connection() const { return connection_; }

    // True once connected() or unanswered() has been signalled, or from the start when no bus is
    // named: from then on nothing that reaches for the bus on the main thread waits for it.
    bool settled() const { return settled_ || addresses_.empty(); }

    // Whether the session bus of this process's environment answers within `time`; the
    // connection is left to QDBusConnection::sessionBus(). Blocks the caller for at most `time`.
    static bool answers(std::chrono::milliseconds time);

Q_SIGNALS:
    // Once, on the main thread, when the bus is connected.
    void connected();
    // Once, on the main thread, when a bus is named but did not answer in time, the first time.
    void unanswered();

private:
    void reach();

    // Read once, on the main thread: nothing reads the environment on the thread.
    const std::vector<std::pair<std::string, bool>> addresses_;
    std::optional<QDBusConnection> connection_;
    bool settled_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// The sockets a DBUS_SESSION_BUS_ADDRESS value names, in its order, as (path, abstract); an empty
// path stands for a TCP address, taken on trust. A unix address whose path is escaped wrongly
// (a % without two hex digits) is skipped, as is one that would launch a bus.
std::vector<std::pair<std::string, bool>> busAddressesOf(std::string_view addresses);

// Qt's accessibility bridge reaches the accessibility bus through the session bus, connecting on
// the main thread the first time anything asks whether accessibility is on (QGuiApplication::exec
// asks at once). So the loop is run without exec, and the bridge is made here: on the session bus
// once it is connected; without it when it does not answer, so that nothing waits for it later.
void makeAccessibilityBridge(SessionBus& bus);

} // namespace tovra::freedesktop
