#include "platform/linux/posix_task.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
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
    // The pipe that keeps the guard process waiting; see startGuard.
    int guardPipe = -1;

    std::mutex handlerMutex;
    std::function<void()> handler;
    // The waiter thread while it runs the handler, so that a call made from inside the
    // handler (the task's last owner letting go there, say) does not lock handlerMutex again.
    std::atomic<std::thread::id> handlerThread{};
};

namespace {

// Everything the child needs, prepared before fork: the child may not allocate.
struct ChildSetup {
    const char* program;
    char* const* argv;
    char* const* envp;
    const char* directory;
    int output;
    int error;
    int statusPipe;
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

// Keeps a descriptor clear of 0-2, which the child redirects onto.
int aboveStandardStreams(int descriptor)
{
    if (descriptor >= 3) {
        return descriptor;
    }
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    ::close(descriptor);
    return moved;
}

[[noreturn]] void reportToParent(int statusPipe)
{
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(statusPipe, &error, sizeof error);
    _exit(127);
}

bool redirect(int from, int to)
{
    if (from < 0) {
        return true;
    }
    // dup2 onto itself would leave close-on-exec set.
    return from == to ? fcntl(from, F_SETFD, 0) == 0 : dup2(from, to) == to;
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void execChild(const ChildSetup& setup)
{
    // Signals are blocked from before fork until exec, so no handler of the parent's runs here.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &defaultAction, nullptr);
    }
    if (!redirect(setup.output, 1) || !redirect(setup.error, 2)) {
        reportToParent(setup.statusPipe);
    }
    if (setup.directory != nullptr && chdir(setup.directory) != 0) {
        reportToParent(setup.statusPipe);
    }
    if ((setup.statusPipe > 3 && close_range(3, setup.statusPipe - 1, 0) != 0) ||
        close_range(setup.statusPipe + 1, ~0U, 0) != 0) {
        reportToParent(setup.statusPipe);
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    execve(setup.program, setup.argv, setup.envp);
    reportToParent(setup.statusPipe);
}

void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// A child must not outlive this process when it dies without its own clean-up (killed,
// crashed): an orphaned server would keep its port. A small guard process holds the read end
// of a pipe; when this process dies the write end closes, and the guard sends the child one
// SIGTERM. Disarming writes a byte first, so an ordinary end sends nothing. (A parent-death
// signal would be simpler, but the kernel repeats it for every thread that exits.) The guard
// is forked twice over, so it is nobody's child here and needs no reaping.
// Call with every signal blocked; the guard keeps them blocked. Returns the write end or -1.
int startGuard(pid_t child)
{
    int guardPipe[2];
    if (pipe2(guardPipe, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t intermediate = fork();
    if (intermediate == 0) {
        if (_Fork() != 0) {
            _exit(0);
        }
        const int readEnd = guardPipe[0];
        if (readEnd > 0) {
            close_range(0, static_cast<unsigned>(readEnd) - 1, 0);
        }
        close_range(static_cast<unsigned>(readEnd) + 1, ~0U, 0);
        unsigned char byte;
        ssize_t received;
        while ((received = ::read(readEnd, &byte, 1)) == -1 && errno == EINTR) {
        }
        if (received == 0) {
            kill(child, SIGTERM);
        }
        _exit(0);
    }
    ::close(guardPipe[0]);
    if (intermediate < 0) {
        ::close(guardPipe[1]);
        return -1;
    }
    reap(intermediate);
    return guardPipe[1];
}

// Tells the guard to leave without a signal. Call with the state's mutex held.
void disarmGuard(int& writeEnd)
{
    if (writeEnd < 0) {
        return;
    }
    // A guard that is gone already (killed by someone) must not take this process with it
    // through SIGPIPE.
    sigset_t pipeSignal;
    sigset_t previousMask;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    const unsigned char byte = 0;
    if (::write(writeEnd, &byte, 1) == -1 && errno == EPIPE) {
        const timespec noWait{};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::close(writeEnd);
    writeEnd = -1;
}

} // namespace

PosixTask::PosixTask() : state_(std::make_shared<State>()) {}

PosixTask::~PosixTask()
{
    setTerminationHandler({});
    // The program ends its child on purpose, or lets it run: either way no guard signal.
    std::lock_guard lock(state_->mutex);
    disarmGuard(state_->guardPipe);
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

    int statusPipe[2];
    if (pipe2(statusPipe, O_CLOEXEC) != 0) {
        return false;
    }
    statusPipe[1] = aboveStandardStreams(statusPipe[1]);
    if (statusPipe[1] < 0) {
        ::close(statusPipe[0]);
        return false;
    }
    const ChildSetup setup{program.c_str(),
                           argv.data(),
                           environment_ ? envp.data() : environ,
                           currentDirectory_.empty() ? nullptr : currentDirectory_.c_str(),
                           outputDescriptor,
                           errorDescriptor,
                           statusPipe[1]};

    sigset_t allSignals;
    sigset_t previousMask;
    sigfillset(&allSignals);
    pthread_sigmask(SIG_SETMASK, &allSignals, &previousMask);
    const pid_t pid = fork();
    if (pid == 0) {
        execChild(setup);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::close(statusPipe[1]);
    if (pid < 0) {
        ::close(statusPipe[0]);
        return false;
    }
    // End of file: the exec succeeded. Otherwise the child reports its errno and exits.
    int childError = 0;
    ssize_t received;
    while ((received = ::read(statusPipe[0], &childError, sizeof childError)) == -1 && errno == EINTR) {
    }
    ::close(statusPipe[0]);
    if (received != 0) {
        kill(pid, SIGKILL);
        reap(pid);
        return false;
    }

    // The guard and the waiter take no signals: process-directed ones go to the threads that
    // expect them.
    pthread_sigmask(SIG_SETMASK, &allSignals, &previousMask);
    const int guardPipe = startGuard(pid);
    {
        std::lock_guard lock(state_->mutex);
        state_->pid = pid;
        state_->launched = true;
        state_->guardPipe = guardPipe;
    }
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
        disarmGuard(state_->guardPipe);
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
        disarmGuard(state->guardPipe);
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

int PosixTask::processIdentifier() const
{
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

std::shared_ptr<platform::Task> PosixTaskLauncher::makeTask()
{
    return std::make_shared<PosixTask>();
}

} // namespace tovra::posix
