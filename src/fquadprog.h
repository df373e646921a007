// fquadprog: the solver unit behind quadprog. Minimises
//   1/2 (x - x0)' A (x - x0) + b' (x - x0)
// subject to C x = d (m rows) and lower <= x <= upper by sweeping a
// symmetric tableau and walking an active set over the bounds. Three
// modules: linear_algebra (sweep), orvacode (fquadprog), minioptimize
// (set_table, qdprog). Arrays are raw and column-major; nothing is kept
// between calls, so calls run concurrently when each has its own workspace.
#ifndef KELVANORE_FQUADPROG_H
#define KELVANORE_FQUADPROG_H

#include <cstddef>

// Work arrays for problems of up to maxN unknowns and maxM equality rows.
// The engine makes one per thread on the calling thread before each parallel
// region (a worker thread never allocates), and each thread reuses its own
// for every call. When the memory cannot be had, the run ends with status 1
// after "Operating system error: ..." and "Memory allocation failed" (or, for
// the copies of the problem, "Out of memory") on standard error, from any
// thread.
class QPWorkspace {
 public:
  QPWorkspace(int maxN, int maxM);
  ~QPWorkspace();
  QPWorkspace(const QPWorkspace&) = delete;
  QPWorkspace& operator=(const QPWorkspace&) = delete;

  int maxN() const { return maxN_; }
  int maxM() const { return maxM_; }
  double* block() const { return block_; }
  size_t size() const { return size_; }

 private:
  int maxN_;
  int maxM_;
  double* block_;  // every work array is carved out of this one block
  size_t size_;    // doubles in block_
};

// status: -2 failed pivot (x = x0), -1 a 1001st active-set change, else the
// number of changes. x receives x0 + delta in every case.
// This form obtains and releases its own work arrays.
void fquadprog(const double* A, const double* b, const double* C, const double* d,
               const double* lower, const double* upper, const double* x0, double* x,
               const int& n, const int& m, int& status);
// The same with caller-owned work arrays, which must fit n and m: a larger
// problem is a programming error, and ends the run (from any thread) with
// "ShouldNotReachHere()" and status 255.
void fquadprog(const double* A, const double* b, const double* C, const double* d,
               const double* lower, const double* upper, const double* x0, double* x,
               const int& n, const int& m, int& status, QPWorkspace& ws);

namespace linear_algebra {
// Sweeps the order-N column-major matrix a on pivot k (1-based); inverse
// undoes a forward sweep. g is a buffer of N doubles.
void sweep(double* a, const int& N, const int& k, const bool& inverse, double* g);
// The same with its own buffer.
void sweep(double* a, const int& N, const int& k, const bool& inverse);
}  // namespace linear_algebra

#endif
