#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/file_descriptor.h"

namespace tovra::linuxos {

using posix::FileDescriptor;

// A child must not outlive this process when it dies without its own clean-up (killed, crashed):
// an orphaned server would keep its port. A small process of its own, named tovra-guard so that
// killing this program by name leaves it alone, holds the read end of a pipe whose write end only
// this object holds. When this process dies the write end closes and the guard sends one SIGTERM to
// the child's process group and to every process that carries the child's environment signature
// (what left the group); destroying this object writes a byte first, and the guard leaves without
// sending anything: the child has ended, or is ended or left to run on purpose.
//
// A parent-death signal (PR_SET_PDEATHSIG) would need no process, but it fires when the thread
// that started the child exits, not when this process does: a child launched from a thread that
// then ends would be signalled while this process runs on.
class ChildGuard {
public:
    // Starts a guard for `child`; when no pipe or process can be had, the child goes unguarded.
    // Call with every signal blocked, so that none of this process's handlers runs in the forks,
    // and nothing interrupts the wait for the first of them.
    ChildGuard(pid_t child, const std::string& signature);
    // Dismisses the guard, also when it is gone already.
    ~ChildGuard();

private:
    FileDescriptor writeEnd_;
};

} // namespace tovra::linuxos
