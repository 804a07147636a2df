#include "platform/posix/posix_task.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::multiset<std::string>;

struct TempDir {
    fs::path path = [] {
        std::string pattern = (fs::temp_directory_path() / "tovra-task-XXXXXX").string();
        return fs::path(mkdtemp(pattern.data()));
    }();
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string readFile(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

Lines lines(const std::string& text)
{
    Lines result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.insert(line);
    }
    return result;
}

std::shared_ptr<PosixFileHandle> openLog(const fs::path& path, int flags = O_CREAT | O_TRUNC)
{
    return std::make_shared<PosixFileHandle>(::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0600));
}

struct Probe {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    std::thread::id thread;

    static std::function<void()> handler(const std::shared_ptr<Probe>& probe)
    {
        return [probe] {
            std::lock_guard lock(probe->mutex);
            ++probe->calls;
            probe->thread = std::this_thread::get_id();
            probe->called.notify_all();
        };
    }
    bool waitForCall()
    {
        std::unique_lock lock(mutex);
        return called.wait_for(lock, 10s, [this] { return calls > 0; });
    }
};

std::unique_ptr<PosixTask> makeTask(const fs::path& program, const std::vector<std::string>& arguments)
{
    auto task = std::make_unique<PosixTask>();
    task->setExecutable(program);
    task->setArguments(arguments);
    return task;
}

// Runs the task to its end with both streams on `out`; returns what it wrote.
std::string run(PosixTask& task, const fs::path& out)
{
    const auto log = openLog(out);
    task.setStandardOutput(log);
    task.setStandardError(log);
    EXPECT_TRUE(task.launch());
    task.waitUntilExit();
    return readFile(out);
}

bool hasNoChildren()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

TEST(PosixTask, PassesExactArgumentsAndWorkingDirectoryAndLaunchesOnce)
{
    TempDir dir;
    // `; :` keeps the shell from exec'ing cat in its place.
    auto task = makeTask("/bin/sh", {"-c", "pwd -P; cat /proc/$$/cmdline; :", "a", "two words", "", "z"});
    task->setCurrentDirectory(dir.path);
    constexpr char kCommandLine[] = "/bin/sh\0-c\0pwd -P; cat /proc/$$/cmdline; :\0a\0two words\0\0z\0";
    EXPECT_EQ(run(*task, dir.path / "out"),
              fs::canonical(dir.path).string() + "\n" + std::string(kCommandLine, sizeof kCommandLine - 1));
    EXPECT_FALSE(task->launch());
}

TEST(PosixTask, EnvironmentIsExactlyTheOneGivenOrElseInherited)
{
    TempDir dir;
    ASSERT_EQ(setenv("TOVRA_TEST_INHERITED", "x y", 1), 0);
    auto given = makeTask("/usr/bin/env", {});
    given->setEnvironment({{"A", "1"}, {"EMPTY", ""}, {"EQUALS", "x=y"}});
    auto empty = makeTask("/usr/bin/env", {});
    empty->setEnvironment({});
    auto inherited = makeTask("/usr/bin/env", {});
    EXPECT_EQ(lines(run(*given, dir.path / "given")), (Lines{"A=1", "EMPTY=", "EQUALS=x=y"}));
    EXPECT_EQ(run(*empty, dir.path / "empty"), "");
    EXPECT_EQ(lines(run(*inherited, dir.path / "inherited")).count("TOVRA_TEST_INHERITED=x y"), 1u);
    unsetenv("TOVRA_TEST_INHERITED");
}

TEST(PosixTask, SharedHandleTakesBothStreamsAfterWhatTheFileHeld)
{
    TempDir dir;
    std::ofstream(dir.path / "log") << "earlier\n";
    auto log = openLog(dir.path / "log", 0);
    ASSERT_TRUE(log->seekToEnd());
    auto task = makeTask("/bin/sh", {"-c", "echo out; echo err >&2; echo out again"});
    task->setStandardOutput(log);
    task->setStandardError(log);
    ASSERT_TRUE(task->launch());
    task->waitUntilExit();
    EXPECT_EQ(readFile(dir.path / "log"), "earlier\nout\nerr\nout again\n");
}

TEST(PosixTask, UnsetStreamIsInheritedWhileTheOtherGoesToItsHandle)
{
    TempDir dir;
    auto task = makeTask("/bin/sh", {"-c", "echo to stdout; echo to stderr >&2"});
    task->setStandardError(openLog(dir.path / "err"));
    const auto inherited = openLog(dir.path / "inherited");
    std::fflush(stdout);
    const int savedStdout = fcntl(1, F_DUPFD_CLOEXEC, 3);
    ASSERT_EQ(dup2(inherited->fileDescriptor(), 1), 1);
    const bool launched = task->launch();
    dup2(savedStdout, 1);
    ::close(savedStdout);
    ASSERT_TRUE(launched);
    task->waitUntilExit();
    EXPECT_EQ(readFile(dir.path / "inherited"), "to stdout\n");
    EXPECT_EQ(readFile(dir.path / "err"), "to stderr\n");
}

TEST(PosixTask, ChildGetsOnlyTheStandardDescriptorsAndNoBlockedOrIgnoredSignals)
{
    TempDir dir;
    const int leaked = ::open((dir.path / "leaked").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(leaked, 3);
    // The shell lists its own descriptors (ls would add its own), then becomes grep: while it
    // waits for ls, the shell blocks signals of its own.
    auto task = makeTask("/bin/sh", {"-c", "ls /proc/$$/fd; exec grep -E '^Sig(Blk|Ign)' /proc/self/status"});
    struct sigaction ignore {};
    struct sigaction previousAction {};
    ignore.sa_handler = SIG_IGN;
    sigset_t term;
    sigset_t previousMask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(sigaction(SIGUSR2, &ignore, &previousAction), 0);
    pthread_sigmask(SIG_BLOCK, &term, &previousMask);
    const std::string output = run(*task, dir.path / "out");
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGUSR2, &previousAction, nullptr);
    ::close(leaked);
    EXPECT_EQ(lines(output),
              (Lines{"0", "1", "2", "SigBlk:\t0000000000000000", "SigIgn:\t0000000000000000"}));
}

TEST(PosixTask, HandlerRunsOnceOnAnotherThreadAndTerminateAfterTheEndDoesNothing)
{
    auto task = makeTask("/bin/sleep", {"30"});
    auto probe = std::make_shared<Probe>();
    task->setTerminationHandler(Probe::handler(probe));
    ASSERT_TRUE(task->launch());
    EXPECT_TRUE(task->isRunning());
    task->terminate();
    ASSERT_TRUE(probe->waitForCall());
    EXPECT_FALSE(task->isRunning());
    task->terminate();
    task->waitUntilExit();
    std::lock_guard lock(probe->mutex);
    EXPECT_EQ(probe->calls, 1);
    EXPECT_NE(probe->thread, std::this_thread::get_id());
}

TEST(PosixTask, RemovedHandlerIsNotCalledAndADestroyedTaskStillReapsItsChild)
{
    auto probe = std::make_shared<Probe>();
    auto removed = makeTask("/bin/sleep", {"30"});
    removed->setTerminationHandler(Probe::handler(probe));
    ASSERT_TRUE(removed->launch());
    removed->setTerminationHandler({});
    removed->terminate();
    removed->waitUntilExit();

    auto destroyed = makeTask("/bin/sleep", {"30"});
    destroyed->setTerminationHandler(Probe::handler(probe));
    ASSERT_TRUE(destroyed->launch());
    const pid_t pid = destroyed->processIdentifier();
    destroyed.reset();
    EXPECT_EQ(probe.use_count(), 1) << "the handler outlived its task";
    // Unreaped while it sleeps, so the pid is still this child's.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    bool reaped = false;
    for (int i = 0; i < 5000 && !reaped; ++i, std::this_thread::sleep_for(1ms)) {
        reaped = hasNoChildren();
    }
    EXPECT_TRUE(reaped);
    EXPECT_EQ(probe->calls, 0);
}

TEST(PosixTask, LaunchFailsAndLeavesNoChildWhenTheProgramCannotStart)
{
    TempDir dir;
    std::ofstream(dir.path / "not-executable") << "#!/bin/sh\n";
    std::ofstream(dir.path / "not-a-program") << "neither a script nor a binary\n";
    fs::permissions(dir.path / "not-a-program", fs::perms(0755));
    const std::vector<std::pair<fs::path, fs::path>> cases = {
        {dir.path / "not-executable", {}},
        {dir.path / "not-a-program", {}},
        {dir.path / "missing", {}},
        {"/bin/true", dir.path / "missing"},
    };
    ASSERT_TRUE(hasNoChildren());
    for (const auto& [program, directory] : cases) {
        auto task = makeTask(program, {});
        task->setCurrentDirectory(directory);
        auto probe = std::make_shared<Probe>();
        task->setTerminationHandler(Probe::handler(probe));
        EXPECT_FALSE(task->launch()) << program << " in " << directory;
        EXPECT_FALSE(task->isRunning());
        task->waitUntilExit();
        EXPECT_TRUE(hasNoChildren()) << program;
        EXPECT_EQ(probe->calls, 0);
    }
}

TEST(PosixTask, ChildIsTerminatedWhenTheLaunchingProcessIsKilled)
{
    // Orphans are adopted by this process, so the child's end and its cause can be read.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t launcher = fork();
    if (launcher == 0) {
        auto task = makeTask("/bin/sleep", {"30"});
        const pid_t child = task->launch() ? task->processIdentifier() : -1;
        [[maybe_unused]] const ssize_t written = write(report[1], &child, sizeof child);
        pause();
        _exit(0);
    }
    ::close(report[1]);
    pid_t child = -1;
    const bool reported = read(report[0], &child, sizeof child) == sizeof child && child > 0;
    ::close(report[0]);
    kill(launcher, SIGKILL);
    waitpid(launcher, nullptr, 0);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; reported && i < 5000 && ended == 0; ++i, std::this_thread::sleep_for(1ms)) {
        ended = waitpid(child, &status, WNOHANG);
    }
    if (reported && ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_TRUE(reported);
    ASSERT_EQ(ended, child) << "the child outlived the process that launched it";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

} // namespace
} // namespace tovra::posix
