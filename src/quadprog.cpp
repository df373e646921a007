#include "quadprog.h"

namespace {

// Checks the sizes in the order callers rely on; 0 when they agree.
int checkSizes(const DMatrix& A, const DVector& b, const DMatrix& C, const DVector& d,
               const DVector& lower, const DVector& upper, const DVector& x0,
               const DVector& x) {
  const size_t n = A.size1();
  if (A.size2() != n) return -1;
  if (b.size() != n) return -1;
  const size_t m = C.size1();
  if (m > 0 && C.size2() != n) return -1;
  if (lower.size() != n) return -1;
  if (upper.size() != n) return -1;
  if (x0.size() != n) return -1;
  if (x.size() != n) return -1;
  if (d.size() != m) return -2;
  return 0;
}

const double* arrayOf(const DMatrix& M) { return M.data().begin(); }
const double* arrayOf(const DVector& v) { return v.data().begin(); }

}  // namespace

int quadprog(const DMatrix& A, const DVector& b, const DMatrix& C, const DVector& d,
             const DVector& lower, const DVector& upper, const DVector& x0, DVector& x,
             int& status) {
  const int err = checkSizes(A, b, C, d, lower, upper, x0, x);
  if (err != 0) return err;
  const int n = static_cast<int>(A.size1());
  const int m = static_cast<int>(C.size1());
  fquadprog(arrayOf(A), arrayOf(b), m > 0 ? arrayOf(C) : nullptr, m > 0 ? arrayOf(d) : nullptr,
            arrayOf(lower), arrayOf(upper), arrayOf(x0), x.data().begin(), n, m, status);
  return 0;
}

int quadprog(const DMatrix& A, const DVector& b, const DMatrix& C, const DVector& d,
             const DVector& lower, const DVector& upper, const DVector& x0, DVector& x,
             int& status, QPWorkspace& ws) {
  const int err = checkSizes(A, b, C, d, lower, upper, x0, x);
  if (err != 0) return err;
  const int n = static_cast<int>(A.size1());
  const int m = static_cast<int>(C.size1());
  fquadprog(arrayOf(A), arrayOf(b), m > 0 ? arrayOf(C) : nullptr, m > 0 ? arrayOf(d) : nullptr,
            arrayOf(lower), arrayOf(upper), arrayOf(x0), x.data().begin(), n, m, status, ws);
  return 0;
}
