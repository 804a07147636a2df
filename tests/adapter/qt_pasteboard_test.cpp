#include "platform/qt/qt_pasteboard.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>

namespace tovra::qt {
namespace {

TEST(QtPasteboard, SetStringPutsUtf8TextOnTheClipboardAndClearContentsEmptiesIt)
{
    QtPasteboard pasteboard;

    pasteboard.setString("http://192.168.1.20:4173/phone?code=Grüße-✓");
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              QStringLiteral(u"http://192.168.1.20:4173/phone?code=Grüße-✓"));

    pasteboard.clearContents();
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}

} // namespace
} // namespace tovra::qt
