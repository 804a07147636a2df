// Draws the tray icon as the program hands it to the tray, ready and not ready, at 16, 22, 24 and
// 32 px, on panels of white, light grey, mid grey, dark grey and black, into one PNG: docs/tray.png
// is made so.
// Usage: tray_preview <png>
#include <QApplication>
#include <QPainter>

#include "platform/qt/qt_status_bar.h"

// No tray: the icons are drawn, not shown.
struct NoTray : tovra::qt::TrayHosts {
    bool showsTrayIcon() const override { return false; }
    std::uint64_t otherTray() const override { return 0; }
    std::unique_ptr<tovra::qt::DockedIcon> dockIn(std::uint64_t) override { return nullptr; }
    bool settled() const override { return true; }
};

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc != 2) {
        return 2;
    }
    NoTray hosts;
    tovra::qt::QtStatusBar bar(hosts);
    const auto image =
        std::dynamic_pointer_cast<tovra::qt::QtImage>(bar.systemSymbolImage("slider.vertical.3", ""));
    const int sizes[] = {16, 22, 24, 32};
    const int cell = 44;
    const QColor panels[] = {QColor(0xFF, 0xFF, 0xFF), QColor(0xED, 0xED, 0xED), QColor(0x80, 0x80, 0x80),
                             QColor(0x3C, 0x3C, 0x3C), QColor(0x00, 0x00, 0x00)};
    QImage sheet(2 * 4 * cell, 5 * cell, QImage::Format_ARGB32);
    QPainter painter(&sheet);
    for (int panel = 0; panel < 5; ++panel) {
        painter.fillRect(0, panel * cell, sheet.width(), cell, panels[panel]);
        for (int state = 0; state < 2; ++state) {
            const bool ready = state == 0;
            const QColor tint = tovra::qt::tintColor(ready ? tovra::platform::TintColor::systemGreen
                                                           : tovra::platform::TintColor::secondaryLabel);
            for (int i = 0; i < 4; ++i) {
                const int x = (state * 4 + i) * cell + (cell - sizes[i]) / 2;
                painter.drawPixmap(x, panel * cell + (cell - sizes[i]) / 2,
                                   image->tinted(tint, ready).pixmap(sizes[i], sizes[i]));
            }
        }
    }
    painter.end();
    return sheet.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
