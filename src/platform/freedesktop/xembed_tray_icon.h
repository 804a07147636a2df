#pragma once

#include <QAbstractNativeEventFilter>
#include <QIcon>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <functional>

namespace tovra::freedesktop {

// An icon docked in an XEmbed tray (the freedesktop.org system tray protocol), on Qt's xcb
// platform. Qt's own tray icon cannot stand in: Qt decides once per process between the
// StatusNotifier and the XEmbed kind, so an icon of the other kind is needed when the desktop's
// tray changes kind while the program runs.
class XEmbedTrayIcon : public QWidget, private QAbstractNativeEventFilter {
public:
    // Asks the tray of `manager`, the owner of the tray's manager selection, to dock it at once; it
    // shows once the tray has taken it in.
    explicit XEmbedTrayIcon(std::uint32_t manager);
    ~XEmbedTrayIcon() override;

    std::uint32_t manager() const { return manager_; }
    void setIcon(const QIcon& icon);
    // Called with the pointer's position when the icon is clicked, with any button.
    void onClick(std::function<void(QPoint)> click) { click_ = std::move(click); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Shows the icon when the tray has made it its child.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    std::uint32_t manager_;
    QIcon icon_;
    QPixmap background_;
    std::function<void(QPoint)> click_;
};

} // namespace tovra::freedesktop
