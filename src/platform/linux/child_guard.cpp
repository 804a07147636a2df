#include "platform/linux/child_guard.h"

#include "platform/diagnostics.h"
#include "platform/linux/environment_signature.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tovra::linuxos {

namespace {

// The guard itself, forked from a process with other threads: async-signal-safe calls only.
// Signals are blocked on entry, so none of this process's handlers ever runs here.
void watch(int readEnd, pid_t child, const std::string& signature)
{
    prctl(PR_SET_NAME, "tovra-guard");
    // Nothing of this process's stays open but the pipe, least of all the write end of this or
    // another guard's pipe, or the terminal.
    dup2(readEnd, 0);
    close_range(1, ~0U, 0);
    // Signals as any program gets them, so a plain kill ends the guard; and with no handler,
    // nothing interrupts the read.
    const struct sigaction defaultAction {
    }; // SIG_DFL, no flags
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &defaultAction, nullptr);
    }
    const sigset_t noSignals{};
    sigprocmask(SIG_SETMASK, &noSignals, nullptr);

    // End of file without the byte: this process is gone without dismissing the guard.
    char byte;
    if (read(0, &byte, 1) == 0) {
        kill(-child, SIGTERM);
        signalCarriers(signature, child, SIGTERM);
    }
}

} // namespace

ChildGuard::ChildGuard(pid_t child, const std::string& signature)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        platform::warn("cannot guard the bridge server: no pipe: ", std::strerror(errno));
        return;
    }
    const FileDescriptor readEnd(ends[0]);
    writeEnd_ = FileDescriptor(ends[1]);
    // Forked twice over, so that the guard is nobody's child here and needs no reaping.
    const pid_t intermediate = fork();
    if (intermediate == 0) {
        if (_Fork() == 0) {
            watch(readEnd.get(), child, signature);
        }
        _exit(0);
    }
    if (intermediate == -1) {
        platform::warn("cannot guard the bridge server: no process: ", std::strerror(errno));
        return;
    }
    waitpid(intermediate, nullptr, 0);
}

ChildGuard::~ChildGuard()
{
    // A guard that is gone already (killed by someone) must not take this process with it
    // through SIGPIPE: the signal a failed write raises is taken before it is unblocked again.
    sigset_t pipeSignal;
    sigset_t previousMask;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    if (!posix::writeAll(writeEnd_.get(), std::string_view("", 1))) {
        const timespec noWait{};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

} // namespace tovra::linuxos
