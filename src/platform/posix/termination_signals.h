#pragma once

namespace tovra::posix {

// SIGTERM, SIGINT and SIGHUP through a self-pipe: each handler writes the signal's number into a
// pipe that the event loop watches. Installed once, first thing, and the three unblocked; a
// SIGHUP ignored at start stays ignored.
void catchTerminationSignals();

// For a start that only asks and prints instead: the three unblocked with the actions they have
// (whoever started the program, its launcher for one, may have blocked them), so that each ends
// the program at once wherever it waits; one ignored at start stays ignored.
void endOnTerminationSignals();

// The pipe's read end, readable once a signal has come; -1 before catchTerminationSignals or
// when the pipe could not be made.
int terminationSignalDescriptor();

// Takes every signal waiting in the pipe; true when there was one.
bool takeTerminationSignals();

} // namespace tovra::posix
