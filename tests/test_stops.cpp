// The stops: their lines and statuses, the out-of-memory layer, the thread team.
#include "dir_util.h"
#include "e2e_util.h"
#include "feasible.h"
#include "fst.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "starting_values.h"
#include "stops.h"
#include "types.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- Stops --------------------------------------------------------------------

TEST(Stops, EachStopPrintsItsLineAndStatus) {
  struct Case {
    const char* name;
    std::function<void()> body;
    std::string out, err;
    int status;
  } cases[] = {
      {"Unimplemented", [] { std::cout << "before" << std::endl; Unimplemented(); },
       "before\nUnimplemented()\n", "", 255},
      {"ShouldNotReachHere", [] { ShouldNotReachHere(); }, "ShouldNotReachHere()\n", "", 255},
      {"stopOutOfMemory", [] { stopOutOfMemory("the Q matrix"); },
       "Out of memory: cannot allocate the Q matrix\n", "", 255},
      // A part line still buffered goes first.
      {"stopFromAnyThread", [] { std::cout << "partial "; stopFromAnyThread("ShouldNotReachHere()"); },
       "partial ShouldNotReachHere()\n", "", 255},
      {"stopWithMessage", [] { stopWithMessage("done", 3); }, "done\n", "", 3},
      {"stopWithError", [] { std::cout << "partial"; stopWithError("bad"); }, "partial", "bad\n", 255},
  };
  for (const Case& c : cases) {
    RunResult r = runInChild(c.body);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
  }
}

// An allocation that cannot be had ends the run through the one handler:
// named while an AllocationName lives (the innermost one), else the run's
// general line.
TEST(Stops, FailedAllocationStopsWithTheNameInForce) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's allocator reports an impossible size itself";
#endif
  // More than any address space holds: the allocation fails at once. The
  // pointer is kept where the compiler cannot drop the allocation.
  static char* volatile kept = nullptr;
  const auto allocateImpossible = [] {
    kept = new char[size_t(1) << 60];
    std::cout << "allocated " << static_cast<void*>(kept) << std::endl;
  };
  struct Case {
    const char* name;
    std::function<void()> body;
    std::string out;
  } cases[] = {
      {"named", [&] {
         const AllocationName outer("the genotype matrix (4 x 5)");
         allocateImpossible();
       },
       "Out of memory: cannot allocate the genotype matrix (4 x 5)\n"},
      {"innermost name", [&] {
         const AllocationName outer("the dataset description");
         {
           const AllocationName inner("the starting Q matrix");
           allocateImpossible();
         }
       },
       "Out of memory: cannot allocate the starting Q matrix\n"},
      {"name out of scope", [&] {
         { const AllocationName done("the monomorphic SNP table"); }
         allocateImpossible();
       },
       "Out of memory: the run needs more memory than the system can give\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = runInChild([&] {
      installOutOfMemoryStop();
      c.body();
    });
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 255);
  }
}

// Threads that run out of memory at the same moment: one of them stops the
// run, with the one line of the name in force and status 255; the others
// neither print nor abort (the stop must not unwind or run exit handlers
// under them). Repeated, because the fault showed in about half the runs.
// Where the compiler cannot drop an allocation that is never read.
char* volatile keptBlock = nullptr;

TEST(Stops, OutOfMemoryInSeveralThreadsAtOnceIsOneLine) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's allocator reports an impossible size itself";
#endif
  constexpr int kThreads = 8;
  const char* const lines[] = {"Out of memory: cannot allocate the test's blocks\n",
                               "Out of memory: the run needs more memory than the system can give\n"};
  for (int run = 0; run < 12; ++run) {
    const bool named = run % 2 == 0;
    SCOPED_TRACE(testing::Message() << "run " << run);
    const RunResult r = runInChild([named] {
      installOutOfMemoryStop();
      std::cout << "before" << std::endl;
      const auto allocateInThreads = [] {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
          threads.emplace_back([&ready] {
            ++ready;
            while (ready.load() < kThreads) {
            }
            keptBlock = new char[size_t(1) << 60];
          });
        for (std::thread& t : threads) t.join();
      };
      if (named) {
        const AllocationName name("the test's blocks");
        allocateInThreads();
      } else {
        allocateInThreads();
      }
    });
    EXPECT_EQ(r.out, std::string("before\n") + lines[named ? 0 : 1]);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
  }
}

// A run on eight threads under limits on its memory meets the run's own
// out-of-memory line, never the OpenMP runtime's exit (status 1, its line
// on standard error). The thread stacks are the runtime's defaults.
TEST(Stops, RunsUnderMemoryLimitsMeetTheRunsOwnLine) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#endif
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::vector<ResourceLimit> limits;
    bool mayFinish;        // a run that fits may end normally
    std::string lastLine;  // of a run that stops, or what it starts with
    bool exact;
  };
  const Case cases[] = {
      // A stack limit of 1 GB makes every thread's default stack 1 GB, so
      // seven workers need 7 GB where 3 GB may be had, while the run itself
      // needs far less: the team's stacks are refused at start-up, not at
      // the first parallel region.
      {"stacks that do not fit", {}, {{RLIMIT_STACK, uint64_t(1) << 30}, {RLIMIT_AS, uint64_t(3) << 30}}, false,
       "Out of memory: cannot allocate the stacks of 8 threads", true},
      // The tight `ulimit -v` (76000 KiB) that once ended the run with the
      // runtime's "Thread creation failed".
      {"tight address space", {"-C", "3"}, {{RLIMIT_AS, uint64_t(76000) * 1024}}, true, "Out of memory: ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> args = {"-j8", testData("sim3.bed"), "3"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult r = runKelvanoreWithLimits(args, c.limits, dir.path(), {"OMP_STACKSIZE", "GOMP_STACKSIZE"}, 120);
    EXPECT_EQ(r.err, "");
    if (c.mayFinish && r.status == 0) continue;
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    const std::string last = lastLine(r.out);
    if (c.exact) {
      EXPECT_EQ(last, c.lastLine) << r.out;
    } else {
      EXPECT_EQ(last.rfind(c.lastLine, 0), 0u) << r.out;
    }
  }
}

// A team that a limit on the number of threads stops (pthread_create says
// EAGAIN, as it does for a stack it cannot map, while memory is there) is
// not reported as a lack of memory.
TEST(Stops, ThreadLimitIsNotALackOfMemory) {
  TempDir dir;
  const RunResult r = runKelvanoreWithEnvironment(
      {"-j4", testData("sim3.bed"), "3"},
      withFileSystemShim({"KELVANORE_SHIM_NO_THREADS=1", "OMP_STACKSIZE", "GOMP_STACKSIZE"}), dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(lastLine(r.out), "Cannot start 4 threads: a limit on the number of threads (ulimit -u) is reached")
      << r.out;
  EXPECT_EQ(r.out.find("Size of G"), std::string::npos);
}

// The team is started by reserveThreads itself, not by the first step: its
// region must survive the Release build's optimiser (an empty one did not,
// and a tight `ulimit -v` then ended the run with the OpenMP runtime's
// "Thread creation failed" and status 1). Every worker holds back the
// signals it is given; the calling thread keeps its own mask.
TEST(Stops, ReserveThreadsStartsTheTeamWithTheSignalsHeld) {
  const RunResult r = runInChild([] {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    omp_set_num_threads(4);
    reserveThreads(held);
    // Each thread's mask, as /proc shows it in hexadecimal.
    const unsigned long bits = (1UL << (SIGTERM - 1)) | (1UL << (SIGHUP - 1));
    int workers = 0, holding = 0;
    for (const std::string& task : namesIn("/proc/self/task")) {
      if (task == std::to_string(getpid())) continue;
      ++workers;
      const std::string status = readFile("/proc/self/task/" + task + "/status");
      const size_t at = status.find("SigBlk:");
      if (at != std::string::npos && (std::stoul(status.substr(at + 7), nullptr, 16) & bits) == bits) ++holding;
    }
    sigset_t own;
    pthread_sigmask(SIG_SETMASK, nullptr, &own);
    std::cout << workers << " " << holding << " " << sigismember(&own, SIGTERM) << std::endl;
  });
  EXPECT_EQ(r.out, "3 3 0\n");
}

}  // namespace
