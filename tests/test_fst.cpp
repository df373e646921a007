// The Fst divergences and their table.
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

// ---- Fst divergences --------------------------------------------------------

TEST(Fst, WeightedAndUnweightedValues) {
  DMatrix Pm(3, 2);
  Pm(0, 0) = 0.1; Pm(0, 1) = 0.5;
  Pm(1, 0) = 0.1; Pm(1, 1) = 0.5;
  Pm(2, 0) = 0.9; Pm(2, 1) = 0.2;
  DMatrix* W = calculate_Fsts_weighted(Pm);
  DMatrix* U = calculate_Fsts_unweighted(Pm);
  // Hand-worked for populations 0 and 2.
  const double fst0 = 0.64 / (2 * (0.5 - 0.09)), w0 = 0.25;
  const double fst1 = 0.09 / (2 * (0.35 - 0.1)), w1 = 0.35 * 0.65;
  EXPECT_DOUBLE_EQ((*W)(0, 2), (w0 * fst0 + w1 * fst1) / (w0 + w1));
  EXPECT_DOUBLE_EQ((*U)(0, 2), (fst0 + fst1) / 2);
  for (size_t a = 0; a < 3; ++a) {
    EXPECT_EQ((*W)(a, a), 0.0);
    for (size_t b = 0; b < 3; ++b) {
      EXPECT_EQ((*W)(a, b), (*W)(b, a));
      EXPECT_EQ((*U)(a, b), (*U)(b, a));
    }
  }
  EXPECT_EQ((*W)(0, 1), 0.0);
  delete W;
  delete U;

  // Differences only where pbar is near 0 weigh little in the weighted form.
  DMatrix Q(2, 2);
  Q(0, 0) = 1e-5; Q(0, 1) = 0.5;
  Q(1, 0) = 1e-3; Q(1, 1) = 0.5;
  DMatrix* Wq = calculate_Fsts_weighted(Q);
  DMatrix* Uq = calculate_Fsts_unweighted(Q);
  EXPECT_LT((*Wq)(0, 1), (*Uq)(0, 1) / 10);
  delete Wq;
  delete Uq;
}

TEST(Fst, TableLayoutAndLingeringFormat) {
  struct Case {
    int k;
    std::vector<std::vector<double>> rows;
    std::string out;
  } cases[] = {
      {1, {{0.2, 0.7}}, "after 0.25\n"},
      {2, {{0.2, 0.7}, {0.2, 0.7}},
       "Fst divergences between estimated populations: \n"
       "\tPop0\t\n"
       "Pop0\t\n"
       "Pop1\t0.000\t\n"
       "after 0.250\n"},
      {3, {{0.1, 0.5}, {0.1, 0.5}, {0.9, 0.2}}, ""},  // values checked below
  };
  for (const Case& c : cases) {
    RunResult r = runInChild([&] {
      K = c.k;
      DMatrix* Pm = new DMatrix(c.k, c.rows[0].size());
      for (int k = 0; k < c.k; ++k)
        for (size_t l = 0; l < c.rows[k].size(); ++l) (*Pm)(k, l) = c.rows[k][l];
      P = Pm;
      print_Fst_matrix();
      std::cout << "after " << 0.25 << std::endl;
    });
    EXPECT_EQ(r.status, 0);
    if (c.k == 3) {
      std::vector<std::string> lines = splitLines(r.out);
      ASSERT_EQ(lines.size(), 6u);
      EXPECT_EQ(lines[1], "\tPop0\tPop1\t");
      EXPECT_EQ(lines[2], "Pop0\t");
      EXPECT_EQ(lines[3], "Pop1\t0.000\t");
      EXPECT_EQ(lines[4].substr(0, 5), "Pop2\t");
      const std::string v = lines[4].substr(5);
      EXPECT_EQ(v.size(), 12u) << v;  // two values of the form d.ddd followed by a tab
      EXPECT_EQ(v.substr(0, 6), v.substr(6, 6));  // populations 0 and 1 are identical
      EXPECT_EQ(lines[5], "after 0.250");
    } else {
      EXPECT_EQ(r.out, c.out) << "K = " << c.k;
    }
  }
}

}  // namespace
