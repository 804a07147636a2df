#include "platform/posix/termination_signals.h"

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
    if (signalPipe[0] != -1 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action {}; // nothing blocked while the handler runs
    action.sa_handler = onTerminationSignal;
    action.sa_flags = SA_RESTART;
    // Started under nohup, the program keeps running when its terminal goes.
    struct sigaction hangup {};
    ::sigaction(SIGHUP, nullptr, &hangup);
    sigset_t termination;
    sigemptyset(&termination);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&termination, signal);
        if (signal != SIGHUP || hangup.sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    // Blocked by whoever started the program (its launcher, for one): a signal that came
    // meanwhile is handled now.
    ::sigprocmask(SIG_UNBLOCK, &termination, nullptr);
}

void endOnTerminationSignals()
{
    sigset_t termination;
    sigemptyset(&termination);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&termination, signal);
    }
    ::sigprocmask(SIG_UNBLOCK, &termination, nullptr);
}

int terminationSignalDescriptor()
{
    return signalPipe[0];
}

bool takeTerminationSignals()
{
    bool taken = false;
    unsigned char drained[64];
    while (signalPipe[0] >= 0 && ::read(signalPipe[0], drained, sizeof drained) > 0) {
        taken = true;
    }
    return taken;
}

} // namespace tovra::posix
