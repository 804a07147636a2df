#include "platform/qt/qt_workspace.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QProcess>
#include <QTextBrowser>
#include <QThread>

#include <atomic>
#include <string>
#include <vector>

namespace tovra::qt {
namespace {

// Runs the event loop until `done` holds; the bound only stops a hung test.
bool eventually(const auto& done)
{
    for (QDeadlineTimer deadline(10000); !done() && !deadline.hasExpired(); QThread::msleep(5)) {
        QCoreApplication::processEvents();
    }
    return done();
}

// Stands in for the desktop's opener of file: URLs; QTextBrowser has a slot taking a QUrl to name.
struct OpenedFolders : QTextBrowser {
    OpenedFolders()
    {
        connect(this, &QTextBrowser::anchorClicked,
                [this](const QUrl& url) { urls.push_back(url.toString(QUrl::FullyEncoded).toStdString()); });
        QDesktopServices::setUrlHandler("file", this, "anchorClicked");
    }
    ~OpenedFolders() override { QDesktopServices::unsetUrlHandler("file"); }
    std::vector<std::string> urls;
};

// A file manager that answers with success or, once told to, an error.
struct FakeFileManager : QDBusVirtualObject {
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QString files = message.arguments().value(0).toStringList().join(' ');
        asked = (message.interface() + '.' + message.member() + ' ' + files).toStdString();
        called = true;
        return connection.send(failing ? message.createErrorReply(QDBusError::Failed, "no window")
                                       : message.createReply());
    }
    QString introspect(const QString&) const override { return {}; }
    std::atomic<bool> failing = false, called = false;
    std::string asked; // read once `called`
};

TEST(QtWorkspace, TheFileManagerOnTheBusShowsTheFilesAndAFailureOpensTheFolderInstead)
{
    // A bus of its own, on which the fake holds the file manager's name throughout.
    QProcess bus;
    bus.start("dbus-daemon",
              {"--session", "--nofork", "--print-address",
               "--address=unix:abstract=tovra-test-" + QString::number(QCoreApplication::applicationPid())});
    if (!bus.waitForStarted()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    ASSERT_TRUE(bus.waitForReadyRead(10000));
    const QString address = QString::fromUtf8(bus.readLine().trimmed());
    FakeFileManager fileManager;
    QDBusConnection service = QDBusConnection::connectToBus(address, "tovra-test-service");
    ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/FileManager1", &fileManager));
    ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
    OpenedFolders opened;
    QtWorkspace workspace(QDBusConnection::connectToBus(address, "tovra-test-client"));

    workspace.activateFileViewerSelecting({"/tmp/a b/c d.txt"});
    ASSERT_TRUE(eventually([&] { return fileManager.called.load(); }));
    EXPECT_EQ(fileManager.asked, "org.freedesktop.FileManager1.ShowItems file:///tmp/a%20b/c%20d.txt");

    // The fallback of this one comes after the first reply, so the list shows if that opened anything.
    fileManager.failing = true;
    workspace.activateFileViewerSelecting({"/tmp/other/bridge.log"});
    ASSERT_TRUE(eventually([&] { return !opened.urls.empty(); }));
    EXPECT_EQ(opened.urls, std::vector<std::string>{"file:///tmp/other"});

    QDBusConnection::disconnectFromBus("tovra-test-service");
    QDBusConnection::disconnectFromBus("tovra-test-client");
}

TEST(QtWorkspace, WithoutABusTheFoldersOpenAtOnceEachOnce)
{
    OpenedFolders opened;
    QtWorkspace workspace(QDBusConnection("never-connected"));
    workspace.activateFileViewerSelecting({"/tmp/a b/new.log", "/tmp/a b/old.log", "/var/log/c"});
    EXPECT_EQ(opened.urls, (std::vector<std::string>{"file:///tmp/a%20b", "file:///var/log"}));
}

} // namespace
} // namespace tovra::qt
