// The program users start, <prefix>/bin/<name>. It blocks the termination signals and hands over,
// in the same process, to the application at <prefix>/libexec/<name>/<name> (TOVRA_NAME, from the
// build).
// Loading the application's libraries takes milliseconds during which no handler of its own can
// be in place; a signal that comes meanwhile now waits, blocked, until the application catches it
// and ends cleanly, instead of killing it half made. This program needs nothing but the C library,
// so it is running almost as soon as it is started.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int, char** argv)
{
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGHUP);
    sigprocmask(SIG_BLOCK, &termination, nullptr);

    constexpr char kApplication[] = "libexec/" TOVRA_NAME "/" TOVRA_NAME;
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - sizeof kApplication);
    char* slash = length > 0 ? (path[length] = '\0', strrchr(path, '/')) : nullptr; // before our name
    if (slash) {
        *slash = '\0';
        slash = strrchr(path, '/'); // before "bin"
    }
    if (!slash) {
        fprintf(stderr, TOVRA_NAME ": cannot tell where this program is installed\n");
        return 127;
    }
    strcpy(slash + 1, kApplication);
    execv(path, argv);
    fprintf(stderr, TOVRA_NAME ": cannot start %s: %s\n", path, strerror(errno));
    return 127;
}
