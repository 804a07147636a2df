#include "platform/posix/posix_task.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_file_handle.h"

namespace tovra::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

struct TempDir {
    fs::path path = [] {
        std::string pattern = (fs::temp_directory_path() / "tovra-task-XXXXXX").string();
        return fs::path(mkdtemp(pattern.data()));
    }();
    ~TempDir() { fs::remove_all(path, ignored); }
    std::error_code ignored;
};

std::unique_ptr<PosixTask> makeTask(const fs::path& program, const std::vector<std::string>& arguments,
                                    const fs::path& directory = {})
{
    auto task = std::make_unique<PosixTask>();
    task->setExecutable(program);
    task->setArguments(arguments);
    task->setCurrentDirectory(directory);
    return task;
}

// Runs the task to its end with both streams on one handle to `out`; returns what it wrote.
std::string run(PosixTask& task, const fs::path& out)
{
    const auto log =
        std::make_shared<PosixFileHandle>(::open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    task.setStandardOutput(log);
    task.setStandardError(log);
    EXPECT_TRUE(task.launch());
    task.waitUntilExit();
    std::ifstream in(out, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool hasNoChildren()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

TEST(PosixTask, PassesExactArgumentsAndDirectoryAndWritesBothStreamsToTheHandle)
{
    TempDir dir;
    // `; :` keeps the shell from exec'ing cat in its place.
    const std::string script = "pwd -P; echo err >&2; cat /proc/$$/cmdline; :";
    auto task = makeTask("/bin/sh", {"-c", script, "a", "two words", "", "z"}, dir.path);
    EXPECT_EQ(run(*task, dir.path / "out"),
              fs::canonical(dir.path).string() + "\nerr\n/bin/sh\0-c\0"s + script + "\0a\0two words\0\0z\0"s);
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
    EXPECT_EQ(run(*given, dir.path / "given"), "A=1\nEMPTY=\nEQUALS=x=y\n");
    EXPECT_EQ(run(*empty, dir.path / "empty"), "");
    EXPECT_NE(run(*makeTask("/usr/bin/env", {}), dir.path / "inherited").find("\nTOVRA_TEST_INHERITED=x y\n"),
              std::string::npos);
    unsetenv("TOVRA_TEST_INHERITED");
}

TEST(PosixTask, ChildGetsOnlyTheStandardDescriptorsAndNoBlockedOrIgnoredSignals)
{
    TempDir dir;
    const int leaked = ::open((dir.path / "leaked").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(leaked, 3);
    // The shell lists its own descriptors (ls would add its own). Signals are read by a program
    // started directly: a shell resets its own mask.
    const auto previousAction = signal(SIGUSR2, SIG_IGN);
    const std::string output =
        run(*makeTask("/bin/sh", {"-c", "ls /proc/$$/fd; :"}), dir.path / "fds") +
        run(*makeTask("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}), dir.path / "signals");
    signal(SIGUSR2, previousAction);
    ::close(leaked);
    EXPECT_EQ(output, "0\n1\n2\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(PosixTask, HandlerRunsOnceOnAnotherThreadUnlessRemovedAndTerminateAfterTheEndDoesNothing)
{
    std::atomic<int> calls{0};
    std::atomic<std::thread::id> thread;
    const auto record = [&] {
        thread = std::this_thread::get_id();
        ++calls;
    };
    auto kept = makeTask("/bin/sleep", {"30"});
    auto removed = makeTask("/bin/sleep", {"30"});
    kept->setTerminationHandler(record);
    removed->setTerminationHandler(record);
    ASSERT_TRUE(kept->launch() && removed->launch());
    EXPECT_TRUE(kept->isRunning());
    removed->setTerminationHandler({});
    kept->terminate();
    removed->terminate();
    kept->waitUntilExit();
    removed->waitUntilExit();
    EXPECT_FALSE(kept->isRunning());
    kept->terminate();
    EXPECT_EQ(calls, 1);
    EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(PosixTask, DestroyedTaskReleasesItsHandlerAndStillReapsItsChild)
{
    const auto witness = std::make_shared<int>();
    auto task = makeTask("/bin/sleep", {"30"});
    task->setTerminationHandler([witness] { ADD_FAILURE() << "the handler of a destroyed task was called"; });
    ASSERT_TRUE(task->launch());
    const pid_t pid = task->processIdentifier();
    task.reset();
    EXPECT_EQ(witness.use_count(), 1);
    // Unreaped while it sleeps, so the pid is still this child's.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    bool reaped = false;
    for (int i = 0; i < 5000 && !reaped; ++i, std::this_thread::sleep_for(1ms)) {
        reaped = hasNoChildren();
    }
    EXPECT_TRUE(reaped);
}

TEST(PosixTask, LaunchFailsAndLeavesNoChildWhenTheProgramCannotStart)
{
    TempDir dir;
    std::ofstream(dir.path / "not-executable") << "#!/bin/sh\n";
    std::ofstream(dir.path / "not-a-program") << "neither a script nor a binary\n";
    fs::permissions(dir.path / "not-a-program", fs::perms(0755));
    const std::vector<std::pair<fs::path, fs::path>> cases = {{dir.path / "not-executable", {}},
                                                              {dir.path / "not-a-program", {}},
                                                              {dir.path / "missing", {}},
                                                              {"/bin/true", dir.path / "missing"}};
    ASSERT_TRUE(hasNoChildren());
    for (const auto& [program, directory] : cases) {
        auto task = makeTask(program, {}, directory);
        task->setTerminationHandler([] { ADD_FAILURE() << "handler called"; });
        EXPECT_FALSE(task->launch()) << program << " in " << directory;
        EXPECT_FALSE(task->isRunning());
        task->waitUntilExit();
        EXPECT_TRUE(hasNoChildren()) << program;
    }
}

TEST(PosixTask, ChildOutlivesTheThreadThatLaunchedItAndGetsNoSignalWhenDestroyed)
{
    // Only the death of the whole process may end the child; a thread's end or the task's
    // destruction sends nothing.
    auto task = makeTask("/bin/sh", {"-c", "trap 'echo TERM; exit 1' TERM; sleep 0.3; echo done"});
    TempDir dir;
    const fs::path out = dir.path / "output";
    task->setStandardOutput(
        std::make_shared<PosixFileHandle>(::open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)));
    bool launched = false;
    std::thread([&] { launched = task->launch(); }).join();
    ASSERT_TRUE(launched);
    task->waitUntilExit();
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "done\n");
    EXPECT_TRUE(hasNoChildren()) << "the guard was left behind";
}

} // namespace
} // namespace tovra::posix
