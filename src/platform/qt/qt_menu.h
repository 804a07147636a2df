#pragma once

#include "platform/status_bar.h"

#include <QAction>
#include <QMenu>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovra::qt {

// One QAction. The item owns it; a QAction removes itself from its menu when deleted and a
// deleted QMenu forgets its actions, so item and menu may go in either order.
class QtMenuItem final : public platform::MenuItem {
public:
    QtMenuItem(const std::string& title, std::function<void()> action, const std::string& keyEquivalent);

    void setTitle(const std::string& title) override;
    void setEnabled(bool enabled) override;
    void setState(platform::ControlState state) override;

    QAction& action() { return action_; }

private:
    void trigger();

    QAction action_;
    std::function<void()> handler_;
    // What the program last set; Qt flips a checkable action on its own when it is chosen.
    std::optional<bool> checked_;
};

class QtMenu final : public platform::Menu, private QObject {
public:
    QtMenu();

    void addItem(std::shared_ptr<platform::MenuItem> item) override;
    void addSeparator() override;

    QMenu& menu() { return menu_; }

private:
    // An open menu takes the keyboard, and Qt gives a popup's shortcuts to no one: the menu
    // triggers an entry whose shortcut is pressed itself.
    bool eventFilter(QObject* watched, QEvent* event) override;

    QMenu menu_;
    // A menu keeps its items alive, as the program expects of a menu bar menu.
    std::vector<std::shared_ptr<platform::MenuItem>> items_;
};

// Escapes the mnemonic marker so a title shows exactly as written.
QString menuText(const std::string& title);

} // namespace tovra::qt
