#include "platform/qt/qt_pasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>
#include <QTimer>

namespace tovra::qt {

namespace {

// An X server ignores a claim of the clipboard whose time is ahead of its own; Qt claims with the
// time of the last input event, which a compositor may stamp a moment ahead of the X server
// (GNOME's Xwayland does), and cannot tell that the claim was ignored. So the text is claimed
// again a moment later, while it is still the latest and no other program has taken the clipboard
// since (Qt then knows it lost it).
constexpr int kClaimAgainMilliseconds[] = {100, 500};

void claimAgainLater(const QString& text, const std::shared_ptr<QString>& latest)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    for (const int delay : kClaimAgainMilliseconds) {
        QTimer::singleShot(delay, clipboard, [clipboard, text, latest] {
            if (*latest == text && clipboard->ownsClipboard()) {
                clipboard->setText(text, QClipboard::Clipboard);
            }
        });
    }
}

} // namespace

void QtPasteboard::clearContents()
{
    latest_->clear(); // nothing claimed again after this
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void QtPasteboard::setString(const std::string& text)
{
    *latest_ = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QGuiApplication::clipboard()->setText(*latest_, QClipboard::Clipboard);
    claimAgainLater(*latest_, latest_);
}

} // namespace tovra::qt
