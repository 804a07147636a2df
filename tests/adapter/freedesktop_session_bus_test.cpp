// The session bus: its address, as the environment gives it (every socket it names, and nothing
// of what is malformed, without ever failing); the first question asked of it, which only a bus
// that lets this user in answers; and the accessibility bridge, made once it has settled.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAccessible>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/freedesktop/session_bus.h"
#include "platform/posix/file_descriptor.h"
#include "support/temp_dir.h"

namespace tovra::freedesktop {
namespace {

using Sockets = std::vector<std::pair<std::string, bool>>; // path, abstract

TEST(BusAddress, EverySocketItNamesUnescapedAndNoneMalformed)
{
    const std::pair<const char*, Sockets> cases[] = {
        {"unix:path=/run/user/1000/bus", {{"/run/user/1000/bus", false}}},
        {"unix:abstract=/tmp/dbus-x,guid=0123abcd", {{"/tmp/dbus-x", true}}},
        {"unix:guid=0123,path=/a%20b%2C%2f", {{"/a b,/", false}}},
        {"tcp:host=localhost,port=1;unix:path=/y", {{"", false}, {"/y", false}}},
        {"unix:path=/x%zz", {}},
        {"unix:path=/x%4", {}},
        {"unix:path=/x%+1", {}},
        {"unix:path=/x%4z", {}},
        {"unix:path=", {}},
        {"unix:path=/x%zz;unix:path=/y", {{"/y", false}}},
        {"autolaunch:;unix:tmpdir=/tmp;;", {}},
        {"", {}},
    };
    for (const auto& [address, expected] : cases) {
        EXPECT_EQ(busAddressesOf(address), expected) << address;
    }
}

// A bus of the test's own on a Unix socket, as DBUS_SESSION_BUS_ADDRESS names it: the one
// connection it takes is handed to `behave`.
class FakeBus {
public:
    explicit FakeBus(std::function<void(int connection)> behave)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = (dir_ / "bus").string();
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_.get(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
        thread_ = std::thread([this, behave = std::move(behave)] {
            const posix::FileDescriptor connection(::accept(listener_.get(), nullptr, nullptr));
            if (connection.isOpen()) {
                behave(connection.get());
            }
        });
    }
    ~FakeBus()
    {
        ::shutdown(listener_.get(), SHUT_RDWR); // a connection never made ends the wait for it
        thread_.join();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

private:
    testing::TempDir dir_;
    posix::FileDescriptor listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::thread thread_;
};

// Reads the request's line, as a bus does before it answers.
void readRequest(int connection)
{
    std::string line;
    char byte;
    while (line.find("\r\n") == std::string::npos && ::recv(connection, &byte, 1, 0) == 1) {
        line += byte;
    }
}

TEST(SessionBus, OnlyABusThatLetsThisUserInWithAWholeAnswerAnswers)
{
    using std::chrono_literals::operator""ms;
    const auto say = [](std::string answer) {
        return [answer](int connection) {
            readRequest(connection);
            ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        };
    };
    const std::pair<const char*, std::function<void(int)>> refusals[] = {
        {"rejected", say("REJECTED EXTERNAL\r\n")},
        {"closed in the middle of its answer", say("OK 0123456789abcdef")},
        {"closed before it reads", [](int) {}},
        {"never answers",
         [](int connection) {
             readRequest(connection);
             char byte;
             ::recv(connection, &byte, 1, 0); // until the asker gives up
         }},
    };
    for (const auto& [label, behave] : refusals) {
        const FakeBus bus(behave);
        EXPECT_FALSE(SessionBus::answers(300ms)) << label;
    }
    const FakeBus bus(say("OK 0123456789abcdef\r\n"));
    EXPECT_TRUE(SessionBus::answers(300ms));
}

// The bridge, once the bus has settled: for a bus that answers, on it; for none, on an
// accessibility bus that cannot be, named for that moment only.
std::vector<std::string> bridgesMade;
void recordBridge(QObject*)
{
    const QByteArray named = qgetenv("AT_SPI_BUS_ADDRESS");
    bridgesMade.push_back(named.isEmpty() ? "on the session bus" : "on " + named.toStdString());
}

std::vector<std::string> bridgesFor(SessionBus& bus)
{
    bridgesMade.clear();
    makeAccessibilityBridge(bus);
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    QObject::connect(&bus, &SessionBus::connected, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(&bus, &SessionBus::unanswered, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    loop.exec();
    return bridgesMade;
}

TEST(SessionBus, TheAccessibilityBridgeIsMadeOnceTheBusHasSettled)
{
    int argc = 0;
    const QCoreApplication application(argc, nullptr);
    QAccessible::installRootObjectHandler(recordBridge);
    unsetenv("AT_SPI_BUS_ADDRESS");
    {
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        SessionBus none;
        EXPECT_EQ(bridgesFor(none), std::vector<std::string>{"on unix:path=/nonexistent"});
        EXPECT_EQ(qgetenv("AT_SPI_BUS_ADDRESS"), QByteArray()) << "left for the programs started later";
    }
    // A bus of its own: a dbus-daemon that says its address on the pipe, ended with the test.
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    const pid_t daemon = ::fork();
    if (daemon == 0) {
        ::dup2(output[1], 1);
        ::dup2(::open("/dev/null", O_WRONLY), 2); // its complaints are not the test's
        ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr);
        _exit(127);
    }
    ::close(output[1]);
    std::string address;
    char byte;
    while (::read(output[0], &byte, 1) == 1 && byte != '\n') {
        address += byte;
    }
    ::close(output[0]);
    ASSERT_FALSE(address.empty()) << "no dbus-daemon here";
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    {
        SessionBus bus;
        EXPECT_EQ(bridgesFor(bus), std::vector<std::string>{"on the session bus"});
        EXPECT_TRUE(bus.connection());
    }
    QAccessible::installRootObjectHandler(nullptr);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
}

} // namespace
} // namespace tovra::freedesktop
