#include "platform/freedesktop/tray_host_watcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace tovra::freedesktop {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

template <typename Reply> using XReply = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t* display, const std::string& name)
{
    const XReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            display, xcb_intern_atom(display, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

} // namespace

TrayHostWatcher::TrayHostWatcher(SessionBus& bus) : bus_(bus)
{
    connect(&bus_, &SessionBus::connected, this, &TrayHostWatcher::watchBus);
    if (bus_.connection()) {
        watchBus();
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        watchDisplay();
    }
}

TrayHostWatcher::~TrayHostWatcher()
{
    displayEvents_.reset();
    if (display_) {
        xcb_disconnect(display_);
    }
}

void TrayHostWatcher::watchBus()
{
    QDBusConnection bus = *bus_.connection();
    serviceWatcher_ =
        std::make_unique<QDBusServiceWatcher>(kWatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange);
    connect(serviceWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                if (owner.isEmpty()) {
                    update(false, xembedManager_);
                } else {
                    askStatusNotifierWatcher();
                }
            });
    // A host that comes after its watcher (a panel started apart, or restarted) says so here.
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
        bus.connect(kWatcherService, kWatcherPath, kWatcherService, QString::fromLatin1(signal), this,
                    SLOT(askStatusNotifierWatcher()));
    }
    askStatusNotifierWatcher();
}

void TrayHostWatcher::askStatusNotifierWatcher()
{
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(bus_.connection()->asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        update(reply.isValid() && reply.value().variant().toBool(), xembedManager_);
        finished->deleteLater();
    });
}

void TrayHostWatcher::watchDisplay()
{
    int screen = 0;
    display_ = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(display_)) {
        xcb_disconnect(display_);
        display_ = nullptr;
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(display_));
    for (int i = 0; i < screen && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    root_ = screens.data->root;
    selection_ = atom(display_, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    managerMessage_ = atom(display_, "MANAGER");
    // A new manager announces itself to the root window's structure listeners.
    const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(display_, root_, XCB_CW_EVENT_MASK, &events);
    displayEvents_ =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(display_), QSocketNotifier::Read);
    connect(displayEvents_.get(), &QSocketNotifier::activated, this, &TrayHostWatcher::readDisplay);
    findXembedManager();
    readDisplay();
}

void TrayHostWatcher::findXembedManager()
{
    const XReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(display_, xcb_get_selection_owner(display_, selection_), nullptr),
        &std::free);
    const xcb_window_t manager = owner ? owner->owner : XCB_NONE;
    if (manager != XCB_NONE) {
        // Its end comes as a DestroyNotify. One that ends before this lands is seen below.
        const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(display_, manager, XCB_CW_EVENT_MASK, &events);
    }
    const XReply<xcb_get_selection_owner_reply_t> still(
        xcb_get_selection_owner_reply(display_, xcb_get_selection_owner(display_, selection_), nullptr),
        &std::free);
    update(statusNotifierHost_, still && still->owner == manager ? manager : XCB_NONE);
}

void TrayHostWatcher::readDisplay()
{
    for (bool recheck = true; recheck;) {
        recheck = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(display_)) {
            const uint8_t type = event->response_type & 0x7F;
            if (type == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                recheck =
                    recheck || (message->type == managerMessage_ && message->data.data32[1] == selection_);
            } else if (type == XCB_DESTROY_NOTIFY) {
                recheck =
                    recheck || reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == xembedManager_;
            }
            std::free(event);
        }
        if (xcb_connection_has_error(display_)) {
            // The display is gone; so is its tray.
            displayEvents_.reset();
            update(statusNotifierHost_, XCB_NONE);
            return;
        }
        if (recheck) {
            findXembedManager();
        }
    }
}

void TrayHostWatcher::update(bool statusNotifierHost, std::uint32_t xembedManager)
{
    if (statusNotifierHost == statusNotifierHost_ && xembedManager == xembedManager_) {
        return;
    }
    statusNotifierHost_ = statusNotifierHost;
    xembedManager_ = xembedManager;
    Q_EMIT changed();
}

} // namespace tovra::freedesktop
