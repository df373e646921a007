#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "cv.h"
#include "e2e_util.h"
#include "options.h"

namespace {

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
  // The suites share one process when run together: leave the
  // configuration as the static defaults had it.
  ~CvRun() {
    delete N;
    delete Qt;
    delete P;
    delete monomorphics;
    N = nullptr;
    Qt = nullptr;
    P = nullptr;
    monomorphics = nullptr;
    Options::method = BLOCK;
    Options::acceleration = {QUASI_NEWTON, 3};
    Options::minorConvergenceCriterion = ConvergenceChecker(3);
  }
  DatasetMetadata meta;
};

double deviance(int g, double mu) {
  double t = 0;
  if (g != 0) t += g * std::log(g / mu);
  if (g != 2) t += (2 - g) * std::log((2 - g) / (2 - mu));
  return t;
}

}  // namespace

TEST(CrossValidation, DevianceOfOneHiddenGenotype) {
  // One individual, one SNP, K = 1: with no re-fit iteration the expected
  // count is 2 p, and the single observed genotype is the whole score.
  struct Case {
    int g;
    double p;
    double expected;
  } cases[] = {
      {0, 0.3, 2 * std::log(2 / (2 - 0.6))},
      {2, 0.3, 2 * std::log(2 / 0.6)},
      {1, 0.3, std::log(1 / 0.6) + std::log(1 / (2 - 0.6))},
  };
  Options::minorConvergenceCriterion = ConvergenceChecker(0);
  for (const Case& c : cases) {
    CvRun run(1, 1, 1);
    (*N)(0, 0) = static_cast<unsigned char>(c.g);
    (*Qt)(0, 0) = 1;
    (*P)(0, 0) = c.p;
    compute_crossvalidation_index(nullptr, 3, run.meta);
    EXPECT_NEAR(cvIndex, c.expected, 1e-14) << "g = " << c.g;
  }
}

TEST(CrossValidation, EveryObservedGenotypeScoredOnce) {
  // Without re-fit iterations every fold scores against the same point, so
  // the error is the mean deviance over all observed genotypes whatever the
  // fold assignment, for any number of folds.
  const int Ii = 37, Ll = 53, Kk = 2;
  CvRun run(Ii, Ll, Kk);
  seedRand(5);
  for (int j = 0; j < Ll; ++j)
    for (int i = 0; i < Ii; ++i) (*N)(i, j) = (i * 7 + j * 3) % 11 == 0 ? kMissing : static_cast<unsigned char>((i + 2 * j) % 3);
  for (int i = 0; i < Ii; ++i) {
    (*Qt)(0, i) = 0.2 + 0.6 * randUnif();
    (*Qt)(1, i) = 1 - (*Qt)(0, i);
  }
  for (int j = 0; j < Ll; ++j)
    for (int k = 0; k < Kk; ++k) (*P)(k, j) = 0.05 + 0.9 * randUnif();
  double sum = 0;
  long count = 0;
  for (int i = 0; i < Ii; ++i)
    for (int j = 0; j < Ll; ++j) {
      if ((*N)(i, j) == kMissing) continue;
      double mu = 2 * ((*Qt)(0, i) * (*P)(0, j) + (*Qt)(1, i) * (*P)(1, j));
      sum += deviance((*N)(i, j), mu);
      ++count;
    }
  Options::minorConvergenceCriterion = ConvergenceChecker(0);
  for (int folds : {1, 2, 5, 7}) {
    compute_crossvalidation_index(nullptr, folds, run.meta);
    EXPECT_NEAR(cvIndex, sum / count, 1e-12) << folds << " folds";
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
  compute_crossvalidation_index(nullptr, 2, run.meta);
  haploidModeEnabled = false;
  EXPECT_NEAR(cvIndex, deviance(0, 0.8) / 2, 1e-14);
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
    compute_crossvalidation_index(nullptr, 4, run.meta);
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
  compute_crossvalidation_index(nullptr, 0, run.meta);
  EXPECT_EQ(cvIndex, 0.0);
}
