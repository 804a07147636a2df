#include "platform/qt/qt_menu.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QString>

#include <utility>

namespace tovra::qt {

namespace {

// Mac key equivalents: a lower-case letter means Command+letter, an upper-case one adds Shift.
// Qt's Ctrl is Command on a Mac and Control elsewhere.
QKeySequence shortcutFor(const std::string& keyEquivalent)
{
    if (keyEquivalent.empty()) {
        return {};
    }
    const QString key = QString::fromUtf8(keyEquivalent);
    const bool shifted = key.size() == 1 && key.at(0).isUpper();
    const QString modifiers = shifted ? QStringLiteral("Ctrl+Shift+") : QStringLiteral("Ctrl+");
    return QKeySequence(modifiers + key.toUpper(), QKeySequence::PortableText);
}

} // namespace

QString menuText(const std::string& title)
{
    return QString::fromUtf8(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QtMenuItem::QtMenuItem(const std::string& title, std::function<void()> action,
                       const std::string& keyEquivalent)
    : action_(menuText(title)), handler_(std::move(action))
{
    action_.setShortcut(shortcutFor(keyEquivalent));
    action_.setShortcutVisibleInContextMenu(true);
    QObject::connect(&action_, &QAction::triggered, &action_, [this] { trigger(); });
}

void QtMenuItem::trigger()
{
    if (checked_) {
        action_.setChecked(*checked_);
    }
    // A copy: the handler may drop the last reference to this item.
    if (const std::function<void()> handler = handler_) {
        handler();
    }
}

void QtMenuItem::setTitle(const std::string& title)
{
    action_.setText(menuText(title));
}

void QtMenuItem::setEnabled(bool enabled)
{
    action_.setEnabled(enabled);
}

void QtMenuItem::setState(platform::ControlState state)
{
    checked_ = state == platform::ControlState::on;
    action_.setCheckable(true);
    action_.setChecked(*checked_);
}

QtMenu::QtMenu()
{
    menu_.installEventFilter(this);
}

bool QtMenu::eventFilter(QObject* /*watched*/, QEvent* event)
{
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (QAction* action : menu_.actions()) {
        if (action->isEnabled() && !action->shortcut().isEmpty() && action->shortcut() == pressed) {
            menu_.close();
            action->trigger();
            return true;
        }
    }
    return false;
}

void QtMenu::addItem(std::shared_ptr<platform::MenuItem> item)
{
    const auto qtItem = std::dynamic_pointer_cast<QtMenuItem>(item);
    if (!qtItem) {
        return;
    }
    menu_.addAction(&qtItem->action());
    items_.push_back(std::move(item));
}

void QtMenu::addSeparator()
{
    menu_.addSeparator();
}

} // namespace tovra::qt
