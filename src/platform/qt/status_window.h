#pragma once

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "platform/status_bar.h"

namespace tovra::qt {

// A QR code's modules, row after row, true for dark; `size` modules a side, without the quiet zone.
struct QrCode {
    int size = 0;
    std::vector<bool> dark;
};

// Encodes a text as a QR code; an empty code when it cannot. Whoever composes the program gives one.
using QrEncoder = std::function<QrCode(const std::string& text)>;

// A QR code drawn crisp: whole pixels per module, dark on white, with a quiet zone of four modules.
class QrCodeView final : public QWidget {
public:
    explicit QrCodeView(QWidget* parent);

    void setCode(QrCode code, const QString& withoutCode);

private:
    void paintEvent(QPaintEvent* event) override;

    QrCode code_;
    QString withoutCode_;
};

// A window of fixed size that mirrors a menu: the status item's icon, the menu's first entry as the
// status line with a sentence on what it means, the private phone link as a code to scan and as
// text, the command the program offers first as the main button, the other commands beneath it (a
// check box for one with a check mark), and Quit at the foot; a disabled entry after the first (the
// version) is the icon's tooltip. Each change of the menu shows at once; a button chooses its entry, and
// the entries' shortcuts work in the window. Closing it hides it.
class StatusWindow final : public QWidget {
public:
    StatusWindow(QMenu& menu, const QString& title, QrEncoder encoder);

    void setIcon(const QIcon& icon);
    void setContent(const platform::WindowContent& content);
    void bringUp();

private:
    void refresh();
    void setPrimary(const QString& title);

    QrEncoder encoder_;
    QLabel icon_;
    QLabel status_;
    QLabel explanation_;
    QrCodeView* code_ = nullptr;
    QLineEdit link_;
    QPushButton primary_;
    QGridLayout* grid_ = nullptr; // the commands under the main button
    QPointer<QAction> primaryAction_;
    std::vector<std::pair<QAction*, QPushButton*>> commands_;
    std::vector<std::function<void()>> refreshers_;
    platform::WindowContent content_;
};

} // namespace tovra::qt
