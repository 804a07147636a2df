// The Qt backends where only Qt shows what they do, in one QApplication on the offscreen platform;
// the tray with its menu, the timers, browser, notifications and settings are seen end to end.
#include <QApplication>
#include <QKeyEvent>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_workspace.h"

namespace tovra::qt {
namespace {

TEST(QtStatusBar, EntriesShowAsWrittenAndAnOpenMenuTakesItsShortcuts)
{
    SessionBus bus; // the tests' environment names no bus
    QtStatusBar bar(bus);
    int quits = 0;
    const auto login = bar.makeMenuItem(
        "Salt & Pepper", [] {}, "");
    const auto quit = bar.makeMenuItem(
        "Quit", [&] { ++quits; }, "q");
    const auto menu = bar.makeMenu();
    menu->addItem(login);
    menu->addItem(quit);
    login->setState(platform::ControlState::on);
    QMenu& shown = dynamic_cast<QtMenu&>(*menu).menu();
    EXPECT_EQ(shown.actions()[0]->text(), "Salt && Pepper");
    shown.actions()[0]->trigger();
    EXPECT_TRUE(shown.actions()[0]->isChecked()) << "Qt turned it off on its own; only the program may";
    for (const auto modifier : {Qt::NoModifier, Qt::ControlModifier}) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Q, modifier);
        QApplication::sendEvent(&shown, &key);
    }
    EXPECT_EQ(quits, 1);
    const auto item = bar.statusItem(platform::kSquareStatusItemLength); // no tray host: it waits, invisible
    item->button()->setImage(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_FALSE(item->isVisible() || dynamic_cast<QtStatusItem&>(*item).icon().isNull()) << "no icon yet";
    // Only an address goes to the desktop's opener, never what it would take for an option.
    EXPECT_FALSE(QtWorkspace(bus).openURL("-h") || QtWorkspace(bus).openURL("not a url"));
}

} // namespace
} // namespace tovra::qt

int main(int argc, char** argv)
{
    // Offscreen also when ctest lists the cases, which it does without the tests' environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
