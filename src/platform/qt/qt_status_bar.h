#pragma once

#include "platform/status_bar.h"

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QSystemTrayIcon>

#include <memory>
#include <string>
#include <vector>

namespace tovra::qt {

// A monochrome SVG symbol; only its shape counts, the tint gives the colour.
class QtImage final : public platform::Image {
public:
    explicit QtImage(QByteArray svg);

    // The symbol filled with `tint`, rendered at the sizes trays ask for.
    QIcon tinted(const QColor& tint) const;

private:
    QByteArray svg_;
};

QColor tintColor(platform::TintColor color);

class QtStatusBarButton final : public platform::StatusBarButton {
public:
    explicit QtStatusBarButton(QSystemTrayIcon& trayIcon);

    void setImage(std::shared_ptr<platform::Image> image) override;
    void setToolTip(const std::string& toolTip) override;
    void setContentTintColor(platform::TintColor color) override;

private:
    void updateIcon();

    QSystemTrayIcon& trayIcon_;
    std::shared_ptr<QtImage> image_;
    // An untinted button draws in grey, which shows on dark and light panels alike.
    platform::TintColor tint_ = platform::TintColor::secondaryLabel;
};

class QtStatusItem final : public platform::StatusItem {
public:
    QtStatusItem();

    platform::StatusBarButton* button() override { return &button_; }
    void setMenu(std::shared_ptr<platform::Menu> menu) override;

    QSystemTrayIcon& trayIcon() { return *trayIcon_; }

private:
    void popUpMenu();

    // Declared first so they are destroyed last: the platform's tray (dbusmenu) may still
    // point at every menu it was given until the tray icon itself is gone.
    std::vector<std::shared_ptr<platform::Menu>> menus_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QtStatusBarButton button_;
};

class QtStatusBar final : public platform::StatusBar {
public:
    QtStatusBar();

    std::shared_ptr<platform::StatusItem> statusItem(double length) override;
    std::shared_ptr<platform::Image> systemSymbolImage(const std::string& name,
                                                       const std::string& accessibilityDescription) override;
    std::shared_ptr<platform::Menu> makeMenu() override;
    std::shared_ptr<platform::MenuItem> makeMenuItem(const std::string& title, std::function<void()> action,
                                                     const std::string& keyEquivalent) override;
};

} // namespace tovra::qt
