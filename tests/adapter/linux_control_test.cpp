// The control socket against real clients: this user's requests answered through the main queue,
// everyone else's and every malformed one refused, a silent client in nobody's way.
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

#include "platform/linux/control_socket.h"
#include "support/temp_dir.h"

namespace tovra::linuxos {
namespace {

using namespace std::chrono_literals;
using tovra::testing::TempDir;

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
            std::unique_lock lock(mutex);
            std::deque<std::function<void()>> now = std::exchange(blocks, {});
            lock.unlock();
            for (auto& block : now) {
                block();
            }
        }
        return done.get();
    }
    std::mutex mutex;
    std::deque<std::function<void()>> blocks;
};

// A raw client: connects, sends `bytes`, and returns all it reads until the end.
FileDescriptor connectTo(const std::filesystem::path& path)
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

TEST(LinuxControlSocket, ThisUsersRequestsAreAnsweredOthersAndMalformedOnesRefused)
{
    TempDir folder;
    const std::filesystem::path path = controlSocketPath(folder.path, "tovra-bridge");
    std::ofstream(path) << "left by a crash"; // replaced
    Queue queue;
    std::vector<std::string> heard;
    platform::ControlChannel::Answer later;
    {
        ControlSocket control(path, queue, 1s); // a connection's time, short for the test
        struct stat file {};
        ASSERT_EQ(::lstat(path.c_str(), &file), 0);
        EXPECT_TRUE(S_ISSOCK(file.st_mode));
        EXPECT_EQ(file.st_mode & 0777, 0600u);

        // A request that comes before the program serves waits for it.
        auto early = std::async(std::launch::async, [&] { return askControlSocket(path, "status", 3s); });
        const auto posted = [&] {
            const std::lock_guard lock(queue.mutex);
            return !queue.blocks.empty();
        };
        while (!posted()) { // read and handed to the main thread, which does not serve yet
            std::this_thread::yield();
        }
        control.serve([&](const std::string& request, platform::ControlChannel::Answer answer) {
            heard.push_back(request);
            if (request == "later") {
                later = std::move(answer);
            } else {
                answer({request == "status", request == "status" ? "Ready \u00B7 1 phone" : "no\nsuch"});
            }
        });
        const std::optional<platform::ControlAnswer> status = queue.runUntil(early);
        ASSERT_TRUE(status);
        EXPECT_EQ(std::make_pair(status->ok, status->text),
                  std::make_pair(true, std::string("Ready \u00B7 1 phone")));

        // A silent client and one that sends a megabyte hold up nobody; neither is heard.
        const FileDescriptor silent = connectTo(path);
        auto flood = std::async(std::launch::async,
                                [&] { return exchange(connectTo(path), std::string(1 << 20, 'x')); });
        auto other = std::async(std::launch::async, [&] { return askControlSocket(path, "other", 3s); });
        const std::optional<platform::ControlAnswer> refused = queue.runUntil(other);
        ASSERT_TRUE(refused);
        EXPECT_EQ(std::make_pair(refused->ok, refused->text), std::make_pair(false, std::string("no such")));
        EXPECT_EQ(queue.runUntil(flood), "");
        const timeval wait{3, 0};
        ::setsockopt(silent.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char byte;
        EXPECT_EQ(::recv(silent.get(), &byte, 1, 0), 0) << "the silent client was never closed";

        // Another user's process, let through the file's mode, is closed unheard.
        ASSERT_EQ(::chmod(folder.path.c_str(), 0755) | ::chmod(path.c_str(), 0666), 0);
        const pid_t stranger = fork();
        if (stranger == 0) {
            _exit(::setuid(65534) != 0 || exchange(connectTo(path), "status\n") != "" ? 1 : 0);
        }
        int exit = -1;
        ASSERT_EQ(waitpid(stranger, &exit, 0), stranger);
        EXPECT_EQ(exit, 0) << "another user was answered";

        // An asker gone before its answer: the answer goes nowhere.
        auto impatient =
            std::async(std::launch::async, [&] { return askControlSocket(path, "later", 200ms); });
        const std::optional<platform::ControlAnswer> unanswered = queue.runUntil(impatient);
        ASSERT_TRUE(unanswered);
        EXPECT_EQ(std::make_pair(unanswered->ok, unanswered->text), std::make_pair(false, std::string()));
        ASSERT_TRUE(later);
        later({true, "too late"});
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"status", "other", "later"}));
    EXPECT_FALSE(std::filesystem::exists(path)) << "the socket outlived its instance";
    EXPECT_EQ(askControlSocket(path, "status", 1s), std::nullopt);
}

} // namespace
} // namespace tovra::linuxos
