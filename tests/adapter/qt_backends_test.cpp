// The Qt backends where only Qt shows what they do, in one QApplication on the offscreen platform;
// the tray with its menu, the timers, browser, notifications and settings are seen end to end.
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"

namespace tovra::qt {
namespace {

// A desktop without a tray, whose services have settled.
struct NoTray : TrayHosts {
    bool showsTrayIcon() const override { return false; }
    std::uint64_t otherTray() const override { return 0; }
    std::unique_ptr<DockedIcon> dockIn(std::uint64_t) override { return nullptr; }
    bool settled() const override { return true; }
};

TEST(QtStatusBar, EntriesShowAsWrittenAndAnOpenMenuTakesItsShortcuts)
{
    NoTray hosts;
    QtStatusBar bar(hosts);
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
}

TEST(QtStatusBar, WithoutATrayTheItemWaitsInvisibleWithItsIcon)
{
    NoTray hosts;
    QtStatusBar bar(hosts);
    const auto item = bar.statusItem();
    item->button()->setImage(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_FALSE(item->isVisible());
    EXPECT_FALSE(dynamic_cast<QtStatusItem&>(*item).icon().isNull()) << "no icon yet";
}

TEST(QtStatusBar, TheWindowMirrorsTheMenuAndItsButtonsChooseItsEntries)
{
    NoTray hosts;
    QtStatusBar bar(hosts);
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
    const auto item = bar.statusItem();
    item->setMenu(menu);
    item->setWindowTitle("Tovra Bridge");
    const auto window = [] {
        const QWidgetList all = QApplication::topLevelWidgets();
        const auto found = std::find_if(all.begin(), all.end(),
                                        [](QWidget* w) { return w->windowTitle() == "Tovra Bridge"; });
        return found == all.end() ? nullptr : *found;
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

// WCAG contrast of two opaque colours.
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

TEST(QtStatusBar, TheTrayIconReadsOnLightAndDarkPanelsAndItsStatesDifferInShape)
{
    NoTray hosts;
    QtStatusBar bar(hosts);
    const auto image =
        std::dynamic_pointer_cast<QtImage>(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    ASSERT_TRUE(image);
    for (const bool light : {true, false}) {
        const QColor panel = light ? QColor(0xED, 0xED, 0xED) : QColor(0x2B, 0x2B, 0x2B);
        for (const int size : {16, 22, 24, 32}) {
            QImage shapes[2];
            for (const bool ready : {true, false}) {
                const QColor tint = tintColor(
                    ready ? platform::TintColor::systemGreen : platform::TintColor::secondaryLabel, light);
                const QImage drawn = image->tinted(tint, ready).pixmap(size, size).toImage();
                ASSERT_EQ(drawn.size(), QSize(size, size));
                // Every fully drawn pixel, laid on the panel, stands out from it by 3:1 at least.
                QImage onPanel(drawn.size(), QImage::Format_ARGB32);
                onPanel.fill(panel);
                QPainter(&onPanel).drawImage(0, 0, drawn);
                int solid = 0;
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        if (qAlpha(drawn.pixel(x, y)) == 255) {
                            ++solid;
                            EXPECT_GE(contrast(onPanel.pixelColor(x, y), panel), 3.0)
                                << (light ? "light" : "dark") << " panel, " << size << " px, "
                                << (ready ? "ready" : "not ready");
                        }
                    }
                }
                EXPECT_GE(solid, size * size / 8) << "crisp strokes fill whole pixels";
                shapes[ready] = drawn.convertToFormat(QImage::Format_Alpha8);
            }
            EXPECT_NE(shapes[0], shapes[1])
                << "ready and not ready differ by colour alone at " << size << " px";
        }
    }
    // The panels' colours followed: a dark palette gives the first green, #34C759.
    const auto item = bar.statusItem();
    item->button()->setImage(image);
    item->button()->setContentTintColor(platform::TintColor::systemGreen);
    const auto shownColour = [&] {
        const QImage shown = dynamic_cast<QtStatusItem&>(*item).icon().pixmap(16, 16).toImage();
        return shown.pixelColor(2, 2).rgb();
    };
    const QPalette before = QApplication::palette();
    QApplication::setPalette(QPalette(QColor(0x2B, 0x2B, 0x2B)));
    EXPECT_EQ(shownColour(), QColor(0x34, 0xC7, 0x59).rgb());
    QApplication::setPalette(QPalette(QColor(0xED, 0xED, 0xED)));
    EXPECT_EQ(shownColour(), QColor(0x24, 0x8A, 0x3D).rgb());
    QApplication::setPalette(before);
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
