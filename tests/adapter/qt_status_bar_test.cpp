#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QIcon>
#include <QImage>
#include <QKeySequence>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tovra::qt {
namespace {

using platform::ControlState;
using platform::TintColor;

constexpr QRgb kGreen = 0xFF34C759;
constexpr QRgb kGrey = 0xFF8E8E93;

QSystemTrayIcon& trayOf(platform::StatusItem& item)
{
    return dynamic_cast<QtStatusItem&>(item).trayIcon();
}

QAction& actionOf(const std::shared_ptr<platform::MenuItem>& item)
{
    return dynamic_cast<QtMenuItem&>(*item).action();
}

// The colours of the fully opaque pixels of the icon drawn at `size`.
std::set<QRgb> opaqueColours(const QIcon& icon, int size)
{
    const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) == 255) {
                colours.insert(image.pixel(x, y));
            }
        }
    }
    return colours;
}

class QtStatusBarTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::MenuItem> item(const std::string& title, const std::string& key = "")
    {
        return statusBar.makeMenuItem(title, {}, key);
    }

    QtStatusBar statusBar;
};

TEST_F(QtStatusBarTest, TheTrayMenuShowsTheItemsInOrder)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    const auto status = item("Starting \xE2\x80\xA6");
    status->setEnabled(false);
    menu->addItem(status);
    menu->addSeparator();
    menu->addItem(item("Set Up \xE2\x80\xA6", "s"));
    menu->addItem(item("MIDI \xC2\xB7 restart"));
    menu->addSeparator();
    menu->addItem(item("Quit", "q"));
    statusItem->setMenu(menu);

    const QMenu* const trayMenu = trayOf(*statusItem).contextMenu();
    ASSERT_NE(trayMenu, nullptr);
    const QList<QAction*> actions = trayMenu->actions();
    ASSERT_EQ(actions.size(), 6);

    struct Expected {
        bool separator;
        std::string text;
        bool enabled;
        std::string shortcut;
    };
    const std::vector<Expected> expected = {
        {false, "Starting \xE2\x80\xA6", false, ""},
        {true, "", true, ""},
        {false, "Set Up \xE2\x80\xA6", true, "Ctrl+S"},
        {false, "MIDI \xC2\xB7 restart", true, ""},
        {true, "", true, ""},
        {false, "Quit", true, "Ctrl+Q"},
    };
    for (int i = 0; i < actions.size(); ++i) {
        SCOPED_TRACE(i);
        const QAction& action = *actions.at(i);
        EXPECT_EQ(action.isSeparator(), expected[i].separator);
        EXPECT_EQ(action.text().toStdString(), expected[i].text);
        EXPECT_EQ(action.isEnabled(), expected[i].enabled);
        EXPECT_FALSE(action.isCheckable());
        EXPECT_EQ(action.shortcut().toString(QKeySequence::PortableText).toStdString(), expected[i].shortcut);
        if (!action.isSeparator()) {
            EXPECT_TRUE(action.isShortcutVisibleInContextMenu());
        }
    }
}

TEST_F(QtStatusBarTest, KeyEquivalentsUseTheDefaultModifier)
{
    const struct {
        const char* key;
        const char* shortcut;
    } cases[] = {{"s", "Ctrl+S"}, {"q", "Ctrl+Q"}, {"", ""}, {"S", "Ctrl+Shift+S"}, {",", "Ctrl+,"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const auto entry = item("Entry", c.key);
        EXPECT_EQ(actionOf(entry).shortcut().toString(QKeySequence::PortableText).toStdString(), c.shortcut);
    }
}

TEST_F(QtStatusBarTest, AnAmpersandInATitleIsShownLiterally)
{
    const auto entry = item("Tom & Jerry");
    // Qt reads a single '&' as a mnemonic marker and drops it when drawing.
    EXPECT_EQ(actionOf(entry).text().toStdString(), "Tom && Jerry");
    EXPECT_EQ(actionOf(entry).iconText().toStdString(), "Tom & Jerry");

    entry->setTitle("Salt & Pepper");
    EXPECT_EQ(actionOf(entry).iconText().toStdString(), "Salt & Pepper");
}

TEST_F(QtStatusBarTest, ChoosingAnEntryRunsItsActionOnce)
{
    int runs = 0;
    const auto entry = statusBar.makeMenuItem(
        "Restart", [&runs] { ++runs; }, "");
    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    menu->addItem(entry);

    dynamic_cast<QtMenu&>(*menu).menu().actions().at(0)->trigger();

    EXPECT_EQ(runs, 1);
}

TEST_F(QtStatusBarTest, ChangesApplyToTheActionInTheMenu)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kVariableStatusItemLength);
    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    const auto status = item("Starting \xE2\x80\xA6");
    const auto login = item("Start at Login");
    menu->addItem(status);
    menu->addItem(login);
    statusItem->setMenu(menu);
    QMenu* const trayMenu = trayOf(*statusItem).contextMenu();
    const QPointer<QAction> statusAction = trayMenu->actions().at(0);
    const QPointer<QAction> loginAction = trayMenu->actions().at(1);

    status->setTitle("Ready \xC2\xB7 port 4173");
    status->setEnabled(false);
    login->setState(ControlState::on);

    EXPECT_EQ(trayMenu->actions(), (QList<QAction*>{statusAction.data(), loginAction.data()}));
    EXPECT_EQ(statusAction->text().toStdString(), "Ready \xC2\xB7 port 4173");
    EXPECT_FALSE(statusAction->isEnabled());
    EXPECT_FALSE(statusAction->isCheckable());
    EXPECT_TRUE(loginAction->isCheckable());
    EXPECT_TRUE(loginAction->isChecked());

    login->setState(ControlState::off);
    EXPECT_TRUE(loginAction->isCheckable());
    EXPECT_FALSE(loginAction->isChecked());
}

// Qt flips a checkable action when it is chosen; the check mark must stay what the program set.
TEST_F(QtStatusBarTest, ChoosingACheckedEntryLeavesTheStateToTheProgram)
{
    std::shared_ptr<platform::MenuItem> login;
    bool turnOff = false;
    login = statusBar.makeMenuItem(
        "Start at Login",
        [&] {
            if (turnOff) {
                login->setState(ControlState::off);
            }
        },
        "");
    login->setState(ControlState::on);

    actionOf(login).trigger();
    EXPECT_TRUE(actionOf(login).isChecked());

    turnOff = true;
    actionOf(login).trigger();
    EXPECT_FALSE(actionOf(login).isChecked());
}

TEST_F(QtStatusBarTest, TheMenuKeepsItsItems)
{
    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    menu->addItem(item("Only here"));

    const QList<QAction*> actions = dynamic_cast<QtMenu&>(*menu).menu().actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions.at(0)->text().toStdString(), "Only here");
}

// Run under ASan: each order must leave no dangling QAction or QMenu behind.
TEST_F(QtStatusBarTest, MenuAndItemsMayBeDestroyedInEitherOrder)
{
    {
        std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
        const auto entry = item("Outlives the menu");
        menu->addItem(entry);
        menu->addSeparator();
        QAction& action = actionOf(entry);

        menu.reset();

        EXPECT_TRUE(action.associatedObjects().isEmpty());
        entry->setTitle("Still usable");
        EXPECT_EQ(action.text().toStdString(), "Still usable");
    }
    {
        std::shared_ptr<platform::StatusItem> statusItem =
            statusBar.statusItem(platform::kSquareStatusItemLength);
        std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
        auto entry = item("Dies with the menu");
        menu->addItem(entry);
        statusItem->setMenu(menu);
        const QPointer<QAction> action = &actionOf(entry);

        entry.reset();
        menu.reset();
        ASSERT_FALSE(action.isNull());
        EXPECT_EQ(trayOf(*statusItem).contextMenu()->actions(), QList<QAction*>{action.data()});

        statusItem.reset();
        EXPECT_TRUE(action.isNull());
    }
    {
        std::shared_ptr<platform::StatusItem> statusItem =
            statusBar.statusItem(platform::kSquareStatusItemLength);
        const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
        const auto entry = item("Outlives the tray");
        menu->addItem(entry);
        statusItem->setMenu(menu);

        statusItem.reset();

        EXPECT_EQ(dynamic_cast<QtMenu&>(*menu).menu().actions(), QList<QAction*>{&actionOf(entry)});
    }
}

TEST_F(QtStatusBarTest, TheTooltipFollowsTheButton)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    platform::StatusBarButton* const button = statusItem->button();
    ASSERT_NE(button, nullptr);

    button->setToolTip("Tovra \xC2\xB7 Ready");
    EXPECT_EQ(trayOf(*statusItem).toolTip().toStdString(), "Tovra \xC2\xB7 Ready");

    button->setToolTip("Tovra \xC2\xB7 Bridge stopped");
    EXPECT_EQ(trayOf(*statusItem).toolTip().toStdString(), "Tovra \xC2\xB7 Bridge stopped");
}

TEST_F(QtStatusBarTest, TheIconIsDrawnInTheTint)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    platform::StatusBarButton& button = *statusItem->button();
    QSystemTrayIcon& tray = trayOf(*statusItem);

    button.setImage(statusBar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_EQ(opaqueColours(tray.icon(), 32), std::set<QRgb>{kGrey}) << "untinted";

    button.setContentTintColor(TintColor::systemGreen);
    EXPECT_EQ(opaqueColours(tray.icon(), 32), std::set<QRgb>{kGreen});
    EXPECT_EQ(opaqueColours(tray.icon(), 16), std::set<QRgb>{kGreen});
    EXPECT_EQ(opaqueColours(tray.icon(), 64), std::set<QRgb>{kGreen});

    button.setContentTintColor(TintColor::secondaryLabel);
    EXPECT_EQ(opaqueColours(tray.icon(), 32), std::set<QRgb>{kGrey});
}

TEST_F(QtStatusBarTest, SettingAnImageShowsTheIconAndNoneClearsIt)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    platform::StatusBarButton& button = *statusItem->button();
    QSystemTrayIcon& tray = trayOf(*statusItem);

    button.setImage(statusBar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_FALSE(tray.icon().isNull());
    EXPECT_TRUE(tray.isVisible());

    button.setImage(nullptr);
    EXPECT_TRUE(tray.icon().isNull());

    // A tint change must not bring a cleared image back.
    button.setContentTintColor(TintColor::systemGreen);
    EXPECT_TRUE(tray.icon().isNull());
}

TEST_F(QtStatusBarTest, OnlyShippedSymbolsHaveAnImage)
{
    EXPECT_NE(statusBar.systemSymbolImage("slider.vertical.3", ""), nullptr);
    for (const char* name :
         {"no.such.symbol", "", "../icons/slider.vertical.3", "icons/slider.vertical.3", ".."}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(statusBar.systemSymbolImage(name, ""), nullptr);
    }
}

TEST_F(QtStatusBarTest, ALeftClickOpensTheMenu)
{
    const std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    menu->addItem(item("Quit", "q"));
    statusItem->setMenu(menu);
    QSystemTrayIcon& tray = trayOf(*statusItem);
    QMenu* const trayMenu = tray.contextMenu();

    emit tray.activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(trayMenu->isVisible());

    emit tray.activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(trayMenu->isVisible());
    trayMenu->hide();
}

} // namespace
} // namespace tovra::qt
