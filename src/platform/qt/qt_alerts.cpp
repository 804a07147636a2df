#include "platform/qt/qt_alerts.h"

#include <QLabel>
#include <QPushButton>
#include <QString>

#include <algorithm>
#include <utility>
#include <vector>

namespace tovra::qt {

namespace {

QMessageBox::Icon iconFor(platform::AlertStyle style)
{
    switch (style) {
    case platform::AlertStyle::critical:
        break;
    }
    return QMessageBox::Critical;
}

} // namespace

int QtAlerts::runModal(const platform::AlertContent& alert)
{
    QMessageBox box;
    box.setIcon(iconFor(alert.style));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromUtf8(alert.messageText));
    box.setInformativeText(QString::fromUtf8(alert.informativeText));
    // The informative label has no format of its own and would take markup for rich text.
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
    }

    std::vector<QPushButton*> buttons;
    for (const std::string& title : alert.buttons) {
        const QString text = QString::fromUtf8(title).replace(QLatin1Char('&'), QLatin1String("&&"));
        buttons.push_back(
            box.addButton(text, buttons.empty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    if (!buttons.empty()) {
        box.setDefaultButton(buttons.front());
    }

    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();

    const auto pressed = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    return pressed == buttons.end() ? 0 : static_cast<int>(pressed - buttons.begin());
}

} // namespace tovra::qt
