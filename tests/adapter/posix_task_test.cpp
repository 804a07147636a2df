#include "platform/posix/posix_task.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kGenerousTimeout = 10s;

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() /
                ("tovra-posix-task-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directory(path_);
    }
    ~TempDir()
    {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

std::shared_ptr<PosixFileHandle> openLog(const fs::path& path)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(descriptor, 0) << path;
    return std::make_shared<PosixFileHandle>(descriptor);
}

// Records the termination handler's calls.
class Probe : public std::enable_shared_from_this<Probe> {
public:
    std::function<void()> handler()
    {
        return [self = shared_from_this()] {
            {
                std::lock_guard lock(self->mutex_);
                ++self->calls_;
                self->thread_ = std::this_thread::get_id();
            }
            self->called_.notify_all();
        };
    }
    bool waitForCall()
    {
        std::unique_lock lock(mutex_);
        return called_.wait_for(lock, kGenerousTimeout, [this] { return calls_ > 0; });
    }
    int calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::thread::id thread()
    {
        std::lock_guard lock(mutex_);
        return thread_;
    }

private:
    std::mutex mutex_;
    std::condition_variable called_;
    int calls_ = 0;
    std::thread::id thread_;
};

// Kills a child a failed test left behind.
class ChildReaper {
public:
    explicit ChildReaper(PosixTask& task) : task_(task) {}
    ~ChildReaper()
    {
        if (task_.isRunning()) {
            kill(task_.processIdentifier(), SIGKILL);
        }
        task_.waitUntilExit();
    }
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

private:
    PosixTask& task_;
};

// Runs a child to its end with `out` as both its output streams; returns what it wrote.
std::string runCapturingOutput(PosixTask& task, const fs::path& out)
{
    auto log = openLog(out);
    task.setStandardOutput(log);
    task.setStandardError(log);
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());
    if (!task.launch()) {
        ADD_FAILURE() << "launch failed";
        return {};
    }
    ChildReaper reaper(task);
    EXPECT_TRUE(probe->waitForCall());
    task.waitUntilExit();
    return readFile(out);
}

bool hasNoChildren()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// Polls without reaping: ECHILD means someone reaped it.
bool waitUntilReaped(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + kGenerousTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == -1 &&
            errno == ECHILD) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST(PosixTaskLaunch, PassesTheExecutablePathAndEachArgumentExactly)
{
    TempDir dir;
    PosixTask task;
    task.setExecutable("/bin/sh");
    // The shell prints its own command line; `; :` keeps it from exec'ing cat in its place.
    task.setArguments({"-c", "cat /proc/$$/cmdline; :", "name", "two words", "", "last"});
    constexpr char kExpected[] = "/bin/sh\0-c\0cat /proc/$$/cmdline; :\0name\0two words\0\0last\0";
    EXPECT_EQ(runCapturingOutput(task, dir.path() / "out"), std::string(kExpected, sizeof kExpected - 1));
    EXPECT_FALSE(task.launch()) << "a task launches once";
}

TEST(PosixTaskLaunch, RunsInTheCurrentDirectoryGiven)
{
    TempDir dir;
    PosixTask task;
    task.setExecutable("/bin/sh");
    task.setArguments({"-c", "pwd -P"});
    task.setCurrentDirectory(dir.path());
    EXPECT_EQ(runCapturingOutput(task, dir.path() / "out"), fs::canonical(dir.path()).string() + "\n");
}

TEST(PosixTaskEnvironment, IsExactlyTheOneGiven)
{
    TempDir dir;
    ASSERT_EQ(setenv("TOVRA_TEST_INHERITED", "1", 1), 0);
    PosixTask task;
    task.setExecutable("/usr/bin/env");
    task.setEnvironment({{"A", "1"}, {"B", "two words"}, {"EMPTY", ""}, {"WITH_EQUALS", "x=y"}});
    const auto output = lines(runCapturingOutput(task, dir.path() / "out"));
    unsetenv("TOVRA_TEST_INHERITED");
    EXPECT_EQ(std::multiset<std::string>(output.begin(), output.end()),
              (std::multiset<std::string>{"A=1", "B=two words", "EMPTY=", "WITH_EQUALS=x=y"}));
}

TEST(PosixTaskEnvironment, EmptyIsEmptyAndUnsetIsInherited)
{
    TempDir dir;
    ASSERT_EQ(setenv("TOVRA_TEST_INHERITED", "inherited value", 1), 0);

    PosixTask empty;
    empty.setExecutable("/usr/bin/env");
    empty.setEnvironment({});
    EXPECT_EQ(runCapturingOutput(empty, dir.path() / "empty"), "");

    PosixTask inheriting;
    inheriting.setExecutable("/usr/bin/env");
    const auto output = lines(runCapturingOutput(inheriting, dir.path() / "inherited"));
    unsetenv("TOVRA_TEST_INHERITED");
    EXPECT_EQ(std::count(output.begin(), output.end(), "TOVRA_TEST_INHERITED=inherited value"), 1);
}

TEST(PosixTaskOutput, StandardOutputAndErrorLandInTheirOwnHandles)
{
    TempDir dir;
    PosixTask task;
    task.setExecutable("/bin/sh");
    task.setArguments({"-c", "echo out; echo err >&2"});
    task.setStandardOutput(openLog(dir.path() / "out"));
    task.setStandardError(openLog(dir.path() / "err"));
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());
    ASSERT_TRUE(task.launch());
    ChildReaper reaper(task);
    ASSERT_TRUE(probe->waitForCall());
    task.waitUntilExit();
    EXPECT_EQ(readFile(dir.path() / "out"), "out\n");
    EXPECT_EQ(readFile(dir.path() / "err"), "err\n");
}

TEST(PosixTaskOutput, SharedHandleGetsBothStreamsAfterWhatTheFileHeld)
{
    TempDir dir;
    const fs::path path = dir.path() / "log";
    std::ofstream(path) << "earlier\n";
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    auto log = std::make_shared<PosixFileHandle>(descriptor);
    ASSERT_TRUE(log->seekToEnd());

    PosixTask task;
    task.setExecutable("/bin/sh");
    task.setArguments({"-c", "echo out; echo err >&2; echo out again"});
    task.setStandardOutput(log);
    task.setStandardError(log);
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());
    ASSERT_TRUE(task.launch());
    ChildReaper reaper(task);
    ASSERT_TRUE(probe->waitForCall());
    task.waitUntilExit();
    EXPECT_EQ(readFile(path), "earlier\nout\nerr\nout again\n");
}

TEST(PosixTaskOutput, UnsetStreamIsInherited)
{
    TempDir dir;
    PosixTask task;
    task.setExecutable("/bin/sh");
    task.setArguments({"-c", "echo to stdout; echo to stderr >&2"});
    task.setStandardError(openLog(dir.path() / "err"));
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());

    // This process's own standard output goes to a file while the child is started.
    auto inherited = openLog(dir.path() / "inherited");
    std::fflush(stdout);
    const int savedStdout = fcntl(1, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(savedStdout, 0);
    ASSERT_EQ(dup2(inherited->fileDescriptor(), 1), 1);
    const bool launched = task.launch();
    dup2(savedStdout, 1);
    ::close(savedStdout);
    ASSERT_TRUE(launched);
    ChildReaper reaper(task);
    ASSERT_TRUE(probe->waitForCall());
    task.waitUntilExit();
    EXPECT_EQ(readFile(dir.path() / "inherited"), "to stdout\n");
    EXPECT_EQ(readFile(dir.path() / "err"), "to stderr\n");
}

TEST(PosixTaskIsolation, ChildHasNoDescriptorsBeyondTheStandardThree)
{
    TempDir dir;
    // Not close-on-exec, as a library might leave one.
    const int leaked = ::open((dir.path() / "leaked").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(leaked, 3);
    PosixTask task;
    task.setExecutable("/bin/sh");
    // The shell lists its own descriptors; ls, a child of it, would add its own.
    task.setArguments({"-c", "ls /proc/$$/fd; :"});
    const auto output = lines(runCapturingOutput(task, dir.path() / "out"));
    ::close(leaked);
    EXPECT_EQ(std::set<std::string>(output.begin(), output.end()), (std::set<std::string>{"0", "1", "2"}));
}

// A signal set from /proc/<pid>/status; bit n-1 stands for signal n.
std::uint64_t signalSet(const std::string& status, const std::string& name)
{
    for (const std::string& line : lines(status)) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::stoull(line.substr(name.size() + 1), nullptr, 16);
        }
    }
    ADD_FAILURE() << name << " missing";
    return ~std::uint64_t{0};
}

TEST(PosixTaskIsolation, ChildStartsWithNoBlockedOrIgnoredSignals)
{
    TempDir dir;
    PosixTask task;
    task.setExecutable("/bin/cat");
    task.setArguments({"/proc/self/status"});
    auto log = openLog(dir.path() / "status");
    task.setStandardOutput(log);
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());

    struct sigaction ignore {};
    struct sigaction previousAction {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &ignore, &previousAction), 0);
    bool launched = false;
    std::thread launcher([&] {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, nullptr);
        launched = task.launch();
    });
    launcher.join();
    sigaction(SIGUSR2, &previousAction, nullptr);
    ASSERT_TRUE(launched);
    ChildReaper reaper(task);
    ASSERT_TRUE(probe->waitForCall());
    task.waitUntilExit();

    const std::string status = readFile(dir.path() / "status");
    EXPECT_EQ(signalSet(status, "SigBlk"), 0u) << status;
    // glibc's posix_spawn ignores its two reserved signals (32, 33) in every child; no
    // program can use them.
    constexpr std::uint64_t kGlibcReserved = (std::uint64_t{1} << 31) | (std::uint64_t{1} << 32);
    EXPECT_EQ(signalSet(status, "SigIgn") & ~kGlibcReserved, 0u) << status;
}

TEST(PosixTaskTermination, HandlerIsCalledOnceOnAnotherThreadAfterTheChildEnded)
{
    PosixTask task;
    task.setExecutable("/bin/sh");
    task.setArguments({"-c", "exit 3"});
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());
    ASSERT_TRUE(task.launch());
    ChildReaper reaper(task);
    ASSERT_TRUE(probe->waitForCall());
    EXPECT_FALSE(task.isRunning());
    EXPECT_NE(probe->thread(), std::this_thread::get_id());
    task.waitUntilExit();
    EXPECT_EQ(probe->calls(), 1);
}

TEST(PosixTaskTermination, TerminateEndsARunningChildAndLaterDoesNothing)
{
    PosixTask task;
    task.setExecutable("/bin/sleep");
    task.setArguments({"30"});
    auto probe = std::make_shared<Probe>();
    task.setTerminationHandler(probe->handler());
    ASSERT_TRUE(task.launch());
    ChildReaper reaper(task);
    EXPECT_TRUE(task.isRunning());
    EXPECT_GT(task.processIdentifier(), 0);

    task.terminate();
    ASSERT_TRUE(probe->waitForCall());
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
    task.terminate();
    task.waitUntilExit();
    EXPECT_EQ(probe->calls(), 1);
}

TEST(PosixTaskTermination, OnlyTheLatestHandlerIsCalled)
{
    PosixTask removed;
    removed.setExecutable("/bin/sleep");
    removed.setArguments({"30"});
    auto removedProbe = std::make_shared<Probe>();
    removed.setTerminationHandler(removedProbe->handler());
    ASSERT_TRUE(removed.launch());
    ChildReaper removedReaper(removed);
    removed.setTerminationHandler({});
    removed.terminate();
    // Returns only after the waiter is done with the handler.
    removed.waitUntilExit();
    EXPECT_EQ(removedProbe->calls(), 0);

    PosixTask replaced;
    replaced.setExecutable("/bin/sh");
    replaced.setArguments({"-c", "exit 0"});
    auto first = std::make_shared<Probe>();
    auto second = std::make_shared<Probe>();
    replaced.setTerminationHandler(first->handler());
    replaced.setTerminationHandler(second->handler());
    ASSERT_TRUE(replaced.launch());
    ChildReaper replacedReaper(replaced);
    replaced.waitUntilExit();
    EXPECT_EQ(first->calls(), 0);
    EXPECT_EQ(second->calls(), 1);
}

TEST(PosixTaskLaunchFailure, ReturnsFalseAndLeavesNoChild)
{
    TempDir dir;
    const fs::path notExecutable = dir.path() / "not-executable";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    fs::permissions(notExecutable, fs::perms(0644));
    const fs::path notAProgram = dir.path() / "not-a-program";
    std::ofstream(notAProgram) << "neither a script nor a binary\n";
    fs::permissions(notAProgram, fs::perms(0755));

    struct Case {
        const char* name;
        fs::path executable;
        fs::path directory;
    };
    const std::vector<Case> cases = {
        {"not executable", notExecutable, {}},
        {"no interpreter line", notAProgram, {}},
        {"missing executable", dir.path() / "missing", {}},
        {"missing working directory", "/bin/true", dir.path() / "missing"},
    };
    ASSERT_TRUE(hasNoChildren());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PosixTask task;
        task.setExecutable(c.executable);
        task.setCurrentDirectory(c.directory);
        auto probe = std::make_shared<Probe>();
        task.setTerminationHandler(probe->handler());
        EXPECT_FALSE(task.launch());
        EXPECT_FALSE(task.isRunning());
        task.waitUntilExit();
        EXPECT_EQ(probe->calls(), 0);
        EXPECT_TRUE(hasNoChildren());
    }
}

TEST(PosixTaskWait, ReturnsAtOnceForANeverLaunchedTask)
{
    PosixTask task;
    task.setExecutable("/bin/sleep");
    task.setArguments({"30"});
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
}

TEST(PosixTaskLifetime, DestroyedTaskStillReapsItsChildButCallsNoHandler)
{
    auto task = std::make_unique<PosixTask>();
    task->setExecutable("/bin/sleep");
    task->setArguments({"30"});
    auto probe = std::make_shared<Probe>();
    task->setTerminationHandler(probe->handler());
    ASSERT_TRUE(task->launch());
    const pid_t pid = task->processIdentifier();
    ASSERT_GT(pid, 0);

    task.reset();
    EXPECT_EQ(probe.use_count(), 1) << "the handler outlived its task";
    // Still ours and unreaped while it sleeps, so the pid is safe to signal.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(waitUntilReaped(pid));
    EXPECT_EQ(probe->calls(), 0);
}

TEST(PosixTaskLifetime, HandlerMayReleaseTheLastReferenceToItsTask)
{
    auto task = std::make_shared<PosixTask>();
    const std::weak_ptr<PosixTask> weakTask = task;
    auto holder = std::make_shared<std::shared_ptr<PosixTask>>(task);
    auto probe = std::make_shared<Probe>();
    task->setExecutable("/bin/sleep");
    task->setArguments({"30"});
    task->setTerminationHandler([holder, record = probe->handler()] {
        holder->reset();
        record();
    });
    ASSERT_TRUE(task->launch());
    const pid_t pid = task->processIdentifier();
    // From here only the handler owns the task.
    task.reset();
    holder.reset();

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(probe->waitForCall()) << "the handler deadlocked destroying its task";
    EXPECT_TRUE(waitUntilReaped(pid));
    EXPECT_TRUE(weakTask.expired());
}

TEST(PosixTaskLauncher, MakesSeparateUnlaunchedTasks)
{
    PosixTaskLauncher launcher;
    const auto first = launcher.makeTask();
    const auto second = launcher.makeTask();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first->isRunning());
}

} // namespace
} // namespace tovra::posix
