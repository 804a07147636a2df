#include "platform/qt/qt_workspace.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tovra::qt {
namespace {

// Runs the event loop until `done` holds; the deadline only stops a hung test.
bool waitFor(const std::function<bool()>& done)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    poll.start(5);
    if (!done()) {
        loop.exec();
    }
    return done();
}

// Stands in for the desktop for one URL scheme: records what QDesktopServices is asked to open.
// QDesktopServices calls a named method; QTextBrowser has a signal taking a QUrl to name.
class OpenedUrls {
public:
    explicit OpenedUrls(const QString& scheme) : scheme_(scheme)
    {
        QObject::connect(&receiver_, &QTextBrowser::anchorClicked, &receiver_, [this](const QUrl& url) {
            urls.push_back(url.toString(QUrl::FullyEncoded).toStdString());
        });
        QDesktopServices::setUrlHandler(scheme_, &receiver_, "anchorClicked");
    }
    ~OpenedUrls() { QDesktopServices::unsetUrlHandler(scheme_); }

    std::vector<std::string> urls;

private:
    QString scheme_;
    QTextBrowser receiver_;
};

TEST(QtWorkspace, OpenUrlHandsValidAddressesOn)
{
    OpenedUrls opened(QStringLiteral("https"));
    QtWorkspace workspace;

    EXPECT_TRUE(workspace.openURL("https://example.org/phone?code=a%20b#setup"));

    EXPECT_EQ(opened.urls, std::vector<std::string>{"https://example.org/phone?code=a%20b#setup"});
}

TEST(QtWorkspace, OpenUrlRefusesWhatIsNotAnAddress)
{
    OpenedUrls opened(QStringLiteral("https"));
    QtWorkspace workspace;

    for (const char* url : {"", "https://exa mple.org/", "https://example.org:99999/", "no scheme at all"}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(workspace.openURL(url));
    }
    EXPECT_TRUE(opened.urls.empty());
}

TEST(QtWorkspace, WithoutABusTheContainingFolderOpensAtOnce)
{
    OpenedUrls opened(QStringLiteral("file"));
    QtWorkspace workspace(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                        QStringLiteral("tovra-test-no-bus")));

    workspace.activateFileViewerSelecting({"/tmp/some dir/bridge.log"});

    EXPECT_EQ(opened.urls, std::vector<std::string>{"file:///tmp/some%20dir"});
    QDBusConnection::disconnectFromBus(QStringLiteral("tovra-test-no-bus"));
}

// A file manager on a private bus; answers ShowItems with success or, when told to, an error.
class FakeFileManager : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() != QLatin1String("org.freedesktop.FileManager1") ||
            message.member() != QLatin1String("ShowItems")) {
            return false;
        }
        {
            const std::lock_guard lock(mutex_);
            calls_.push_back(message.arguments());
        }
        connection.send(failing ? message.createErrorReply(QDBusError::Failed, QStringLiteral("no window"))
                                : message.createReply());
        return true;
    }
    QString introspect(const QString& /*path*/) const override { return {}; }

    std::vector<QVariantList> calls() const
    {
        const std::lock_guard lock(mutex_);
        return calls_;
    }

    std::atomic<bool> failing = false;

private:
    mutable std::mutex mutex_;
    std::vector<QVariantList> calls_;
};

// Each test gets its own dbus-daemon with no service files, so nothing on the machine answers.
class QtWorkspaceOnPrivateBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        ASSERT_TRUE(directory_.isValid());
        QFile config(directory_.filePath(QStringLiteral("bus.conf")));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                           "<allow own=\"*\"/></policy></busconfig>")
                .arg(directory_.path())
                .toUtf8());
        config.close();

        daemon_.start(daemon, {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                               QStringLiteral("--config-file=") + config.fileName()});
        ASSERT_TRUE(daemon_.waitForStarted());
        QByteArray address;
        while (!address.endsWith('\n') && daemon_.waitForReadyRead(10000)) {
            address += daemon_.readAllStandardOutput();
        }
        address_ = QString::fromUtf8(address.trimmed());
        ASSERT_FALSE(address_.isEmpty());
    }

    void TearDown() override
    {
        for (const QString& name : connections_) {
            QDBusConnection::disconnectFromBus(name);
        }
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished();
        }
    }

    QDBusConnection connect(const QString& name)
    {
        connections_.append(name);
        return QDBusConnection::connectToBus(address_, name);
    }

    // Puts a file manager on the bus, on a connection of its own.
    void registerFileManager()
    {
        QDBusConnection service = connect(QStringLiteral("tovra-test-file-manager"));
        ASSERT_TRUE(service.isConnected());
        ASSERT_TRUE(service.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"),
                                                  &fileManager, QDBusConnection::SingleNode));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    }

    FakeFileManager fileManager;

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList connections_;
};

TEST_F(QtWorkspaceOnPrivateBus, TheFileManagerIsAskedToShowTheFile)
{
    registerFileManager();
    OpenedUrls opened(QStringLiteral("file"));
    QtWorkspace workspace(connect(QStringLiteral("tovra-test-client")));

    workspace.activateFileViewerSelecting({"/tmp/some dir/bridge log.txt"});

    ASSERT_TRUE(waitFor([&] { return !fileManager.calls().empty(); }));
    const QVariantList arguments = fileManager.calls().at(0);
    ASSERT_EQ(arguments.size(), 2);
    EXPECT_EQ(arguments.at(0).toStringList().join('|').toStdString(),
              "file:///tmp/some%20dir/bridge%20log.txt");
    EXPECT_EQ(arguments.at(1).toString().toStdString(), "");

    // A second request that fails: its fallback comes after the first reply has been handled,
    // so the folder list shows whether the first (successful) request opened anything.
    fileManager.failing = true;
    workspace.activateFileViewerSelecting({"/tmp/other/bridge.log"});
    ASSERT_TRUE(waitFor([&] { return !opened.urls.empty(); }));
    EXPECT_EQ(opened.urls, std::vector<std::string>{"file:///tmp/other"});
}

TEST_F(QtWorkspaceOnPrivateBus, AnErrorFromTheFileManagerOpensTheFolder)
{
    registerFileManager();
    fileManager.failing = true;
    OpenedUrls opened(QStringLiteral("file"));
    QtWorkspace workspace(connect(QStringLiteral("tovra-test-client")));

    workspace.activateFileViewerSelecting({"/tmp/some dir/bridge.log", "/tmp/some dir/older.log"});

    ASSERT_TRUE(waitFor([&] { return !opened.urls.empty(); }));
    EXPECT_EQ(opened.urls, std::vector<std::string>{"file:///tmp/some%20dir"});
    ASSERT_EQ(fileManager.calls().size(), 1U);
    EXPECT_EQ(fileManager.calls().at(0).at(0).toStringList().size(), 2);
}

TEST_F(QtWorkspaceOnPrivateBus, WithNoFileManagerOnTheBusTheFolderOpens)
{
    OpenedUrls opened(QStringLiteral("file"));
    QtWorkspace workspace(connect(QStringLiteral("tovra-test-client")));

    workspace.activateFileViewerSelecting({"/tmp/some dir/bridge.log"});

    EXPECT_TRUE(opened.urls.empty()) << "the call returns before the bus answers";
    ASSERT_TRUE(waitFor([&] { return !opened.urls.empty(); }));
    EXPECT_EQ(opened.urls, std::vector<std::string>{"file:///tmp/some%20dir"});
}

} // namespace
} // namespace tovra::qt
