#include "platform/qt/status_window.h"

#include <QAction>
#include <QCheckBox>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace tovra::qt {

namespace {

constexpr int kIconSize = 48;
constexpr int kQuietZone = 4; // modules of white around the code, as readers expect
constexpr int kCodeSide = 200;
constexpr int kColumns = 2; // of the commands under the main button

// A menu's text as a label shows it: "&&" is a menu's way to write "&".
QString plain(const QAction& action)
{
    return action.text().replace(QLatin1String("&&"), QLatin1String("&"));
}

// Room around a button's text beyond what the style gives, so that no text touches its edges.
void pad(QPushButton& button)
{
    button.setMinimumWidth(button.sizeHint().width() + 4 * button.fontMetrics().averageCharWidth());
}

void keepPlaceWhenHidden(QWidget& widget)
{
    QSizePolicy policy = widget.sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget.setSizePolicy(policy);
}

} // namespace

QrCodeView::QrCodeView(QWidget* parent) : QWidget(parent)
{
    setFixedSize(kCodeSide, kCodeSide);
}

void QrCodeView::setCode(QrCode code, const QString& withoutCode)
{
    code_ = std::move(code);
    withoutCode_ = withoutCode;
    setToolTip(code_.size > 0 ? QString() : withoutCode_);
    update();
}

void QrCodeView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    if (code_.size <= 0 || code_.dark.size() != static_cast<std::size_t>(code_.size) * code_.size) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::Mid), 1, Qt::DashLine));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap, withoutCode_);
        return;
    }
    // Dark on white in either colour scheme, so that a phone's camera reads it.
    const int modules = code_.size + 2 * kQuietZone;
    const int scale = std::max(1, std::min(width(), height()) / modules);
    const int side = modules * scale;
    const QPoint origin((width() - side) / 2, (height() - side) / 2);
    painter.fillRect(QRect(origin, QSize(side, side)), Qt::white);
    for (int y = 0; y < code_.size; ++y) {
        for (int x = 0; x < code_.size; ++x) {
            if (code_.dark[static_cast<std::size_t>(y) * code_.size + x]) {
                painter.fillRect(origin.x() + (x + kQuietZone) * scale, origin.y() + (y + kQuietZone) * scale,
                                 scale, scale, Qt::black);
            }
        }
    }
}

StatusWindow::StatusWindow(QMenu& menu, const QString& title, QrEncoder encoder)
    : encoder_(std::move(encoder))
{
    setWindowTitle(title);
    // Fixed in size and without a maximise button, also where the window manager reads only the flags.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    icon_.setFixedSize(kIconSize, kIconSize);
    QFont heading = status_.font();
    heading.setBold(true);
    heading.setPointSizeF(heading.pointSizeF() * 1.2);
    status_.setFont(heading);
    status_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    explanation_.setWordWrap(true);
    explanation_.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    explanation_.setFixedHeight(explanation_.fontMetrics().lineSpacing() * 3);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    texts->addWidget(&status_);
    texts->addWidget(&explanation_);
    header->addWidget(&icon_, 0, Qt::AlignTop);
    header->addLayout(texts, 1);
    layout->addLayout(header);

    code_ = new QrCodeView(this);
    layout->addWidget(code_, 0, Qt::AlignHCenter);
    link_.setReadOnly(true);
    link_.setAlignment(Qt::AlignCenter);
    link_.setFrame(false);
    keepPlaceWhenHidden(link_);
    layout->addWidget(&link_);

    QFont strong = primary_.font();
    strong.setBold(true);
    primary_.setFont(strong);
    primary_.setDefault(true);
    primary_.setMinimumHeight(primary_.sizeHint().height() * 3 / 2);
    keepPlaceWhenHidden(primary_);
    QObject::connect(&primary_, &QPushButton::clicked, this, [this] {
        if (primaryAction_) {
            primaryAction_->trigger();
        }
        refresh();
    });
    layout->addWidget(&primary_);

    grid_ = new QGridLayout;
    grid_->setSpacing(8);
    layout->addLayout(grid_);
    layout->addStretch(1);
    auto* footer = new QHBoxLayout;
    layout->addLayout(footer);

    const QList<QAction*> actions = menu.actions();
    const auto last = std::find_if(actions.rbegin(), actions.rend(), [](QAction* action) {
        return action->isEnabled() && !action->isSeparator();
    });
    QAction* statusAction = nullptr;
    for (QAction* action : actions) {
        if (action->isSeparator()) {
            continue;
        }
        if (!statusAction && !action->isEnabled()) {
            statusAction = action;
            continue;
        }
        if (!action->isEnabled() && !action->isCheckable()) { // a note: the version
            refreshers_.push_back([this, action] { icon_.setToolTip(plain(*action)); });
            continue;
        }
        QAbstractButton* button = nullptr;
        if (action->isCheckable()) {
            button = new QCheckBox(this);
            footer->insertWidget(0, button);
        } else {
            auto* push = new QPushButton(this);
            push->setAutoDefault(false);
            button = push;
            if (last != actions.rend() && action == *last) { // Quit, at the foot
                footer->addStretch(1);
                footer->addWidget(push);
            } else {
                commands_.emplace_back(action, push);
            }
        }
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
            if (auto* push = qobject_cast<QPushButton*>(button)) {
                pad(*push);
            }
        });
        addAction(action); // its shortcut, in this window
    }
    // Closed as windows are (Ctrl+W); the program goes on.
    QObject::connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QWidget::close);
    if (statusAction) {
        refreshers_.push_back([this, statusAction] { status_.setText(plain(*statusAction)); });
    }
    refreshers_.push_back([this] {
        if (primaryAction_) {
            primary_.setText(primaryAction_->text());
            primary_.setEnabled(primaryAction_->isEnabled());
            primary_.setToolTip(primaryAction_->shortcut().toString(QKeySequence::NativeText));
            pad(primary_);
        }
    });
    for (QAction* action : actions) {
        QObject::connect(action, &QAction::changed, this, [this] { refresh(); });
    }
    refresh();

    // As large as the fullest of its states, so that it never changes size.
    QSize fullest;
    for (const auto& [action, button] : std::vector(commands_)) {
        setPrimary(plain(*action));
        fullest = fullest.expandedTo(sizeHint());
    }
    setPrimary({});
    fullest = fullest.expandedTo(sizeHint());
    setFixedSize(fullest);
}

void StatusWindow::setPrimary(const QString& title)
{
    const auto found = std::find_if(commands_.begin(), commands_.end(),
                                    [&](const auto& command) { return plain(*command.first) == title; });
    primaryAction_ = found == commands_.end() ? nullptr : found->first;
    primary_.setVisible(primaryAction_ != nullptr);
    // The others beneath it, in the menu's order, two to a row.
    int placed = 0;
    for (const auto& [action, button] : commands_) {
        grid_->removeWidget(button);
        button->setVisible(action != primaryAction_);
        if (action != primaryAction_) {
            grid_->addWidget(button, placed / kColumns, placed % kColumns);
            ++placed;
        }
    }
    refresh();
}

void StatusWindow::setIcon(const QIcon& icon)
{
    icon_.setPixmap(icon.pixmap(kIconSize, kIconSize));
}

void StatusWindow::setContent(const platform::WindowContent& content)
{
    if (content == content_) {
        return;
    }
    const bool newLink =
        content.phoneLink != content_.phoneLink || content.noPhoneLink != content_.noPhoneLink;
    content_ = content;
    explanation_.setText(QString::fromStdString(content_.explanation));
    if (newLink) {
        const QString note = QString::fromStdString(content_.noPhoneLink);
        code_->setCode(content_.phoneLink.empty() || !encoder_ ? QrCode{} : encoder_(content_.phoneLink),
                       note);
        link_.setText(QString::fromStdString(content_.phoneLink));
        link_.setCursorPosition(0);
        link_.setVisible(!content_.phoneLink.empty());
    }
    setPrimary(QString::fromStdString(content_.primaryAction));
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
