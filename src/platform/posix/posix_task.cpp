#include "platform/posix/posix_task.h"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/file_manager.h"

namespace tovra::posix {

struct PosixTask::State {
    std::mutex mutex;
    std::condition_variable finishedCondition;
    pid_t pid = -1;
    bool launched = false;
    // Set before the child is reaped: until then its pid cannot be reused, so a signal sent
    // while this is false under the lock reaches this child and no other process.
    bool ended = false;
    // Reaped and the handler done with.
    bool finished = false;

    std::mutex handlerMutex;
    std::function<void()> handler;
    // The waiter thread while it runs the handler, so that a call made from inside the
    // handler (the task's last owner letting go there, say) does not lock handlerMutex again.
    std::atomic<std::thread::id> handlerThread{};
};

namespace {

class FileActions {
public:
    FileActions() { valid_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions()
    {
        if (valid_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool valid() const { return valid_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool valid_ = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { valid_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes()
    {
        if (valid_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool valid() const { return valid_; }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool valid_ = false;
};

// The descriptor a stream is redirected from: -1 to inherit; false for a handle already closed.
bool redirectionSource(const std::shared_ptr<platform::FileHandle>& handle, int& descriptor)
{
    descriptor = -1;
    if (!handle) {
        return true;
    }
    descriptor = handle->fileDescriptor();
    return descriptor >= 0;
}

void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

} // namespace

PosixTask::PosixTask() : state_(std::make_shared<State>()) {}

PosixTask::~PosixTask()
{
    setTerminationHandler({});
}

void PosixTask::setExecutable(const std::filesystem::path& executable)
{
    executable_ = executable;
}

void PosixTask::setArguments(const std::vector<std::string>& arguments)
{
    arguments_ = arguments;
}

void PosixTask::setCurrentDirectory(const std::filesystem::path& directory)
{
    currentDirectory_ = directory;
}

void PosixTask::setEnvironment(const platform::Environment& environment)
{
    environment_ = environment;
}

void PosixTask::setStandardOutput(std::shared_ptr<platform::FileHandle> handle)
{
    standardOutput_ = std::move(handle);
}

void PosixTask::setStandardError(std::shared_ptr<platform::FileHandle> handle)
{
    standardError_ = std::move(handle);
}

void PosixTask::setTerminationHandler(std::function<void()> handler)
{
    // Outlives the lock: it may own the last reference to this task.
    std::function<void()> previous;
    if (state_->handlerThread.load() == std::this_thread::get_id()) {
        previous = std::exchange(state_->handler, std::move(handler));
    } else {
        std::lock_guard lock(state_->handlerMutex);
        previous = std::exchange(state_->handler, std::move(handler));
    }
}

bool PosixTask::launch()
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->launched) {
            return false;
        }
    }
    if (executable_.empty()) {
        return false;
    }
    int outputDescriptor = -1;
    int errorDescriptor = -1;
    if (!redirectionSource(standardOutput_, outputDescriptor) ||
        !redirectionSource(standardError_, errorDescriptor)) {
        return false;
    }
    // Relative to this process's directory, not the child's.
    std::error_code error;
    const std::filesystem::path program = std::filesystem::absolute(executable_, error);
    if (error) {
        return false;
    }

    std::vector<std::string> argumentStrings;
    argumentStrings.reserve(arguments_.size() + 1);
    argumentStrings.push_back(executable_.string());
    argumentStrings.insert(argumentStrings.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv;
    argv.reserve(argumentStrings.size() + 1);
    for (std::string& argument : argumentStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    std::vector<char*> envp;
    if (environment_) {
        environmentStrings.reserve(environment_->size());
        for (const auto& [name, value] : *environment_) {
            environmentStrings.push_back(name + "=" + value);
        }
        envp.reserve(environmentStrings.size() + 1);
        for (std::string& entry : environmentStrings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }

    FileActions actions;
    SpawnAttributes attributes;
    if (!actions.valid() || !attributes.valid()) {
        return false;
    }
    if (outputDescriptor >= 0 && posix_spawn_file_actions_adddup2(actions.get(), outputDescriptor, 1) != 0) {
        return false;
    }
    if (errorDescriptor >= 0 && posix_spawn_file_actions_adddup2(actions.get(), errorDescriptor, 2) != 0) {
        return false;
    }
    if (!currentDirectory_.empty() &&
        posix_spawn_file_actions_addchdir_np(actions.get(), currentDirectory_.c_str()) != 0) {
        return false;
    }
    if (posix_spawn_file_actions_addclosefrom_np(actions.get(), 3) != 0) {
        return false;
    }
    // Without these the child would inherit the launching thread's mask (a blocked SIGTERM
    // would make it ignore every terminate()) and this process's ignored signals.
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    if (posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) != 0 ||
        posix_spawnattr_setsigmask(attributes.get(), &noSignals) != 0 ||
        posix_spawnattr_setsigdefault(attributes.get(), &allSignals) != 0) {
        return false;
    }

    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                    environment_ ? envp.data() : environ) != 0) {
        return false;
    }

    {
        std::lock_guard lock(state_->mutex);
        state_->pid = pid;
        state_->launched = true;
    }
    // The waiter takes no signals: process-directed ones go to the threads that expect them.
    sigset_t previousMask;
    pthread_sigmask(SIG_SETMASK, &allSignals, &previousMask);
    bool started = true;
    try {
        std::thread(waitForChild, state_, pid).detach();
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (!started) {
        kill(pid, SIGKILL);
        reap(pid);
        std::lock_guard lock(state_->mutex);
        state_->pid = -1;
        state_->launched = false;
        return false;
    }
    return true;
}

void PosixTask::waitForChild(std::shared_ptr<State> state, pid_t pid)
{
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
    }
    {
        std::lock_guard lock(state->mutex);
        state->ended = true;
    }
    reap(pid);

    std::function<void()> handler;
    {
        std::lock_guard lock(state->handlerMutex);
        handler = std::exchange(state->handler, nullptr);
        if (handler) {
            state->handlerThread = std::this_thread::get_id();
            handler();
            state->handlerThread = std::thread::id();
        }
    }
    handler = nullptr;

    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->finishedCondition.notify_all();
}

bool PosixTask::isRunning() const
{
    std::lock_guard lock(state_->mutex);
    return state_->launched && !state_->ended;
}

void PosixTask::terminate()
{
    std::lock_guard lock(state_->mutex);
    if (state_->launched && !state_->ended) {
        kill(state_->pid, SIGTERM);
    }
}

void PosixTask::waitUntilExit()
{
    // From inside the handler the child has been reaped already.
    if (state_->handlerThread.load() == std::this_thread::get_id()) {
        return;
    }
    std::unique_lock lock(state_->mutex);
    state_->finishedCondition.wait(lock, [this] { return !state_->launched || state_->finished; });
}

pid_t PosixTask::processIdentifier() const
{
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

std::shared_ptr<platform::Task> PosixTaskLauncher::makeTask()
{
    return std::make_shared<PosixTask>();
}

} // namespace tovra::posix
