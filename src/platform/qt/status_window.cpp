#include "platform/qt/status_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QFont>
#include <QHBoxLayout>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace tovra::qt {

namespace {

constexpr int kIconSize = 48;

// A menu's text as a label shows it: "&&" is a menu's way to write "&".
QString plain(const QAction& action)
{
    return action.text().replace(QLatin1String("&&"), QLatin1String("&"));
}

} // namespace

StatusWindow::StatusWindow(QMenu& menu, const QString& title) : menu_(&menu)
{
    setWindowTitle(title);
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    icon_.setFixedSize(kIconSize, kIconSize);
    QFont bold = status_.font();
    bold.setBold(true);
    status_.setFont(bold);
    status_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    header->addWidget(&icon_);
    header->addWidget(&status_, 1);
    layout->addLayout(header);

    const QList<QAction*> actions = menu.actions();
    QAction* statusAction = nullptr;
    auto* notes = new QVBoxLayout;
    for (QAction* action : actions) {
        if (action->isSeparator()) {
            layout->addSpacing(6);
            continue;
        }
        if (!statusAction && !action->isEnabled()) {
            statusAction = action;
            continue;
        }
        if (!action->isEnabled() && !action->isCheckable()) { // a note: the version
            auto* note = new QLabel(this);
            note->setEnabled(false);
            notes->addWidget(note);
            refreshers_.push_back([note, action] { note->setText(plain(*action)); });
            continue;
        }
        QAbstractButton* button = action->isCheckable() ? static_cast<QAbstractButton*>(new QCheckBox(this))
                                                        : new QPushButton(this);
        layout->addWidget(button);
        // Chosen as in the menu; the check box then shows what the program made of it.
        QObject::connect(button, &QAbstractButton::clicked, action, [this, action] {
            action->trigger();
            refresh();
        });
        refreshers_.push_back([button, action] {
            button->setText(action->text());
            button->setEnabled(action->isEnabled());
            button->setChecked(action->isChecked());
            button->setToolTip(action->shortcut().toString(QKeySequence::NativeText));
        });
        addAction(action); // its shortcut, in this window
    }
    layout->addLayout(notes);
    // Closed as windows are (Ctrl+W); the program goes on.
    QObject::connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QWidget::close);
    if (statusAction) {
        refreshers_.push_back([this, statusAction] { status_.setText(plain(*statusAction)); });
    }
    for (QAction* action : actions) {
        QObject::connect(action, &QAction::changed, this, [this] { refresh(); });
    }
    refresh();
}

void StatusWindow::setIcon(const QIcon& icon)
{
    icon_.setPixmap(icon.pixmap(kIconSize, kIconSize));
}

void StatusWindow::bringUp()
{
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void StatusWindow::refresh()
{
    for (const std::function<void()>& refresher : refreshers_) {
        refresher();
    }
}

} // namespace tovra::qt
