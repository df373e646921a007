#include "e2e_util.h"
#include "feasible.h"
#include "matrix_util.h"
#include "types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

// The nearest point of {sum x = 1, x >= eps} to y, by trying every set of
// entries held at eps and keeping the closest feasible candidate.
std::vector<double> bruteForceProjection(const std::vector<double>& y, double eps) {
  const size_t n = y.size();
  std::vector<double> best;
  double bestDist = std::numeric_limits<double>::infinity();
  for (unsigned mask = 0; mask + 1 < (1u << n); ++mask) {
    double freeSum = 0.0;
    size_t nFree = 0;
    for (size_t i = 0; i < n; ++i)
      if (!(mask & (1u << i))) {
        freeSum += y[i];
        ++nFree;
      }
    const double shift = (freeSum + eps * static_cast<double>(n - nFree) - 1.0) / nFree;
    std::vector<double> x(n);
    bool feasible = true;
    double dist = 0.0;
    for (size_t i = 0; i < n; ++i) {
      x[i] = (mask & (1u << i)) ? eps : y[i] - shift;
      if (x[i] < eps - 1e-12) feasible = false;
      dist += (x[i] - y[i]) * (x[i] - y[i]);
    }
    if (feasible && dist < bestDist) {
      bestDist = dist;
      best = x;
    }
  }
  return best;
}

}  // namespace

TEST(FeasibleProjection, WorkedVectors) {
  const double third = 1.0 / 3.0;
  struct Case {
    const char* name;
    std::vector<double> y;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {"one pass", {0.7, 1.0}, {0.35, 0.65}},
      {"second pass after a fix", {1.1, 0.0}, {0.9, 0.1}},
      {"all equal", {0.0, 0.0, 0.0}, {third, third, third}},
      {"every entry ends fixed", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::vector<double>(10, 0.1)},
      {"empty", {}, {}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const DVector y = vectorOf(tc.y);
    DVector out(7);
    project_onto_truncated_simplex(y, 0.1, out);
    ASSERT_EQ(out.size(), tc.expected.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_DOUBLE_EQ(out(i), tc.expected[i]) << i;
    // In place gives the same bits.
    DVector inPlace = y;
    project_onto_truncated_simplex(inPlace, 0.1, inPlace);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(inPlace(i), out(i)) << i;
    for (size_t i = 0; i < y.size(); ++i) EXPECT_EQ(y(i), tc.y[i]);
  }
}

TEST(FeasibleProjection, IsTheNearestPointOfTheTruncatedSimplex) {
  std::mt19937_64 gen(99);
  std::uniform_real_distribution<double> spread(-0.5, 1.5);
  for (int trial = 0; trial < 3000; ++trial) {
    const size_t n = 2 + static_cast<size_t>(trial % 5);
    const double eps = (trial % 3 == 0) ? kFeasibleLow : 0.05;
    std::vector<double> y(n);
    for (double& v : y) v = spread(gen);
    DVector out;
    project_onto_truncated_simplex(vectorOf(y), eps, out);
    const std::vector<double> want = bruteForceProjection(y, eps);
    ASSERT_EQ(want.size(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_NEAR(out(i), want[i], 1e-12) << "trial " << trial;
  }
}

TEST(FeasibleRepair, ClampsFrequenciesAndProjectsAncestry) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DMatrix Qt_(3, 4);
  const double cols[4][3] = {
      {0.5, 0.5, 0.0},   // a fraction at zero is lifted to the floor
      {0.6, 0.3, 0.3},   // the whole excess is taken in equal parts
      {0.2, 0.3, 0.5},   // feasible: moves at most in the last bits
      {0.2, nan, 0.8}};  // a NaN spoils the whole column
  for (size_t i = 0; i < 4; ++i)
    for (size_t k = 0; k < 3; ++k) Qt_(k, i) = cols[i][k];
  DMatrix P_(1, 6);
  const double p[6] = {1.2, -0.3, kFeasibleHigh, kFeasibleLow, 0.42, nan};
  for (size_t l = 0; l < 6; ++l) P_(0, l) = p[l];

  fix_infeasibility_problem(Qt_, P_);

  EXPECT_EQ(P_(0, 0), kFeasibleHigh);
  EXPECT_EQ(P_(0, 1), kFeasibleLow);
  EXPECT_EQ(P_(0, 2), kFeasibleHigh);
  EXPECT_EQ(P_(0, 3), kFeasibleLow);
  EXPECT_EQ(P_(0, 4), 0.42);
  EXPECT_TRUE(std::isnan(P_(0, 5)));

  EXPECT_DOUBLE_EQ(Qt_(0, 0), 0.499995);
  EXPECT_DOUBLE_EQ(Qt_(1, 0), 0.499995);
  EXPECT_EQ(Qt_(2, 0), kFeasibleLow);
  EXPECT_DOUBLE_EQ(Qt_(0, 1), 0.6 - 0.2 / 3);
  EXPECT_DOUBLE_EQ(Qt_(1, 1), 0.3 - 0.2 / 3);
  EXPECT_DOUBLE_EQ(Qt_(2, 1), 0.3 - 0.2 / 3);
  for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(Qt_(k, 2), cols[2][k], 1e-16);
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(std::isnan(Qt_(k, 3))) << k;
}

TEST(FeasibleRepair, SameAsProjectingEachColumnAlone) {
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> spread(-0.3, 1.2);
  DMatrix Qt_(4, 50), P_(4, 3);
  for (size_t k = 0; k < 4; ++k) {
    for (size_t i = 0; i < 50; ++i) Qt_(k, i) = spread(gen);
    for (size_t l = 0; l < 3; ++l) P_(k, l) = 0.5;
  }
  const DMatrix before = Qt_;
  fix_infeasibility_problem(Qt_, P_);
  for (size_t i = 0; i < 50; ++i) {
    DVector col(4), out;
    for (size_t k = 0; k < 4; ++k) col(k) = before(k, i);
    project_onto_truncated_simplex(col, kFeasibleLow, out);
    for (size_t k = 0; k < 4; ++k) ASSERT_EQ(Qt_(k, i), out(k)) << "column " << i;
  }
}

TEST(FeasibleSelfCheck, PrintsFiveProjections) {
  const RunResult r = runInChild([] { test_feasible_region_projection(); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "[2](0.9,0.1)\n\n"
            "[2](0.5,0.5)\n\n"
            "[2](0.35,0.65)\n\n"
            "[3](0.333333,0.333333,0.333333)\n\n"
            "[10](0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1)\n\n");
}
