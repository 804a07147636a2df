#pragma once

#include <sys/types.h>

#include <string>

#include "platform/task.h"

namespace tovra::linuxos {

// What marks every process a child starts, wherever it goes (a daemon leaves the child's process
// group and session, but keeps its environment): the entries of the child's environment that this
// process's own lacks, as "NAME=value" each followed by a NUL. Empty when there are none.
std::string environmentSignature(const platform::Environment& child);

// Sends `signal` to every process of this user's, but this one and the members of process group
// `group`, whose environment holds every entry of `signature`. Nothing for an empty signature.
// Async-signal-safe: it allocates nothing and takes no lock, so a process forked from one with
// other threads may call it.
void signalCarriers(const std::string& signature, pid_t group, int signal);

} // namespace tovra::linuxos
