#include "platform/qt/qt_user_defaults.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace tovra::qt {
namespace {

TEST(QtUserDefaults, AValueSetIsOnDiskAtOnceAndReadsBackInAnotherInstance)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("defaults.conf");
    auto writer = QtUserDefaults::atPath(path);
    EXPECT_FALSE(writer.boolForKey("didOpenSetup")) << "absent";

    writer.setBool("didOpenSetup", true);
    writer.setBool("other", true);
    writer.setBool("other", false);

    // Read behind QSettings' back, with the writer still alive and no event loop run.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("didOpenSetup=true"));
    auto reader = QtUserDefaults::atPath(path);
    EXPECT_TRUE(reader.boolForKey("didOpenSetup"));
    EXPECT_FALSE(reader.boolForKey("other"));
    EXPECT_FALSE(reader.boolForKey("neverSet"));
}

} // namespace
} // namespace tovra::qt
