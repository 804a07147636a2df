// QtUrlSession against real HTTP servers, written here on POSIX sockets.
#include "platform/qt/qt_url_session.h"

#include <QNetworkInterface>
#include <QNetworkProxy>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovra::qt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An HTTP server on a port of `host`, a thread per connection, blocking I/O. The handler gets the
// request path and answers on the socket; stopping shuts every socket down, ending any wait on it.
class Server {
public:
    using Handler = std::function<void(int fd, const std::string& path)>;

    explicit Server(Handler handler, const std::string& host = "127.0.0.1")
        : handler_(std::move(handler)), listen_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{AF_INET, 0, {}, {}};
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 || ::bind(listen_, raw, length) != 0 ||
            ::listen(listen_, 64) != 0 || ::getsockname(listen_, raw, &length) != 0) {
            ADD_FAILURE() << "cannot listen on " << host;
        }
        base_ = "http://" + host + ":" + std::to_string(ntohs(address.sin_port));
        acceptor_ = std::thread([this] {
            for (int fd; (fd = ::accept(listen_, nullptr, nullptr)) >= 0;) {
                fds_.push_back(fd);
                threads_.emplace_back([this, fd] {
                    std::string head;
                    for (char byte; !head.ends_with("\r\n\r\n"); head += byte) {
                        if (::recv(fd, &byte, 1, 0) != 1) {
                            return;
                        }
                    }
                    const auto start = head.find(' ') + 1;
                    handler_(fd, head.substr(start, head.find(' ', start) - start));
                    ::shutdown(fd, SHUT_RDWR);
                });
            }
        });
    }
    ~Server()
    {
        ::shutdown(listen_, SHUT_RDWR);
        acceptor_.join();
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            ::shutdown(fds_[i], SHUT_RDWR);
            threads_[i].join();
            ::close(fds_[i]);
        }
        ::close(listen_);
    }

    std::string url(const std::string& path) const { return base_ + path; }

private:
    Handler handler_;
    int listen_;
    std::string base_;
    std::thread acceptor_;
    std::vector<int> fds_; // these two are the acceptor's alone until it is joined
    std::vector<std::thread> threads_;
};

// Both false once the client has gone or the server stopped.
bool send(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}
bool hold(int fd, std::chrono::milliseconds pause)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(pause.count())) == 0;
}

std::string response(int status, const std::string& body, const std::string& headers = "")
{
    return "HTTP/1.1 " + std::to_string(status) + " Status\r\nConnection: close\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

Server::Handler answering(const std::string& text)
{
    return [text](int fd, const std::string&) { send(fd, text); };
}

struct Result {
    std::optional<std::string> body;
    std::thread::id thread;
    Clock::duration after; // since the request
};

// A completion that fulfils `result`; a second call would throw and end the run.
platform::DataCompletion promising(std::future<Result>& result)
{
    auto promise = std::make_shared<std::promise<Result>>();
    result = promise->get_future();
    return [promise, sent = Clock::now()](std::optional<std::string> body) {
        promise->set_value({std::move(body), std::this_thread::get_id(), Clock::now() - sent});
    };
}

// One GET through a session of its own, which has ended by the time this returns.
Result fetch(const std::string& url, double timeout = 30.0)
{
    QtUrlSession session;
    std::future<Result> result;
    session.dataTask({.url = url, .timeoutInterval = timeout}, promising(result));
    const bool arrived = result.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(arrived) << "no completion for " << url;
    return arrived ? result.get() : Result{};
}

TEST(QtUrlSession, CompletesWithTheBodyOfAWholeAnswerAndOtherwiseNone)
{
    const auto trickle = [](int fd, const std::string&) {
        for (bool open = send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"); open;) {
            open = hold(fd, 50ms) && send(fd, "x");
        }
    };
    std::string full(QtUrlSession::kMaxBodyBytes + 1, '\0');
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<char>('a' + i % 23);
    }
    const struct {
        const char* name;
        Server::Handler handler; // none: to a port where nothing listens
        double timeout;
        std::optional<std::string> body;
        Clock::duration atLeast{};
    } cases[] = {
        {"200", answering(response(200, R"({"status":"ok"})")), 30, R"({"status":"ok"})"},
        {"404 empty", answering(response(404, "")), 30, ""},
        {"500", answering(response(500, R"({"status":"starting"})")), 30, R"({"status":"starting"})"},
        // Followed, it would lead back here until Qt gave up.
        {"302", answering(response(302, "moved", "Location: /elsewhere\r\n")), 30, "moved"},
        // Cut short: the connection closes before all the promised bytes came.
        {"200 cut short", answering("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial"), 30, {}},
        {"500 cut short", answering("HTTP/1.1 500 Oops\r\nContent-Length: 100\r\n\r\npartial"), 30, {}},
        {"just under the cap", answering(response(200, full.substr(2))), 30, full.substr(2)},
        {"at the cap", answering(response(200, full.substr(1))), 30, full.substr(1)},
        {"over the cap", answering(response(200, full)), 30, {}},
        {"refused", nullptr, 600, {}},
        {"silent", [](int fd, const std::string&) { hold(fd, 1h); }, 0.4, {}, 390ms},
        // Never idle for long: only a deadline on the whole request ends it.
        {"trickling", trickle, 0.4, {}, 390ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server server(c.handler);
        const Result result =
            fetch(c.handler ? server.url("/health") : "http://127.0.0.1:1/health", c.timeout);
        EXPECT_TRUE(result.body == c.body) << "got " << result.body.value_or("(none)").substr(0, 100);
        EXPECT_NE(result.thread, std::this_thread::get_id()) << "completed on the main thread";
        EXPECT_GE(result.after, c.atLeast);
        EXPECT_LT(result.after, 3s);
    }
}

TEST(QtUrlSession, ManyRequestsInFlightEachCompleteWithTheirOwnBody)
{
    Server server([](int fd, const std::string& path) { send(fd, response(200, path)); });
    std::vector<std::future<Result>> results(40);
    {
        QtUrlSession session;
        for (std::size_t i = 0; i < results.size(); ++i) {
            session.dataTask({.url = server.url("/" + std::to_string(i))}, promising(results[i]));
        }
        for (std::size_t i = 0; i < results.size(); ++i) {
            ASSERT_EQ(results[i].wait_for(10s), std::future_status::ready) << "request " << i;
            EXPECT_EQ(results[i].get().body, "/" + std::to_string(i));
        }
    } // the session's thread has ended, so any second call has come, and thrown, by now
}

// Qt itself keeps loopback clear of proxies, so the server is on another address of this host.
TEST(QtUrlSession, NeverGoesThroughAProxy)
{
    const auto addresses = QNetworkInterface::allAddresses();
    const auto other = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& address) {
        return address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback();
    });
    if (other == addresses.end()) {
        GTEST_SKIP() << "this host has no IPv4 address besides loopback";
    }
    Server proxy(answering(response(200, "from the proxy")));
    Server server(answering(response(200, "from the server")), other->toString().toStdString());
    const QNetworkProxy before = QNetworkProxy::applicationProxy();
    const bool usedSystemProxies = QNetworkProxyFactory::usesSystemConfiguration();
    const QUrl at(QString::fromStdString(proxy.url("")));
    QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, at.host(), quint16(at.port())});

    const Result result = fetch(server.url("/health"));

    QNetworkProxy::setApplicationProxy(before);
    QNetworkProxyFactory::setUseSystemConfiguration(usedSystemProxies);
    EXPECT_EQ(result.body, "from the server");
}

TEST(QtUrlSession, EndingTheSessionDropsOpenRequestsUncalled)
{
    std::atomic<int> open{0};
    Server server([&open](int fd, const std::string&) {
        ++open;
        hold(fd, 1h);
    });
    const auto token = std::make_shared<int>(0);
    auto session = std::make_unique<QtUrlSession>();
    for (int i = 0; i < 5; ++i) {
        // The last one goes just before the end, once the others are open at the server.
        for (const auto end = Clock::now() + 10s; i == 4 && open < 4 && Clock::now() < end;) {
            std::this_thread::sleep_for(5ms);
        }
        session->dataTask({.url = server.url("/health"), .timeoutInterval = 600.0},
                          [token](const auto&) { ADD_FAILURE() << "an abandoned request completed"; });
    }
    ASSERT_GE(open, 4);

    const auto ending = Clock::now();
    session.reset();

    EXPECT_LT(Clock::now() - ending, 5s);
    EXPECT_EQ(token.use_count(), 1) << "completions outlived the session";
}

} // namespace
} // namespace tovra::qt
