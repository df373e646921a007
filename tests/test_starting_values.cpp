// The data checks before an estimation and the starting values drawn.
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

// ---- Data checks and starting values ------------------------------------------

// Tests of the run state's creators: each starts with no matrices, and the
// guard frees what they create.
class StartingValues : public ::testing::Test {
 protected:
  static void dropQ() {
    delete Qt;
    delete Qt_old;
    Qt = Qt_old = nullptr;
  }
  static void dropP() {
    delete P;
    delete P_old;
    P = P_old = nullptr;
  }

  // Rows are individuals; each string one individual's genotypes.
  static GMatrix genotypes(const std::vector<std::string>& rows) {
    GMatrix G(rows.size(), rows.empty() ? 0 : rows[0].size());
    for (size_t i = 0; i < rows.size(); ++i)
      for (size_t l = 0; l < rows[i].size(); ++l) G(i, l) = static_cast<unsigned char>(rows[i][l] - '0');
    return G;
  }

  RunStateGuard runState_;
};

TEST_F(StartingValues, MonomorphicTable) {
  // Columns: all 0, all 2, all 1, 0s with one missing, 0 and 2, all 2 with a missing.
  GMatrix G = genotypes({"021002", "021029", "021902"});
  BVector table(7);
  table[6] = 42;
  buildMonomorphicsTable(G, table);
  const unsigned expected[] = {0, 1, 255, 255, 255, 255, 42};
  for (size_t j = 0; j < 7; ++j) EXPECT_EQ(table[j], expected[j]) << j;

  runState_.lend(monomorphics, &table);
  EXPECT_TRUE(isMonomorphic(0));
  EXPECT_TRUE(isMonomorphic(1));
  EXPECT_FALSE(isMonomorphic(2));

  // No rows: every column equals the empty list of 2s.
  GMatrix empty(0, 3);
  BVector t3(3);
  buildMonomorphicsTable(empty, t3);
  for (size_t j = 0; j < 3; ++j) EXPECT_EQ(t3[j], 1);
}

TEST_F(StartingValues, AreEqual) {
  BVector a(2), b(2), c(3);
  a[0] = b[0] = 1;
  a[1] = b[1] = 2;
  c[0] = 1;
  c[1] = 2;
  c[2] = 3;
  EXPECT_TRUE(areEqual(a, b));
  EXPECT_FALSE(areEqual(a, c));
  EXPECT_TRUE(areEqual(BVector(0), BVector(0)));
  b[1] = 0;
  EXPECT_FALSE(areEqual(a, b));
}

TEST_F(StartingValues, PreprocessStopsOnAllMissingSnpBeforeIndividual) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;
    int rowsI, colsL;
    std::string out;
  } cases[] = {
      {"snp and individual", {"999", "919", "909"}, 3, 3,
       "Error: detected that all genotypes are missing for a SNP locus.\n"
       "Please apply quality-control filters to remove such loci.\n"},
      {"individual", {"999", "012", "210"}, 3, 3,
       "Error: detected that all genotypes are missing for an individual.\n"
       "Please apply quality-control filters to remove such individuals.\n"},
      {"no SNPs", {"", ""}, 2, 0,
       "Error: detected that all genotypes are missing for an individual.\n"
       "Please apply quality-control filters to remove such individuals.\n"},
      {"no individuals", {}, 0, 4,
       "Error: detected that all genotypes are missing for a SNP locus.\n"
       "Please apply quality-control filters to remove such loci.\n"},
  };
  for (const Case& c : cases) {
    GMatrix G = c.rows.empty() ? GMatrix(0, c.colsL) : genotypes(c.rows);
    RunResult r = runInChild([&] {
      N = &G;
      I = c.rowsI;
      L = c.colsL;
      preprocessData();
    });
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.status, 255) << c.name;
  }
}

TEST_F(StartingValues, PreprocessBuildsTheTable) {
  GMatrix G = genotypes({"0219", "0211"});
  runState_.lend(N, &G);
  I = 2;
  L = 4;
  preprocessData();
  ASSERT_NE(monomorphics, nullptr);
  ASSERT_EQ(monomorphics->size(), 4u);
  EXPECT_EQ((*monomorphics)[0], 0);
  EXPECT_EQ((*monomorphics)[1], 1);
  EXPECT_EQ((*monomorphics)[2], 255);
  EXPECT_EQ((*monomorphics)[3], 255);
}

TEST_F(StartingValues, StartingValuesComeInOrderQColumnsThenPRows) {
  K = 3;
  I = 4;
  L = 5;
  seedRand(43);
  EXPECT_TRUE(initializeQP());
  ASSERT_NE(Qt, nullptr);
  ASSERT_NE(P_old, nullptr);

  // Values computed by python3 outside the suite from the generator's
  // definition and the draw order: K uniforms per individual, each column
  // -log(u) divided by its sum (no column needed a redraw), then P row by
  // row, one uniform each. The first and last individuals, and P entries
  // that tell row order from column order.
  const struct {
    int k, i;
    double value;
  } q[] = {
      {0, 0, 0.25593632352246376}, {1, 0, 0.5989342361297866},  {2, 0, 0.14512944034774966},
      {0, 3, 0.09764384473395063}, {1, 3, 0.45450003617975776}, {2, 3, 0.4478561190862917},
  };
  for (const auto& c : q) EXPECT_DOUBLE_EQ((*Qt_old)(c.k, c.i), c.value) << c.k << "," << c.i;
  const struct {
    int k, l;
    double value;
  } p[] = {
      {0, 0, 0.25585881434111407}, {0, 1, 0.7303618067692256}, {1, 0, 0.38068509588717375},
      {2, 4, 0.3205362845974446},
  };
  for (const auto& c : p) EXPECT_EQ((*P_old)(c.k, c.l), c.value) << c.k << "," << c.l;
  for (int k = 0; k < K; ++k) {
    for (int i = 0; i < I; ++i) EXPECT_EQ((*Qt)(k, i), (*Qt_old)(k, i));
    for (int l = 0; l < L; ++l) EXPECT_EQ((*P)(k, l), (*P_old)(k, l));
  }
  EXPECT_NE(Qt, Qt_old);
  EXPECT_NE(P, P_old);
}

TEST_F(StartingValues, SupervisedReferenceColumnsDrawNothing) {
  K = 3;
  I = 3;
  L = 2;
  int refs[] = {2, -1, 0};
  runState_.lend(reference_pop, refs);
  Options::supervised = true;
  DMatrix* givenP = new DMatrix(3, 2, 0.5);
  P = givenP;
  seedRand(43);
  EXPECT_TRUE(initializeQP());
  EXPECT_EQ((*Qt)(2, 0), 1 - 2 * kFeasibleLow);
  EXPECT_EQ((*Qt)(0, 0), kFeasibleLow);
  EXPECT_EQ((*Qt)(1, 0), kFeasibleLow);
  EXPECT_EQ((*Qt)(0, 2), 1 - 2 * kFeasibleLow);
  // Only individual 1 drew: K uniforms, no more.
  seedRand(43);
  for (int k = 0; k < K; ++k) randUnif();
  const uint64_t afterOneColumn = randState();
  dropQ();
  seedRand(43);
  initializeQP();
  EXPECT_EQ(randState(), afterOneColumn);
  EXPECT_EQ(P, givenP);

  // Every individual a reference and P read: nothing drawn.
  int allRefs[] = {0, 1, 2};
  runState_.lend(reference_pop, allRefs);
  dropQ();
  EXPECT_FALSE(initializeQP());
}

TEST_F(StartingValues, WhatIsReadIsKeptAndReported) {
  K = 1;
  I = 3;
  L = 2;
  DMatrix* givenQ = new DMatrix(1, 3, 1.0);
  DMatrix* givenP = new DMatrix(1, 2, 0.5);
  Qt = givenQ;
  P = givenP;
  seedRand(43);
  EXPECT_FALSE(initializeQP());
  EXPECT_EQ(Qt, givenQ);
  EXPECT_EQ(P, givenP);
  EXPECT_EQ(Qt_old, nullptr);

  dropP();
  EXPECT_TRUE(initializeQP());
  EXPECT_EQ(Qt, givenQ);

  // K = 1: every drawn column is the single value 1.
  dropQ();
  EXPECT_TRUE(initializeQP());
  for (int i = 0; i < I; ++i) EXPECT_EQ((*Qt)(0, i), 1.0);
}

TEST_F(StartingValues, KTooLargeForRandomStartStops) {
  RunResult r = runInChild([] {
    K = 501;
    I = 2;
    L = 1;
    seedRand(43);
    initializeQP();
  });
  EXPECT_EQ(r.out, "K is too large for random starting values (at most 500 populations)\n");
  EXPECT_EQ(r.status, 255);

  // With Q read from a file nothing needs the simplex draw.
  K = 501;
  I = 2;
  L = 1;
  Qt = new DMatrix(501, 2, 1.0 / 501);
  seedRand(43);
  EXPECT_TRUE(initializeQP());
  EXPECT_EQ(P->size1(), 501u);
}

TEST_F(StartingValues, SafeDrawsStayInsideTheirBounds) {
  seedRand(43);
  for (int n = 0; n < 1000; ++n) {
    const double u = safeRandUnif(0.4);
    ASSERT_GE(u, 0.4);
    ASSERT_LE(u, 0.6);
  }
  DVector x(4);
  for (int n = 0; n < 200; ++n) {
    safeRandUnifOnSimplex(x, 4, 0.2);
    double s = 0.0;
    for (int k = 0; k < 4; ++k) {
      ASSERT_GE(x[k], 0.2);
      s += x[k];
    }
    ASSERT_NEAR(s, 1.0, 1e-12);
  }
  DVector untouched(2, -1.0);
  safeRandUnifOnSimplex(untouched, 0, kFeasibleLow);
  EXPECT_EQ(untouched[0], -1.0);
}

}  // namespace
