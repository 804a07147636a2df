#include "platform/linux/linux_task.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/file_manager.h"
#include "platform/linux/child_guard.h"
#include "platform/linux/environment_signature.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

struct LinuxTask::State {
    std::mutex mutex;
    std::condition_variable finishedCondition;
    pid_t pid = -1;
    // What the child's descendants carry in their environment; see environmentSignature.
    std::string signature;
    bool launched = false;
    // From the launch until the child has ended, and cleared before it is reaped: until then its
    // pid cannot be reused, so a signal sent while this is set under the lock reaches this child
    // and no other process.
    bool running = false;
    // Reaped and the handler done with.
    bool finished = false;
    // From the launch until the child has ended or the task is destroyed.
    std::optional<ChildGuard> guard;

    std::mutex handlerMutex;
    std::function<void()> handler;
    // The waiter thread once it runs the handler, so that a call made from inside the handler (the
    // task's last owner letting go there, say) neither locks handlerMutex again nor waits for itself.
    std::atomic<std::thread::id> handlerThread{};
};

namespace {

// posix_spawn's file actions and attributes, released when they go.
struct SpawnOptions {
    SpawnOptions()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnOptions()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// A copy of the handle's descriptor above the standard streams, so that pointing the child's 1
// and 2 at the copies cannot overwrite one of them with the other. None to inherit the stream;
// false for a handle already closed.
bool redirectionSource(const std::shared_ptr<platform::FileHandle>& handle, FileDescriptor& copy)
{
    if (handle) {
        copy = FileDescriptor(fcntl(handle->fileDescriptor(), F_DUPFD_CLOEXEC, 3));
    }
    return !handle || copy.isOpen();
}

// The child gets 1 and 2 from the copies when given, and no other descriptor above 2; the working
// directory when given; no blocked signal and every signal at its default action, whatever this
// process ignores or blocks; and a process group of its own, which whatever it starts joins.
bool prepare(SpawnOptions& options, const FileDescriptor& output, const FileDescriptor& error,
             const std::filesystem::path& directory)
{
    // Every signal at its default, glibc's own two (32 and 33) too: sigfillset leaves those out,
    // and glibc's posix_spawn then sets them to be ignored in the child, which the program it runs
    // keeps. No signal blocked.
    sigset_t signals;
    std::memset(&signals, 0xff, sizeof signals);
    posix_spawnattr_setsigdefault(&options.attributes, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&options.attributes, &signals);
    const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
    return posix_spawnattr_setflags(&options.attributes, flags) == 0 &&
           posix_spawnattr_setpgroup(&options.attributes, 0) == 0 &&
           (!output.isOpen() || posix_spawn_file_actions_adddup2(&options.actions, output.get(), 1) == 0) &&
           (!error.isOpen() || posix_spawn_file_actions_adddup2(&options.actions, error.get(), 2) == 0) &&
           (directory.empty() ||
            posix_spawn_file_actions_addchdir_np(&options.actions, directory.c_str()) == 0) &&
           posix_spawn_file_actions_addclosefrom_np(&options.actions, 3) == 0;
}

} // namespace

LinuxTask::LinuxTask() : state_(std::make_shared<State>()) {}

LinuxTask::~LinuxTask()
{
    setTerminationHandler({});
    // The program ends its child on purpose, or lets it run: either way no guard signal.
    std::lock_guard lock(state_->mutex);
    state_->guard.reset();
}

void LinuxTask::setExecutable(const std::filesystem::path& executable)
{
    executable_ = executable;
}

void LinuxTask::setArguments(const std::vector<std::string>& arguments)
{
    arguments_ = arguments;
}

void LinuxTask::setCurrentDirectory(const std::filesystem::path& directory)
{
    currentDirectory_ = directory;
}

void LinuxTask::setEnvironment(const platform::Environment& environment)
{
    environment_ = environment;
}

void LinuxTask::setStandardOutput(std::shared_ptr<platform::FileHandle> handle)
{
    standardOutput_ = std::move(handle);
}

void LinuxTask::setStandardError(std::shared_ptr<platform::FileHandle> handle)
{
    standardError_ = std::move(handle);
}

void LinuxTask::setTerminationHandler(std::function<void()> handler)
{
    // From inside the handler (its task's last owner letting go there, say) there is nothing left
    // to replace or remove: the waiter has taken the handler out, and holds the lock.
    if (state_->handlerThread.load() == std::this_thread::get_id()) {
        return;
    }
    // Outlives the lock: it may own the last reference to this task.
    std::function<void()> previous;
    std::lock_guard lock(state_->handlerMutex);
    previous = std::exchange(state_->handler, std::move(handler));
}

bool LinuxTask::launch()
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->launched) {
            return false;
        }
    }
    FileDescriptor output;
    FileDescriptor error;
    if (!redirectionSource(standardOutput_, output) || !redirectionSource(standardError_, error)) {
        return false;
    }
    // Relative to this process's directory, not the child's; empty, and then not found, when that
    // directory is gone.
    std::error_code noDirectory;
    const std::filesystem::path program = std::filesystem::absolute(executable_, noDirectory);

    std::vector<std::string> argumentStrings{processName_.empty() ? executable_.string() : processName_};
    argumentStrings.insert(argumentStrings.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    std::vector<char*> envp;
    const std::string signature = environment_ ? environmentSignature(*environment_) : std::string();
    if (environment_) {
        for (const auto& [name, value] : *environment_) {
            environmentStrings.push_back(name + "=" + value);
        }
        for (std::string& entry : environmentStrings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }

    // The waiter first, so that a thread that cannot be had leaves no child behind. Neither the
    // waiter nor the guard takes signals: process-directed ones go to the threads that expect them.
    sigset_t allSignals;
    sigset_t previousMask;
    sigfillset(&allSignals);
    pthread_sigmask(SIG_SETMASK, &allSignals, &previousMask);
    std::promise<pid_t> spawned;
    std::thread waiter;
    try {
        waiter = std::thread(waitForChild, state_, spawned.get_future());
    } catch (const std::system_error&) {
    }

    // glibc's posix_spawn reports a failed exec (no such program, not executable, no such working
    // directory) as its result, and has reaped that child by then.
    // Without a waiter or the options there is no child: short of threads or memory, for now.
    SpawnOptions options;
    pid_t pid = -1;
    const int failure = !waiter.joinable() || !prepare(options, output, error, currentDirectory_)
                            ? EAGAIN
                            : posix_spawn(&pid, program.c_str(), &options.actions, &options.attributes,
                                          argv.data(), environment_ ? envp.data() : environ);
    const bool started = failure == 0;
    if (!started) {
        platform::warn("cannot start ", executable_.c_str(), ": ", std::strerror(failure));
    }
    if (started) {
        std::lock_guard lock(state_->mutex);
        state_->pid = pid;
        state_->signature = signature;
        state_->launched = true;
        state_->running = true;
        state_->guard.emplace(pid, signature);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    spawned.set_value(started ? pid : -1);
    if (waiter.joinable()) {
        waiter.detach();
    }
    return started;
}

void LinuxTask::waitForChild(std::shared_ptr<State> state, std::future<pid_t> spawned)
{
    const pid_t pid = spawned.get();
    if (pid == -1) {
        return;
    }
    // This thread takes no signals, so nothing interrupts its waits.
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    {
        std::lock_guard lock(state->mutex);
        state->running = false;
        state->guard.reset();
    }
    waitpid(pid, nullptr, 0);

    {
        // Goes at the end of this block, outside the lock: it may own the last reference to the
        // task, whose destruction takes the lock.
        std::function<void()> handler;
        std::lock_guard lock(state->handlerMutex);
        handler = std::exchange(state->handler, nullptr);
        if (handler) {
            // Left set: once the handler has run, there is no handler to replace and no end to
            // wait for, whichever thread asks.
            state->handlerThread = std::this_thread::get_id();
            handler();
        }
    }

    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->finishedCondition.notify_all();
}

bool LinuxTask::isRunning() const
{
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

void LinuxTask::terminate()
{
    // The child leads its process group until it is reaped, so the group is still its own.
    std::lock_guard lock(state_->mutex);
    if (state_->running) {
        kill(-state_->pid, SIGTERM);
        signalCarriers(state_->signature, state_->pid, SIGTERM);
    }
}

void LinuxTask::waitUntilExit()
{
    // From inside the handler the child has been reaped already.
    if (state_->handlerThread.load() == std::this_thread::get_id()) {
        return;
    }
    std::unique_lock lock(state_->mutex);
    state_->finishedCondition.wait(lock, [this] { return !state_->launched || state_->finished; });
}

int LinuxTask::processIdentifier() const
{
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

std::shared_ptr<platform::Task> LinuxTaskLauncher::makeTask()
{
    return std::make_shared<LinuxTask>();
}

} // namespace tovra::linuxos
