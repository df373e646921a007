#include <gtest/gtest.h>

#include <string>

#include "cv.h"
#include "e2e_util.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "starting_values.h"
#include "types.h"

namespace {

// A run state of the given sizes (entries for the test to fill) and an
// unaccelerated EM configuration, for the life of the object; the guard
// frees it and puts back what was there.
struct CvRun {
  CvRun(int individuals, int snps, int populations) {
    I = individuals;
    L = snps;
    K = populations;
    N = new GMatrix(I, L);
    Qt = new DMatrix(K, I);
    P = new DMatrix(K, L);
    monomorphics = new BVector(L);
    meta.indInfo.resize(I);
    meta.snpInfo.resize(L);
    Options::method = EM;
    Options::acceleration = {NONE, 0};
    Options::penaltyfunction = {0.0, 0.1};
    Options::verbosity = 0;
    seedRand(43);
  }
  RunStateGuard runState;
  DatasetMetadata meta;
};

}  // namespace

TEST(CrossValidation, DevianceOfOneHiddenGenotype) {
  // One individual, one SNP, K = 1: with no re-fit iteration the expected
  // count is 2 p = 0.6, and the single observed genotype is the whole
  // score. Expected values by python3: 2 log(2 / 1.4), 2 log(2 / 0.6) and
  // log(1 / 0.6) + log(1 / 1.4).
  struct Case {
    int g;
    double p;
    double expected;
  } cases[] = {
      {0, 0.3, 0.7133498878774648},
      {2, 0.3, 2.4079456086518722},
      {1, 0.3, 0.17435338714477783},
  };
  for (const Case& c : cases) {
    CvRun run(1, 1, 1);
    Options::minorConvergenceCriterion = ConvergenceChecker(0);
    (*N)(0, 0) = static_cast<unsigned char>(c.g);
    (*Qt)(0, 0) = 1;
    (*P)(0, 0) = c.p;
    compute_crossvalidation_index(3, run.meta);
    EXPECT_NEAR(cvIndex, c.expected, 1e-14) << "g = " << c.g;
  }
}

TEST(CrossValidation, EveryObservedGenotypeScoredOnce) {
  // Without re-fit iterations every fold scores against the same point, so
  // the error is the mean deviance over all observed genotypes whatever the
  // fold assignment, for any number of folds.
  const int Ii = 37, Ll = 53, Kk = 2;
  CvRun run(Ii, Ll, Kk);
  for (int j = 0; j < Ll; ++j)
    for (int i = 0; i < Ii; ++i) (*N)(i, j) = (i * 7 + j * 3) % 11 == 0 ? kMissing : static_cast<unsigned char>((i + 2 * j) % 3);
  for (int i = 0; i < Ii; ++i) {
    (*Qt)(0, i) = 0.2 + 0.015 * i;
    (*Qt)(1, i) = 1 - (*Qt)(0, i);
  }
  for (int j = 0; j < Ll; ++j)
    for (int k = 0; k < Kk; ++k) (*P)(k, j) = 0.05 + 0.9 * ((7 * j + 3 * k) % 53) / 52.0;
  // The mean deviance of the 1783 observed genotypes at these Q and P,
  // computed by python3 from the same formulas for N, Q and P (math.log,
  // math.fsum); the tolerance covers another order of summation.
  const double meanDeviance = 1.257073690874008;
  Options::minorConvergenceCriterion = ConvergenceChecker(0);
  for (int folds : {1, 2, 5, 7}) {
    compute_crossvalidation_index(folds, run.meta);
    EXPECT_NEAR(cvIndex, meanDeviance, 1e-12) << folds << " folds";
  }
}

TEST(CrossValidation, HaploidCallsCountOnlyInTheDenominator) {
  CvRun run(2, 1, 1);
  (*N)(0, 0) = 2;
  (*N)(1, 0) = 0;
  (*Qt)(0, 0) = (*Qt)(0, 1) = 1;
  (*P)(0, 0) = 0.4;
  haploidModeEnabled = true;
  run.meta.indInfo[0].haploid = true;
  run.meta.snpInfo[0].haploid = true;
  Options::minorConvergenceCriterion = ConvergenceChecker(0);
  compute_crossvalidation_index(2, run.meta);
  // Only individual 1's 0 is scored, against mu = 0.8: 2 log(2 / 1.2),
  // divided by the two observed genotypes; log(5 / 3) by python3.
  EXPECT_NEAR(cvIndex, 0.5108256237659907, 1e-14);
}

TEST(CrossValidation, SameSeedSameErrorAndInputsUnchanged) {
  const int Ii = 30, Ll = 120, Kk = 2;
  CvRun run(Ii, Ll, Kk);
  seedRand(11);
  for (int j = 0; j < Ll; ++j)
    for (int i = 0; i < Ii; ++i) {
      double p = i < Ii / 2 ? 0.2 : 0.8;
      (*N)(i, j) = static_cast<unsigned char>((randUnif() < p) + (randUnif() < p));
    }
  for (int i = 0; i < Ii; ++i) {
    (*Qt)(0, i) = i < Ii / 2 ? 0.9 : 0.1;
    (*Qt)(1, i) = 1 - (*Qt)(0, i);
  }
  for (int j = 0; j < Ll; ++j) {
    (*P)(0, j) = 0.25;
    (*P)(1, j) = 0.75;
  }
  buildMonomorphicsTable(*N, *monomorphics);
  BVector table = *monomorphics;
  DMatrix q0 = *Qt, p0 = *P;
  GMatrix n0 = *N;
  Options::minorConvergenceCriterion = ConvergenceChecker(3);
  double first = 0;
  for (int rep = 0; rep < 2; ++rep) {
    seedRand(43);
    testing::internal::CaptureStdout();
    compute_crossvalidation_index(4, run.meta);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "re-fits are silent without --verbose";
    if (rep == 0) first = cvIndex;
  }
  EXPECT_EQ(cvIndex, first);
  EXPECT_GT(cvIndex, 0);
  for (int j = 0; j < Ll; ++j) {
    EXPECT_EQ((*monomorphics)(j), table(j));
    for (int k = 0; k < Kk; ++k) EXPECT_EQ((*P)(k, j), p0(k, j));
    for (int i = 0; i < Ii; ++i) EXPECT_EQ((*N)(i, j), n0(i, j));
  }
  for (int i = 0; i < Ii; ++i)
    for (int k = 0; k < Kk; ++k) EXPECT_EQ((*Qt)(k, i), q0(k, i));
}

TEST(CrossValidation, NoFoldsGivesZero) {
  CvRun run(2, 2, 1);
  cvIndex = 3;
  compute_crossvalidation_index(0, run.meta);
  EXPECT_EQ(cvIndex, 0.0);
}

// More folds than observed genotypes leave folds empty, and a count in the
// millions never finished: refused once the data are read, with the count of
// observed genotypes; as many folds as genotypes pass.
TEST(CrossValidation, FoldCountIsCheckedAgainstTheObservedGenotypes) {
  CvRun run(3, 2, 1);
  for (int j = 0; j < 2; ++j)
    for (int i = 0; i < 3; ++i) (*N)(i, j) = static_cast<unsigned char>(i);
  (*N)(1, 1) = kMissing;
  struct Case {
    int folds;
    int status;
    const char* out;
  } cases[] = {
      {2, 0, ""},
      {5, 0, ""},
      {6, 255, "Too many cross-validation folds (6): the data hold only 5 observed genotypes\n"},
      {2147483647, 255, "Too many cross-validation folds (2147483647): the data hold only 5 observed genotypes\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = runInChild([&] { check_crossvalidation_folds(c.folds); });
    EXPECT_EQ(r.status, c.status) << c.folds;
    EXPECT_EQ(r.out, c.out) << c.folds;
  }
}
