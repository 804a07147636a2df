#pragma once

#include "platform/status_bar.h"

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/qt/status_window.h"
#include "platform/qt/tray_hosts.h"

class QMenu;

namespace tovra::qt {

// A monochrome SVG symbol; only its shape counts, the tint gives the colour. A symbol may have a
// second shape for its green tint's absence (the sliders at rest), so that the states differ by
// more than colour.
class QtImage final : public platform::Image {
public:
    explicit QtImage(QByteArray svg, QByteArray restingSvg = {});

    // The symbol filled with `tint` inside a black outline, rendered at the sizes trays ask for, in its
    // resting shape unless `active`. Each is rendered once: the icon changes with every start and stop of the
    // server, on the way to a relaunch.
    // Without `outlined`, the shape alone: for a window, whose background is known.
    QIcon tinted(const QColor& tint, bool active = true, bool outlined = true) const;

private:
    QByteArray svg_;
    QByteArray restingSvg_;
    mutable std::map<std::tuple<QRgb, bool, bool>, QIcon> rendered_;
};

// The platform colours: green #34C759 and grey #AEAEB2. With the black outline every symbol gets,
// one of the two stands out by 3:1 at least from any panel, white, black or a grey between: the
// panel's colour is not known (the palette Qt reports is not the panel's).
QColor tintColor(platform::TintColor color);
inline const QColor kOutline{0, 0, 0};

// The application's own icon, in colour: for its windows.
QIcon applicationIcon();

class QtStatusItem;

class QtStatusBarButton final : public platform::StatusBarButton {
public:
    explicit QtStatusBarButton(QtStatusItem& item) : item_(item) {}

    void setImage(std::shared_ptr<platform::Image> image) override;
    void setToolTip(const std::string& toolTip) override;
    void setContentTintColor(platform::TintColor color) override;
    void updateIcon();

private:
    QtStatusItem& item_;
    std::shared_ptr<QtImage> image_;
    // An untinted button draws in grey, which shows on dark and light panels alike.
    platform::TintColor tint_ = platform::TintColor::secondaryLabel;
};

// The item keeps its icon, tooltip and menu itself and shows them in whatever tray the desktop has,
// whenever it comes: a QSystemTrayIcon where a host shows it (made once one is there, it then
// follows the host's restarts), else an icon docked in a tray of the other kind.
class QtStatusItem final : public platform::StatusItem {
public:
    QtStatusItem(TrayHosts& hosts, QrEncoder encoder);
    ~QtStatusItem() override;

    platform::StatusBarButton* button() override { return &button_; }
    void setMenu(std::shared_ptr<platform::Menu> menu) override;
    bool isVisible() override;
    void setWindowTitle(const std::string& title) override;
    void setWindowContent(const platform::WindowContent& content) override;
    void showWindow() override;
    void setWindowShownHandler(std::function<void()> shown) override;

    // The tray's icon, and the window's.
    void setIcon(const QIcon& icon, const QIcon& windowIcon);
    void setToolTip(const QString& toolTip);
    // Null until a tray host has appeared.
    QSystemTrayIcon* trayIcon() { return trayIcon_.get(); }
    const QIcon& icon() const { return icon_; }
    const QString& toolTip() const { return toolTip_; }

private:
    void followHosts();
    void popUpMenu(QPoint at);

    TrayHosts& hosts_;
    QrEncoder encoder_;
    QObject context_; // ends the watch on the hosts with the item
    QIcon icon_;
    QIcon windowIcon_;
    QString toolTip_;
    // Declared before the tray icon so they are destroyed after it: the platform's tray
    // (dbusmenu) may still point at every menu it was given until the tray icon is gone.
    std::vector<std::shared_ptr<platform::Menu>> menus_;
    QPointer<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<DockedIcon> dockedIcon_;
    std::uint64_t dockedIn_ = 0; // the tray of the docked icon
    QString windowTitle_;
    platform::WindowContent windowContent_;
    std::function<void()> windowShown_;
    std::unique_ptr<StatusWindow> window_; // made when first shown
    bool showWhenSettled_ = false;
    QtStatusBarButton button_{*this};
};

class QtStatusBar final : public platform::StatusBar {
public:
    // `encoder` draws the phone link as a code in the items' windows; none shows the link as text only.
    explicit QtStatusBar(TrayHosts& hosts, QrEncoder encoder = {});

    std::shared_ptr<platform::StatusItem> statusItem() override;
    std::shared_ptr<platform::Image> systemSymbolImage(const std::string& name,
                                                       const std::string& accessibilityDescription) override;
    std::shared_ptr<platform::Menu> makeMenu() override;
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::function<void()> action,
                                                     const std::string& keyEquivalent) override;

private:
    TrayHosts& hosts_;
    QrEncoder encoder_;
};

} // namespace tovra::qt
