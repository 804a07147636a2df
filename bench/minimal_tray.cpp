// The smallest Qt tray program: the baseline that tovra-bridge's resident memory is compared with.
#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::gray);

    QMenu menu;
    QAction* quit = menu.addAction(QStringLiteral("Quit"));
    QObject::connect(quit, &QAction::triggered, &application, &QApplication::quit);

    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}
