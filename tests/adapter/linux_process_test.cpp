// Children, their guard and listeners as the kernel shows them, where the end-to-end tests cannot
// look: failed launches, handlers, the guard's own decisions, listeners of a process tree.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "platform/linux/file_descriptor.h"
#include "platform/linux/loopback_listener.h"
#include "platform/linux/posix_task.h"
#include "support/temp_dir.h"

namespace tovra::posix {
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
        last ? void(*last = pid) : void();
    }
    return names;
}

std::unique_ptr<PosixTask> sleeping(std::function<void()> handler = {})
{
    auto task = std::make_unique<PosixTask>();
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
        PosixTask task;
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
        auto task = sleeping([calls, &thread] { ++*calls, thread = std::this_thread::get_id(); });
        EXPECT_FALSE(task->launch()); // once only
        const int pid = task->processIdentifier();
        removal == 1 ? task->setTerminationHandler({}) : removal == 2 ? task.reset() : void();
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
            auto task = std::make_unique<PosixTask>();
            task->setExecutable("/bin/sh");
            task->setArguments({"-c",
                                "trap 'echo TERM >> \"$0\"' TERM; trap exit WINCH; exec >/dev/null 2>&1; "
                                "echo $$ > \"$0.pid\"; for i in $(seq 1000); do sleep 0.02; done",
                                signals});
            task->launch();
            eventually([&] { return !readFile(signals + ".pid").empty(); });
            destroyTask ? task.reset() : void();
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

// A TCP listener on `address`, on a port the system picks.
int listenOn(const std::string& address, FileDescriptor& socket)
{
    sockaddr_in6 ipv6{AF_INET6, 0, 0, {}, 0};
    sockaddr_in ipv4{AF_INET, 0, {}, {}};
    const bool isIpv6 = address.find(':') != std::string::npos;
    EXPECT_EQ(isIpv6 ? inet_pton(AF_INET6, address.c_str(), &ipv6.sin6_addr)
                     : inet_pton(AF_INET, address.c_str(), &ipv4.sin_addr),
              1);
    auto* bound = isIpv6 ? reinterpret_cast<sockaddr*>(&ipv6) : reinterpret_cast<sockaddr*>(&ipv4);
    socklen_t length = isIpv6 ? sizeof ipv6 : sizeof ipv4;
    socket = FileDescriptor(::socket(bound->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(socket.get(), bound, length) | listen(socket.get(), 1) |
                  getsockname(socket.get(), bound, &length),
              0);
    return ntohs(isIpv6 ? ipv6.sin6_port : ipv4.sin_port);
}

TEST(LinuxLoopbackListener, TheAddressThatReachesAListenerOfTheProcessOrOneBelowIt)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {{"127.0.0.1", "127.0.0.1"},
                                                                        {"0.0.0.0", "127.0.0.1"},
                                                                        {"127.0.0.2", {}},
                                                                        {"::1", "::1"},
                                                                        {"::ffff:127.0.0.1", "127.0.0.1"},
                                                                        {"::", "::1"}};
    for (const auto& [address, expected] : cases) {
        FileDescriptor socket;
        const int port = listenOn(address, socket);
        EXPECT_EQ(loopbackListenerOf(getpid(), port), expected) << address;
        EXPECT_EQ(loopbackListenerOf(getpid(), port ^ 1), std::nullopt) << address; // not its port
    }
    const pid_t idle = fork(); // a child without the listener
    if (idle == 0) {
        pause();
    }
    FileDescriptor socket;
    const int port = listenOn("127.0.0.1", socket);
    const pid_t holder = fork();
    if (holder == 0) {
        pause();
    }
    socket.close(); // the second child's alone now
    EXPECT_EQ(loopbackListenerOf(getpid(), port), "127.0.0.1");
    EXPECT_EQ(loopbackListenerOf(idle, port), std::nullopt);
    EXPECT_EQ(loopbackListenerOf(0, port), std::nullopt);
    for (const pid_t child : {idle, holder}) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(loopbackListenerOf(child, port), std::nullopt) << "a process that is gone";
    }
}

} // namespace
} // namespace tovra::posix
