#include "platform/qt/qt_alerts.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>

#include <string>

namespace tovra::qt {
namespace {

TEST(QtAlerts, ACriticalAlertShowsItsContentAsPlainTextAndOkReturnsZero)
{
    const platform::AlertContent content{platform::AlertStyle::critical,
                                         "Tovra couldn\xE2\x80\x99t start",
                                         "Files are missing. Download <b>Tovra</b> again.",
                                         {"OK"}};
    bool shown = false;
    QtAlerts alerts([&](QMessageBox& box) {
        shown = box.isVisible();
        EXPECT_EQ(box.icon(), QMessageBox::Critical);
        EXPECT_EQ(box.text().toStdString(), content.messageText);
        EXPECT_EQ(box.informativeText().toStdString(), content.informativeText);
        const auto* informative = box.findChild<QLabel*>("qt_msgbox_informativelabel");
        EXPECT_TRUE(informative && informative->textFormat() == Qt::PlainText) << "markup would be drawn";
        const QList<QAbstractButton*> buttons = box.buttons();
        EXPECT_EQ(buttons.size(), 1);
        if (buttons.isEmpty()) {
            box.reject();
            return;
        }
        EXPECT_EQ(buttons.front()->text().toStdString(), "OK");
        EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()), buttons.front());
        buttons.front()->click();
    });

    EXPECT_EQ(alerts.runModal(content), 0);
    EXPECT_TRUE(shown);
}

} // namespace
} // namespace tovra::qt
