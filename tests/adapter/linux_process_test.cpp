// Children, their guard and listeners, as the kernel shows them in /proc.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "platform/linux/file_descriptor.h"
#include "platform/linux/loopback_listener.h"
#include "platform/linux/posix_file_manager.h"
#include "platform/linux/posix_task.h"
#include "platform/linux/termination_signals.h"
#include "support/temp_dir.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::readFile;

template <typename Condition> bool eventually(Condition condition)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !condition();) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string proc(int pid, const std::string& entry)
{
    return readFile("/proc/" + std::to_string(pid) + "/" + entry);
}

bool isBlocked(int signal)
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

// A process's open descriptors and what they lead to.
std::map<int, fs::path> descriptors(int pid)
{
    std::map<int, fs::path> found;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code closed;
        found[std::stoi(entry.path().filename())] = fs::read_symlink(entry.path(), closed);
    }
    return found;
}

// This process's children, zombies too, as "name state;" in name order; `last` gets the pid of
// the last of them.
std::string children(pid_t* last = nullptr)
{
    std::map<std::string, pid_t> found;
    std::istringstream pids(proc(getpid(), "task/" + std::to_string(gettid()) + "/children"));
    for (pid_t pid; pids >> pid;) {
        const std::string stat = proc(pid, "stat"); // pid (name) state ...
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        found[stat.substr(open + 1, close - open - 1) + " " + stat[close + 2] + ";"] = pid;
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

void launchSleep(PosixTask& task)
{
    task.setExecutable("/bin/sleep");
    task.setArguments({"infinity"});
    ASSERT_TRUE(task.launch());
}

TEST(LinuxTask, ChildGetsWhatWasGivenElseInheritsAndNothingMore)
{
    const testing::TempDir dir;
    testing::writeFile(dir / "log", "");
    const FileDescriptor leaked(open("/dev/null", O_RDONLY)); // without close-on-exec
    signal(SIGUSR1, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::string environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment += *entry + "\0"s;
    }
    for (const bool given : {true, false}) {
        PosixTask task;
        std::map<int, fs::path> streams = descriptors(getpid());
        std::erase_if(streams, [](const auto& stream) { return stream.first > 2; });
        if (given) {
            task.setCurrentDirectory(dir.path);
            task.setEnvironment({{"A", "1"}, {"B", "x y"}});
            const std::shared_ptr<platform::FileHandle> log =
                PosixFileManager().fileHandleForWriting(dir / "log");
            task.setStandardOutput(log);
            task.setStandardError(log);
            streams[1] = streams[2] = fs::canonical(dir / "log");
        }
        launchSleep(task);
        const int pid = task.processIdentifier();
        // The kernel may still be setting up the program's memory and the dynamic loader have a
        // library open for a moment after posix_spawn has returned.
        EXPECT_TRUE(eventually([&] { return proc(pid, "cmdline") == "/bin/sleep\0infinity\0"s; }));
        EXPECT_TRUE(
            eventually([&] { return proc(pid, "environ") == (given ? "A=1\0B=x y\0"s : environment); }));
        EXPECT_TRUE(eventually([&] { return descriptors(pid) == streams; }));
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd"),
                  given ? fs::canonical(dir.path) : fs::current_path());
        const std::string status = proc(pid, "status");
        EXPECT_NE(status.find("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"), std::string::npos)
            << status;
        EXPECT_FALSE(isBlocked(SIGTERM));
        task.terminate();
        task.waitUntilExit();
    }
}

TEST(LinuxTask, FailedLaunchLeavesNoChild)
{
    const testing::TempDir dir;
    testing::writeFile(dir / "text", "#!/bin/sh\n");
    testing::writeFile(dir / "junk", "junk\n");
    fs::permissions(dir / "junk", fs::perms::owner_all);
    const std::string before = children();
    const std::pair<fs::path, fs::path> cases[] = {{dir / "missing", {}},
                                                   {dir / "text", {}},
                                                   {dir / "junk", {}},
                                                   {dir.path, {}},
                                                   {"/bin/true", dir / "missing"}};
    for (const auto& [program, directory] : cases) {
        PosixTask task;
        task.setExecutable(program);
        task.setCurrentDirectory(directory);
        EXPECT_FALSE(task.launch()) << program;
        EXPECT_EQ(task.processIdentifier(), -1);
        EXPECT_FALSE(task.isRunning());
        task.waitUntilExit();
        EXPECT_EQ(children(), before) << program;
    }
    PosixTask task;
    const std::shared_ptr<platform::FileHandle> log = PosixFileManager().fileHandleForWriting(dir / "text");
    log->close();
    task.setStandardError(log);
    task.setExecutable("/bin/true");
    EXPECT_FALSE(task.launch()); // the output it was given is closed
}

TEST(LinuxTask, HandlerRunsOnceOnAnotherThreadUnlessRemoved)
{
    for (const bool removed : {false, true}) {
        PosixTask task;
        std::atomic<int> calls = 0;
        std::thread::id thread;
        task.setTerminationHandler([&] {
            ++calls;
            thread = std::this_thread::get_id();
        });
        launchSleep(task);
        EXPECT_TRUE(task.isRunning());
        EXPECT_FALSE(task.launch()); // once only
        if (removed) {
            task.setTerminationHandler({});
        }
        task.terminate();
        task.waitUntilExit();
        EXPECT_FALSE(task.isRunning());
        EXPECT_EQ(calls, removed ? 0 : 1);
        EXPECT_NE(thread, std::this_thread::get_id());
    }
}

TEST(LinuxTask, HandlerMayWaitForAndLetGoOfItsTask)
{
    auto task = std::make_shared<PosixTask>();
    std::atomic<bool> done = false;
    task->setTerminationHandler([&] {
        task->waitUntilExit();
        task.reset();
        done = true;
    });
    launchSleep(*task);
    task->terminate();
    EXPECT_TRUE(eventually([&] { return done.load(); }));
}

TEST(LinuxTask, DestroyedTaskStillReapsItsChildAndCallsNothing)
{
    auto task = std::make_unique<PosixTask>();
    const auto called = std::make_shared<std::atomic<bool>>(false);
    task->setTerminationHandler([called] { *called = true; });
    launchSleep(*task);
    const int pid = task->processIdentifier();
    task.reset();
    kill(pid, SIGTERM);
    EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
    // The waiter lets go of the handler once done with it, if it still has it.
    EXPECT_TRUE(eventually([&] { return called.use_count() == 1; }));
    EXPECT_FALSE(*called);
}

TEST(LinuxChildGuard, NamedItsOwnAndGoneWithTheChildOrOnAPlainKill)
{
    // A handler of this process's, which the guard must not keep.
    signal(SIGTERM, [](int) {});
    prctl(PR_SET_CHILD_SUBREAPER, 1); // the guard is orphaned to this process
    for (const bool killGuard : {false, true}) {
        auto task = std::make_unique<PosixTask>();
        launchSleep(*task);
        pid_t guard = -1;
        ASSERT_TRUE(eventually([&] { return children(&guard) == "sleep S;tovra-guard S;"; })) << children();
        if (killGuard) {
            kill(guard, SIGTERM);
            EXPECT_TRUE(eventually([] { return children() == "sleep S;tovra-guard Z;"; })) << children();
            const int pid = task->processIdentifier();
            task.reset(); // no SIGPIPE from dismissing a guard that is gone, and none blocked after
            EXPECT_FALSE(isBlocked(SIGPIPE));
            kill(pid, SIGTERM);
        } else {
            task->terminate();
            task->waitUntilExit();
        }
        EXPECT_TRUE(eventually([] { return children() == "tovra-guard Z;"; })) << children();
        waitpid(guard, nullptr, 0);
    }
}

TEST(LinuxChildGuard, SignalsTheChildOnceWhenTheLauncherIsKilledUnlessTheTaskWasDestroyed)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1); // the guard and the child are orphaned to this process
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
            if (destroyTask) {
                task.reset();
            }
            raise(SIGKILL);
        }
        waitpid(launcher, nullptr, 0);
        // Whatever the guard sends, it has sent once it has ended.
        pid_t guard = -1;
        ASSERT_TRUE(eventually([&] { return children(&guard) == "sh S;tovra-guard Z;"; })) << children();
        const pid_t child = std::stoi(readFile(signals + ".pid"));
        kill(child, SIGWINCH); // pending traps run in signal order: a SIGTERM's before this exit
        EXPECT_TRUE(eventually([&] { return waitpid(child, nullptr, WNOHANG) == child; }));
        EXPECT_EQ(readFile(signals), destroyTask ? "" : "TERM\n");
        waitpid(guard, nullptr, 0);
    }
}

// A TCP listener on `address`, on a port the system picks.
int listenOn(const char* address, FileDescriptor& socket)
{
    sockaddr_in6 ipv6{};
    sockaddr_in ipv4{};
    ipv6.sin6_family = AF_INET6;
    ipv4.sin_family = AF_INET;
    const bool isIpv6 = inet_pton(AF_INET6, address, &ipv6.sin6_addr) == 1;
    EXPECT_TRUE(isIpv6 || inet_pton(AF_INET, address, &ipv4.sin_addr) == 1) << address;
    auto* bound = isIpv6 ? reinterpret_cast<sockaddr*>(&ipv6) : reinterpret_cast<sockaddr*>(&ipv4);
    socklen_t length = isIpv6 ? sizeof ipv6 : sizeof ipv4;
    socket = FileDescriptor(::socket(bound->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(socket.get(), bound, length) | listen(socket.get(), 1) |
                  getsockname(socket.get(), bound, &length),
              0)
        << address;
    return ntohs(isIpv6 ? ipv6.sin6_port : ipv4.sin_port);
}

TEST(LinuxLoopbackListener, TheAddressThatReachesTheProcesssOwnListener)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {{"127.0.0.1", "127.0.0.1"},
                                                                        {"0.0.0.0", "127.0.0.1"},
                                                                        {"127.0.0.2", std::nullopt},
                                                                        {"::1", "::1"},
                                                                        {"::", "::1"}};
    for (const auto& [address, expected] : cases) {
        FileDescriptor socket;
        const int port = listenOn(address, socket);
        EXPECT_EQ(loopbackListenerOf(getpid(), port), expected) << address;
        EXPECT_EQ(loopbackListenerOf(getpid(), port ^ 1), std::nullopt) << address; // not its port
    }
    // A connection on the port is no listener.
    FileDescriptor listener;
    const int port = listenOn("127.0.0.1", listener);
    sockaddr_in server{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const FileDescriptor client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    const FileDescriptor accepted(accept(listener.get(), nullptr, nullptr));
    listener = FileDescriptor();
    EXPECT_EQ(loopbackListenerOf(getpid(), port), std::nullopt);
}

TEST(LinuxLoopbackListener, OnlyTheProcessAndThoseBelowItCount)
{
    const pid_t idle = fork(); // the first child, and without the listener
    if (idle == 0) {
        pause();
        _exit(0);
    }
    FileDescriptor socket;
    const int port = listenOn("127.0.0.1", socket);
    const pid_t holder = fork();
    if (holder == 0) {
        pause();
        _exit(0);
    }
    socket.close(); // the second child's alone now
    EXPECT_EQ(loopbackListenerOf(getpid(), port), "127.0.0.1");
    EXPECT_EQ(loopbackListenerOf(idle, port), std::nullopt);
    EXPECT_EQ(loopbackListenerOf(0, port), std::nullopt);
    for (const pid_t child : {idle, holder}) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(loopbackListenerOf(child, port), std::nullopt); // gone
    }
}

TEST(LinuxTerminationSignals, ReachThePipeWhenCaughtButAHangupIgnoredStaysIgnored)
{
    signal(SIGHUP, SIG_IGN); // as under nohup
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    catchTerminationSignals();
    const int pipe = terminationSignalDescriptor();
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
        raise(signal);
    }
    char bytes[8];
    EXPECT_EQ(std::string(bytes, std::max(read(pipe, bytes, sizeof bytes), ssize_t{0})), "\x02\x0f");
    // A wait that a caught signal interrupts goes on.
    const pid_t child = fork();
    if (child == 0) {
        usleep(100000); // for the wait to begin
        kill(getppid(), SIGTERM);
        usleep(100000);
        _exit(0);
    }
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    // With the pipe full, the handler's failed write leaves errno as it was.
    fcntl(pipe, F_SETPIPE_SZ, 4096);
    for (int i = 0; i <= 4096; ++i) {
        raise(SIGTERM);
    }
    errno = 0;
    raise(SIGTERM);
    EXPECT_EQ(errno, 0);
}

} // namespace
} // namespace tovra::posix
