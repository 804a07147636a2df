// The Qt backends against what only Qt shows, inside one QApplication on the offscreen platform.
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/qt/qt_alerts.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_url_session.h"
#include "platform/qt/qt_user_defaults.h"
#include "platform/qt/qt_workspace.h"
#include "support/temp_dir.h"

namespace tovra::qt {
namespace {

using namespace std::chrono_literals;

// Runs the event loop until `done` holds; the bound only stops a hung test.
bool eventually(const auto& done)
{
    for (QDeadlineTimer deadline(5000); !done() && !deadline.hasExpired(); QThread::msleep(2)) {
        QCoreApplication::processEvents();
    }
    return done();
}

// An HTTP server on an ephemeral loopback port: each connection gets `answer(request head)`,
// written in pieces with `pause` between them, then the connection closes.
struct Server {
    explicit Server(std::vector<std::string> answer, std::chrono::milliseconds pause = {})
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener, 16);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread([this, answer, pause] {
            for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0; ::close(fd)) {
                char head[1024] = {};
                const ssize_t size = ::recv(fd, head, sizeof head, 0);
                std::lock_guard lock(mutex);
                requests.emplace_back(head, std::max<ssize_t>(0, size));
                for (const std::string& piece : answer) {
                    std::this_thread::sleep_for(pause);
                    ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
                }
            }
        });
    }
    ~Server()
    {
        ::shutdown(listener, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    std::string url() const { return "http://localhost:" + std::to_string(port) + "/health"; }
    std::vector<std::string> received()
    {
        std::lock_guard lock(mutex);
        return requests;
    }

    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int port;
    std::mutex mutex;
    std::vector<std::string> requests;
    std::thread thread;
};

std::string answer(int status, const std::string& body, const std::string& length = "")
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\nContent-Length: " +
           (length.empty() ? std::to_string(body.size()) : length) + "\r\n\r\n" + body;
}

// One GET through a session of its own; `owner` answers which address a process listens on.
std::optional<std::string> fetch(const std::string& url, double timeout = 5, std::optional<int> server = {},
                                 QtUrlSession::OwnedListener owner = {})
{
    std::promise<std::optional<std::string>> result;
    QtUrlSession session(std::move(owner));
    session.dataTask({url, {}, timeout, server}, [&](std::optional<std::string> body) {
        EXPECT_NE(QThread::currentThread(), QCoreApplication::instance()->thread());
        result.set_value(std::move(body));
    });
    return result.get_future().get();
}

TEST(QtUrlSession, OnlyAWholeAnswerInTimeCountsWhateverItsStatus)
{
    const std::string big(QtUrlSession::kMaxBodyBytes, 'x');
    const struct {
        const char* label;
        std::vector<std::string> pieces;
        std::optional<std::string> body;
        std::chrono::milliseconds pause{};
    } cases[] = {
        {"200", {answer(200, "{}")}, "{}"},
        {"500", {answer(500, "starting")}, "starting"},
        {"302, not followed", {answer(302, "moved")}, "moved"},
        {"cut short", {answer(200, "part", "100")}, {}},
        {"at the cap", {answer(200, big)}, big},
        {"over the cap", {answer(200, big + "x")}, {}},
        {"trickling past the deadline", {answer(200, "", "3").substr(0, 60), "x", "y", "z"}, {}, 300ms},
    };
    for (const auto& c : cases) {
        Server server(c.pieces, c.pause);
        const auto body = fetch(server.url(), 0.5);
        EXPECT_TRUE(body == c.body) << c.label << ": " << body.value_or("(none)").substr(0, 50);
    }
    EXPECT_EQ(fetch("http://127.0.0.1:1/health"), std::nullopt);
}

TEST(QtUrlSession, AskedForAProcessItGoesOnlyToThatProcesssListener)
{
    Server server({answer(200, "ours")});
    int lookups = 0;
    const auto owned = [&](int pid, int port) {
        ++lookups;
        return pid == 7 && port == server.port ? std::optional<std::string>("127.0.0.1") : std::nullopt;
    };
    EXPECT_EQ(fetch(server.url(), 5, 8, owned), std::nullopt);
    EXPECT_EQ(fetch(server.url(), 5, 8, {}), std::nullopt);
    EXPECT_EQ(fetch(server.url(), 5, 7, owned), "ours");
    EXPECT_EQ(lookups, 3) << "asked before sending and again on the answer";
    // A listener that changed hands while it answered does not count.
    EXPECT_EQ(
        fetch(server.url(), 5, 7, [calls = 0](int, int) mutable { return calls++ ? "::1" : "127.0.0.1"; }),
        std::nullopt);
    // Two reached the server, each with the name it was asked by.
    const std::vector<std::string> requests = server.received();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& request : requests) {
        EXPECT_NE(request.find("\r\nHost: localhost:" + std::to_string(server.port) + "\r\n"),
                  std::string::npos)
            << request;
    }
}

TEST(QtStatusBar, TheMenuShowsEntriesAsWrittenAndAnOpenMenuTakesItsShortcuts)
{
    QtStatusBar bar;
    const auto item = bar.statusItem(platform::kSquareStatusItemLength);
    int quits = 0;
    const auto status = bar.makeMenuItem("Salt & Pepper\u2026", {}, "");
    const auto login = bar.makeMenuItem(
        "Start at Login", [] {}, "");
    const auto quit = bar.makeMenuItem(
        "Quit", [&] { ++quits; }, "q");
    const auto menu = bar.makeMenu();
    for (const auto& entry : {status, login, quit}) {
        menu->addItem(entry);
    }
    status->setEnabled(false);
    login->setState(platform::ControlState::on);
    item->setMenu(menu);
    QMenu& shown = dynamic_cast<QtMenu&>(*menu).menu();
    std::vector<std::string> entries;
    for (const QAction* action : shown.actions()) {
        entries.push_back(action->text().toStdString() + (action->isEnabled() ? "" : " (disabled)") +
                          (action->isCheckable() ? action->isChecked() ? " (on)" : " (off)" : "") + " " +
                          action->shortcut().toString().toStdString());
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"Salt && Pepper\u2026 (disabled) ", "Start at Login (on) ",
                                                 "Quit Ctrl+Q"}));
    shown.actions()[1]->trigger();
    EXPECT_TRUE(shown.actions()[1]->isChecked()) << "Qt turned it off on its own; only the program does";
    QKeyEvent control(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier);
    QKeyEvent plain(QEvent::KeyPress, Qt::Key_Q, Qt::NoModifier);
    QApplication::sendEvent(&shown, &plain);
    QApplication::sendEvent(&shown, &control);
    EXPECT_EQ(quits, 1);
    // Without a tray host the item waits, invisible, keeping what it was given.
    EXPECT_FALSE(item->isVisible());
    EXPECT_EQ(dynamic_cast<QtStatusItem&>(*item).trayIcon(), nullptr);
}

TEST(QtStatusBar, TheIconIsTheSymbolInTheTint)
{
    QtStatusBar bar;
    const auto item = bar.statusItem(platform::kSquareStatusItemLength);
    const auto colours = [&] {
        const QImage image = dynamic_cast<QtStatusItem&>(*item).icon().pixmap(22).toImage().convertToFormat(
            QImage::Format_ARGB32);
        std::set<QRgb> opaque;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)) == 255) {
                    opaque.insert(image.pixel(x, y));
                }
            }
        }
        return opaque;
    };
    item->button()->setImage(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_EQ(colours(), std::set<QRgb>{0xFF8E8E93});
    item->button()->setContentTintColor(platform::TintColor::systemGreen);
    EXPECT_EQ(colours(), std::set<QRgb>{0xFF34C759});
    for (const char* unknown : {"no.such.symbol", "../symbols/slider.vertical.3"}) {
        EXPECT_EQ(bar.systemSymbolImage(unknown, ""), nullptr) << unknown;
    }
}

TEST(QtMainQueue, ItemsRunOnTimeUnlessCancelledAndTimersTickUntilInvalidated)
{
    QtMainQueue queue;
    std::vector<std::string> ran;
    const auto later = std::make_shared<platform::WorkItem>([&] { ran.push_back("later"); });
    const auto cancelled = std::make_shared<platform::WorkItem>([&] { ran.push_back("cancelled"); });
    QElapsedTimer clock;
    clock.start();
    queue.asyncAfter(0.05, later);
    queue.asyncAfter(0.01, cancelled);
    cancelled->cancel();
    const auto timer = queue.scheduledTimer(0.02, [&] { ran.push_back("tick"); });
    std::thread([&] {
        queue.async(
            [&] { ran.push_back(QThread::currentThread() == qApp->thread() ? "main" : "elsewhere"); });
    }).join();
    ASSERT_TRUE(eventually([&] { return std::count(ran.begin(), ran.end(), "tick") == 3; }));
    timer->invalidate();
    ASSERT_TRUE(eventually([&] { return std::count(ran.begin(), ran.end(), "later"); }));
    EXPECT_GE(clock.elapsed(), 50);
    eventually([&, until = clock.elapsed() + 60] { return clock.elapsed() >= until; });
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "tick"), 3);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "main"), 1);
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "cancelled"), 0);
}

TEST(QtAlerts, ACriticalAlertShowsPlainTextAndOneButton)
{
    QtAlerts alerts;
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        shown = box->text() + "|" + box->informativeText() + "|" + QString::number(box->buttons().size()) +
                "|" + box->buttons().at(0)->text();
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->findChild<QLabel*>("qt_msgbox_informativelabel")->textFormat(), Qt::PlainText);
        box->buttons().at(0)->click();
    });
    EXPECT_EQ(
        alerts.runModal({platform::AlertStyle::critical, "Can\u2019t start", "Get <b>it</b> again.", {"OK"}}),
        0);
    EXPECT_EQ(shown.toStdString(), "Can\u2019t start|Get <b>it</b> again.|1|OK");
}

TEST(QtWorkspace, TheDesktopOpensWebAddressesAndWithoutAFileManagerTheFolder)
{
    testing::TempDir folder;
    testing::writeFile(folder / "xdg-open", "#!/bin/sh\necho \"$@\" >> \"$0.calls\"\n");
    std::filesystem::permissions(folder / "xdg-open", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (folder.path.string() + ":" + path).c_str(), 1);
    QtWorkspace workspace(QDBusConnection("no bus"));
    EXPECT_FALSE(workspace.openURL("-h"));
    EXPECT_FALSE(workspace.openURL("not a url"));
    EXPECT_TRUE(workspace.openURL("http://localhost:4173/setup"));
    workspace.activateFileViewerSelecting({"/tmp/a b/Tovra Bridge.log"});
    ::setenv("PATH", path.c_str(), 1);
    const auto calls = [&] {
        std::vector<std::string> lines;
        std::istringstream text(testing::readFile(folder / "xdg-open.calls"));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end()); // the openers run side by side
        return lines;
    };
    EXPECT_TRUE(eventually([&] { return calls().size() == 2; }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"file:///tmp/a%20b", "http://localhost:4173/setup"}));
}

TEST(QtUserDefaults, AValueSetIsOnDiskAtOnce)
{
    testing::TempDir folder;
    const QString file = QString::fromStdString((folder / "settings.conf").string());
    QtUserDefaults(file).setBool("TovraDidOpenSetupV1", true);
    EXPECT_TRUE(QtUserDefaults(file).boolForKey("TovraDidOpenSetupV1"));
    EXPECT_FALSE(QtUserDefaults(file).boolForKey("other"));
    EXPECT_NE(testing::readFile(folder / "settings.conf").find("TovraDidOpenSetupV1=true"),
              std::string::npos);
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
