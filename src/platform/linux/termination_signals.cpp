#include "platform/linux/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace tovra::posix {

namespace {

// Written from the signal handler, so plain globals.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void catchTerminationSignals()
{
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t termination;
    sigemptyset(&termination);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&termination, signal);
        struct sigaction previous {};
        // Started under nohup, the program keeps running when its terminal goes.
        if (signal != SIGHUP ||
            (::sigaction(SIGHUP, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    // Blocked by whoever started the program (its launcher, for one): a signal that came
    // meanwhile is handled now.
    ::sigprocmask(SIG_UNBLOCK, &termination, nullptr);
}

int terminationSignalDescriptor()
{
    return signalPipe[0];
}

} // namespace tovra::posix
