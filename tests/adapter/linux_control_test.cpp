// The control socket against real clients: this user's requests answered through the main queue,
// everyone else's and every malformed one refused, a silent client in nobody's way, nothing done
// for an asker that has gone, and what stands at its name moved aside. Answers of any size and a
// folder whose path is too long for a socket address are seen end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/linux/control_socket.h"
#include "support/temp_dir.h"

namespace tovra::linuxos {
namespace {

using namespace std::chrono_literals;
using tovra::testing::readFile, tovra::testing::TempDir, tovra::testing::writeFile;
using From = platform::ControlReply::From;
namespace fs = std::filesystem;

// The main thread's queue, run by the test.
struct Queue final : platform::MainQueue {
    void async(std::function<void()> block) override
    {
        const std::lock_guard lock(mutex);
        blocks.push_back(std::move(block));
    }
    void asyncAfter(double, std::shared_ptr<platform::WorkItem>) override {}
    std::unique_ptr<platform::Timer> scheduledTimer(double, std::function<void()>) override
    {
        return nullptr;
    }
    // Runs what is posted until `done` is ready.
    template <typename T> T runUntil(std::future<T>& done)
    {
        while (done.wait_for(5ms) != std::future_status::ready) {
            runPosted();
        }
        return done.get();
    }
    void runPosted()
    {
        std::unique_lock lock(mutex);
        std::deque<std::function<void()>> now = std::exchange(blocks, {});
        lock.unlock();
        for (auto& block : now) {
            block();
        }
    }
    // Waits until the socket's thread has posted something.
    void awaitPosted()
    {
        for (;;) {
            const std::lock_guard lock(mutex);
            if (!blocks.empty()) {
                return;
            }
        }
    }
    std::mutex mutex;
    std::deque<std::function<void()>> blocks;
};

// A raw client: connects, sends `bytes`, and returns all it reads until the end.
FileDescriptor connectTo(const fs::path& path)
{
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return socket;
}

std::string exchange(const FileDescriptor& socket, const std::string& bytes)
{
    [[maybe_unused]] const ssize_t sent = ::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string received;
    char buffer[256];
    for (ssize_t size; (size = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(size));
    }
    return received;
}

std::vector<ControlListener> listeners(std::initializer_list<fs::path> folders)
{
    std::vector<ControlListener> made;
    for (const fs::path& folder : folders) {
        std::optional<ControlListener> listener = listenForControl(folder, "tovra-bridge");
        EXPECT_TRUE(listener) << folder;
        if (listener) {
            made.push_back(std::move(*listener));
        }
    }
    return made;
}

std::pair<From, std::string> said(const platform::ControlReply& reply)
{
    return {reply.from, (reply.answer.ok ? "ok " : "no ") + reply.answer.text};
}

TEST(LinuxControlSocket, ThisUsersRequestsAreAnsweredOthersAndMalformedOnesRefused)
{
    TempDir folder;
    const fs::path path = controlSocketPath(folder.path, "tovra-bridge");
    Queue queue;
    std::vector<std::string> heard;
    platform::ControlChannel::Answer later;
    {
        ControlSocket control(listeners({folder.path}), queue, 1s); // a connection's time, short for the test
        struct stat file {};
        ASSERT_EQ(::lstat(path.c_str(), &file), 0);
        EXPECT_TRUE(S_ISSOCK(file.st_mode));
        EXPECT_EQ(file.st_mode & 0777, 0600u);

        // A request that comes before the program serves waits for it.
        auto early = std::async(std::launch::async,
                                [&] { return askControlSocket(folder.path, "tovra-bridge", "status", 3s); });
        queue.awaitPosted(); // read and handed to the main thread, which does not serve yet
        control.serve([&](const std::string& request, platform::ControlChannel::Answer answer) {
            heard.push_back(request);
            if (request == "later") {
                later = std::move(answer);
            } else {
                answer({request == "status", request == "status" ? "Ready \u00B7 1 phone" : "no\nsuch"});
            }
        });
        EXPECT_EQ(said(queue.runUntil(early)),
                  std::make_pair(From::instance, std::string("ok Ready \u00B7 1 phone")));

        // A silent client and one that sends a megabyte hold up nobody; neither is heard.
        const FileDescriptor silent = connectTo(path);
        auto flood = std::async(std::launch::async,
                                [&] { return exchange(connectTo(path), std::string(1 << 20, 'x')); });
        auto other = std::async(std::launch::async,
                                [&] { return askControlSocket(folder.path, "tovra-bridge", "other", 3s); });
        EXPECT_EQ(said(queue.runUntil(other)), std::make_pair(From::instance, std::string("no no such")));
        EXPECT_EQ(queue.runUntil(flood), "");
        const timeval wait{3, 0};
        ::setsockopt(silent.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char byte;
        EXPECT_EQ(::recv(silent.get(), &byte, 1, 0), 0) << "the silent client was never closed";

        // Another user's process, let through the file's mode, is closed unheard (the program
        // serving meanwhile, so that it would answer one it heard).
        ASSERT_EQ(::chmod(folder.path.c_str(), 0755) | ::chmod(path.c_str(), 0666), 0);
        const pid_t stranger = fork();
        if (stranger == 0) {
            _exit(::setuid(65534) != 0 || exchange(connectTo(path), "status\n") != "" ? 1 : 0);
        }
        auto exit = std::async(std::launch::async, [&] {
            int status = -1;
            return waitpid(stranger, &status, 0) == stranger ? status : -1;
        });
        EXPECT_EQ(queue.runUntil(exit), 0) << "another user was answered";

        // An asker gone before its answer: the answer goes nowhere.
        auto impatient = std::async(std::launch::async, [&] {
            return askControlSocket(folder.path, "tovra-bridge", "later", 200ms);
        });
        EXPECT_EQ(queue.runUntil(impatient).from, From::silent);
        ASSERT_TRUE(later);
        later({true, "too late"});
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"status", "other", "later"}));
    EXPECT_FALSE(fs::exists(path)) << "the socket outlived its instance";
    EXPECT_EQ(askControlSocket(folder.path, "tovra-bridge", "status", 1s).from, From::nobody);
}

// Clients that end their side: one that asked still gets its answer, by either socket; one that
// asked nothing is let go at once, and so is one that floods, long before a silent one's time is
// up. (An asker gone before its request is served is seen end to end.)
TEST(LinuxControlSocket, AClientThatEndsItsSideIsAnsweredOrLetGoAtOnce)
{
    TempDir first, second;
    Queue queue;
    std::vector<std::string> heard;
    ControlSocket control(listeners({first.path, second.path}), queue);
    control.serve([&](const std::string& request, platform::ControlChannel::Answer answer) {
        heard.push_back(request);
        answer({true, ""});
    });
    for (const fs::path& folder : {first.path, second.path}) {
        const FileDescriptor waiting = connectTo(controlSocketPath(folder, "tovra-bridge"));
        ASSERT_EQ(::send(waiting.get(), "status\n", 7, MSG_NOSIGNAL), 7);
        ::shutdown(waiting.get(), SHUT_WR);
        queue.awaitPosted();
        queue.runPosted();
        char answer[8] = {};
        EXPECT_EQ(::recv(waiting.get(), answer, sizeof answer, MSG_WAITALL), 4);
        EXPECT_STREQ(answer, "ok\t\n");
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"status", "status"}));

    // One that ends without asking is let go at once, long before a silent one's time is up.
    const FileDescriptor wordless = connectTo(controlSocketPath(first.path, "tovra-bridge"));
    ::shutdown(wordless.get(), SHUT_WR);
    const timeval wait{3, 0};
    ::setsockopt(wordless.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(::recv(wordless.get(), &byte, 1, 0), 0) << "kept for its whole time";
    // So is one that sends more than a request can be, without its end.
    const FileDescriptor flooding = connectTo(controlSocketPath(second.path, "tovra-bridge"));
    const std::string flood(64 * 1024, 'x');
    // The instance may let it go before all of it is sent: only that some went matters.
    EXPECT_GT(::send(flooding.get(), flood.data(), flood.size(), MSG_NOSIGNAL), 0);
    ::setsockopt(flooding.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const ssize_t ended = ::recv(flooding.get(), &byte, 1, 0);
    EXPECT_TRUE(ended == 0 || (ended < 0 && errno == ECONNRESET))
        << "kept for its whole time: " << std::strerror(errno);
}

std::string warnings;

// A socket left by a crash (its listener gone, its file not) is replaced without a word; a file, a
// folder and a link at its name are moved aside in turn, and kept.
TEST(LinuxControlSocket, WhatStandsAtItsNameIsMovedAside)
{
    platform::warningSink() = [](std::string_view line) { warnings.append(line).append("\n"); };
    TempDir root;
    const fs::path path = controlSocketPath(root.path, "tovra-bridge");
    ASSERT_TRUE(listenForControl(root.path, "tovra-bridge"));
    ASSERT_TRUE(fs::is_socket(fs::symlink_status(path)));
    EXPECT_TRUE(listenForControl(root.path, "tovra-bridge"));
    EXPECT_EQ(warnings, "") << "an old socket is no news";
    fs::remove(path);
    writeFile(path, "a file");
    EXPECT_TRUE(listenForControl(root.path, "tovra-bridge"));
    fs::remove(path);
    fs::create_directory(path);
    writeFile(path / "inside", "a folder");
    EXPECT_TRUE(listenForControl(root.path, "tovra-bridge"));
    fs::remove(path); // the socket, left as by a crash
    fs::create_symlink(root / "nowhere", path);
    EXPECT_TRUE(listenForControl(root.path, "tovra-bridge"));
    fs::remove(path);
    EXPECT_EQ(readFile(root / "tovra-bridge.control.aside"), "a file");
    EXPECT_EQ(readFile(root / "tovra-bridge.control.aside.1/inside"), "a folder");
    EXPECT_EQ(fs::read_symlink(root / "tovra-bridge.control.aside.2"), root / "nowhere");
    EXPECT_THAT(warnings,
                ::testing::HasSubstr("moved " + path.string() + " aside to tovra-bridge.control.aside.1"));

    // With every name to move it to taken, it stays, and there is no socket.
    for (int fresh = 3; fresh <= 8; ++fresh) {
        writeFile(root / ("tovra-bridge.control.aside." + std::to_string(fresh)), "");
    }
    writeFile(path, "kept");
    warnings.clear();
    EXPECT_FALSE(listenForControl(root.path, "tovra-bridge"));
    EXPECT_EQ(readFile(path), "kept");
    EXPECT_THAT(warnings, ::testing::HasSubstr("no command-line control at " + path.string()));
    EXPECT_FALSE(listenForControl(root / "missing", "tovra-bridge"));
    platform::warningSink() = nullptr;
}

} // namespace
} // namespace tovra::linuxos
