#include "platform/qt/tray_host_watcher.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace tovra::qt {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// The XEmbed manager selection of the display's default screen.
std::string xembedSelection()
{
    const char* display = std::getenv("DISPLAY");
    std::string screen = "0";
    if (display) {
        const std::string name(display);
        const auto dot = name.rfind('.');
        if (dot != std::string::npos && dot > name.rfind(':')) {
            screen = name.substr(dot + 1);
        }
    }
    return "_NET_SYSTEM_TRAY_S" + screen;
}

} // namespace

TrayHostWatcher::TrayHostWatcher(QDBusConnection bus)
    : bus_(std::move(bus)),
      serviceWatcher_(kWatcherService, bus_,
                      QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration)
{
    connect(&serviceWatcher_, &QDBusServiceWatcher::serviceRegistered, this,
            &TrayHostWatcher::askStatusNotifierWatcher);
    connect(&serviceWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { update(statusNotifierHost_, false); });
    bus_.connect(kWatcherService, kWatcherPath, kWatcherService,
                 QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(askStatusNotifierWatcher()));
    askStatusNotifierWatcher();

    if (qGuiApp && qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        connect(&xembedPoll_, &QTimer::timeout, this, &TrayHostWatcher::checkXembedManager);
        xembedPoll_.start(500);
        checkXembedManager();
    }
}

void TrayHostWatcher::askStatusNotifierWatcher()
{
    if (!bus_.isConnected()) {
        return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        update(statusNotifierHost_, reply.isValid() && reply.value().variant().toBool());
        finished->deleteLater();
    });
}

void TrayHostWatcher::checkXembedManager()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        return;
    }
    const std::string selection = xembedSelection();
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<uint16_t>(selection.size()), selection.data()),
            nullptr),
        &std::free);
    if (!atom) {
        return;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr),
        &std::free);
    update(xembedManager_, owner && owner->owner != XCB_NONE);
}

void TrayHostWatcher::update(bool& flag, bool present)
{
    const bool before = hostPresent();
    flag = present;
    if (!before && hostPresent()) {
        emit hostAppeared();
    }
}

} // namespace tovra::qt
