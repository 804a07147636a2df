// The Qt backends where only Qt shows what they do, in one QApplication on the offscreen platform;
// the tray with its menu, an item that waits for a tray, the timers, browser, notifications and
// settings are seen end to end.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "platform/qrencode/qr_matrix.h"
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

// The window as the program makes it: the menu's entries, a phone link drawn by libqrencode.
struct WindowOnMenu {
    WindowOnMenu()
    {
        const auto add = [&](const std::string& title, const std::string& key = "") {
            auto item = bar.makeMenuItem(
                title, [this, title] { chosen.push_back(title); }, key);
            menu->addItem(item);
            return item;
        };
        status = add("Starting");
        status->setEnabled(false);
        menu->addSeparator();
        add("Set Up Phone\u2026", "s");
        add("Copy Private Phone Link");
        add("Open Controller & More");
        menu->addSeparator();
        login = bar.makeMenuItem(
            "Start at Login",
            [this] {
                loginOn = !loginOn;
                login->setState(loginOn ? platform::ControlState::on : platform::ControlState::off);
            },
            "");
        menu->addItem(login);
        login->setState(platform::ControlState::off);
        restart = add("Restart Bridge");
        menu->addSeparator();
        add("Tovra 1.0")->setEnabled(false);
        add("Quit", "q");
        item->setMenu(menu);
        item->setWindowTitle("Tovra Bridge");
        item->setWindowShownHandler([this] { ++shown; });
    }
    QWidget* window() const
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowTitle() == "Tovra Bridge") {
                return widget;
            }
        }
        return nullptr;
    }
    QPushButton* button(const QString& text) const
    {
        for (QPushButton* button : window()->findChildren<QPushButton*>()) {
            if (button->text() == text && button->isVisible()) {
                return button;
            }
        }
        return nullptr;
    }

    NoTray hosts;
    QtStatusBar bar{hosts, [](const std::string& text) {
                        qrencode::Matrix matrix = qrencode::encode(text);
                        return QrCode{matrix.size, std::move(matrix.dark)};
                    }};
    std::shared_ptr<platform::Menu> menu = bar.makeMenu();
    std::shared_ptr<platform::StatusItem> item = bar.statusItem();
    std::shared_ptr<platform::MenuItem> status, login, restart;
    std::vector<std::string> chosen;
    bool loginOn = false;
    int shown = 0;
};

// What a phone's camera would read in the window as it is drawn: zbarimg on a grab of it.
std::string decoded(QWidget& window)
{
    const QString file =
        QDir::temp().filePath(QStringLiteral("tovra-window-%1.png").arg(QCoreApplication::applicationPid()));
    window.grab().save(file);
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), file});
    zbar.waitForFinished();
    QFile::remove(file);
    return zbar.readAllStandardOutput().toStdString();
}

// The labels' texts and tips.
QStringList labels(const QWidget& window)
{
    QStringList all;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        all << label->text() << label->toolTip();
    }
    return all;
}

TEST(QtStatusWindow, ShownOnRequestWithItsTitleStatusAndVersionAndSaysSoEachTime)
{
    WindowOnMenu shown;
    EXPECT_EQ(shown.window(), nullptr) << "only shown when asked";
    shown.item->showWindow();
    QWidget* window = shown.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Tovra Bridge");
    EXPECT_THAT(labels(*window), ::testing::IsSupersetOf({"Starting", "Tovra 1.0"}));
    shown.status->setTitle("Ready \u00B7 1 phone");
    shown.item->setWindowContent({"Scan the code.", "", "", ""});
    EXPECT_THAT(labels(*window), ::testing::IsSupersetOf({QString::fromUtf8("Ready \u00B7 1 phone"),
                                                          QStringLiteral("Scan the code.")}));
    EXPECT_THAT(labels(*window), ::testing::Not(::testing::Contains("Starting")));
    window->close(); // hidden, kept, and brought up again
    EXPECT_FALSE(window->isVisible());
    shown.item->showWindow();
    EXPECT_EQ(shown.window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(shown.shown, 2);
}

TEST(QtStatusWindow, KeepsOneSizeWithoutAMaximiseButtonWhateverItShows)
{
    WindowOnMenu shown;
    shown.item->showWindow();
    QWidget* window = shown.window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    const QSize size = window->size();
    const std::string longLink = "http://192.168.100.200:4173/controller?token=" + std::string(80, 'x');
    for (const platform::WindowContent& content :
         {platform::WindowContent{"One.", "", "", "No code yet."},
          platform::WindowContent{std::string(300, 'w') + " a long sentence", "Restart Bridge", longLink,
                                  ""}}) {
        shown.item->setWindowContent(content);
        shown.status->setTitle("Ready \u00B7 12 phones and a longer status line");
        QApplication::processEvents();
        EXPECT_EQ(window->size(), size) << content.explanation.substr(0, 10) << " " << content.primaryAction;
    }
}

TEST(QtStatusWindow, TheMainButtonIsTheChosenCommandAndTheOthersChooseTheirs)
{
    WindowOnMenu shown;
    shown.item->setWindowContent({"Ready.", "Copy Private Phone Link", "", ""});
    shown.item->showWindow();
    QWidget* window = shown.window();
    ASSERT_NE(window, nullptr);
    QPushButton* main = nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->isDefault()) {
            main = button;
        }
    }
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->text(), "Copy Private Phone Link");
    EXPECT_TRUE(main->isVisible());
    main->click();
    ASSERT_NE(shown.button("Restart Bridge"), nullptr);
    shown.button("Restart Bridge")->click();
    ASSERT_NE(shown.button("Open Controller && More"), nullptr);
    shown.button("Open Controller && More")->click();
    EXPECT_EQ(shown.chosen, (std::vector<std::string>{"Copy Private Phone Link", "Restart Bridge",
                                                      "Open Controller & More"}));
    const QList<QPushButton*> buttons = window->findChildren<QPushButton*>();
    EXPECT_EQ(std::count_if(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isVisible(); }), 5)
        << "copy shown once, as the main button";

    shown.item->setWindowContent({"Stopped.", "", "", ""});
    EXPECT_FALSE(main->isVisible()) << "no main button without a first command";
    ASSERT_NE(shown.button("Copy Private Phone Link"), nullptr);

    window->layout()->activate(); // the buttons where the layout puts them
    // Quit at the foot, below every other command.
    QPushButton* quit = shown.button("Quit");
    ASSERT_NE(quit, nullptr);
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button != quit && button->isVisible()) {
            EXPECT_GT(quit->geometry().top(), button->geometry().bottom()) << button->text().toStdString();
        }
        // No text touches its button's edges.
        const QString shownText = button->text().replace("&&", "&");
        EXPECT_GE(button->minimumWidth() - button->fontMetrics().horizontalAdvance(shownText),
                  3 * button->fontMetrics().averageCharWidth())
            << button->text().toStdString();
    }
    quit->click();
    EXPECT_EQ(shown.chosen.back(), "Quit");
    shown.restart->setEnabled(false); // as the menu's entry goes, so does its button
    ASSERT_NE(shown.button("Restart Bridge"), nullptr);
    EXPECT_FALSE(shown.button("Restart Bridge")->isEnabled());

    QCheckBox* box = window->findChild<QCheckBox*>();
    ASSERT_NE(box, nullptr);
    shown.login->setState(platform::ControlState::on); // as the program sets it
    EXPECT_TRUE(box->isChecked());
    shown.login->setState(platform::ControlState::off);
    shown.loginOn = false;
    EXPECT_FALSE(box->isChecked());
    for (const bool expected : {true, false}) {
        box->click();
        EXPECT_EQ(std::make_pair(shown.loginOn, box->isChecked()), std::make_pair(expected, expected));
    }
}

TEST(QtStatusWindow, TheLinkIsACodeThatDecodesToItExactlyAndTextToSelect)
{
    if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty()) {
        GTEST_SKIP() << "zbarimg is not installed (Debian's zbar-tools)";
    }
    WindowOnMenu shown;
    shown.item->showWindow();
    QWidget* window = shown.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(decoded(*window), "") << "a code without a link";
    for (const std::string& link : {std::string("http://192.168.1.23:4173/controller?token=AbC-_9xYz"),
                                    "https://[fd00::1]:4173/c?token=" + std::string(120, 'k')}) {
        shown.item->setWindowContent({"Ready.", "", link, "No code yet."});
        EXPECT_EQ(decoded(*window), link + "\n");
        const QLineEdit* text = window->findChild<QLineEdit*>();
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::make_pair(text->text().toStdString(), text->isReadOnly()), std::make_pair(link, true));
    }
    shown.item->setWindowContent({"Stopped.", "", "", "No code yet."});
    EXPECT_EQ(decoded(*window), "") << "the code of a link no longer there";
    EXPECT_FALSE(window->findChild<QLineEdit*>()->isVisible()) << "the text of a link no longer there";
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

TEST(QtStatusBar, TheTrayIconReadsOnEveryGreyPanelInEachStateAndItsStatesDifferInShape)
{
    NoTray hosts;
    QtStatusBar bar(hosts);
    const auto image =
        std::dynamic_pointer_cast<QtImage>(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    ASSERT_TRUE(image);
    for (const int size : {16, 22, 24, 32}) {
        QImage shapes[2];
        for (const bool ready : {true, false}) {
            const QImage drawn = image
                                     ->tinted(tintColor(ready ? platform::TintColor::systemGreen
                                                              : platform::TintColor::secondaryLabel),
                                              ready)
                                     .pixmap(size, size)
                                     .toImage();
            ASSERT_EQ(drawn.size(), QSize(size, size));
            shapes[ready] = drawn.convertToFormat(QImage::Format_Alpha8);
            // On white, black and every grey between, a good part of the icon (its fill or its
            // outline) stands out from the panel by 3:1 at least.
            for (int grey = 0; grey <= 255; grey += 5) {
                const QColor panel(grey, grey, grey);
                QImage onPanel(drawn.size(), QImage::Format_ARGB32);
                onPanel.fill(panel);
                QPainter(&onPanel).drawImage(0, 0, drawn);
                int standingOut = 0;
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        standingOut += qAlpha(drawn.pixel(x, y)) == 255 &&
                                       contrast(onPanel.pixelColor(x, y), panel) >= 3.0;
                    }
                }
                EXPECT_GE(standingOut, size * size / 6)
                    << "grey " << grey << ", " << size << " px, " << (ready ? "ready" : "not ready");
            }
        }
        EXPECT_NE(shapes[0], shapes[1]) << "ready and not ready differ by colour alone at " << size << " px";
    }
    // The item shows the green of the platform, #34C759, whatever the application's palette says.
    const auto item = bar.statusItem();
    item->button()->setImage(image);
    item->button()->setContentTintColor(platform::TintColor::systemGreen);
    const QImage shown = dynamic_cast<QtStatusItem&>(*item).icon().pixmap(32, 32).toImage();
    int green = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            green += shown.pixelColor(x, y).rgba() == QColor(0x34, 0xC7, 0x59).rgba();
        }
    }
    EXPECT_GE(green, 32 * 32 / 10);
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
