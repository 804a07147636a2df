// The Qt backends where only Qt shows what they do, in one QApplication on the offscreen platform;
// the tray with its menu, the timers, browser, notifications and settings are seen end to end.
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
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

TEST(QtStatusBar, TheWindowMirrorsTheMenuAndItsButtonsChooseItsEntries)
{
    SessionBus bus;
    QtStatusBar bar(bus);
    int restarts = 0;
    bool login = false;
    const auto status = bar.makeMenuItem("Starting", {}, "");
    const auto restart = bar.makeMenuItem(
        "Restart & Go", [&] { ++restarts; }, "r");
    std::shared_ptr<platform::MenuItem> loginItem;
    loginItem = bar.makeMenuItem(
        "Start at Login",
        [&] {
            login = !login;
            loginItem->setState(login ? platform::ControlState::on : platform::ControlState::off);
        },
        "");
    const auto version = bar.makeMenuItem("Tovra 1.0", {}, "");
    const auto menu = bar.makeMenu();
    for (const auto& entry : {status, restart, loginItem, version}) {
        menu->addItem(entry);
    }
    status->setEnabled(false);
    version->setEnabled(false);
    loginItem->setState(platform::ControlState::off);
    const auto item = bar.statusItem(platform::kSquareStatusItemLength);
    item->setMenu(menu);
    item->setWindowTitle("Tovra Bridge");
    const auto window = [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowTitle() == "Tovra Bridge") {
                return widget;
            }
        }
        return static_cast<QWidget*>(nullptr);
    };
    EXPECT_EQ(window(), nullptr) << "only shown when asked";
    item->showWindow();
    QWidget* shown = window();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    const auto texts = [&] {
        QStringList all;
        for (const QLabel* label : shown->findChildren<QLabel*>()) {
            all << label->text();
        }
        return all;
    };
    EXPECT_THAT(texts(), ::testing::IsSupersetOf({"Starting", "Tovra 1.0"}));
    status->setTitle("Ready \u00B7 1 phone");
    EXPECT_THAT(texts(), ::testing::Contains(QString::fromUtf8("Ready \u00B7 1 phone")));
    EXPECT_THAT(texts(), ::testing::Not(::testing::Contains("Starting")));

    const QList<QPushButton*> buttons = shown->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "Restart && Go");
    buttons[0]->click();
    EXPECT_EQ(restarts, 1);
    QCheckBox* box = shown->findChild<QCheckBox*>();
    ASSERT_NE(box, nullptr);
    for (const bool expected : {true, false}) {
        box->click();
        EXPECT_EQ(std::make_pair(login, box->isChecked()), std::make_pair(expected, expected));
    }
    restart->setEnabled(false);
    EXPECT_FALSE(buttons[0]->isEnabled());

    shown->close(); // hidden, kept, and brought up again
    EXPECT_FALSE(shown->isVisible());
    item->showWindow();
    EXPECT_EQ(window(), shown);
    EXPECT_TRUE(shown->isVisible());
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
