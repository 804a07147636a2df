#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tovra::platform {

class Image {
public:
    virtual ~Image() = default;
};

// The platform's colours for an icon: green, or the grey of secondary text.
enum class TintColor { systemGreen, secondaryLabel };

// The check mark of a menu entry.
enum class ControlState { off, on };

// The clickable part of a status item.
class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    // None clears the image.
    virtual void setImage(std::shared_ptr<Image> image) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
    virtual void setContentTintColor(TintColor color) = 0;
};

// One entry of a menu. Changed in place; the desktop sees each change.
class MenuItem {
public:
    virtual ~MenuItem() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void setState(ControlState state) = 0;
};

class Menu {
public:
    virtual ~Menu() = default;
    virtual void addItem(std::shared_ptr<MenuItem> item) = 0;
    virtual void addSeparator() = 0;
};

// What the item's window shows besides the menu's status line and commands.
struct WindowContent {
    std::string explanation;   // one sentence: what the status line means and what to do next
    std::string primaryAction; // the title of the menu entry offered as the window's main button; "" for none
    std::string phoneLink;     // the private phone link, shown as a code to scan and as text; "" for none
    std::string noPhoneLink;   // said in the code's place while there is no link
    bool operator==(const WindowContent&) const = default;
};

// The item in the desktop's status area (tray, menu bar).
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // The item's button; may be null, for the life of the item.
    virtual StatusBarButton* button() = 0;
    // The menu opens when the item is clicked.
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
    // True while a tray host of the desktop shows the item.
    virtual bool isVisible() = 0;
    // The item's window: its image, the menu's first entry as its status line, and the menu's
    // commands, following every change. Shown on request and by a tray whose click is not for
    // the menu; closing it hides it.
    virtual void setWindowTitle(const std::string& title) = 0;
    virtual void setWindowContent(const WindowContent& content) = 0;
    virtual void showWindow() = 0;
    // `shown` runs on the main thread each time the window comes up, however it was asked for.
    virtual void setWindowShownHandler(std::function<void()> shown) = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    // A new status item, as wide as the bar is high; never null.
    virtual std::shared_ptr<StatusItem> statusItem() = 0;
    // The platform's image for a system symbol name; null for an unknown name.
    virtual std::shared_ptr<Image> systemSymbolImage(const std::string& name,
                                                     const std::string& accessibilityDescription) = 0;
    virtual std::shared_ptr<Menu> makeMenu() = 0;
    // An enabled entry. `action` runs on the main thread when the entry is chosen; an empty
    // action makes an entry that does nothing. `keyEquivalent` is a lower-case letter used
    // with the platform's default modifier, or "" for none.
    virtual std::shared_ptr<MenuItem> makeMenuItem(const std::string& title, std::function<void()> action,
                                                   const std::string& keyEquivalent) = 0;
};

} // namespace tovra::platform
