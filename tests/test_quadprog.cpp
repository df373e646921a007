#include "e2e_util.h"
#include "matrix_util.h"
#include "feasible.h"
#include "quadprog.h"
#include "same_bits.h"
#include "stops.h"
#include "types.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

DVector filled(size_t n, double value) {
  DVector v(n);
  for (size_t i = 0; i < n; ++i) v(i) = value;
  return v;
}

// The bounds every caller of the engine uses.
constexpr double kLo = kFeasibleLow;
constexpr double kHi = kFeasibleHigh;

}  // namespace

TEST(QuadprogSweep, ForwardThenInverseRestoresMatrix) {
  // Column-major (2 1; 1 3).
  double a[4] = {2, 1, 1, 3};
  linear_algebra::sweep(a, 2, 1, false);
  EXPECT_EQ(a[0], -0.5);
  EXPECT_EQ(a[1], 0.5);
  EXPECT_EQ(a[2], 0.5);
  EXPECT_EQ(a[3], 2.5);
  double g[2];
  linear_algebra::sweep(a, 2, 1, true, g);
  EXPECT_EQ(a[0], 2.0);
  EXPECT_EQ(a[1], 1.0);
  EXPECT_EQ(a[2], 1.0);
  EXPECT_EQ(a[3], 3.0);
}

TEST(QuadprogSweep, RowsWithNegligiblePivotEntryAreOnlyCleared) {
  // Row 2 has a denormal entry in the pivot column: it is zeroed there but
  // keeps its other entries untouched (no denormal update of 5).
  const double tiny = 1e-310;
  double a[4] = {2, tiny, tiny, 5};
  linear_algebra::sweep(a, 2, 1, false);
  EXPECT_EQ(a[0], -0.5);
  EXPECT_EQ(a[1], 0.0);
  EXPECT_EQ(a[3], 5.0);

  // A NaN in the pivot row: that row keeps everything but its pivot-column
  // entry instead of turning into NaN.
  const double nan = std::nan("");
  double b[9] = {2, 1, nan, 1, 3, 4, nan, 4, 6};
  linear_algebra::sweep(b, 3, 1, false);
  EXPECT_EQ(b[2], 0.0);
  EXPECT_EQ(b[5], 4.0);
  EXPECT_EQ(b[8], 6.0);
  EXPECT_EQ(b[4], 2.5);
}

struct SolveCase {
  const char* name;
  size_t n;
  size_t m;
  std::vector<double> A;  // row-major n x n
  std::vector<double> b;
  std::vector<double> C;  // row-major m x n
  std::vector<double> d;
  std::vector<double> x0;
  std::vector<double> expected;
  int status;
  double tol;  // 0: exact
};

TEST(QuadprogSolve, WorkedProblems) {
  const SolveCase cases[] = {
      {"interior step", 1, 0, {1}, {-0.2}, {}, {}, {0.5}, {0.7}, 0, 1e-15},
      // The gradient still points outward after the fix: no release.
      {"cut at upper bound", 1, 0, {1}, {-1}, {}, {}, {0.5}, {kHi}, 1, 0},
      {"zero pivot", 1, 0, {0}, {-1}, {}, {}, {0.5}, {0.5}, -2, 0},
      {"indefinite", 2, 0, {1, 2, 2, 1}, {-1, 1}, {}, {}, {0.3, 0.4}, {0.3, 0.4}, -2, 0},
      {"feasible start, no gradient", 2, 1, {1, 0, 0, 1}, {0, 0}, {1, 1}, {1}, {0.3, 0.7},
       {0.3, 0.7}, 0, 0},
      {"equality restored", 2, 1, {1, 0, 0, 1}, {0, 0}, {1, 1}, {1}, {0.2, 0.2}, {0.5, 0.5}, 0,
       1e-15},
      // Equal ratios: the lower index is fixed; its partner is held by the
      // equality (pivot below 1e-10) and is not fixed.
      {"tie keeps lower index", 2, 1, {1, 0, 0, 1}, {-1, 1}, {1, 1}, {1}, {0.5, 0.5},
       {kHi, kLo}, 1, 1e-15},
      {"three populations interior", 3, 1, {2, 0, 0, 0, 2, 0, 0, 0, 2}, {-1, 0.2, 0.4},
       {1, 1, 1}, {1}, {0.2, 0.3, 0.5}, {19.0 / 30, 4.0 / 30, 7.0 / 30},
       0, 1e-15},
      {"empty equality row", 2, 1, {1, 0, 0, 1}, {-1, 1}, {0, 0}, {1}, {0.5, 0.5},
       {0.5, 0.5}, -2, 0},
  };
  QPWorkspace ws(3, 1);
  for (const SolveCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    const DMatrix A = matrixOf(tc.n, tc.n, tc.A);
    const DMatrix C = matrixOf(tc.m, tc.n, tc.C);
    const DVector b = vectorOf(tc.b), d = vectorOf(tc.d), x0 = vectorOf(tc.x0);
    const DVector lo = filled(tc.n, kLo), hi = filled(tc.n, kHi);
    for (int form = 0; form < 2; ++form) {
      DVector x(tc.n);
      int status = 12345;
      const int rc = form == 0 ? quadprog(A, b, C, d, lo, hi, x0, x, status)
                               : quadprog(A, b, C, d, lo, hi, x0, x, status, ws);
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(status, tc.status);
      for (size_t i = 0; i < tc.n; ++i) {
        if (tc.tol == 0)
          EXPECT_EQ(x(i), tc.expected[i]) << "entry " << i;
        else
          EXPECT_NEAR(x(i), tc.expected[i], tc.tol) << "entry " << i;
      }
    }
  }
}

TEST(QuadprogSolve, SizeErrorsWriteNothing) {
  // A valid problem of two unknowns and one equality, then one argument
  // spoiled at a time.
  struct Case {
    const char* name;
    size_t An1, An2, bn, Cm, Cn, dn, lown, upn, x0n, xn;
    int rc;
  };
  const Case cases[] = {
      {"A not square", 2, 3, 2, 1, 2, 1, 2, 2, 2, 2, -1},
      {"b too long", 2, 2, 3, 1, 2, 1, 2, 2, 2, 2, -1},
      {"C columns", 2, 2, 2, 1, 3, 1, 2, 2, 2, 2, -1},
      {"lower", 2, 2, 2, 1, 2, 1, 1, 2, 2, 2, -1},
      {"upper", 2, 2, 2, 1, 2, 1, 2, 3, 2, 2, -1},
      {"x0", 2, 2, 2, 1, 2, 1, 2, 2, 0, 2, -1},
      {"x", 2, 2, 2, 1, 2, 1, 2, 2, 2, 1, -1},
      // A column-count error is found before the d error.
      {"C columns and d", 2, 2, 2, 1, 3, 2, 2, 2, 2, 2, -1},
      {"d too long", 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, -2},
      {"d without C rows", 2, 2, 2, 0, 2, 1, 2, 2, 2, 2, -2},
      // With no equality rows the column count of C does not matter.
      {"no C rows, any columns", 2, 2, 2, 0, 5, 0, 2, 2, 2, 2, 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    DMatrix A(tc.An1, tc.An2), C(tc.Cm, tc.Cn);
    A.clear();
    C.clear();
    for (size_t i = 0; i < std::min(tc.An1, tc.An2); ++i) A(i, i) = 1.0;
    for (size_t i = 0; i < tc.Cm; ++i)
      for (size_t j = 0; j < tc.Cn; ++j) C(i, j) = 1.0;
    const DVector b = filled(tc.bn, 0.0), d = filled(tc.dn, 1.0);
    const DVector lo = filled(tc.lown, kLo), hi = filled(tc.upn, kHi);
    const DVector x0 = filled(tc.x0n, 0.5);
    DVector x = filled(tc.xn, -7.0);
    int status = 12345;
    EXPECT_EQ(quadprog(A, b, C, d, lo, hi, x0, x, status), tc.rc);
    if (tc.rc != 0) {
      EXPECT_EQ(status, 12345);
      for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(x(i), -7.0);
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(x(0), 0.5);
    }
  }
}

TEST(QuadprogSolve, CyclingActiveSetStopsAfterLimit) {
  // A box narrower than the bound slack: the variable, pushed upward, is
  // fixed on reaching the upper bound but still counts as sitting on the
  // lower one with an inward gradient, so it is released, steps by nothing,
  // and is fixed again, forever.
  const DMatrix A = matrixOf(1, 1, {1});
  const DMatrix C(0, 1);
  const DVector b = vectorOf({-1}), d(0), lo = vectorOf({0.5}), hi = vectorOf({0.5 + 1e-6});
  const DVector x0 = vectorOf({0.5});
  DVector x(1);
  int status = 0;
  ASSERT_EQ(quadprog(A, b, C, d, lo, hi, x0, x, status), 0);
  EXPECT_EQ(status, -1);
  EXPECT_NEAR(x(0), 0.5 + 1e-6, 1e-15);
}

namespace {

struct RandomProblem {
  int n, m;
  std::vector<double> A, b, C, d, lo, hi, x0;
};

// Random SPD problems of the engine's two shapes: frequency rows (no
// equality) and ancestry rows (sum to one), starting from a feasible point.
std::vector<RandomProblem> randomProblems(int count) {
  std::mt19937_64 gen(20240611);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<RandomProblem> problems(static_cast<size_t>(count));
  for (int p = 0; p < count; ++p) {
    RandomProblem& q = problems[static_cast<size_t>(p)];
    q.n = 2 + p % 5;
    q.m = (p / 5) % 2;
    const size_t n = static_cast<size_t>(q.n);
    std::vector<double> B(n * n);
    for (double& v : B) v = 2.0 * unit(gen) - 1.0;
    q.A.assign(n * n, 0.0);
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < n; ++j) {
        double s = (i == j) ? 0.05 : 0.0;
        for (size_t k = 0; k < n; ++k) s += B[i + k * n] * B[j + k * n];
        q.A[i + j * n] = s;
      }
    // Large enough gradients to drive many variables onto their bounds.
    q.b.resize(n);
    for (double& v : q.b) v = 6.0 * unit(gen) - 3.0;
    q.lo.assign(n, kLo);
    q.hi.assign(n, kHi);
    q.x0.resize(n);
    if (q.m == 1) {
      double sum = 0.0;
      for (double& v : q.x0) sum += (v = unit(gen) + 0.01);
      for (double& v : q.x0) v /= sum;
      q.C.assign(n, 1.0);
      q.d.assign(1, 1.0);
    } else {
      for (double& v : q.x0) v = 0.01 + 0.98 * unit(gen);
    }
  }
  return problems;
}

struct Answer {
  std::vector<double> x;
  int status = 0;
};

Answer solveOne(const RandomProblem& q, QPWorkspace* ws) {
  Answer a;
  a.x.assign(static_cast<size_t>(q.n), 0.0);
  const double* C = q.m ? q.C.data() : nullptr;
  const double* d = q.m ? q.d.data() : nullptr;
  if (ws)
    fquadprog(q.A.data(), q.b.data(), C, d, q.lo.data(), q.hi.data(), q.x0.data(), a.x.data(),
              q.n, q.m, a.status, *ws);
  else
    fquadprog(q.A.data(), q.b.data(), C, d, q.lo.data(), q.hi.data(), q.x0.data(), a.x.data(),
              q.n, q.m, a.status);
  return a;
}

void expectSameAnswers(const std::vector<Answer>& got, const std::vector<Answer>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t p = 0; p < got.size(); ++p) {
    ASSERT_EQ(got[p].status, want[p].status) << "problem " << p;
    ASSERT_TRUE(sameBits(got[p].x, want[p].x)) << "problem " << p;
  }
}

}  // namespace

TEST(QuadprogThreads, EightThreadsAndBothFormsAgreeBitForBit) {
  const std::vector<RandomProblem> problems = randomProblems(6000);
  const int count = static_cast<int>(problems.size());

  std::vector<Answer> reference(problems.size());
  for (int p = 0; p < count; ++p) reference[p] = solveOne(problems[p], nullptr);

  // The problems must exercise the active set, or the comparison proves
  // little.
  int withChanges = 0;
  for (const Answer& a : reference) withChanges += a.status > 0;
  ASSERT_GT(withChanges, count / 4);

  std::vector<Answer> serialWs(problems.size());
  {
    QPWorkspace ws(6, 1);
    for (int p = 0; p < count; ++p) serialWs[p] = solveOne(problems[p], &ws);
  }
  expectSameAnswers(serialWs, reference);

  std::vector<Answer> parallel(problems.size());
#pragma omp parallel num_threads(8)
  {
    QPWorkspace ws(6, 1);
#pragma omp for schedule(dynamic, 7)
    for (int p = 0; p < count; ++p) parallel[p] = solveOne(problems[p], &ws);
  }
  expectSameAnswers(parallel, reference);

  std::vector<Answer> parallelSelf(problems.size());
#pragma omp parallel for num_threads(8) schedule(static)
  for (int p = 0; p < count; ++p) parallelSelf[p] = solveOne(problems[p], nullptr);
  expectSameAnswers(parallelSelf, reference);
}

// No caller gives the solver a workspace too small for its problem: one
// would be a slip in the code, which ends the run with the line of the
// other programming-error stops and status 255, without allocating or
// running exit handlers (which a worker thread must not). Threads that meet
// it at once write one line between them. std::threads stand in for the
// worker threads: an OpenMP team does not survive the fork.
TEST(QuadprogThreads, TooSmallWorkspaceIsAProgrammingError) {
  const std::vector<RandomProblem> problems = randomProblems(40);
  const RandomProblem* unknowns = nullptr;  // n = 3, m = 0
  const RandomProblem* rows = nullptr;      // n = 3, m = 1
  for (const RandomProblem& q : problems) {
    if (q.n == 3 && q.m == 0 && !unknowns) unknowns = &q;
    if (q.n == 3 && q.m == 1 && !rows) rows = &q;
  }
  ASSERT_TRUE(unknowns && rows);
  struct Case {
    const char* name;
    const RandomProblem* problem;
    int maxN, maxM, threads;
  };
  const Case cases[] = {
      {"too many unknowns", unknowns, 2, 0, 1},
      {"too many equality rows", rows, 3, 0, 1},
      {"eight threads at once", rows, 2, 1, 8},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const RunResult r = runInChild([&tc] {
      std::atexit([] { std::fputs("exit handlers ran\n", stdout); });
      std::cout << "before" << std::endl;
      std::atomic<int> ready{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < tc.threads; ++t)
        threads.emplace_back([&tc, &ready] {
          QPWorkspace ws(tc.maxN, tc.maxM);
          ++ready;
          while (ready.load() < tc.threads) {
          }
          solveOne(*tc.problem, &ws);
        });
      for (std::thread& t : threads) t.join();
      std::cout << "solved" << std::endl;
    });
    EXPECT_EQ(r.out, "before\nShouldNotReachHere()\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
  }
}

// The solver's own arrays come from malloc; memory that cannot be had ends
// the run as every allocation does: one line, named while an
// AllocationName lives, and status 255.
namespace {

const std::string kNoMemoryLine = std::string("Operating system error: ") + std::strerror(ENOMEM);

}  // namespace

// The solver's lack of memory is its own stop: two lines on standard error
// and status 1, whether an AllocationName is in force or not.
TEST(QuadprogMemory, WorkspaceTooLargeEndsWithStatusOne) {
  const std::function<void()> bodies[] = {
      [] { QPWorkspace ws(INT_MAX - 1, 0); },
      [] {
        const AllocationName name("the solver's work space");
        QPWorkspace ws(INT_MAX - 1, 0);
      },
  };
  for (const auto& body : bodies) {
    const RunResult r = runInChild(body);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kNoMemoryLine + "\nMemory allocation failed\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(QuadprogMemory, RecordAndWorkArraysNameWhatFailed) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "address-space limits do not mix with the sanitizer's shadow memory";
#else
  // One unknown and many equality rows: the record copies (about 2 m
  // doubles, 80 MB, more than a malloc arena heap can hold, so no other
  // arena can serve them) come before the tableau ((m + 2)^2 doubles, far
  // beyond any machine), so the address-space headroom decides which fails.
  struct Case {
    const char* name;
    uint64_t headroom;
    const char* message;
  };
  const Case cases[] = {
      {"record copies", 16u << 20, "Out of memory"},
      {"tableau", 256u << 20, "Memory allocation failed"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const RunResult r = runInChild([&tc] {
      const int m = 5000000;
      std::vector<double> C(static_cast<size_t>(m), 1.0), d(static_cast<size_t>(m), 1.0);
      const double A = 1.0, b = 0.0, lo = kLo, hi = kHi, x0 = 0.5;
      double x = 0.0;
      int status = 0;
      limitThisProcess(RLIMIT_AS, addressSpaceInUse() + tc.headroom);
      fquadprog(&A, &b, C.data(), d.data(), &lo, &hi, &x0, &x, 1, m, status);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kNoMemoryLine + "\n" + tc.message + "\n");
    EXPECT_EQ(r.out, "");
  }
#endif
}
