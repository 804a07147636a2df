#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace tovra::qt {

// An icon docked in a tray that Qt's own tray icon does not reach.
class DockedIcon {
public:
    virtual ~DockedIcon() = default;
    virtual void setIcon(const QIcon& icon) = 0;
    virtual void setToolTip(const QString& toolTip) = 0;
    // Called with the pointer's position when the icon is clicked, with any button.
    virtual void onClick(std::function<void(QPoint)> click) = 0;
};

// The trays the desktop offers the status item, as its own protocols tell whoever watches them:
// a host that shows Qt's tray icon, or a tray of another kind that takes an icon docked in it. Both
// may come, go and come back while the program runs.
class TrayHosts : public QObject {
    Q_OBJECT

public:
    // Whether a host shows Qt's tray icon now.
    virtual bool showsTrayIcon() const = 0;
    // The other kind of tray there is now, as a key that changes when it does; 0 while none is.
    virtual std::uint64_t otherTray() const = 0;
    // An icon docked in the tray of `key`.
    virtual std::unique_ptr<DockedIcon> dockIn(std::uint64_t key) = 0;
    // Whether the desktop's services have answered or been given up on. The first window's
    // showing reaches them on the main thread (Qt's accessibility), so a window waits until then.
    virtual bool settled() const = 0;

Q_SIGNALS:
    // Either kind of tray has come or gone.
    void changed();
    // Once, when settled() turns true.
    void settledNow();
};

} // namespace tovra::qt
