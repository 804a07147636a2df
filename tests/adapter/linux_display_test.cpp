// The wait for a display server against real sockets: one that answers is ready, greeted in its
// own protocol; a DISPLAY that names no display is refused, never a crash. One that only queues
// connections, and a signal that ends the wait, are seen end to end.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/linux/display_wait.h"
#include "platform/posix/file_descriptor.h"
#include "support/temp_dir.h"

namespace tovra::linuxos {
namespace {

using namespace std::chrono_literals;
using posix::FileDescriptor;

// Sets an environment variable for the life of the object.
struct Variable {
    Variable(const char* name, const std::string& value) : name(name)
    {
        if (const char* was = std::getenv(name)) {
            before = was;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~Variable()
    {
        if (before) {
            ::setenv(name, before->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    const char* name;
    std::optional<std::string> before;
};

// A display server's stand-in listening on a Unix socket at `path`: it reads the client's first
// 12 bytes, keeps them in `heard`, answers one byte and closes.
struct StandIn {
    explicit StandIn(const std::filesystem::path& path)
        : listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        std::filesystem::remove(path);
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener.get(), 4), 0);
        unlink = path;
        server = std::thread([this] {
            const FileDescriptor client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            heard.resize(12);
            const ssize_t size = ::recv(client.get(), heard.data(), heard.size(), MSG_WAITALL);
            heard.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
            [[maybe_unused]] const ssize_t sent = ::send(client.get(), "\0", 1, MSG_NOSIGNAL);
        });
    }
    ~StandIn()
    {
        if (server.joinable()) {
            server.join();
        }
        std::filesystem::remove(unlink);
    }
    FileDescriptor listener;
    std::filesystem::path unlink;
    std::string heard;
    std::thread server;
};

// A local X display nobody uses: /tmp/.X11-unix/X<number> free.
int freeDisplay()
{
    std::filesystem::create_directories("/tmp/.X11-unix");
    int number = 400 + static_cast<int>(::getpid() % 500);
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) {
        ++number;
    }
    return number;
}

TEST(LinuxDisplayWait, AServerThatAnswersIsReadyAndSoIsOneThatCloses)
{
    const int number = freeDisplay();
    const Variable display("DISPLAY", ":" + std::to_string(number) + ".0");
    {
        StandIn x("/tmp/.X11-unix/X" + std::to_string(number));
        EXPECT_EQ(waitForDisplay("xcb", 5s, -1), DisplayWait::ready);
        x.server.join();
        // The X protocol's first words: little-endian, asking for a version no server speaks, no
        // authorisation; a server answers at once, and counts no client.
        EXPECT_EQ(x.heard, std::string("l\0\0\0\0\0\0\0\0\0\0\0", 12));
    }

    testing::TempDir runtime;
    const Variable runtimeFolder("XDG_RUNTIME_DIR", runtime.path.string());
    const Variable wayland("WAYLAND_DISPLAY", "wayland-test");
    StandIn compositor(runtime / "wayland-test");
    EXPECT_EQ(waitForDisplay("wayland-egl", 5s, -1), DisplayWait::ready);
    compositor.server.join();
    // wl_display.sync: object 1, opcode 0 in a message of 12 bytes, a new callback 2.
    const std::uint32_t sync[] = {1, 12u << 16, 2};
    EXPECT_EQ(compositor.heard, std::string(reinterpret_cast<const char*>(sync), sizeof sync));

    // A platform without a display server is ready at once.
    EXPECT_EQ(waitForDisplay("offscreen", 0ms, -1), DisplayWait::ready);
}

TEST(LinuxDisplayWait, ARemoteServerIsTakenAtItsWordOnceItTakesTheConnection)
{
    // A listener on loopback at 6000 + the display's number; the kernel takes the connection.
    const FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int number = ntohs(address.sin_port) - 6000;
    ASSERT_GE(number, 0);
    for (const std::string host : {"127.0.0.1", "localhost", "[127.0.0.1]"}) {
        const Variable display("DISPLAY", host + ":" + std::to_string(number) + ".0");
        EXPECT_EQ(waitForDisplay("xcb", 5s, -1), DisplayWait::ready) << host;
    }
}

TEST(LinuxDisplayWait, ADisplayNameThatNamesNoDisplayIsRefusedAtOnce)
{
    for (const char* name : {"", ":", ":1x", ":-1", "host:59536"}) {
        const Variable display("DISPLAY", name);
        EXPECT_EQ(waitForDisplay("xcb", 60s, -1), DisplayWait::unusable) << name;
    }
    // Well formed, but nothing there within no time at all.
    for (const char* name : {":0.1", "unix:7"}) {
        const Variable display("DISPLAY", name);
        EXPECT_EQ(waitForDisplay("xcb", 0ms, -1), DisplayWait::timedOut) << name;
    }
    ::unsetenv("DISPLAY");
    EXPECT_EQ(waitForDisplay("xcb", 60s, -1), DisplayWait::unusable);
    const Variable wayland("WAYLAND_DISPLAY", "/" + std::string(200, 'w'));
    EXPECT_EQ(waitForDisplay("wayland", 60s, -1), DisplayWait::unusable) << "a path no socket address holds";
}

} // namespace
} // namespace tovra::linuxos
