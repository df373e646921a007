#include "invert_matrix.h"

#include <algorithm>
#include <cstddef>

#include "stops.h"

extern "C" {
// LAPACK, Fortran calling convention: every argument by address, and a
// hidden length after the arguments for each character argument.
double dlange_(const char* norm, const int* m, const int* n, const double* a, const int* lda,
               double* work, size_t normLen);
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgecon_(const char* norm, const int* n, const double* a, const int* lda,
             const double* anorm, double* rcond, double* work, int* iwork, int* info,
             size_t normLen);
void dgetri_(const int* n, double* a, const int* lda, const int* ipiv, double* work,
             const int* lwork, int* info);
}

namespace {

// Fixed work areas of the call, sized for kMaxInvertOrder: the inversion
// never gets more workspace than there is.
constexpr int kWorkDoubles = 1000;
constexpr int kWorkInts = 100;
static_assert(4 * kMaxInvertOrder <= kWorkDoubles && kMaxInvertOrder <= kWorkInts,
              "the work areas must hold the largest order served");

}  // namespace

bool invert_matrix(const DMatrix& A, DMatrix& Ainv, double& rcond) {
  if (A.size1() > static_cast<size_t>(kMaxInvertOrder)) stopWithMessage("Inverting too-big a matrix :-(");
  // LAPACK would stop the process on an order of 0 or read past a matrix
  // with fewer columns than rows.
  if (A.size1() == 0 || A.size2() != A.size1())
    stopWithMessage("Inverting a matrix that is empty or not square");

  double work[kWorkDoubles];
  int ipiv[kWorkInts];
  int iwork[kWorkInts];
  const int n = static_cast<int>(A.size1());
  int info = 0;

  Ainv = A;
  double* a = Ainv.data().begin();
  const double anorm = dlange_("1", &n, &n, a, &n, work, 1);

  dgetrf_(&n, &n, a, &n, ipiv, &info);
  if (info != 0) return false;

  dgecon_("1", &n, a, &n, &anorm, &rcond, work, iwork, &info, 1);
  if (info != 0) return false;

  int lwork = -1;
  dgetri_(&n, a, &n, ipiv, work, &lwork, &info);
  if (info != 0) return false;

  lwork = std::min(static_cast<int>(work[0]), kWorkDoubles);
  dgetri_(&n, a, &n, ipiv, work, &lwork, &info);
  return info == 0;
}
