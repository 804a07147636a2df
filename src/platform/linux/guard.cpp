// tovra-guard: the bridge server's parent, between it and the application, which starts one guard
// for each server. Usage, with descriptor 3 a SOCK_SEQPACKET socket whose other end only the
// application holds:
//   tovra-guard GRACE-MS PROGRAM DIRECTORY NAME [ARGUMENT...]
// It starts PROGRAM as NAME with the arguments, in DIRECTORY (none when empty), with this process's
// environment and standard streams, no other descriptor, no blocked signal, every signal at its
// default and a process group of its own; tells the application the server's pid, or why it could
// not start, and later that it ended. As the child subreaper it gets back every orphan of the
// server's tree, and reaps each.
//
// It ends the tree on a termination signal (the application's terminate, or anyone's), when the
// application is gone (end of file on descriptor 3), and when the server has ended while orphans
// live on: SIGTERM to the server's group and to every child, and GRACE-MS after that SIGKILL to
// whatever is left, in rounds until no child is left. It leaves then. The server stays unreaped
// until then, so its group's id cannot be taken by another group under a kill(-group); and only
// unreaped children are signalled, whose pids cannot have been reused.
//
// One thread, one poll; the C library only, so that it is running almost as soon as it is started.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/guard_messages.h"

namespace {

using tovra::linuxos::GuardMessage;
constexpr int kChannel = tovra::linuxos::kGuardChannel;

void tell(GuardMessage::Kind kind, int value)
{
    const GuardMessage message{kind, value};
    // The application may be gone: nothing to do about it.
    while (send(kChannel, &message, sizeof message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

long long nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The children sent SIGTERM, sorted, so that one is not asked twice (a server that shuts down
// gracefully would start over). When it is full a child may be asked again; nothing worse.
class PidSet {
public:
    bool contains(pid_t pid) const
    {
        const int at = find(pid);
        return at < size_ && pids_[at] == pid;
    }
    void add(pid_t pid)
    {
        const int at = find(pid);
        if ((at < size_ && pids_[at] == pid) || size_ == kCapacity) {
            return;
        }
        memmove(pids_ + at + 1, pids_ + at, sizeof(pid_t) * static_cast<size_t>(size_ - at));
        pids_[at] = pid;
        ++size_;
    }
    void remove(pid_t pid)
    {
        const int at = find(pid);
        if (at < size_ && pids_[at] == pid) {
            memmove(pids_ + at, pids_ + at + 1, sizeof(pid_t) * static_cast<size_t>(size_ - at - 1));
            --size_;
        }
    }

private:
    static constexpr int kCapacity = 8192;
    // The first position whose pid is not below `pid`.
    int find(pid_t pid) const
    {
        int low = 0;
        int high = size_;
        while (low < high) {
            const int middle = (low + high) / 2;
            if (pids_[middle] < pid) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low;
    }

    pid_t pids_[kCapacity];
    int size_ = 0;
};

// The number a /proc name or a children list holds, up to the first non-digit; 0 for none.
pid_t pidAt(const char*& text)
{
    long value = 0;
    const char* start = text;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text++ - '0');
        if (value > 0x3fffffff) {
            return 0; // above any pid
        }
    }
    return text == start ? 0 : static_cast<pid_t>(value);
}

// Calls visit(child) for each of this process's children, ended ones too, as the kernel lists them
// now; from the parents in /proc/<pid>/stat where the kernel keeps no list of them. A child listed
// stays this process's until this process reaps it, so it may be signalled or waited for.
char list[65536]; // read at once: the kernel's list is consistent within one read

template <typename Visit> void forEachChild(Visit visit)
{
    const int file = open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
    if (file >= 0) {
        ssize_t length;
        do {
            length = read(file, list, sizeof list - 1);
        } while (length < 0 && errno == EINTR);
        close(file);
        list[length > 0 ? length : 0] = '\0';
        for (const char* text = list; *text != '\0';) {
            if (const pid_t child = pidAt(text)) {
                visit(child);
            } else {
                ++text;
            }
        }
        return;
    }
    DIR* processes = opendir("/proc");
    if (!processes) {
        return;
    }
    const pid_t self = getpid();
    while (const dirent* entry = readdir(processes)) {
        const char* name = entry->d_name;
        const pid_t pid = pidAt(name);
        if (pid == 0 || *name != '\0') {
            continue;
        }
        char path[32];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        const int stat = open(path, O_RDONLY | O_CLOEXEC);
        if (stat < 0) {
            continue;
        }
        char text[512]; // "pid (name) state ppid ...": the name may hold anything, so the last ')'
        const ssize_t length = read(stat, text, sizeof text - 1);
        close(stat);
        text[length > 0 ? length : 0] = '\0';
        const char* end = strrchr(text, ')');
        if (end && end[1] == ' ' && end[2] != '\0' && end[3] == ' ') {
            const char* parent = end + 4;
            if (pidAt(parent) == self) {
                visit(pid);
            }
        }
    }
    closedir(processes);
}

class Guard {
public:
    Guard(pid_t server, long long graceMilliseconds) : server_(server), grace_(graceMilliseconds * 1000000) {}

    // The tree is to end: SIGTERM now to the server's group and to every child, SIGKILL to what is
    // left once the grace has passed. Asked again, it changes nothing.
    void endTree()
    {
        if (phase_ != Phase::running) {
            return;
        }
        phase_ = Phase::terminating;
        killAt_ = nanoseconds() + grace_;
        if (!serverReaped_) {
            kill(-server_, SIGTERM);
            terminated_.add(server_);
        }
        terminateNewChildren();
    }

    // Milliseconds poll may wait before the next step is due, rounded up; -1 for none.
    int timeout() const
    {
        switch (phase_) {
        case Phase::running:
            return -1;
        case Phase::terminating: {
            const long long left = killAt_ - nanoseconds();
            return left > 0 ? static_cast<int>((left + 999999) / 1000000) : 0;
        }
        case Phase::killing:
            return kKillRound;
        }
        return -1;
    }

    // Reaps what has ended, tells the application of the server's end, and signals what the
    // phase asks for. True once no child is left.
    bool step()
    {
        if (phase_ == Phase::terminating && nanoseconds() >= killAt_) {
            phase_ = Phase::killing;
        }
        if (phase_ == Phase::killing && !serverReaped_) {
            kill(-server_, SIGKILL);
        }
        if (!serverEnded_) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(server_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == server_) {
                serverEnded_ = true;
                tell(GuardMessage::ended, info.si_status);
            }
        }
        int others = 0;
        forEachChild([&](pid_t child) {
            if (child == server_) {
                return;
            }
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG) == 0 &&
                info.si_pid == child) {
                terminated_.remove(child);
                return;
            }
            ++others;
            if (phase_ == Phase::killing) {
                kill(child, SIGKILL);
            }
        });
        if (serverEnded_ && others > 0) {
            endTree(); // orphans outlive the server: they end with it
        }
        if (phase_ == Phase::terminating) {
            terminateNewChildren(); // orphans the tree handed back since
        }
        if (!serverEnded_ || others > 0) {
            return false;
        }
        if (!serverReaped_) {
            waitpid(server_, nullptr, 0);
            serverReaped_ = true;
            terminated_.remove(server_);
        }
        // The kernel's own word: reap whatever ended that the list missed; done when no child is left.
        for (;;) {
            siginfo_t info{};
            if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0) {
                return errno == ECHILD;
            }
            if (info.si_pid == 0) {
                endTree(); // a child the list missed: it ends too
                return false;
            }
            terminated_.remove(info.si_pid);
        }
    }

private:
    enum class Phase { running, terminating, killing };
    // How often, once the grace has passed, the tree is looked through for what still runs.
    static constexpr int kKillRound = 100;

    void terminateNewChildren()
    {
        forEachChild([&](pid_t child) {
            if (!terminated_.contains(child)) {
                terminated_.add(child);
                kill(child, SIGTERM);
            }
        });
    }

    const pid_t server_;
    const long long grace_; // ns
    Phase phase_ = Phase::running;
    long long killAt_ = 0; // ns
    bool serverEnded_ = false;
    bool serverReaped_ = false;
    PidSet terminated_;
};

// Starts the server; its pid, or -1 with errno set.
pid_t startServer(const char* program, const char* directory, char** arguments)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Every signal at its default, glibc's own two (32 and 33) too: sigfillset leaves those out, and
    // glibc's posix_spawn then sets them to be ignored in the child. No signal blocked.
    sigset_t signals;
    memset(&signals, 0xff, sizeof signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    int failure = *directory != '\0' ? posix_spawn_file_actions_addchdir_np(&actions, directory) : 0;
    if (failure == 0) {
        failure = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    pid_t pid = -1;
    if (failure == 0) {
        // glibc reports a failed exec (no such program, not executable, no such folder) here, and
        // has reaped that child by then.
        failure = posix_spawn(&pid, program, &actions, &attributes, arguments, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    errno = failure;
    return failure == 0 ? pid : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        return 2;
    }
    const long long grace = atoll(argv[1]);

    // The signals come through the poll; the application started this with them blocked already.
    sigset_t signals;
    sigemptyset(&signals);
    const int taken[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    for (const int signal : taken) {
        sigaddset(&signals, signal);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalled = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    fcntl(kChannel, F_SETFD, FD_CLOEXEC);
    if (signalled < 0 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        tell(GuardMessage::failed, errno);
        return 1;
    }

    const pid_t server = startServer(argv[2], argv[3], argv + 4);
    if (server < 0) {
        tell(GuardMessage::failed, errno);
        return 1;
    }
    tell(GuardMessage::started, server);

    Guard guard(server, grace);
    pollfd watched[] = {{signalled, POLLIN, 0}, {kChannel, POLLIN, 0}};
    for (;;) {
        if (poll(watched, 2, guard.timeout()) < 0 && errno != EINTR) {
            guard.endTree(); // nothing can be watched: end it all rather than leave it unsupervised
        }
        signalfd_siginfo info;
        while (read(signalled, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo != SIGCHLD) {
                guard.endTree();
            }
        }
        if (watched[1].revents != 0) {
            char ignored[sizeof(GuardMessage)];
            const ssize_t length = recv(kChannel, ignored, sizeof ignored, MSG_DONTWAIT);
            if (length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR)) {
                watched[1].fd = -1; // the application is gone
                guard.endTree();
            }
        }
        if (guard.step()) {
            return 0;
        }
    }
}
