// stops: every end of the run but a normal return from main, and the
// out-of-memory layer with the start of the thread team.
#ifndef KELVANORE_STOPS_H
#define KELVANORE_STOPS_H

#include <signal.h>

#include <string>

#include "types.h"

// Exit statuses: kExitOk after the help and version texts, kExitError for
// every refusal and failure.
constexpr int kExitOk = 0;
constexpr int kExitError = 255;

// Every end of the run but a normal return from main goes through these.

// Flushes standard output and standard error and exits with the status: for
// a stop whose text is already written (the help and version texts).
[[noreturn]] void stopAfterOutput(int status);
// Prints the message and a line end on standard output, then stops with the
// status.
[[noreturn]] void stopWithMessage(const std::string& message, int status = kExitError);
// The same on standard error, after what standard output already holds.
[[noreturn]] void stopWithError(const std::string& message, int status = kExitError);
// "Unimplemented()" / "ShouldNotReachHere()" on standard output, status 255.
[[noreturn]] void Unimplemented();
[[noreturn]] void ShouldNotReachHere();
// The run could not obtain memory for the named object: one line, status 255.
[[noreturn]] void stopOutOfMemory(const std::string& what);
// The stop for any thread, a worker thread of a parallel region too, where
// exit would run the exit handlers under the other threads: the line (a
// constant such as "ShouldNotReachHere()", without its line end) on standard
// output, status 255, through the once-only path of the out-of-memory stop
// below. Nothing here allocates.
[[noreturn]] void stopFromAnyThread(const char* line);
// The same for a text (its line ends included) that goes to standard error,
// with its own status: the quadratic-programming solver's lack of memory.
[[noreturn]] void stopFromAnyThreadOnStandardError(const char* text, int status);
// What the stops from any thread (these two and the out-of-memory stop
// below) run just before the process ends, as the exit handlers would on
// the other stops: the removal of the run's temporary files. It may run on
// any thread while others work, so it must be async-signal-safe.
void setStopCleanup(void (*cleanup)());

//
// One way to stop when memory runs out: main installs, before anything else,
// a handler for operator new that ends the run with one line and status 255
// (also inside the engine's worker threads, where no exception could reach a
// caller). While an AllocationName lives, that line names what was being
// allocated, "Out of memory: cannot allocate " and the name; otherwise it
// says "Out of memory: the run needs more memory than the system can give".
// The first thread that runs out writes the line with write(2), runs the
// stop cleanup and ends the process with _Exit, without exit handlers, while
// others may still run; a thread that runs out after it waits for that end
// and prints nothing.
// Names are set on the main thread only, outside the parallel regions: the
// line is formatted then, so the handler needs no memory. A stop from any
// thread (stopFromAnyThread) takes the same once-only path: of all the
// threads that stop the run, one writes its line.
void installOutOfMemoryStop();
class AllocationName {
 public:
  explicit AllocationName(const std::string& what);
  ~AllocationName();
  AllocationName(const AllocationName&) = delete;
  AllocationName& operator=(const AllocationName&) = delete;

 private:
  std::string line_;  // the stop's whole line, line end included
  const std::string* enclosing_;
};
// Starts the team of the engine's parallel regions (the thread count that
// the option parser set) now, while the run holds little memory: a
// shortage later then meets operator new and its line, not the OpenMP
// runtime's thread creation, which ends the process itself (status 1, its
// own line on standard error). A team whose stacks cannot be had stops with
// "Out of memory: cannot allocate the stacks of N threads", and one that a
// limit on the number of threads (ulimit -u, a container's) does not let
// start stops with "Cannot start N threads: a limit on the number of
// threads (ulimit -u) is reached"; neither check is made when
// OMP_STACKSIZE or GOMP_STACKSIZE gives the runtime stacks of another size
// than the probe's. Every worker of the team blocks heldInWorkers (the
// ending signals, which only the main thread takes). Called by main once,
// after the options are parsed.
void reserveThreads(const sigset_t& heldInWorkers);
// A new copy of M, for the named run-state matrix.
DMatrix* copyMatrix(const DMatrix& M, const std::string& what);

#endif
