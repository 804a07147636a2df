#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QKeySequence>
#include <QPixmap>
#include <QPointer>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tovra::qt {
namespace {

using Entries = std::vector<std::string>;

// Each entry as shown: its text (with '&' doubled, as Qt wants it) and what sets it apart.
Entries entriesOf(const QMenu& menu)
{
    Entries entries;
    for (const QAction* a : menu.actions()) {
        const std::string key = a->shortcut().toString(QKeySequence::PortableText).toStdString();
        entries.push_back(
            (a->isSeparator() ? "---" : a->text().toStdString()) + (a->isEnabled() ? "" : " (disabled)") +
            (a->isCheckable() ? a->isChecked() ? " (on)" : " (off)" : "") + (key.empty() ? "" : " " + key));
    }
    return entries;
}

// The colours of the fully opaque pixels of the tray icon drawn at `size`.
std::set<QRgb> opaqueColours(const QIcon& icon, int size)
{
    const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits()); // rows without padding
    std::set<QRgb> colours(pixels, pixels + image.width() * image.height());
    std::erase_if(colours, [](QRgb pixel) { return qAlpha(pixel) != 255; });
    return colours;
}

class QtStatusBarTest : public ::testing::Test {
protected:
    auto item(std::string title, std::string key = "") { return statusBar.makeMenuItem(title, {}, key); }
    QSystemTrayIcon& tray() { return dynamic_cast<QtStatusItem&>(*statusItem).trayIcon(); }

    QtStatusBar statusBar;
    std::shared_ptr<platform::StatusItem> statusItem =
        statusBar.statusItem(platform::kSquareStatusItemLength);
    std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
};

TEST_F(QtStatusBarTest, TheTrayMenuShowsTheEntriesRunsTheirActionsAndFollowsChangesInPlace)
{
    int runs = 0;
    const auto status = item("Starting \xE2\x80\xA6");
    const auto login = statusBar.makeMenuItem(
        "Start at Login", [&runs] { ++runs; }, "");
    status->setEnabled(false);
    login->setState(platform::ControlState::on);
    for (const auto& entry : {status, item("Set Up \xE2\x80\xA6", "s"), login, item("Tom & Jerry", "q")}) {
        menu->addItem(entry);
        menu->addSeparator();
    }
    statusItem->setMenu(menu);
    ASSERT_NE(tray().contextMenu(), nullptr);
    const QList<QAction*> actions = tray().contextMenu()->actions();
    EXPECT_EQ(entriesOf(*tray().contextMenu()),
              (Entries{"Starting \xE2\x80\xA6 (disabled)", "---", "Set Up \xE2\x80\xA6 Ctrl+S", "---",
                       "Start at Login (on)", "---", "Tom && Jerry Ctrl+Q", "---"}));

    actions.at(4)->trigger();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(actions.at(4)->isChecked()) << "Qt flips it; the program did not";

    status->setTitle("Ready \xC2\xB7 Salt & Pepper");
    status->setEnabled(true);
    login->setState(platform::ControlState::off);
    EXPECT_EQ(tray().contextMenu()->actions(), actions) << "not the same actions";
    EXPECT_EQ(entriesOf(*tray().contextMenu()).at(0), "Ready \xC2\xB7 Salt && Pepper");
    EXPECT_EQ(entriesOf(*tray().contextMenu()).at(4), "Start at Login (off)");
}

TEST_F(QtStatusBarTest, TheIconIsAShippedSymbolInTheTintAndNoImageClearsIt)
{
    constexpr QRgb kGreen = 0xFF34C759, kGrey = 0xFF8E8E93;
    platform::StatusBarButton& button = *statusItem->button();
    button.setImage(statusBar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_EQ(opaqueColours(tray().icon(), 32), std::set<QRgb>{kGrey}) << "untinted";
    button.setContentTintColor(platform::TintColor::systemGreen);
    EXPECT_EQ(opaqueColours(tray().icon(), 16), std::set<QRgb>{kGreen});
    button.setContentTintColor(platform::TintColor::secondaryLabel);
    EXPECT_EQ(opaqueColours(tray().icon(), 64), std::set<QRgb>{kGrey});

    button.setImage(nullptr);
    button.setContentTintColor(platform::TintColor::systemGreen);
    EXPECT_TRUE(opaqueColours(tray().icon(), 32).empty()) << "a tint brought the image back";
    for (const char* name : {"no.such.symbol", "", "../symbols/slider.vertical.3", "/slider.vertical.3"}) {
        EXPECT_EQ(statusBar.systemSymbolImage(name, ""), nullptr) << name;
    }
}

// Under ASan: any order leaves no dangling QAction or QMenu behind.
TEST_F(QtStatusBarTest, ItemsMenusAndTheTrayMayGoInAnyOrder)
{
    auto entry = item("Entry");
    menu->addItem(entry);
    statusItem->setMenu(menu);
    const QPointer<QAction> action = &dynamic_cast<QtMenuItem&>(*entry).action();
    entry.reset();
    menu.reset();
    EXPECT_EQ(entriesOf(*tray().contextMenu()), Entries{"Entry"}) << "the tray keeps menu and items";
    statusItem.reset();
    EXPECT_TRUE(action.isNull());

    entry = item("Survivor");
    menu = statusBar.makeMenu();
    menu->addItem(entry);
    statusItem = statusBar.statusItem(platform::kSquareStatusItemLength);
    statusItem->setMenu(menu);
    statusItem.reset();
    EXPECT_EQ(entriesOf(dynamic_cast<QtMenu&>(*menu).menu()), Entries{"Survivor"});
    menu.reset();
    EXPECT_TRUE(dynamic_cast<QtMenuItem&>(*entry).action().associatedObjects().isEmpty());
}

} // namespace
} // namespace tovra::qt
