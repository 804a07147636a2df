#include "platform/linux/linux_task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/file_manager.h"
#include "platform/linux/guard_messages.h"
#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

using posix::FileDescriptor;

struct LinuxTask::Guards {
    TaskSupervision supervision;
    // Every guard not yet reaped, whatever became of its task.
    std::vector<std::shared_ptr<State>> live;
};

// One guard and its child, from the launch until the guard is reaped. Main thread only.
struct LinuxTask::State : std::enable_shared_from_this<State> {
    pid_t guard = -1;
    pid_t child = -1;
    FileDescriptor channel; // this end of the guard's socket: its messages, and our being here
    FileDescriptor pidfd;   // the guard's: readable once it has ended; none where the kernel has none
    std::unique_ptr<DescriptorWatch> channelWatch;
    std::unique_ptr<DescriptorWatch> exitWatch;
    bool running = false; // from the launch until the child's end is known
    bool reaped = false;  // the guard is gone, so its pid is no longer ours to signal
    std::function<void()> handler;
    std::weak_ptr<Guards> guards;

    void watch(const DescriptorWatches& watches);
    void readChannel();
    void reap();
    void childEnded();
    // Stops following the guard: its socket closes, so it ends the tree, and its end is left to
    // the system.
    void abandon();
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
    SpawnOptions(const SpawnOptions&) = delete;
    SpawnOptions& operator=(const SpawnOptions&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// A copy of the descriptor above the standard streams, so that placing the copies cannot
// overwrite one with another.
FileDescriptor above2(int descriptor)
{
    return FileDescriptor(fcntl(descriptor, F_DUPFD_CLOEXEC, 3));
}

// A copy of the handle's descriptor above the standard streams; none to inherit the stream; false
// for a handle already closed.
bool redirectionSource(const std::shared_ptr<platform::FileHandle>& handle, FileDescriptor& copy)
{
    if (handle) {
        copy = above2(handle->fileDescriptor());
    }
    return !handle || copy.isOpen();
}

// The guard gets 1 and 2 from the copies when given, its socket as its descriptor 3 and nothing
// else above; every signal at its default, and those it takes through its poll blocked, so that
// none can end it before it watches for them; and a process group of its own, so that a signal to
// this program's group (a terminal's Ctrl+C, a kill of the group) reaches this program, which asks
// it, and a SIGKILL of the group leaves it to end the tree.
bool prepare(SpawnOptions& options, const FileDescriptor& output, const FileDescriptor& error,
             const FileDescriptor& channel)
{
    sigset_t signals;
    std::memset(&signals, 0xff, sizeof signals);
    posix_spawnattr_setsigdefault(&options.attributes, &signals);
    sigemptyset(&signals);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaddset(&signals, signal);
    }
    posix_spawnattr_setsigmask(&options.attributes, &signals);
    const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
    return posix_spawnattr_setflags(&options.attributes, flags) == 0 &&
           posix_spawnattr_setpgroup(&options.attributes, 0) == 0 &&
           (!output.isOpen() || posix_spawn_file_actions_adddup2(&options.actions, output.get(), 1) == 0) &&
           (!error.isOpen() || posix_spawn_file_actions_adddup2(&options.actions, error.get(), 2) == 0) &&
           posix_spawn_file_actions_adddup2(&options.actions, channel.get(), kGuardChannel) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&options.actions, kGuardChannel + 1) == 0;
}

// The next message on the channel, waiting for it; none once the guard has closed its end.
std::optional<GuardMessage> receive(int channel)
{
    for (;;) {
        GuardMessage message{};
        const ssize_t size = ::recv(channel, &message, sizeof message, 0);
        if (size == static_cast<ssize_t>(sizeof message)) {
            return message;
        }
        if (size == 0 || (size < 0 && errno != EINTR)) {
            return std::nullopt;
        }
    }
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> list;
    for (std::string& each : strings) {
        list.push_back(each.data());
    }
    list.push_back(nullptr);
    return list;
}

} // namespace

void LinuxTask::State::watch(const DescriptorWatches& watches)
{
    // Weak: the guards' list keeps this; a call finds it there or not at all.
    const std::weak_ptr<State> self = weak_from_this();
    channelWatch = watches(channel.get(), [self] {
        if (const std::shared_ptr<State> state = self.lock()) {
            state->readChannel();
        }
    });
    if (pidfd.isOpen()) {
        exitWatch = watches(pidfd.get(), [self] {
            if (const std::shared_ptr<State> state = self.lock()) {
                state->reap();
            }
        });
    }
}

void LinuxTask::State::readChannel()
{
    GuardMessage message{};
    const ssize_t size = ::recv(channel.get(), &message, sizeof message, MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (size == static_cast<ssize_t>(sizeof message) && message.kind == GuardMessage::ended) {
        childEnded();
    } else if (size <= 0) {
        // The guard has closed its end: it is leaving, or gone.
        channelWatch.reset();
        childEnded();
        if (!pidfd.isOpen()) {
            reap(); // without a pidfd this is the sign, and the wait is a moment at most
        }
    }
}

void LinuxTask::State::reap()
{
    if (reaped) {
        return;
    }
    if (::waitpid(guard, nullptr, pidfd.isOpen() ? WNOHANG : 0) != guard) {
        return;
    }
    reaped = true;
    exitWatch.reset();
    channelWatch.reset();
    // A guard killed before it said so leaves its child to the system: no longer ours to follow.
    childEnded();
    if (const std::shared_ptr<Guards> list = guards.lock()) {
        std::erase(list->live, shared_from_this());
    }
}

void LinuxTask::State::childEnded()
{
    if (!running) {
        return;
    }
    running = false;
    // Taken out first: it may let go of the task, whose destruction removes the handler.
    const std::function<void()> ended = std::exchange(handler, nullptr);
    if (ended) {
        ended();
    }
}

void LinuxTask::State::abandon()
{
    channelWatch.reset();
    exitWatch.reset();
    channel.close();
    pidfd.close();
    reaped = true;
    running = false;
    handler = nullptr;
}

LinuxTask::LinuxTask(std::shared_ptr<Guards> guards)
    : guards_(std::move(guards)), state_(std::make_shared<State>())
{
}

LinuxTask::~LinuxTask()
{
    // The guard and the child go on; the loop still reaps the guard, but nobody is told.
    state_->handler = nullptr;
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
    // Outlives the assignment: it may own the last reference to this task.
    const std::function<void()> previous = std::exchange(state_->handler, std::move(handler));
}

bool LinuxTask::launch()
{
    if (state_->guard != -1) {
        return false;
    }
    const TaskSupervision& supervision = guards_->supervision;
    FileDescriptor output;
    FileDescriptor error;
    if (!redirectionSource(standardOutput_, output) || !redirectionSource(standardError_, error)) {
        return false;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        platform::warn("cannot start ", executable_.c_str(),
                       ": no socket for its guard: ", std::strerror(errno));
        return false;
    }
    FileDescriptor channel(ends[0]);
    FileDescriptor guardEnd = above2(ends[1]); // never on 1 or 2, which the streams take first
    ::close(ends[1]);

    // Relative to this process's directory, not the child's; empty, and then not found, when that
    // directory is gone.
    std::error_code noDirectory;
    const std::filesystem::path program = std::filesystem::absolute(executable_, noDirectory);
    std::vector<std::string> argumentStrings{
        supervision.guard.filename().string(), std::to_string(supervision.grace.count()), program.string(),
        currentDirectory_.string(), processName_.empty() ? executable_.string() : processName_};
    argumentStrings.insert(argumentStrings.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv = pointers(argumentStrings);
    std::vector<std::string> environmentStrings;
    if (environment_) {
        for (const auto& [name, value] : *environment_) {
            environmentStrings.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp = pointers(environmentStrings);

    SpawnOptions options;
    pid_t guard = -1;
    const int failure =
        !guardEnd.isOpen() || !prepare(options, output, error, guardEnd)
            ? EMFILE
            : posix_spawn(&guard, supervision.guard.c_str(), &options.actions, &options.attributes,
                          argv.data(), environment_ ? envp.data() : environ);
    if (failure != 0) {
        platform::warn("cannot start ", supervision.guard.c_str(), ": ", std::strerror(failure));
        return false;
    }
    // Only the guard holds its end now, so its end of file is its going.
    guardEnd.close();

    const std::optional<GuardMessage> first = receive(channel.get());
    if (!first || first->kind != GuardMessage::started) {
        platform::warn("cannot start ", executable_.c_str(), ": ",
                       first ? std::strerror(first->value) : "its guard ended at once");
        ::waitpid(guard, nullptr, 0); // it leaves once it has said so
        return false;
    }
    state_->guard = guard;
    state_->child = first->value;
    state_->running = true;
    state_->channel = std::move(channel);
    state_->pidfd = FileDescriptor(
        static_cast<int>(::syscall(SYS_pidfd_open, guard, 0))); // glibc 2.36 declares it without C linkage
    state_->guards = guards_;
    state_->watch(supervision.watches);
    guards_->live.push_back(state_);
    return true;
}

bool LinuxTask::isRunning() const
{
    return state_->running;
}

void LinuxTask::terminate()
{
    // The guard is this process's child until it is reaped, so the pid is still its own.
    if (state_->running && !state_->reaped) {
        ::kill(state_->guard, SIGTERM);
    }
}

void LinuxTask::waitUntilExit()
{
    // The handler may let go of the task: the state stays for this call.
    const std::shared_ptr<State> state = state_;
    while (state->running) {
        pollfd watched[] = {{state->channel.get(), POLLIN, 0}, {state->pidfd.get(), POLLIN, 0}};
        if (::poll(watched, state->pidfd.isOpen() ? 2 : 1, -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched[0].revents != 0) {
            state->readChannel();
        }
        if (watched[1].revents != 0) {
            state->reap();
        }
    }
}

int LinuxTask::processIdentifier() const
{
    return state_->guard;
}

int LinuxTask::childProcessIdentifier() const
{
    return state_->child;
}

LinuxTaskLauncher::LinuxTaskLauncher(TaskSupervision supervision)
    : guards_(std::make_shared<LinuxTask::Guards>(LinuxTask::Guards{std::move(supervision), {}}))
{
}

LinuxTaskLauncher::~LinuxTaskLauncher()
{
    for (const auto& state : guards_->live) {
        state->abandon();
    }
    guards_->live.clear();
}

std::shared_ptr<platform::Task> LinuxTaskLauncher::makeTask()
{
    return std::make_shared<LinuxTask>(guards_);
}

} // namespace tovra::linuxos
