#include "platform/qt/qt_alerts.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <string>
#include <vector>

namespace tovra::qt {
namespace {

using platform::AlertContent;
using platform::AlertStyle;

// What the alert looked like while it was on screen.
struct Seen {
    bool visible = false;
    Qt::WindowModality modality = Qt::NonModal;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::string text;
    std::string informativeText;
    Qt::TextFormat informativeFormat = Qt::AutoText;
    std::vector<std::string> buttons;
    std::string defaultButton;
};

// Records the alert, then presses the button titled `press`.
QtAlerts::ShownHook seeAndPress(Seen& seen, const QString& press)
{
    return [&seen, press](QMessageBox& box) {
        seen.visible = box.isVisible();
        seen.modality = box.windowModality();
        seen.icon = box.icon();
        seen.text = box.text().toStdString();
        seen.informativeText = box.informativeText().toStdString();
        if (const auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            seen.informativeFormat = label->textFormat();
        }
        QAbstractButton* target = nullptr;
        for (QAbstractButton* button : box.buttons()) {
            seen.buttons.push_back(button->text().toStdString());
            if (button->text() == press) {
                target = button;
            }
        }
        seen.defaultButton = box.defaultButton() ? box.defaultButton()->text().toStdString() : "";
        if (target) {
            target->click();
        } else {
            box.reject();
        }
    };
}

TEST(QtAlerts, ACriticalAlertShowsItsContentAndReturnsTheButtonPressed)
{
    Seen seen;
    QtAlerts alerts(seeAndPress(seen, QStringLiteral("OK")));
    const AlertContent content{AlertStyle::critical,
                               "Tovra couldn\xE2\x80\x99t start",
                               "Files are missing. Download <b>Tovra</b> again.",
                               {"OK"}};

    EXPECT_EQ(alerts.runModal(content), 0);

    EXPECT_TRUE(seen.visible);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.text, content.messageText);
    EXPECT_EQ(seen.informativeText, content.informativeText);
    EXPECT_EQ(seen.informativeFormat, Qt::PlainText);
    EXPECT_EQ(seen.buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(seen.defaultButton, "OK");
}

TEST(QtAlerts, EachStyleHasItsIcon)
{
    const struct {
        AlertStyle style;
        QMessageBox::Icon icon;
    } cases[] = {{AlertStyle::critical, QMessageBox::Critical},
                 {AlertStyle::warning, QMessageBox::Warning},
                 {AlertStyle::informational, QMessageBox::Information}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.style));
        Seen seen;
        QtAlerts alerts(seeAndPress(seen, QStringLiteral("OK")));
        alerts.runModal({c.style, "Message", "", {"OK"}});
        EXPECT_EQ(seen.icon, c.icon);
    }
}

TEST(QtAlerts, TheIndexFollowsTheOrderOfTheButtons)
{
    Seen seen;
    QtAlerts alerts(seeAndPress(seen, QStringLiteral("Third")));

    EXPECT_EQ(alerts.runModal({AlertStyle::warning, "Message", "", {"First", "Second", "Third"}}), 2);

    EXPECT_EQ(seen.defaultButton, "First");
    // The desktop's button layout decides the order on screen.
    std::sort(seen.buttons.begin(), seen.buttons.end());
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"First", "Second", "Third"}));
}

TEST(QtAlerts, ClosingWithoutAButtonReturnsZero)
{
    Seen seen;
    QtAlerts alerts(seeAndPress(seen, QString()));

    EXPECT_EQ(alerts.runModal({AlertStyle::warning, "Message", "", {"First", "Second"}}), 0);
    EXPECT_TRUE(seen.visible);
}

} // namespace
} // namespace tovra::qt
