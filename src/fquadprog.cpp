#include "fquadprog.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "stops.h"

namespace {

// A lack of memory is never mistaken for a data error: the solver ends the
// run with a status of its own and the system's description of the error.
constexpr int kExitNoMemory = 1;
constexpr const char* kWorkArrayMessage = "Memory allocation failed";
constexpr const char* kRecordMessage = "Out of memory";

// The solver may run in a worker thread, where only the stop for any thread
// may end the run; the text is formatted on the stack.
[[noreturn]] void stopNoMemory(const char* message) {
  const int err = errno != 0 ? errno : ENOMEM;
  char text[256];
  std::snprintf(text, sizeof text, "Operating system error: %s\n%s\n", std::strerror(err), message);
  stopFromAnyThreadOnStandardError(text, kExitNoMemory);
}

// Counts of doubles are summed in 64 bits; an order that no address space
// could hold saturates so that the allocation is refused, not wrapped.
constexpr size_t kTooMany = std::numeric_limits<size_t>::max();

size_t addCount(size_t a, size_t b) { return (a > kTooMany - b) ? kTooMany : a + b; }

size_t mulCount(size_t a, size_t b) {
  if (a != 0 && b > kTooMany / a) return kTooMany;
  return a * b;
}

// Doubles taken by the copies of the problem record: d, x0, upper, lower, C.
size_t recordDoubles(size_t n, size_t m) {
  return addCount(addCount(m, mulCount(3, n)), mulCount(m, n));
}

// Doubles taken by an array of count ints carved from a double block.
size_t intsAsDoubles(size_t count) {
  return addCount(count, sizeof(double) / sizeof(int) - 1) / (sizeof(double) / sizeof(int));
}

// Doubles taken by the work arrays: copies of A and b, delta, T, r, the saved
// diagonal, the sweep row buffer and the free flags.
size_t workDoubles(size_t n, size_t m) {
  const size_t N = addCount(addCount(n, m), 1);
  size_t total = mulCount(n, n);
  total = addCount(total, n);             // b
  total = addCount(total, n);             // delta
  total = addCount(total, mulCount(N, N));  // T
  total = addCount(total, m);             // r
  total = addCount(total, n);             // diag
  total = addCount(total, N);             // sweep buffer
  total = addCount(total, intsAsDoubles(n));  // free flags
  return total;
}

// malloc(0) may legitimately return null, which must not read as a failure.
double* allocateDoubles(size_t count, const char* message) {
  if (count == kTooMany || count > kTooMany / sizeof(double)) {
    errno = ENOMEM;
    stopNoMemory(message);
  }
  void* p = std::malloc(count == 0 ? sizeof(double) : count * sizeof(double));
  if (p == nullptr) stopNoMemory(message);
  return static_cast<double*>(p);
}

}  // namespace

// ---- linear_algebra --------------------------------------------------------

namespace linear_algebra {

// Rows whose pivot-row entry is below the smallest normal double are left
// alone: their update would only add denormal noise, and a NaN entry would
// spread through the whole row.
constexpr double kSmallestNormal = 2.2250738585072014e-308;

void sweep(double* a, const int& N, const int& k, const bool& inverse, double* g) {
  const size_t n = static_cast<size_t>(N);
  const size_t kk = static_cast<size_t>(k - 1);
  const double p = a[kk + kk * n];
  const double h = 1.0 / p;
  for (size_t j = 0; j < n; ++j) g[j] = a[kk + j * n];
  for (size_t j = 0; j < n; ++j) a[kk + j * n] = 0.0;
  for (size_t i = 0; i < n; ++i) a[i + kk * n] = 0.0;
  g[kk] = inverse ? 1.0 : -1.0;
  for (size_t i = 0; i < n; ++i) {
    const double gi = g[i];
    if (!(std::fabs(gi) >= kSmallestNormal)) continue;
    const double gh = gi * h;
    for (size_t j = 0; j < n; ++j) a[i + j * n] = a[i + j * n] - g[j] * gh;
  }
}

void sweep(double* a, const int& N, const int& k, const bool& inverse) {
  double* g = allocateDoubles(N > 0 ? static_cast<size_t>(N) : 0, kWorkArrayMessage);
  sweep(a, N, k, inverse, g);
  std::free(g);
}

}  // namespace linear_algebra

// ---- orvacode: the problem record -----------------------------------------

namespace orvacode {

// One call's private copy of the problem.
struct qp_problem {
  int n;
  int m;
  int N;  // tableau order n + m + 1
  double* d;
  double* x0;
  double* upper;
  double* lower;
  double* C;  // m x n, column-major
};

}  // namespace orvacode

// ---- minioptimize ------------------------------------------------------------

namespace minioptimize {

// A pivot of A smaller than this fraction of its unswept value means A is
// not positive definite for practical purposes.
constexpr double kPivotTolerance = 1e-8;
// Steps and pivots below this magnitude are rounding noise of zero.
constexpr double kNegligible = 1e-10;
// A variable this close to a bound counts as being on it.
constexpr double kBoundSlack = 1e-5;
// The 1001st change of the active set ends the solve: a cycling set would
// otherwise never stop.
constexpr int kMaxChanges = 1000;

// Column-major tableau entry, 1-based.
inline double& at(double* T, int N, int i, int j) {
  return T[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * static_cast<size_t>(N)];
}

// Fills the tableau; r (m doubles) receives the equality residual.
void set_table(const double* b, const double* A, double* T, const orvacode::qp_problem& c,
               double* r) {
  const int n = c.n;
  const int m = c.m;
  const int N = c.N;
  const size_t NN = static_cast<size_t>(N) * static_cast<size_t>(N);
  for (size_t e = 0; e < NN; ++e) T[e] = 0.0;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      at(T, N, i, j) = A[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n];
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= n; ++j) {
      const double cij = c.C[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * m];
      at(T, N, n + i, j) = cij;
      at(T, N, j, n + i) = cij;
    }
  }
  for (int i = 1; i <= n; ++i) {
    at(T, N, i, N) = -b[i - 1];
    at(T, N, N, i) = -b[i - 1];
  }
  for (int i = 1; i <= m; ++i) {
    double cx = 0.0;
    for (int j = 1; j <= n; ++j)
      cx += c.C[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * m] * c.x0[j - 1];
    r[i - 1] = c.d[i - 1] - cx;
  }
  for (int i = 1; i <= m; ++i) {
    at(T, N, n + i, N) = r[i - 1];
    at(T, N, N, n + i) = r[i - 1];
  }
}

// Sweeps the tableau and walks the active set. diag (n), isFree (n) and g (N)
// are scratch.
void qdprog(double* delta, double* T, int& status, const orvacode::qp_problem& c, double* diag,
            int* isFree, double* g) {
  const int n = c.n;
  const int m = c.m;
  const int N = c.N;
  for (int i = 0; i < n; ++i) delta[i] = 0.0;
  status = -2;
  for (int i = 1; i <= n; ++i) diag[i - 1] = at(T, N, i, i);
  for (int i = 1; i <= n; ++i) {
    if (diag[i - 1] <= 0.0) return;
    if (at(T, N, i, i) < kPivotTolerance * diag[i - 1]) return;
    linear_algebra::sweep(T, N, i, false, g);
  }
  for (int i = 0; i < n; ++i) isFree[i] = 1;
  for (int k = n + 1; k <= n + m; ++k) {
    // Swept constraint pivots of a positive definite A are negative; zero
    // means dependent or empty equality rows.
    if (at(T, N, k, k) >= 0.0) return;
    linear_algebra::sweep(T, N, k, false, g);
  }
  status = 0;

  for (;;) {
    if (n < 1) return;

    double t = 1.0;
    for (int i = 1; i <= n; ++i) {
      if (!isFree[i - 1]) continue;
      const double s = at(T, N, i, N);
      if (std::fabs(s) > kNegligible) {
        const double bound = (s > 0.0) ? c.upper[i - 1] : c.lower[i - 1];
        const double q = (bound - c.x0[i - 1] - delta[i - 1]) / s;
        if (q < t) t = q;
      }
    }

    for (int i = 1; i <= n; ++i) {
      if (!isFree[i - 1]) continue;
      const double s = at(T, N, i, N);
      delta[i - 1] = delta[i - 1] + t * s;
      const double rest = (1.0 - t) * s;
      at(T, N, i, N) = rest;
      at(T, N, N, i) = rest;
    }

    bool changed = false;
    for (int i = 1; i <= n && !changed; ++i) {
      if (!isFree[i - 1]) continue;
      if (!(std::fabs(at(T, N, i, i)) > kNegligible)) continue;
      const double xi = c.x0[i - 1] + delta[i - 1];
      if (c.lower[i - 1] >= xi - kBoundSlack || xi + kBoundSlack >= c.upper[i - 1]) {
        linear_algebra::sweep(T, N, i, true, g);
        isFree[i - 1] = 0;
        changed = true;
      }
    }

    for (int i = 1; i <= n && !changed; ++i) {
      if (isFree[i - 1]) continue;
      const double gi = at(T, N, i, N);
      const double xi = c.x0[i - 1] + delta[i - 1];
      if ((gi > 0.0 && c.lower[i - 1] >= xi - kBoundSlack) ||
          (gi < 0.0 && xi + kBoundSlack >= c.upper[i - 1])) {
        linear_algebra::sweep(T, N, i, false, g);
        isFree[i - 1] = 1;
        changed = true;
      }
    }

    if (!changed) return;
    if (status == kMaxChanges) {
      status = -1;
      return;
    }
    ++status;
  }
}

}  // namespace minioptimize

// ---- orvacode: the solve ----------------------------------------------------

namespace {

// The solve proper, on a record block and a work block sized by
// recordDoubles and workDoubles for this n and m.
void solve(const double* A, const double* b, const double* C, const double* d,
           const double* lower, const double* upper, const double* x0, double* x, int n, int m,
           int& status, double* recordBlock, double* workBlock) {
  const size_t un = static_cast<size_t>(n);
  const size_t um = static_cast<size_t>(m);
  orvacode::qp_problem c;
  c.n = n;
  c.m = m;
  c.N = n + m + 1;
  double* p = recordBlock;
  c.d = p;
  p += um;
  c.x0 = p;
  p += un;
  c.upper = p;
  p += un;
  c.lower = p;
  p += un;
  c.C = p;
  for (size_t i = 0; i < um; ++i) c.d[i] = d[i];
  for (size_t i = 0; i < un; ++i) c.x0[i] = x0[i];
  for (size_t i = 0; i < un; ++i) c.upper[i] = upper[i];
  for (size_t i = 0; i < un; ++i) c.lower[i] = lower[i];
  for (size_t e = 0; e < um * un; ++e) c.C[e] = C[e];

  const size_t uN = static_cast<size_t>(c.N);
  double* w = workBlock;
  double* Acopy = w;
  w += un * un;
  double* bcopy = w;
  w += un;
  double* delta = w;
  w += un;
  double* T = w;
  w += uN * uN;
  double* r = w;
  w += um;
  double* diag = w;
  w += un;
  double* g = w;
  w += uN;
  int* isFree = reinterpret_cast<int*>(w);
  for (size_t e = 0; e < un * un; ++e) Acopy[e] = A[e];
  for (size_t i = 0; i < un; ++i) bcopy[i] = b[i];

  status = 0;
  minioptimize::set_table(bcopy, Acopy, T, c, r);
  minioptimize::qdprog(delta, T, status, c, diag, isFree, g);
  for (size_t i = 0; i < un; ++i) x[i] = c.x0[i] + delta[i];
}

// The tableau order n + m + 1 must be an int; a larger problem could never
// be held in memory anyway.
bool orderFits(int n, int m) {
  return static_cast<int64_t>(n) + m + 1 <= std::numeric_limits<int>::max();
}

}  // namespace

QPWorkspace::QPWorkspace(int maxN, int maxM)
    : maxN_(maxN > 0 ? maxN : 0), maxM_(maxM > 0 ? maxM : 0), block_(nullptr), size_(0) {
  const size_t n = static_cast<size_t>(maxN_);
  const size_t m = static_cast<size_t>(maxM_);
  size_ = orderFits(maxN_, maxM_) ? addCount(recordDoubles(n, m), workDoubles(n, m)) : kTooMany;
  block_ = allocateDoubles(size_, kWorkArrayMessage);
}

QPWorkspace::~QPWorkspace() { std::free(block_); }

void fquadprog(const double* A, const double* b, const double* C, const double* d,
               const double* lower, const double* upper, const double* x0, double* x,
               const int& n, const int& m, int& status) {
  if (n < 0 || m < 0) {
    status = -2;
    return;
  }
  if (!orderFits(n, m)) {
    errno = ENOMEM;
    stopNoMemory(kWorkArrayMessage);
  }
  const size_t un = static_cast<size_t>(n);
  const size_t um = static_cast<size_t>(m);
  double* record = allocateDoubles(recordDoubles(un, um), kRecordMessage);
  double* work = allocateDoubles(workDoubles(un, um), kWorkArrayMessage);
  solve(A, b, C, d, lower, upper, x0, x, n, m, status, record, work);
  std::free(work);
  std::free(record);
}

void fquadprog(const double* A, const double* b, const double* C, const double* d,
               const double* lower, const double* upper, const double* x0, double* x,
               const int& n, const int& m, int& status, QPWorkspace& ws) {
  if (n < 0 || m < 0) {
    status = -2;
    return;
  }
  // Every caller sizes its workspaces for its problems on the calling thread
  // before its parallel region: a larger problem is a slip in the code, and
  // a worker thread may neither allocate nor exit.
  if (n > ws.maxN() || m > ws.maxM()) stopFromAnyThread("ShouldNotReachHere()");
  const size_t un = static_cast<size_t>(n);
  const size_t um = static_cast<size_t>(m);
  double* record = ws.block();
  solve(A, b, C, d, lower, upper, x0, x, n, m, status, record, record + recordDoubles(un, um));
}
