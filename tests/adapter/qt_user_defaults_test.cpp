#include "platform/qt/qt_user_defaults.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tovra::qt {
namespace {

std::string contentsOf(const std::filesystem::path& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class QtUserDefaultsTest : public testing::Test {
protected:
    QTemporaryDir directory_;
    QString path_ = directory_.filePath(QStringLiteral("defaults.conf"));
};

TEST_F(QtUserDefaultsTest, AnAbsentKeyIsFalse)
{
    auto defaults = QtUserDefaults::atPath(path_);

    EXPECT_FALSE(defaults.boolForKey("didOpenSetup"));
}

TEST_F(QtUserDefaultsTest, AStoredValueReadsBackInAnotherInstance)
{
    {
        auto writer = QtUserDefaults::atPath(path_);
        writer.setBool("didOpenSetup", true);
        writer.setBool("other", false);
    }
    auto reader = QtUserDefaults::atPath(path_);

    EXPECT_TRUE(reader.boolForKey("didOpenSetup"));
    EXPECT_FALSE(reader.boolForKey("other"));
}

TEST_F(QtUserDefaultsTest, ATrueOverwrittenWithFalseReadsFalse)
{
    auto defaults = QtUserDefaults::atPath(path_);
    defaults.setBool("didOpenSetup", true);
    defaults.setBool("didOpenSetup", false);

    EXPECT_FALSE(QtUserDefaults::atPath(path_).boolForKey("didOpenSetup"));
}

TEST_F(QtUserDefaultsTest, SetBoolIsOnDiskBeforeItReturns)
{
    auto defaults = QtUserDefaults::atPath(path_);

    defaults.setBool("didOpenSetup", true);

    // Read behind QSettings' back, with the writer still alive and no event loop run.
    EXPECT_NE(contentsOf(path_.toStdString()).find("didOpenSetup=true"), std::string::npos);
}

// QSettings fixes the user's folder ($XDG_CONFIG_HOME) once per process, so the test moves it
// with setPath and puts it back after.
TEST_F(QtUserDefaultsTest, NamedSettingsAreTheUsersNativeSettings)
{
    const QString usersFolder =
        QFileInfo(
            QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Probe")).fileName())
            .path();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, directory_.path());
    {
        QtUserDefaults defaults(QStringLiteral("TovraTest"), QStringLiteral("Defaults Test"));
        defaults.setBool("didOpenSetup", true);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, usersFolder);

    const std::filesystem::path file =
        std::filesystem::path(directory_.path().toStdString()) / "TovraTest" / "Defaults Test.conf";
    EXPECT_NE(contentsOf(file).find("didOpenSetup=true"), std::string::npos);
}

} // namespace
} // namespace tovra::qt
