#include "platform/freedesktop/xembed_tray_icon.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace tovra::freedesktop {

namespace {

constexpr uint32_t kRequestDock = 0;

template <typename Reply> using XReply = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_connection_t* qtDisplay()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* display, std::string_view name)
{
    const XReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            display, xcb_intern_atom(display, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// Whether the tray composes its icons with their alpha: the visual it names for them is 32 bits deep.
bool trayHasAlpha(xcb_connection_t* display, xcb_window_t manager)
{
    const XReply<xcb_get_property_reply_t> property(
        xcb_get_property_reply(display,
                               xcb_get_property(display, 0, manager, atom(display, "_NET_SYSTEM_TRAY_VISUAL"),
                                                XCB_ATOM_VISUALID, 0, 1),
                               nullptr),
        &std::free);
    if (!property || xcb_get_property_value_length(property.get()) != sizeof(xcb_visualid_t)) {
        return false;
    }
    const xcb_visualid_t visual = *static_cast<const xcb_visualid_t*>(xcb_get_property_value(property.get()));
    for (auto screen = xcb_setup_roots_iterator(xcb_get_setup(display)); screen.rem > 0;
         xcb_screen_next(&screen)) {
        for (auto depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem > 0;
             xcb_depth_next(&depth)) {
            for (auto each = xcb_depth_visuals_iterator(depth.data); each.rem > 0;
                 xcb_visualtype_next(&each)) {
                if (each.data->visual_id == visual) {
                    return depth.data->depth == 32;
                }
            }
        }
    }
    return false;
}

} // namespace

XEmbedTrayIcon::XEmbedTrayIcon(std::uint32_t manager)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint), manager_(manager)
{
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setAttribute(Qt::WA_QuitOnClose, false);
    // The size trays expect, which some take from the window as it asks for at least.
    setMinimumSize(22, 22);
    resize(22, 22);
    xcb_connection_t* display = qtDisplay();
    if (!display) {
        return;
    }
    // Without an alpha channel the tray's own background shows through the window (it takes its
    // parent's) and is copied once, for the icon to be drawn over it.
    const bool alpha = trayHasAlpha(display, manager);
    setAttribute(Qt::WA_TranslucentBackground, alpha);
    const auto window = static_cast<xcb_window_t>(winId());
    if (!alpha) {
        const uint32_t parentRelative = XCB_BACK_PIXMAP_PARENT_RELATIVE;
        xcb_change_window_attributes(display, window, XCB_CW_BACK_PIXMAP, &parentRelative);
    }
    // The tray maps the icon once it has taken it in (version 0, mapped). Mapped by this program
    // before that, it is docked a pixel wide by some trays (trayer, GTK's socket), and stays so.
    const uint32_t embedInfo[2] = {0, 1};
    const xcb_atom_t info = atom(display, "_XEMBED_INFO");
    xcb_change_property(display, XCB_PROP_MODE_REPLACE, window, info, info, 32, 2, embedInfo);
    xcb_client_message_event_t dock{};
    dock.response_type = XCB_CLIENT_MESSAGE;
    dock.format = 32;
    dock.window = manager;
    dock.type = atom(display, "_NET_SYSTEM_TRAY_OPCODE");
    dock.data.data32[0] = XCB_CURRENT_TIME;
    dock.data.data32[1] = kRequestDock;
    dock.data.data32[2] = window;
    QCoreApplication::instance()->installNativeEventFilter(this);
    xcb_send_event(display, 0, manager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&dock));
    xcb_flush(display);
}

XEmbedTrayIcon::~XEmbedTrayIcon()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool XEmbedTrayIcon::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/)
{
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if (eventType != "xcb_generic_event_t" || (event->response_type & 0x7F) != XCB_REPARENT_NOTIFY) {
        return false;
    }
    const auto* reparent = static_cast<const xcb_reparent_notify_event_t*>(message);
    if (reparent->window == static_cast<xcb_window_t>(winId()) && !isVisible()) {
        show();
    }
    return false;
}

void XEmbedTrayIcon::setIcon(const QIcon& icon)
{
    icon_ = icon;
    update();
}

void XEmbedTrayIcon::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    if (testAttribute(Qt::WA_TranslucentBackground)) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    } else {
        if (background_.isNull()) {
            if (xcb_connection_t* display = qtDisplay()) {
                xcb_clear_area(display, 0, static_cast<xcb_window_t>(winId()), 0, 0, 0,
                               0); // the whole window
            }
            background_ = screen()->grabWindow(winId());
        }
        painter.drawPixmap(0, 0, background_);
    }
    icon_.paint(&painter, rect());
}

void XEmbedTrayIcon::mousePressEvent(QMouseEvent* event)
{
    if (click_) {
        click_(event->globalPosition().toPoint());
    }
}

void XEmbedTrayIcon::resizeEvent(QResizeEvent* event)
{
    background_ = QPixmap();
    QWidget::resizeEvent(event);
}

} // namespace tovra::freedesktop
