// QtUrlSession against real HTTP servers, written here on POSIX sockets.
#include "platform/qt/qt_url_session.h"

#include <QNetworkProxyFactory>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tovra::qt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` until it holds; the bound only stops a hung test.
bool eventually(const std::function<bool()>& done)
{
    for (const auto end = Clock::now() + 10s; !done(); std::this_thread::sleep_for(5ms)) {
        if (Clock::now() > end) {
            return false;
        }
    }
    return true;
}

// An HTTP server on an ephemeral port of `host`, one thread per connection. The handler gets the
// request path and answers through send() and hold(), which give up once the server stops.
class Server {
public:
    using Handler = std::function<void(Server&, int fd, const std::string& path)>;

    explicit Server(Handler handler, std::string host = "127.0.0.1")
        : handler_(std::move(handler)), host_(std::move(host)), listen_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::inet_pton(AF_INET, host_.c_str(), &address.sin_addr) != 1 ||
            ::bind(listen_, raw, length) != 0 || ::listen(listen_, 64) != 0 ||
            ::getsockname(listen_, raw, &length) != 0) {
            throw std::runtime_error("cannot listen on " + host_);
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            while (ready(listen_, POLLIN)) {
                if (const int fd = ::accept(listen_, nullptr, nullptr); fd >= 0) {
                    ++accepted_;
                    connections_.emplace_back([this, fd] { serve(fd); });
                }
            }
        });
    }

    ~Server()
    {
        stopping_ = true;
        acceptor_.join();
        for (auto& connection : connections_) {
            connection.join();
        }
        ::close(listen_);
    }

    std::string url(const std::string& path) const
    {
        return "http://" + host_ + ":" + std::to_string(port_) + path;
    }
    int accepted() const { return accepted_; }

    bool send(int fd, std::string_view bytes) const
    {
        while (!bytes.empty()) {
            const ssize_t sent =
                ready(fd, POLLOUT) ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) : -1;
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Keeps the connection open for `pause`; false if the client left or the server stopped.
    bool hold(int fd, std::chrono::milliseconds pause) const
    {
        char buffer[256];
        for (const auto end = Clock::now() + pause; ready(fd, POLLIN, end);) {
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
                return false;
            }
        }
        return !stopping_;
    }

private:
    bool ready(int fd, short events, Clock::time_point until = Clock::time_point::max()) const
    {
        for (pollfd entry{fd, events, 0}; !stopping_ && Clock::now() < until;) {
            if (::poll(&entry, 1, 20) > 0) {
                return true;
            }
        }
        return false;
    }

    void serve(int fd)
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = ready(fd, POLLIN) ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
            if (got <= 0) {
                ::close(fd);
                return;
            }
            head.append(buffer, static_cast<std::size_t>(got));
        }
        const auto start = head.find(' ') + 1;
        handler_(*this, fd, head.substr(start, head.find(' ', start) - start));
        ::close(fd);
    }

    Handler handler_;
    std::string host_;
    int listen_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::vector<std::thread> connections_; // the acceptor's alone until it is joined
};

std::string response(int status, std::string_view body, std::string_view headers = "")
{
    return "HTTP/1.1 " + std::to_string(status) +
           " Status\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
           std::string(headers) + "\r\n" + std::string(body);
}

Server::Handler answering(std::function<std::string(const std::string& path)> answer)
{
    return [answer = std::move(answer)](Server& server, int fd, const std::string& path) {
        server.send(fd, answer(path));
    };
}

struct Result {
    int tag = 0;
    std::optional<std::string> body;
    std::thread::id thread;
    double seconds = 0; // from the request, when fetch() sent it
};

// Collects completions from whatever thread they arrive on.
class Results {
public:
    platform::DataCompletion completion(int tag = 0)
    {
        return [state = state_, tag](std::optional<std::string> body) {
            const std::lock_guard lock(state->mutex);
            state->all.push_back({tag, std::move(body), std::this_thread::get_id(),
                                  std::chrono::duration<double>(Clock::now() - state->start).count()});
        };
    }
    std::vector<Result> all() const
    {
        const std::lock_guard lock(state_->mutex);
        return state_->all;
    }
    bool waitFor(std::size_t count) const
    {
        return eventually([&] { return all().size() >= count; });
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Result> all;
        Clock::time_point start = Clock::now();
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

platform::URLRequest request(const std::string& url, double timeout = 30.0)
{
    platform::URLRequest request;
    request.url = url;
    request.timeoutInterval = timeout;
    return request;
}

// One GET through a session of its own, which has ended by the time this returns.
Result fetch(const std::string& url, double timeout = 30.0)
{
    QtUrlSession session;
    Results results;
    session.dataTask(request(url, timeout), results.completion());
    EXPECT_TRUE(results.waitFor(1)) << "no completion for " << url;
    const auto all = results.all();
    return all.empty() ? Result{} : all.front();
}

TEST(QtUrlSession, DeliversTheBodyOfEveryWholeAnswerWhateverItsStatus)
{
    static constexpr char kGzipped[] =
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xab\x56\x2a\x2e\x49\x2c\x29\x2d"
        "\x56\xb2\x52\xca\xcf\x56\xaa\x05\x00\xdd\xed\x13\x1d\x0f\x00\x00\x00";
    const struct {
        std::string answer;
        std::optional<std::string> body;
    } cases[] = {
        {response(200, R"({"status":"ok"})"), R"({"status":"ok"})"},
        {response(200, ""), ""},
        {response(404, "missing"), "missing"},
        {response(500, R"({"status":"starting"})"), R"({"status":"starting"})"},
        // Followed, it would come back here until Qt gave up.
        {response(302, "moved", "Location: /elsewhere\r\n"), "moved"},
        {response(200, std::string_view(kGzipped, sizeof kGzipped - 1), "Content-Encoding: gzip\r\n"),
         R"({"status":"ok"})"},
        // Qt alone may let an answer cut short pass as whole.
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial", std::nullopt},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 100\r\n\r\npartial", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, c.answer.find("\r\n")));
        Server server(answering([&](const std::string&) { return c.answer; }));
        const Result result = fetch(server.url("/health"));
        EXPECT_EQ(result.body, c.body);
        EXPECT_NE(result.thread, std::this_thread::get_id()) << "completed on the main thread";
    }
}

TEST(QtUrlSession, ARefusedConnectionIsNoneLongBeforeTheDeadline)
{
    const std::string url = Server(answering([](const std::string&) { return ""; })).url("/health");

    EXPECT_EQ(fetch(url, 600.0).body, std::nullopt);
}

TEST(QtUrlSession, AnAnswerStillOpenAtTheDeadlineIsNone)
{
    const struct {
        const char* name;
        Server::Handler handler;
    } cases[] = {
        {"silent", [](Server& self, int fd, const std::string&) { self.hold(fd, 1h); }},
        // Never idle for long: only a deadline on the whole request ends it.
        {"trickling",
         [](Server& self, int fd, const std::string&) {
             if (self.send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) {
                 while (self.hold(fd, 50ms) && self.send(fd, "x")) {
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server server(c.handler);
        const Result result = fetch(server.url("/health"), 0.4);
        EXPECT_EQ(result.body, std::nullopt);
        EXPECT_GE(result.seconds, 0.39);
        EXPECT_LT(result.seconds, 5.0);
    }
}

TEST(QtUrlSession, BodiesUpToTheCapArriveWholeAndLargerOnesAsNone)
{
    constexpr std::size_t kMax = QtUrlSession::kMaxBodyBytes;
    for (const std::size_t size : {kMax - 1, kMax, kMax + 1}) {
        SCOPED_TRACE(size);
        std::string body(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            body[i] = static_cast<char>('a' + i % 23);
        }
        Server server(answering([&](const std::string&) { return response(200, body); }));
        const auto received = fetch(server.url("/api/setup")).body;
        EXPECT_EQ(received.has_value(), size <= kMax);
        EXPECT_TRUE(!received || *received == body) << "a body of " << received->size() << " bytes";
    }
    // Endless: only the cap can end it before the deadline.
    Server endless([](Server& self, int fd, const std::string&) {
        if (self.send(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) {
            while (self.send(fd, std::string(64 * 1024, 'x'))) {
            }
        }
    });
    EXPECT_EQ(fetch(endless.url("/api/setup"), 600.0).body, std::nullopt);
}

TEST(QtUrlSession, ManyRequestsFromTwoThreadsEachCompleteOnceWithTheirOwnBody)
{
    constexpr int kRequests = 40;
    Server server(answering([](const std::string& path) { return response(200, "body of " + path); }));
    Results results;
    {
        QtUrlSession session;
        const auto sendEveryOther = [&](int first) {
            for (int i = first; i < kRequests; i += 2) {
                session.dataTask(request(server.url("/" + std::to_string(i))), results.completion(i));
            }
        };
        std::thread other(sendEveryOther, 1);
        sendEveryOther(0);
        other.join();
        ASSERT_TRUE(results.waitFor(kRequests));
    }
    // The session has ended, so any second call would have come by now.
    auto all = results.all();
    ASSERT_EQ(all.size(), std::size_t{kRequests});
    std::sort(all.begin(), all.end(), [](const Result& a, const Result& b) { return a.tag < b.tag; });
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(all[i].tag, i);
        EXPECT_EQ(all[i].body, "body of /" + std::to_string(i));
        EXPECT_NE(all[i].thread, std::this_thread::get_id());
    }
}

// An IPv4 address of this host besides loopback, which Qt would exempt from a proxy by itself.
std::optional<std::string> nonLoopbackAddress()
{
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    for (const ifaddrs* entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0) {
            char text[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
                        sizeof text);
            found = text;
        }
    }
    ::freeifaddrs(interfaces);
    return found;
}

TEST(QtUrlSession, GoesStraightToTheServerWhateverTheUsersProxy)
{
    const auto address = nonLoopbackAddress();
    if (!address) {
        GTEST_SKIP() << "this host has no IPv4 address besides loopback";
    }
    Server proxy(answering([](const std::string&) { return response(200, "from the proxy"); }));
    Server server(answering([](const std::string&) { return response(200, "from the server"); }), *address);
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        ::setenv(name, proxy.url("").c_str(), 1);
    }
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    const Result result = fetch(server.url("/health"));

    QNetworkProxyFactory::setUseSystemConfiguration(false);
    for (const auto& [name, value] : saved) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    EXPECT_EQ(result.body, "from the server");
    EXPECT_EQ(proxy.accepted(), 0);
}

TEST(QtUrlSession, EndingTheSessionDropsOpenRequestsUncalled)
{
    Server server([](Server& self, int fd, const std::string&) { self.hold(fd, 1h); });
    Results results;
    const auto token = std::make_shared<int>(0);
    auto session = std::make_unique<QtUrlSession>();
    const auto send = [&] {
        session->dataTask(request(server.url("/health"), 600.0),
                          [token, done = results.completion()](auto body) { done(std::move(body)); });
    };
    for (int i = 0; i < 4; ++i) {
        send();
    }
    ASSERT_TRUE(eventually([&] { return server.accepted() >= 4; }));
    send(); // and one just before the end

    const auto ending = Clock::now();
    session.reset();

    EXPECT_LT(Clock::now() - ending, 5s);
    EXPECT_TRUE(results.all().empty());
    EXPECT_EQ(token.use_count(), 1) << "completions outlived the session";
}

} // namespace
} // namespace tovra::qt
