// The HTTP client against real servers on loopback, and its reader of answers.
#include <arpa/inet.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/posix/http_reader.h"
#include "platform/posix/posix_url_session.h"

namespace tovra::posix {
namespace {

// An HTTP server on an ephemeral loopback port, IPv4's or IPv6's: each connection gets the pieces,
// `pause` apart, and is closed. It keeps the requests' heads.
struct Server {
    explicit Server(std::vector<std::string> pieces, int pause = 0, bool ipv6 = false)
        : listener(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)), pieces(std::move(pieces)),
          pause(pause)
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 address6{AF_INET6, 0, 0, IN6ADDR_LOOPBACK_INIT, 0};
        auto* bound = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address);
        socklen_t length = ipv6 ? sizeof address6 : sizeof address;
        ::bind(listener, bound, length);
        ::listen(listener, 16);
        ::getsockname(listener, bound, &length);
        port = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
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
    ~Server()
    {
        received();
        ::close(listener);
    }
    // The heads of the requests, once the server has stopped.
    std::vector<std::string> received()
    {
        ::shutdown(listener, SHUT_RDWR);
        if (thread.joinable()) {
            thread.join();
        }
        return heads;
    }
    std::string url() const { return "http://localhost:" + std::to_string(port) + "/health"; }

    int listener, port = 0;
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
                                 PosixUrlSession::OwnedListener owner = {})
{
    std::promise<std::optional<std::string>> result;
    const std::thread::id caller = std::this_thread::get_id();
    PosixUrlSession session(std::move(owner));
    session.dataTask({url, {}, timeout, server}, [&](std::optional<std::string> body) {
        EXPECT_NE(std::this_thread::get_id(), caller);
        result.set_value(std::move(body));
    });
    return result.get_future().get();
}

// What a reader makes of an answer given whole and given a byte at a time, then the connection's end.
std::pair<HttpReader::State, std::string> readAnswer(std::string_view answer, bool bytewise)
{
    HttpReader reader(8);
    for (std::size_t at = 0; at < answer.size(); at += bytewise ? 1 : answer.size()) {
        reader.feed(answer.substr(at, bytewise ? 1 : answer.size()));
    }
    const HttpReader::State beforeEnd = reader.state();
    reader.end();
    return {beforeEnd == HttpReader::State::complete ? reader.state() : HttpReader::State::reading,
            reader.state() == HttpReader::State::complete ? reader.takeBody() : "(none)"};
}

TEST(HttpReader, AWholeAnswerIsItsBodyHoweverItsBytesCome)
{
    using enum HttpReader::State;
    // `complete`: whole before the connection ends; `reading`: only its end makes it whole, or not.
    const std::tuple<const char*, HttpReader::State, std::string> cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}and more", complete, "{}"},
        {"HTTP/1.0 503 Busy\r\ncontent-length:  3 \r\n\r\nabc", complete, "abc"},
        {"HTTP/1.1 200 OK\r\n\r\nuntil the end", reading, "(none)"}, // over the cap of 8
        {"HTTP/1.1 200 OK\r\n\r\nto end", reading, "to end"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;x=y\r\nab\r\nA\r\n\r\n0\r\nT: 1\r\n\r\n",
         reading, "(none)"}, // 2 + 10 bytes: over the cap
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n2;x=y\r\nab\r\n3\r\ncde\r\n0\r\nT: 1\r\n\r\n",
         complete, "abcde"},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n", complete, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab", reading, "(none)"}, // cut short
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", reading, "(none)"},   // over the cap
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nab", reading, "(none)"},
        {"HTTP/1.1 200 OK\r\nContent-Length: +2\r\n\r\nab", reading, "(none)"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nab", reading, "(none)"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n0\r\n\r\n", reading, "(none)"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", reading, "(none)"},
        {"HTTP/1.1 101 Switching\r\n\r\n", reading, "(none)"},
        {"HTTP/1.1 20 OK\r\nContent-Length: 0\r\n\r\n", reading, "(none)"},
        {"HTTP/1.1 200 OK\r\nNo colon\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab", reading,
         "(none)"},
        {"HTTP/1.1 200 OK\r\nContent-Length : 0\r\n\r\n", reading, "(none)"},
    };
    for (const auto& [answer, state, body] : cases) {
        for (const bool bytewise : {false, true}) {
            EXPECT_EQ(readAnswer(answer, bytewise), std::pair(state, body))
                << answer << (bytewise ? ", bytewise" : "");
        }
    }
    HttpReader endless(8);
    EXPECT_EQ(endless.feed("HTTP/1.1 200 OK\r\n" + std::string(HttpReader::kMaxHeadBytes, 'x')),
              HttpReader::State::invalid)
        << "a head without end";
}

TEST(PosixUrlSession, OnlyAWholeAnswerInTimeCountsWhateverItsStatus)
{
    const std::string big(PosixUrlSession::kMaxBodyBytes, 'x');
    const std::tuple<const char*, std::vector<std::string>, std::optional<std::string>, int> cases[] = {
        {"200", {answer(200, "{}")}, "{}", 0},
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
    // Only what can go on the wire as written is sent; the fragment stays home.
    Server server({answer(200, "ok")});
    const std::string port = std::to_string(server.port), at = "http://127.0.0.1:" + port;
    for (const std::string& unsent :
         {"https://127.0.0.1:" + port + "/", at + "/a b", at + "/\r\nX: y",
          "http://me@127.0.0.1:" + port + "/", std::string("http://127.0.0.1:99999/"),
          std::string("http://name.test/")}) {
        EXPECT_EQ(fetch(unsent), std::nullopt) << unsent;
    }
    EXPECT_EQ(fetch(at + "?q#fragment"), "ok");
    EXPECT_THAT(server.received(), testing::ElementsAre(testing::StartsWith(
                                       "GET /?q HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n")));
}

TEST(PosixUrlSession, AskedForAProcessItGoesOnlyToThatProcesssListener)
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

TEST(PosixUrlSession, AnIpv6AddressIsReachedOnItsPort)
{
    Server server({answer(200, "six")}, 0, true);
    EXPECT_EQ(fetch("http://[::1]:" + std::to_string(server.port) + "/health"), "six");
}

TEST(PosixUrlSession, AConnectionThatAWholeAnswerKeepsOpenCarriesTheNextRequest)
{
    // Answers on one connection until the client closes it; it counts its connections.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) | ::listen(listener, 4) |
                  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length),
              0);
    std::atomic<int> connections = 0;
    std::thread server([&] {
        for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0; ::close(fd)) {
            ++connections;
            char head[1024];
            for (int served = 0; ::recv(fd, head, sizeof head, 0) > 0; ++served) {
                // The third answer on a connection closes it.
                const std::string answer = std::string("HTTP/1.1 200 OK\r\n") +
                                           (served == 2 ? "Connection: close\r\n" : "") +
                                           "Content-Length: 2\r\n\r\nok";
                ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/health";
    {
        PosixUrlSession session;
        const auto get = [&](const std::string& to) {
            std::promise<std::optional<std::string>> result;
            session.dataTask({to, {}, 5, {}},
                             [&](std::optional<std::string> body) { result.set_value(body); });
            return result.get_future().get();
        };
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(get(url), "ok") << i;
        }
        EXPECT_EQ(connections, 2) << "three answers on the first connection, the last of them closing it";
    }
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
}

} // namespace
} // namespace tovra::posix
