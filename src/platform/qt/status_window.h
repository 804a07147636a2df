#pragma once

#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

namespace tovra::qt {

// A window that mirrors a menu: the status item's icon, the menu's first entry as the status line, each
// command as a button (a check box for one with a check mark), the disabled entries after the first as notes
// at the foot. Each change of the menu shows at once; a button chooses its entry, and the entries' shortcuts
// work in the window. Closing it hides it.
class StatusWindow final : public QWidget {
public:
    StatusWindow(QMenu& menu, const QString& title);

    void setIcon(const QIcon& icon);
    void bringUp();

private:
    void refresh();

    QPointer<QMenu> menu_;
    QLabel icon_;
    QLabel status_;
    std::vector<std::function<void()>> refreshers_;
};

} // namespace tovra::qt
