// Children, their guard and listeners as the kernel shows them, where the end-to-end tests cannot
// look: failed launches, handlers, the guard's own decisions, listeners of a process tree.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/linux/linux_task.h"
#include "platform/linux/loopback_listener.h"
#include "platform/posix/file_descriptor.h"
#include "support/temp_dir.h"

namespace tovra::linuxos {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

bool eventually(const auto& condition)
{
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (condition()) {
            return true;
        }
    }
    return false;
}

// This process's children, zombies too, as "name state;" in name order; `last` gets one's pid.
std::string children(pid_t* last = nullptr)
{
    std::map<std::string, pid_t> found;
    std::istringstream pids(readFile("/proc/self/task/" + std::to_string(gettid()) + "/children"));
    for (pid_t pid; pids >> pid;) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat"); // pid (name) state ...
        found[stat.substr(stat.find('(') + 1, stat.rfind(')') - stat.find('(') - 1) + " " +
              stat[stat.rfind(')') + 2] + ";"] = pid;
    }
    std::string names;
    for (const auto& [name, pid] : found) {
        names += name;
        if (last) {
            *last = pid;
        }
    }
    return names;
}

std::unique_ptr<LinuxTask> sleeping(std::function<void()> handler = {})
{
    auto task = std::make_unique<LinuxTask>();
    task->setExecutable("/bin/sleep");
    task->setArguments({"infinity"});
    task->setTerminationHandler(std::move(handler));
    EXPECT_TRUE(task->launch());
    return task;
}

TEST(LinuxTask, AProgramThatCannotStartLeavesNoChild)
{
    const std::string before = children();
    using Launch = std::pair<fs::path, fs::path>; // program, folder
    for (const auto& [program, directory] : {Launch{"/nowhere/x", {}}, Launch{"/etc/passwd", {}},
                                             Launch{"/etc", {}}, Launch{"/bin/true", "/nowhere"}}) {
        LinuxTask task;
        task.setExecutable(program);
        task.setCurrentDirectory(directory);
        task.setTerminationHandler([] { ADD_FAILURE() << "a handler for no child"; });
        EXPECT_FALSE(task.launch()) << program;
        EXPECT_EQ(std::make_pair(task.processIdentifier(), task.isRunning()), std::make_pair(-1, false));
        task.waitUntilExit();
        EXPECT_EQ(children(), before) << program;
    }
}

TEST(LinuxTask, TheHandlerRunsOnceOnAnotherThreadUnlessRemovedOrTheTaskGone)
{
    for (const int removal : {0, 1, 2}) { // kept, removed, the task destroyed
        const auto calls = std::make_shared<std::atomic<int>>(0);
        std::atomic<std::thread::id> thread;
        auto task = sleeping([calls, &thread] {
            ++*calls;
            thread = std::this_thread::get_id();
        });
        EXPECT_FALSE(task->launch()); // once only
        const int pid = task->processIdentifier();
        if (removal == 1) {
            task->setTerminationHandler({});
        } else if (removal == 2) {
            task.reset();
        }
        kill(pid, SIGTERM);
        if (task) {
            task->waitUntilExit();
            EXPECT_FALSE(task->isRunning());
            task->terminate(); // after the end: to nobody
        }
        EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + std::to_string(pid)); })) << "not reaped";
        EXPECT_TRUE(eventually([&] { return calls.use_count() == 1; })) << "the handler is still held";
        EXPECT_EQ(*calls, removal ? 0 : 1);
        EXPECT_NE(thread.load(), std::this_thread::get_id());
    }
}

// The guard sends the child one SIGTERM when its launcher dies without a word, and nothing when the
// task was destroyed first; it ends with the child.
TEST(LinuxChildGuard, NamedItsOwnItSignalsOnceOnlyForALauncherGoneWithoutAWord)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1); // the guard and the child are orphaned to this process
    pid_t guard = -1; // first the forks, while this process has one thread, as ThreadSanitizer wants
    for (const bool destroyTask : {false, true}) {
        const testing::TempDir dir;
        const std::string signals = dir / "signals";
        const pid_t launcher = fork();
        if (launcher == 0) {
            auto task = std::make_unique<LinuxTask>();
            task->setExecutable("/bin/sh");
            task->setArguments(
                {"-c",
                 "trap 'echo TERM >> \"$0\"' TERM; trap exit WINCH; exec >/dev/null 2>&1; "
                 "echo $$ > \"$0.pid\"; i=0; while [ $((i += 1)) -lt 1000 ]; do sleep 0.02; done",
                 signals});
            task->launch();
            eventually([&] { return !readFile(signals + ".pid").empty(); });
            if (destroyTask) {
                task.reset();
            }
            raise(SIGKILL);
        }
        waitpid(launcher, nullptr, 0);
        ASSERT_TRUE(eventually([&] { return children(&guard) == "sh S;tovra-guard Z;"; })) << children();
        const pid_t child = std::stoi(readFile(signals + ".pid"));
        kill(child, SIGWINCH); // pending traps run in signal order: a SIGTERM's before this exit
        EXPECT_TRUE(eventually([&] { return waitpid(child, nullptr, WNOHANG) == child; }));
        EXPECT_EQ(readFile(signals), destroyTask ? "" : "TERM\n");
        waitpid(guard, nullptr, 0);
    }
    const auto task = sleeping();
    ASSERT_TRUE(eventually([&] { return children(&guard) == "sleep S;tovra-guard S;"; })) << children();
    task->terminate();
    task->waitUntilExit();
    ASSERT_TRUE(eventually([] { return children() == "tovra-guard Z;"; })) << "the guard outlived its child";
    waitpid(guard, nullptr, 0);
}

// A TCP listener on `address`, on `port` or one the system picks; its port, or -1.
int listenOn(const std::string& address, FileDescriptor& socket, int port = 0)
{
    sockaddr_in6 ipv6{AF_INET6, htons(static_cast<uint16_t>(port)), 0, {}, 0};
    sockaddr_in ipv4{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    const bool isIpv6 = address.find(':') != std::string::npos;
    EXPECT_EQ(isIpv6 ? inet_pton(AF_INET6, address.c_str(), &ipv6.sin6_addr)
                     : inet_pton(AF_INET, address.c_str(), &ipv4.sin_addr),
              1);
    auto* bound = isIpv6 ? reinterpret_cast<sockaddr*>(&ipv6) : reinterpret_cast<sockaddr*>(&ipv4);
    socklen_t length = isIpv6 ? sizeof ipv6 : sizeof ipv4;
    socket = FileDescriptor(::socket(bound->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (bind(socket.get(), bound, length) != 0 || listen(socket.get(), 1) != 0 ||
        getsockname(socket.get(), bound, &length) != 0)
        return -1;
    return ntohs(isIpv6 ? ipv6.sin6_port : ipv4.sin_port);
}

TEST(LinuxLoopbackListener, TheAddressThatReachesAListenerOfTheProcessOrOneBelowItWhileItHoldsIt)
{
    OwnedListenerCheck check; // one for every question, as the poll asks: what it remembers must not mislead
    const std::pair<const char*, std::optional<std::string>> cases[] = {{"127.0.0.1", "127.0.0.1"},
                                                                        {"0.0.0.0", "127.0.0.1"},
                                                                        {"127.0.0.2", {}},
                                                                        {"::1", "::1"},
                                                                        {"::ffff:127.0.0.1", "127.0.0.1"},
                                                                        {"::", "::1"}};
    for (const auto& [address, expected] : cases) {
        FileDescriptor socket;
        const int port = listenOn(address, socket);
        ASSERT_GT(port, 0) << address;
        EXPECT_EQ(check(getpid(), port), expected) << address;
        EXPECT_EQ(check(getpid(), port), expected) << address << ", asked again";
        EXPECT_EQ(check(getpid(), port ^ 1), std::nullopt) << address; // not its port
    }
    // A server whose child holds the listener, and a process beside it that holds nothing.
    FileDescriptor socket;
    const int port = listenOn("127.0.0.1", socket);
    ASSERT_GT(port, 0);
    const pid_t idle = fork();
    if (idle == 0) {
        socket.close();
        for (;;)
            pause();
    }
    const pid_t server = fork();
    if (server == 0) {
        if (fork() != 0) {
            socket.close(); // the child's alone with it
        }
        for (;;)
            pause();
    }
    socket.close();
    int holder = 0;
    ASSERT_TRUE(eventually([&] {
        std::ifstream("/proc/" + std::to_string(server) + "/task/" + std::to_string(server) + "/children") >>
            holder;
        return holder > 0 && check(server, port) == "127.0.0.1" &&
               fs::exists("/proc/" + std::to_string(holder));
    }));
    EXPECT_EQ(check(server, port), "127.0.0.1");
    EXPECT_EQ(check(idle, port), std::nullopt);
    EXPECT_EQ(check(0, port), std::nullopt);
    // The listener gone, then one on the same port held by a process not below the server.
    kill(holder, SIGKILL);
    EXPECT_TRUE(eventually([&] { return check(server, port) == std::nullopt; }));
    // A killed process's descriptors are gone from /proc a moment before its sockets close.
    ASSERT_TRUE(eventually([&] { return listenOn("127.0.0.1", socket, port) == port; }));
    EXPECT_EQ(check(server, port), std::nullopt) << "another's listener on the port";
    EXPECT_EQ(check(getpid(), port), "127.0.0.1");
    for (const pid_t child : {idle, server}) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(check(child, port), std::nullopt) << "a process that is gone";
    }
}

} // namespace
} // namespace tovra::linuxos
