#include "e2e_util.h"
#include "invert_matrix.h"
#include "matrix_util.h"
#include "types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

TEST(InvertMatrix, SmallExamples) {
  DMatrix Ainv;
  double rcond = -1.0;
  ASSERT_TRUE(invert_matrix(matrixOf(1, 1, {4}), Ainv, rcond));
  ASSERT_EQ(Ainv.size1(), 1u);
  ASSERT_EQ(Ainv.size2(), 1u);
  EXPECT_EQ(Ainv(0, 0), 0.25);
  EXPECT_EQ(rcond, 1.0);

  rcond = -1.0;
  const DMatrix A = matrixOf(2, 2, {4, 7, 2, 6});
  ASSERT_TRUE(invert_matrix(A, Ainv, rcond));
  const double want[2][2] = {{0.6, -0.7}, {-0.2, 0.4}};
  for (size_t r = 0; r < 2; ++r)
    for (size_t c = 0; c < 2; ++c) EXPECT_NEAR(Ainv(r, c), want[r][c], 1e-15) << r << c;
  EXPECT_GT(rcond, 0.0);
  EXPECT_LT(rcond, 1.0);
  // The input is left as it was.
  EXPECT_EQ(A(0, 1), 7.0);
}

// The reciprocal condition number is that of the one-norm, 1 / (|A|_1
// |A^-1|_1), which for these small matrices the estimate reaches exactly.
// The lower-triangular one is not symmetric, and its largest column sum (5)
// and largest row sum (4) differ, as do those of its inverse, with rows
// (1/4 0 0), (-1/8 1/2 0), (1/8 -1/2 1): 1 and 13/8. In the infinity norm
// its rcond would be 1 / (4 13/8) = 0.1538...; of a 2 x 2 matrix both norms
// give the same.
TEST(InvertMatrix, ConditionIsOfTheOneNorm) {
  struct Case {
    size_t n;
    std::vector<double> rowMajor;
    double rcond;  // 1 / (|A|_1 |A^-1|_1)
  };
  const Case cases[] = {
      {3, {4, 0, 0, 1, 2, 0, 0, 1, 1}, 1.0 / (5.0 * 1.0)},
      {2, {4, 7, 2, 6}, 1.0 / (13.0 * 1.1)},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.n);
    DMatrix Ainv;
    double rcond = -1.0;
    ASSERT_TRUE(invert_matrix(matrixOf(tc.n, tc.n, tc.rowMajor), Ainv, rcond));
    EXPECT_DOUBLE_EQ(rcond, tc.rcond);
  }
}

TEST(InvertMatrix, SingularLeavesConditionUnwritten) {
  DMatrix Ainv;
  double rcond = 0.125;
  EXPECT_FALSE(invert_matrix(matrixOf(2, 2, {1, 2, 2, 4}), Ainv, rcond));
  EXPECT_EQ(rcond, 0.125);
}

TEST(InvertMatrix, NearlySingularIsInvertedWithSmallCondition) {
  DMatrix Ainv;
  double rcond = -1.0;
  EXPECT_TRUE(invert_matrix(matrixOf(2, 2, {1, 1, 1, 1 + 1e-12}), Ainv, rcond));
  EXPECT_GT(rcond, 0.0);
  EXPECT_LT(rcond, 1e-10);
}

TEST(InvertMatrix, LargestOrderInverts) {
  const size_t n = 99;
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  DMatrix A(n, n);
  for (size_t r = 0; r < n; ++r)
    for (size_t c = 0; c < n; ++c) A(r, c) = unit(gen) + (r == c ? 10.0 : 0.0);
  DMatrix Ainv;
  double rcond = -1.0;
  ASSERT_TRUE(invert_matrix(A, Ainv, rcond));
  EXPECT_GT(rcond, 0.0);
  EXPECT_LE(rcond, 1.0);
  const DMatrix product = ublas::prod(A, Ainv);
  double worst = 0.0;
  for (size_t r = 0; r < n; ++r)
    for (size_t c = 0; c < n; ++c)
      worst = std::max(worst, std::fabs(product(r, c) - (r == c ? 1.0 : 0.0)));
  EXPECT_LT(worst, 1e-12);
}

// A matrix the inversion cannot take ends the run with its line: one above
// the largest order, and one that LAPACK would stop the process on (an
// order of 0) or read past (fewer columns than rows).
TEST(InvertMatrix, MatricesItCannotTakeEndTheRun) {
  struct Case {
    const char* name;
    DMatrix A;
    const char* out;
  };
  const Case cases[] = {
      {"order above the limit", ublas::identity_matrix<double>(100), "Inverting too-big a matrix :-(\n"},
      {"not square", ublas::zero_matrix<double>(3, 2), "Inverting a matrix that is empty or not square\n"},
      {"empty", DMatrix(0, 0), "Inverting a matrix that is empty or not square\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = runInChild([&c] {
      DMatrix Ainv;
      double rcond = 0.0;
      invert_matrix(c.A, Ainv, rcond);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, c.out);
  }
}
