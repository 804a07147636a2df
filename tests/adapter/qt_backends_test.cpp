// The Qt backends where only Qt shows what they do, in one QApplication on the offscreen platform;
// the tray with its menu, the timers, browser, notifications and settings are seen end to end.
#include <QApplication>
#include <QKeyEvent>
#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/qt/qt_menu.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/qt_url_session.h"
#include "platform/qt/qt_workspace.h"

namespace tovra::qt {
namespace {

// An HTTP server on an ephemeral loopback port: each connection gets the pieces, `pause` apart,
// and is closed. It keeps the requests' heads.
struct Server {
    explicit Server(std::vector<std::string> pieces, int pause = 0) : pieces(std::move(pieces)), pause(pause)
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener, 16);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread([this] {
            for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0; ::close(fd)) {
                char head[1024];
                heads.emplace_back(head, std::max<ssize_t>(0, ::recv(fd, head, sizeof head, 0)));
                for (const std::string& piece : this->pieces) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(this->pause));
                    ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
                }
            }
        });
    }
    ~Server() { received(), ::close(listener); }
    // The heads of the requests, once the server has stopped.
    std::vector<std::string> received()
    {
        ::shutdown(listener, SHUT_RDWR);
        thread.joinable() ? thread.join() : void();
        return heads;
    }
    std::string url() const { return "http://localhost:" + std::to_string(port) + "/health"; }

    int listener = ::socket(AF_INET, SOCK_STREAM, 0), port = 0;
    std::vector<std::string> pieces, heads; // heads: read only once the sessions have ended
    int pause;
    std::thread thread; // started once the socket listens
};

std::string answer(int status, const std::string& body, std::size_t length = std::string::npos)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\nContent-Length: " +
           std::to_string(length == std::string::npos ? body.size() : length) + "\r\n\r\n" + body;
}

// One GET through a session of its own; `owner` says where a process listens.
std::optional<std::string> fetch(const std::string& url, double timeout = 5, std::optional<int> server = {},
                                 QtUrlSession::OwnedListener owner = {})
{
    std::promise<std::optional<std::string>> result;
    QtUrlSession session(std::move(owner));
    session.dataTask({url, {}, timeout, server}, [&](std::optional<std::string> body) {
        EXPECT_NE(QThread::currentThread(), qApp->thread());
        result.set_value(std::move(body));
    });
    return result.get_future().get();
}

TEST(QtUrlSession, OnlyAWholeAnswerInTimeCountsWhateverItsStatus)
{
    const std::string big(QtUrlSession::kMaxBodyBytes, 'x');
    const std::tuple<const char*, std::vector<std::string>, std::optional<std::string>, int> cases[] = {
        {"200", {answer(200, "{}")}, "{}", 0},
        {"500", {answer(500, "starting")}, "starting", 0},
        {"302, not followed", {answer(302, "moved")}, "moved", 0},
        {"cut short", {answer(200, "part", 9)}, {}, 0},
        {"chunk cut, closed", {"HTTP/1.1 500 X\r\nTransfer-Encoding: chunked\r\n\r\n9\r\npart", ""}, {}, 99},
        {"at the cap", {answer(200, big)}, big, 0},
        {"over the cap", {answer(200, big + "x")}, {}, 0},
        {"trickling past the deadline", {answer(200, "", 3), "x", "y", "z"}, {}, 300},
    };
    for (const auto& [label, pieces, expected, pause] : cases) {
        Server server(pieces, pause);
        const auto body = fetch(server.url(), pause < 300 ? 5 : 0.5); // only the trickle meets the deadline
        EXPECT_TRUE(body == expected) << label << ": " << body.value_or("(none)").substr(0, 50);
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
    const auto host = testing::HasSubstr("\r\nHost: localhost:" + std::to_string(server.port) + "\r\n");
    EXPECT_THAT(server.received(), testing::ElementsAre(host, host));
}

TEST(QtStatusBar, EntriesShowAsWrittenAndAnOpenMenuTakesItsShortcuts)
{
    SessionBus bus; // the tests' environment names no bus
    QtStatusBar bar(bus);
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
    const auto item = bar.statusItem(platform::kSquareStatusItemLength); // no tray host: it waits, invisible
    item->button()->setImage(bar.systemSymbolImage("slider.vertical.3", "Tovra"));
    EXPECT_FALSE(item->isVisible() || dynamic_cast<QtStatusItem&>(*item).icon().isNull()) << "no icon yet";
    // Only an address goes to the desktop's opener, never what it would take for an option.
    EXPECT_FALSE(QtWorkspace(bus).openURL("-h") || QtWorkspace(bus).openURL("not a url"));
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
