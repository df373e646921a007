#include "stops.h"

#include <omp.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// The out-of-memory stop's line for the allocations under way, formatted
// when their AllocationName was made (on the main thread), so that the
// handler itself needs no memory; null outside every AllocationName.
std::atomic<const std::string*> allocationLine{nullptr};

// Set by the first thread that stops the run from any thread (out of memory,
// or a programming error in a worker thread); that one ends it.
std::atomic_flag stoppingFromAnyThread = ATOMIC_FLAG_INIT;

// Run by stopOnce before the end; see setStopCleanup.
std::atomic<void (*)()> stopCleanup{nullptr};

void writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// May run on any thread, several at once, with other threads still working:
// it allocates nothing, unwinds nothing and runs no exit handlers (which
// would destroy what the other threads use), and returns never. text goes
// to fd and ends with its line end, unless lineEnd adds one.
[[noreturn]] void stopOnce(int fd, int status, const char* text, size_t length, bool lineEnd) {
  if (stoppingFromAnyThread.test_and_set()) {
    // Another thread is ending the run: its _Exit ends this one too.
    for (;;) pause();
  }
  // Console lines are flushed at each line end; a part line still in
  // standard output's buffer (std::cout writes through to it) goes first,
  // unless another thread holds the stream.
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  writeAll(fd, text, length);
  if (lineEnd) writeAll(fd, "\n", 1);
  if (void (*cleanup)() = stopCleanup.load()) cleanup();
  std::_Exit(status);
}

}  // namespace

void stopAfterOutput(int status) {
  // The one exit of every stop: whatever the run wrote reaches the console
  // before the process ends.
  std::cout.flush();
  std::cerr.flush();
  std::exit(status);
}

void stopWithMessage(const std::string& message, int status) {
  std::cout << message << '\n';
  stopAfterOutput(status);
}

void stopWithError(const std::string& message, int status) {
  // Lines already on standard output come first, as on a terminal.
  std::cout.flush();
  std::cerr << message << '\n';
  stopAfterOutput(status);
}

void Unimplemented() { stopWithMessage("Unimplemented()"); }

void ShouldNotReachHere() { stopWithMessage("ShouldNotReachHere()"); }

void stopOutOfMemory(const std::string& what) {
  stopWithMessage("Out of memory: cannot allocate " + what);
}

void stopFromAnyThread(const char* line) { stopOnce(STDOUT_FILENO, kExitError, line, std::strlen(line), true); }

void stopFromAnyThreadOnStandardError(const char* text, int status) {
  stopOnce(STDERR_FILENO, status, text, std::strlen(text), false);
}

void setStopCleanup(void (*cleanup)()) { stopCleanup.store(cleanup); }

// ---- Memory --------------------------------------------------------------------

namespace {

// The handler of operator new.
[[noreturn]] void stopOutOfMemoryFromAnyThread() {
  static const char kGeneralLine[] = "Out of memory: the run needs more memory than the system can give\n";
  const std::string* line = allocationLine.load();
  if (line != nullptr) stopOnce(STDOUT_FILENO, kExitError, line->data(), line->size(), false);
  stopOnce(STDOUT_FILENO, kExitError, kGeneralLine, sizeof kGeneralLine - 1, false);
}

}  // namespace

void installOutOfMemoryStop() { std::set_new_handler(stopOutOfMemoryFromAnyThread); }

AllocationName::AllocationName(const std::string& what)
    : line_("Out of memory: cannot allocate " + what + "\n"), enclosing_(allocationLine.load()) {
  allocationLine.store(&line_);
}

AllocationName::~AllocationName() { allocationLine.store(enclosing_); }

namespace {

// Blocks until the probe's creator lets go, so that all of its threads hold
// their stacks at once.
void* holdUntilReleased(void* gate) {
  std::lock_guard<std::mutex> wait(*static_cast<std::mutex*>(gate));
  return nullptr;
}

// How a team's start went: started, or why not.
enum class TeamStart { kStarted, kNoMemory, kThreadLimit };

// pthread_create says EAGAIN both when a thread's stack cannot be mapped and
// when a limit on the number of threads is reached; a stack of the same size
// mapped now, while the threads already made hold theirs, tells which.
TeamStart whyNotStarted(int error) {
  if (error != EAGAIN) return TeamStart::kNoMemory;
  pthread_attr_t attributes;
  size_t stack = 0;
  if (pthread_attr_init(&attributes) != 0) return TeamStart::kNoMemory;
  const bool sized = pthread_attr_getstacksize(&attributes, &stack) == 0 && stack > 0;
  pthread_attr_destroy(&attributes);
  if (!sized) return TeamStart::kNoMemory;
  void* probe = mmap(nullptr, stack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (probe == MAP_FAILED) return TeamStart::kNoMemory;
  munmap(probe, stack);
  return TeamStart::kThreadLimit;
}

// Whether threads - 1 threads (the team besides the calling thread) can run
// at once with the default attributes, which the OpenMP runtime uses too
// unless its stack size variables set others, and if not, why.
TeamStart startThreads(int threads) {
  std::mutex gate;
  gate.lock();
  std::vector<pthread_t> started;
  TeamStart result = TeamStart::kStarted;
  for (int t = 1; t < threads && result == TeamStart::kStarted; ++t) {
    pthread_t id;
    const int error = pthread_create(&id, nullptr, holdUntilReleased, &gate);
    if (error == 0)
      started.push_back(id);
    else
      result = whyNotStarted(error);
  }
  gate.unlock();
  for (pthread_t id : started) pthread_join(id, nullptr);
  return result;
}

}  // namespace

void reserveThreads(const sigset_t& heldInWorkers) {
  const int threads = omp_get_max_threads();
  if (threads > 1 && std::getenv("OMP_STACKSIZE") == nullptr && std::getenv("GOMP_STACKSIZE") == nullptr) {
    switch (startThreads(threads)) {
      case TeamStart::kStarted:
        break;
      case TeamStart::kNoMemory:
        stopOutOfMemory("the stacks of " + std::to_string(threads) + " threads");
      case TeamStart::kThreadLimit:
        stopWithMessage("Cannot start " + std::to_string(threads) +
                        " threads: a limit on the number of threads (ulimit -u) is reached");
    }
  }
  // The runtime keeps a team's threads for the later regions of the same
  // size, so none is created after this one. The body is a call that the
  // compiler cannot see through: an empty region is compiled away, and the
  // team would then start only in the first step, after the data took the
  // memory. The workers take the caller's signal mask when they are made;
  // blocking here too keeps them so whatever the caller holds.
#pragma omp parallel num_threads(threads)
  {
    if (omp_get_thread_num() != 0) pthread_sigmask(SIG_BLOCK, &heldInWorkers, nullptr);
  }
}

DMatrix* copyMatrix(const DMatrix& M, const std::string& what) {
  const AllocationName name(what);
  return new DMatrix(M);
}
