// Children, their guard and listeners as the kernel shows them, where the end-to-end tests cannot
// look: failed launches, the handler on the loop, the tree the guard ends and when, listeners of a
// process tree. The child's environment, folder and descriptors, and the guard of a killed
// application, are seen end to end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <numeric>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/linux_task.h"
#include "platform/linux/loopback_listener.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/posix_file_handle.h"
#include "support/temp_dir.h"

namespace tovra::linuxos {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readFile;
using Clock = std::chrono::steady_clock;

bool eventually(const auto& condition)
{
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (condition()) {
            return true;
        }
    }
    return false;
}

// The event loop as the application runs it, on this thread: each watched descriptor polled, its
// call made when it is readable.
class TestLoop {
public:
    DescriptorWatches watches()
    {
        return [this](int descriptor, std::function<void()> readable) -> std::unique_ptr<DescriptorWatch> {
            auto entry = std::make_shared<Entry>(Entry{descriptor, std::move(readable), true});
            entries_.push_back(entry);
            return std::make_unique<Watch>(entry);
        };
    }
    // Runs until `done` holds (true), or for 10 s (false).
    bool runUntil(const std::function<bool()>& done)
    {
        for (const auto end = Clock::now() + 10s; Clock::now() < end;) {
            if (done()) {
                return true;
            }
            std::erase_if(entries_, [](const auto& entry) { return !entry->active; });
            std::vector<pollfd> watched;
            for (const auto& entry : entries_) {
                watched.push_back({entry->descriptor, POLLIN, 0});
            }
            ::poll(watched.data(), watched.size(), 10);
            const auto entries = entries_; // a call may add or end watches
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if (watched[i].revents != 0 && entries[i]->active) {
                    entries[i]->readable();
                }
            }
        }
        return done();
    }
    std::size_t watched() const
    {
        return std::count_if(entries_.begin(), entries_.end(),
                             [](const auto& entry) { return entry->active; });
    }

private:
    struct Entry {
        int descriptor;
        std::function<void()> readable;
        bool active;
    };
    struct Watch final : DescriptorWatch {
        explicit Watch(std::shared_ptr<Entry> entry) : entry(std::move(entry)) {}
        ~Watch() override { entry->active = false; }
        std::shared_ptr<Entry> entry;
    };
    std::vector<std::shared_ptr<Entry>> entries_;
};

// A file of /proc, read whole; empty when it cannot be (a process gone meanwhile: reading an
// ifstream then throws).
std::string readProc(const std::string& path)
{
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    char buffer[4096];
    for (ssize_t n; file.isOpen() && (n = ::read(file.get(), buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

bool gone(pid_t pid)
{
    const std::string stat = readProc("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat[stat.rfind(')') + 2] == 'Z';
}

// This process's children, zombies too, as "name state;" in name order.
std::string children()
{
    std::set<std::string> found;
    std::istringstream pids(readProc("/proc/self/task/" + std::to_string(gettid()) + "/children"));
    for (pid_t pid; pids >> pid;) {
        const std::string stat = readProc("/proc/" + std::to_string(pid) + "/stat"); // pid (name) state ...
        found.insert(stat.substr(stat.find('(') + 1, stat.rfind(')') - stat.find('(') - 1) + " " +
                     stat[stat.rfind(')') + 2] + ";");
    }
    return std::accumulate(found.begin(), found.end(), std::string());
}

// Fields of /proc/<pid>/stat after the name: [0] state, [1] parent, [2] process group, [3] session.
std::vector<std::string> statOf(pid_t pid)
{
    const std::string stat = readProc("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values(4);
    for (std::string& value : values) {
        fields >> value;
    }
    return values;
}

// The test's own loop and launcher.
struct Supervised {
    explicit Supervised(std::chrono::milliseconds grace = 300ms)
        : launcher({TOVRA_GUARD_PROGRAM, grace, loop.watches()})
    {
    }

    std::shared_ptr<LinuxTask> task(const fs::path& program, std::vector<std::string> arguments,
                                    std::function<void()> handler = {})
    {
        auto task = std::static_pointer_cast<LinuxTask>(launcher.makeTask());
        task->setExecutable(program);
        task->setArguments(std::move(arguments));
        task->setTerminationHandler(std::move(handler));
        return task;
    }
    // A shell script as the child, launched; "$0" in it is `file`.
    std::shared_ptr<LinuxTask> shell(const std::string& script, const fs::path& file = "/dev/null",
                                     std::function<void()> handler = {})
    {
        auto task = this->task("/bin/sh", {"-c", script, file}, std::move(handler));
        EXPECT_TRUE(task->launch()) << script;
        return task;
    }

    TestLoop loop;
    LinuxTaskLauncher launcher;
};

// The pids a script wrote to `file`, one a line, once there are `count`.
std::vector<pid_t> pidsIn(const fs::path& file, std::size_t count)
{
    std::vector<pid_t> pids;
    eventually([&] {
        pids.clear();
        std::istringstream lines(readFile(file));
        for (pid_t pid; lines >> pid;) {
            pids.push_back(pid);
        }
        return pids.size() >= count;
    });
    return pids;
}

TEST(LinuxTask, AProgramOrGuardThatCannotStartLeavesNoProcess)
{
    const std::string before = children();
    TestLoop loop;
    using Launch = std::tuple<fs::path, fs::path, fs::path>; // guard, program, folder
    for (const auto& [guard, program, directory] : {Launch{TOVRA_GUARD_PROGRAM, "/etc/passwd", {}},
                                                    Launch{TOVRA_GUARD_PROGRAM, "/bin/true", "/nowhere"},
                                                    Launch{"/nowhere/tovra-guard", "/bin/true", {}}}) {
        LinuxTaskLauncher launcher({guard, 300ms, loop.watches()});
        const auto task = launcher.makeTask();
        task->setExecutable(program);
        task->setCurrentDirectory(directory);
        task->setTerminationHandler([] { ADD_FAILURE() << "a handler for no child"; });
        EXPECT_FALSE(task->launch()) << program;
        EXPECT_EQ(std::make_pair(task->processIdentifier(), task->isRunning()), std::make_pair(-1, false));
        task->waitUntilExit();
        EXPECT_EQ(children(), before) << program;
        EXPECT_EQ(loop.watched(), 0u) << program;
    }
}

// What the end-to-end tests cannot see of the child: signals as a new program's, blocked or ignored
// here; a group of its own, apart from its guard's; one launch only.
TEST(LinuxTask, TheChildStartsWithDefaultSignalsInAGroupOfItsOwn)
{
    Supervised supervised;
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGUSR2, SIG_IGN);
    const auto task = supervised.task("/bin/sleep", {"infinity"});
    ASSERT_TRUE(task->launch());
    signal(SIGUSR2, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
    EXPECT_FALSE(task->launch()) << "once only";
    const pid_t child = task->childProcessIdentifier();
    const pid_t guard = task->processIdentifier();
    std::string status;
    EXPECT_TRUE(eventually([&] { // once it runs sleep
        status = readProc("/proc/" + std::to_string(child) + "/status");
        return status.starts_with("Name:\tsleep");
    }));
    EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_NE(status.find("SigIgn:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_EQ(statOf(child)[1], std::to_string(guard));
    EXPECT_EQ(statOf(child)[2], std::to_string(child));
    EXPECT_EQ(statOf(guard)[2], std::to_string(guard));
    task->terminate();
    EXPECT_TRUE(
        supervised.loop.runUntil([&] { return !task->isRunning() && supervised.loop.watched() == 0; }));
}

TEST(LinuxTask, TheHandlerRunsOnceOnTheLoopUnlessRemovedOrTheTaskGone)
{
    for (const int removal : {0, 1, 2}) { // kept, removed, the task let go of
        Supervised supervised;
        const auto calls = std::make_shared<int>(0);
        std::thread::id thread;
        std::shared_ptr<LinuxTask> task = supervised.task("/bin/sleep", {"infinity"}, [calls, &thread] {
            ++*calls;
            thread = std::this_thread::get_id();
        });
        ASSERT_TRUE(task->launch());
        const pid_t child = task->childProcessIdentifier();
        const pid_t guard = task->processIdentifier();
        EXPECT_EQ(readProc("/proc/self/status").find("Threads:\t1\n") != std::string::npos, true)
            << "a thread that waits";
        if (removal == 1) {
            task->setTerminationHandler({});
        } else if (removal == 2) {
            task.reset();
        }
        kill(child, SIGTERM);
        EXPECT_TRUE(supervised.loop.runUntil([&] {
            return gone(guard) && !fs::exists("/proc/" + std::to_string(guard));
        })) << "the guard not reaped";
        EXPECT_EQ(supervised.loop.watched(), 0u);
        EXPECT_EQ(calls.use_count(), 1) << "the handler is still held";
        EXPECT_EQ(*calls, removal ? 0 : 1);
        if (task) {
            EXPECT_FALSE(task->isRunning());
            EXPECT_EQ(thread, removal ? std::thread::id() : std::this_thread::get_id());
            task->waitUntilExit(); // ended: at once
        }
    }
}

TEST(LinuxTask, WaitUntilExitRunsTheHandlerWithoutTheLoop)
{
    Supervised supervised;
    int calls = 0;
    const auto task = supervised.shell("read line", "/dev/null", [&] { ++calls; });
    EXPECT_TRUE(task->isRunning());
    kill(task->childProcessIdentifier(), SIGKILL);
    task->waitUntilExit();
    EXPECT_EQ(std::make_pair(calls, task->isRunning()), std::make_pair(1, false));
    EXPECT_TRUE(supervised.loop.runUntil([&] { return supervised.loop.watched() == 0; }))
        << "the guard not reaped";
    EXPECT_EQ(calls, 1);
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

// Terminate: the child and all of its tree get SIGTERM; what ignores it is killed once the grace
// has passed: the group, and an orphan of another session that the tree hands back meanwhile.
TEST(LinuxGuard, TerminateEndsTheTreeAndKillsWhatIgnoresItAfterTheGrace)
{
    const testing::TempDir dir;
    Supervised supervised;
    bool ended = false;
    const auto task =
        supervised.shell("trap '' TERM; echo $$ >> \"$0\"; setsid sleep 1000 & echo $! >> \"$0\"; "
                         "sleep 1000 & echo $! >> \"$0\"; wait",
                         dir / "pids", [&] { ended = true; });
    const std::vector<pid_t> tree = pidsIn(dir / "pids", 3); // the child, a daemon, one in its group
    ASSERT_EQ(tree.size(), 3u);
    ASSERT_TRUE(eventually([&] { return statOf(tree[1])[3] == std::to_string(tree[1]); })) << "not a session";
    const pid_t guard = task->processIdentifier();
    const auto asked = Clock::now();
    task->terminate();
    EXPECT_TRUE(supervised.loop.runUntil([&] { return ended; }));
    EXPECT_GE(Clock::now() - asked, 300ms) << "ended before the grace, so not by SIGKILL";
    EXPECT_FALSE(task->isRunning());
    EXPECT_TRUE(supervised.loop.runUntil([&] {
        return std::all_of(tree.begin(), tree.end(), gone) && supervised.loop.watched() == 0;
    })) << "left: "
        << gone(tree[0]) << gone(tree[1]) << gone(tree[2]);
    EXPECT_TRUE(gone(guard));
    EXPECT_EQ(children(), "");
}

// A child that ends on its own is reported at once; the orphans it leaves are ended after it: one
// that takes SIGTERM at once, one that ignores it once the grace has passed.
TEST(LinuxGuard, OrphansOutlivingTheirServerAreEndedAfterItsEndIsReported)
{
    const testing::TempDir dir;
    Supervised supervised(2s);
    bool orphansAliveAtTheEnd = false;
    std::vector<pid_t> orphans;
    const auto task = supervised.shell(
        "setsid sleep 1000 & echo $! >> \"$0\"; "
        "setsid sh -c 'trap \"\" TERM; echo $$ >> \"$0\"; exec sleep 1000' \"$0\" & exec sleep 1000",
        dir / "pids", [&] { orphansAliveAtTheEnd = !gone(orphans.at(1)); });
    orphans = pidsIn(dir / "pids", 2);
    ASSERT_EQ(orphans.size(), 2u);
    kill(task->childProcessIdentifier(), SIGKILL);
    EXPECT_TRUE(supervised.loop.runUntil([&] { return !task->isRunning(); }));
    EXPECT_TRUE(orphansAliveAtTheEnd) << "the end was told only once the tree had gone";
    const auto reported = Clock::now();
    EXPECT_TRUE(supervised.loop.runUntil([&] { return gone(orphans[0]); })) << "SIGTERM";
    EXPECT_TRUE(supervised.loop.runUntil([&] { return gone(orphans[1]); })) << "SIGKILL";
    EXPECT_GE(Clock::now() - reported, 1s) << "killed before its grace";
    EXPECT_TRUE(supervised.loop.runUntil([&] { return supervised.loop.watched() == 0; }))
        << "the guard stayed";
    EXPECT_EQ(children(), "");
}

// Orphans that come back to the guard while the child runs are its to reap, not to end: their
// ends, each a step of the guard's, signal nothing.
TEST(LinuxGuard, OrphansOfAChildThatRunsAreLeftBe)
{
    const testing::TempDir dir;
    Supervised supervised;
    const auto task = supervised.shell(
        "(setsid sleep 1000 & echo $! >> \"$0\"); (setsid sleep 1000 & echo $! >> \"$0\"); exec sleep 1000",
        dir / "pids");
    const pid_t child = task->childProcessIdentifier();
    const pid_t guard = task->processIdentifier();
    const std::vector<pid_t> orphans = pidsIn(dir / "pids", 2);
    ASSERT_EQ(orphans.size(), 2u);
    for (const pid_t orphan : orphans) {
        ASSERT_TRUE(eventually([&] { return statOf(orphan)[1] == std::to_string(guard); }))
            << "not taken back";
    }
    for (const pid_t orphan : orphans) { // one step of the guard's, then the next, which follows its signals
        kill(orphan, SIGKILL);
        EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + std::to_string(orphan)); }))
            << "not reaped";
    }
    const std::string status = readProc("/proc/" + std::to_string(child) + "/status");
    EXPECT_FALSE(gone(child));
    EXPECT_NE(status.find("SigPnd:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_NE(status.find("ShdPnd:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_TRUE(task->isRunning());
    task->terminate();
    EXPECT_TRUE(supervised.loop.runUntil([&] { return supervised.loop.watched() == 0; }));
}

// A task let go of leaves its guard be: the child runs on, and the loop reaps the guard when it
// ends. The launcher gone, every guard ends its tree, as at this process's end.
TEST(LinuxGuard, ATaskLetGoOfRunsOnUntilItsLauncherGoes)
{
    pid_t child = -1;
    pid_t guard = -1;
    {
        Supervised supervised;
        auto task = supervised.shell("exec sleep 1000");
        child = task->childProcessIdentifier();
        guard = task->processIdentifier();
        task.reset();
        // A second child's whole life, on the loop: meanwhile the first's guard had time to act.
        const auto second = supervised.shell("exit 0");
        const pid_t secondGuard = second->processIdentifier();
        EXPECT_TRUE(
            supervised.loop.runUntil([&] { return !fs::exists("/proc/" + std::to_string(secondGuard)); }));
        EXPECT_FALSE(gone(child));
        EXPECT_FALSE(gone(guard));
    }
    EXPECT_EQ(waitpid(guard, nullptr, 0), guard);
    EXPECT_TRUE(gone(child));
}

// The guard is the root of the tree that counts: a listener held by an orphan it took back
// belongs to the bridge, though it is no longer below the child.
TEST(LinuxGuard, AListenerHeldByAnOrphanOfTheTreeCounts)
{
    // The listener as the child's standard output, for it to hand on; ours closed after launch.
    FileDescriptor socket;
    const int port = listenOn("127.0.0.1", socket);
    ASSERT_GT(port, 0);
    Supervised supervised;
    const auto task = supervised.task("/bin/sh", {"-c", "(setsid sleep 1000 &); exec sleep 1000 >&-"});
    task->setStandardOutput(std::make_shared<posix::PosixFileHandle>(std::move(socket)));
    ASSERT_TRUE(task->launch());
    task->setStandardOutput(nullptr);
    const pid_t guard = task->processIdentifier();
    ASSERT_TRUE(eventually([&] { // the child become sleep, which has no copy; the orphan taken back
        if (!readProc("/proc/" + std::to_string(task->childProcessIdentifier()) + "/cmdline")
                 .starts_with("sleep")) {
            return false;
        }
        std::istringstream list(
            readProc("/proc/" + std::to_string(guard) + "/task/" + std::to_string(guard) + "/children"));
        return std::distance(std::istream_iterator<pid_t>(list), std::istream_iterator<pid_t>()) == 2;
    }));
    OwnedListenerCheck check;
    EXPECT_EQ(check(guard, port), "127.0.0.1");
    EXPECT_EQ(check(task->childProcessIdentifier(), port), std::nullopt) << "not below the child";
    task->terminate();
    EXPECT_TRUE(supervised.loop.runUntil([&] { return supervised.loop.watched() == 0; }));
    EXPECT_EQ(check(task->processIdentifier(), port), std::nullopt);
}

// For kernels without lists of children, every process is looked at, on a /proc of its own here:
// what is not a process's, or cannot be read or parsed, is skipped, and a loop of reused pids ends.
TEST(LinuxProcesses, TheWalkByParentsSkipsWhatIsNotAProcess)
{
    const testing::TempDir proc;
    const std::pair<const char*, const char*> stats[] = {{"self", "7 (self) S 1 7"},
                                                         {"1", "1 (init) S 0 1 1"},
                                                         {"10", "10 (a) b) S 1 10"},
                                                         {"11", "11 (x) R 10 1"},
                                                         {"12", ""},
                                                         {"13", "13 (x) S two 1"},
                                                         {"99999999999", "99 (x) S 10"},
                                                         {"15", "15 (x) S 11 15"},
                                                         {"19x", "19 (x) S 1"},
                                                         {"16", "16 (x) S 17"},
                                                         {"17", "17 (x) S 16"}};
    for (const auto& [name, stat] : stats) {
        testing::writeFile(proc / name / "stat", stat);
    }
    fs::create_directories(proc / "20"); // a process gone meanwhile
    std::vector<int> below = descendantsByParents(1, proc.path);
    std::sort(below.begin(), below.end());
    EXPECT_EQ(below, (std::vector<int>{10, 11, 15}));
    EXPECT_EQ(descendantsByParents(16, proc.path), std::vector<int>{17});
    EXPECT_EQ(descendantsByParents(1, proc / "nowhere"), std::vector<int>{});
    EXPECT_FALSE(descendantsByParents(1).empty()) << "this system's own /proc";
}

// (A listener held below the process: the orphan's test above.)
TEST(LinuxLoopbackListener, TheAddressThatReachesAListenerOfTheProcess)
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
        EXPECT_EQ(check(0, port), std::nullopt) << address;            // no process
        socket.close();
        EXPECT_EQ(check(getpid(), port), std::nullopt) << address << ", no longer held";
    }
}

} // namespace
} // namespace tovra::linuxos
