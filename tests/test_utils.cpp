// The 32-bit platform layer, the numeric helpers and the timer.
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

// ---- Platform layer -----------------------------------------------------------

TEST(UtilsPlatform, Strtol32SaturatesAtThirtyTwoBits) {
  struct Case {
    const char* text;
    int32_t value;
    size_t consumed;
    bool range;
  } cases[] = {
      {"123", 123, 3, false},
      {"  -7x", -7, 4, false},
      {"+5", 5, 2, false},
      {"", 0, 0, false},
      {"abc", 0, 0, false},
      {"2147483647", INT32_MAX, 10, false},
      {"2147483648", INT32_MAX, 10, true},
      {"-2147483648", INT32_MIN, 11, false},
      {"-2147483649", INT32_MIN, 11, true},
      {"99999999999999999999999999", INT32_MAX, 26, true},
      {"4294967295", INT32_MAX, 10, true},
  };
  for (const Case& c : cases) {
    errno = 0;
    char* end = nullptr;
    EXPECT_EQ(strtol32(c.text, &end), c.value) << c.text;
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << c.text;
    EXPECT_EQ(errno == ERANGE, c.range) << c.text;
  }
}

TEST(UtilsPlatform, PosixBasename) {
  const std::pair<std::string, std::string> cases[] = {
      {"x.bed", "x.bed"},     {"run/set1.final.bed", "set1.final.bed"},
      {"/a/b/", "b"},         {"a//", "a"},
      {"/", "/"},             {"///", "/"},
      {"", "."},              {"run.old/set1", "set1"},
  };
  for (const auto& c : cases) EXPECT_EQ(posixBasename(c.first), c.second) << c.first;
}

// ---- Numeric helpers ----------------------------------------------------------

DMatrix twoByThree() {
  DMatrix M(2, 3);
  double x = 1.0;
  for (size_t r = 0; r < 2; ++r)
    for (size_t c = 0; c < 3; ++c) M(r, c) = x++;
  return M;
}

TEST(UtilsNumeric, FlatteningIsRowMajor) {
  const DMatrix M = twoByThree();
  DVector v(6);
  matrix_to_vector(M, v);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(v[i], i + 1.0);

  DMatrix back(2, 3);
  vector_to_matrix(v, back);
  for (size_t r = 0; r < 2; ++r)
    for (size_t c = 0; c < 3; ++c) EXPECT_EQ(back(r, c), M(r, c));
}

TEST(UtilsNumeric, RangedFlatteningStopsAtRangeOrMatrixEnd) {
  const DMatrix M = twoByThree();
  struct Case {
    size_t start, length;
    std::vector<double> expected;  // v after the copy, v starting all -1
  } cases[] = {
      {6, 4, {-1, -1, -1, -1, -1, -1, 1, 2, 3, 4, -1, -1}},
      {6, 10, {-1, -1, -1, -1, -1, -1, 1, 2, 3, 4, 5, 6}},
      {0, 0, std::vector<double>(12, -1)},
  };
  for (const Case& c : cases) {
    DVector v(c.expected.size());
    std::fill(v.begin(), v.end(), -1.0);
    // A range may not reach past the vector; clip its length as the callers do.
    const size_t len = std::min(c.length, v.size() - c.start);
    matrix_to_vector_range(M, v, Range(c.start, c.start + len));
    for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], c.expected[i]) << c.start << "," << c.length;

    DMatrix back(2, 3);
    std::fill(back.data().begin(), back.data().end(), 0.0);
    vector_range_to_matrix(v, back, Range(c.start, c.start + len));
    const size_t copied = std::min<size_t>(len, 6);
    for (size_t f = 0; f < 6; ++f)
      EXPECT_EQ(back(f / 3, f % 3), f < copied ? M(f / 3, f % 3) : 0.0);
  }
}

TEST(UtilsNumeric, MeanStddevRmse) {
  DVector x(4);
  for (size_t i = 0; i < 4; ++i) x[i] = i + 1.0;
  EXPECT_DOUBLE_EQ(mean(x), 2.5);
  EXPECT_DOUBLE_EQ(stddev(x), std::sqrt(5.0 / 3.0));

  // Welford keeps the spread of values riding on a large offset.
  DVector shifted(4);
  for (size_t i = 0; i < 4; ++i) shifted[i] = 1e9 + i + 1.0;
  EXPECT_NEAR(stddev(shifted), std::sqrt(5.0 / 3.0), 1e-6);

  DVector one(1);
  one[0] = 3.0;
  EXPECT_TRUE(std::isnan(stddev(one)));
  EXPECT_TRUE(std::isnan(mean(DVector(0))));

  const DMatrix M = twoByThree();
  EXPECT_EQ(rmse(M, M), 0.0);
  DMatrix shiftedM = M;
  shiftedM(0, 0) += 2.0;
  shiftedM(1, 2) -= 2.0;
  EXPECT_DOUBLE_EQ(rmse(M, shiftedM), std::sqrt(8.0 / 6.0));
}

TEST(UtilsNumeric, ToString) {
  EXPECT_EQ(to_string(-7), "-7");
  EXPECT_EQ(to_string(0), "0");
  EXPECT_EQ(to_string(3), "3");
  EXPECT_EQ(to_string(INT_MIN), "-2147483648");
}

TEST(UtilsNumeric, TimerReadsWholeMillisecondsWithoutReset) {
  Timer t;
  t.start();
  const double a = t.stop();
  const double b = t.stop();
  EXPECT_GE(a, 0.0);
  EXPECT_GE(b, a);
  EXPECT_LT(b, 60.0);
  EXPECT_DOUBLE_EQ(b * 1000.0, std::round(b * 1000.0));
}

}  // namespace
