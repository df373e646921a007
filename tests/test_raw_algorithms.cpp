// Kernels of the estimation engine: log-likelihood, penalty and objective,
// and the EM and block-relaxation update steps.
#include "engine_fixture.h"
#include "feasible.h"
#include "matrix_util.h"
#include "options.h"
#include "raw_algorithms.h"
#include "reference_kernels.h"
#include "run_state.h"
#include "same_bits.h"
#include "starting_values.h"
#include "types.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// Each test runs on one thread unless it sets a count itself.
class RawAlgorithms : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    omp_set_num_threads(1);
  }

  // The monomorphic table as the data checks build it.
  void buildTable(const GMatrix& G) {
    mono_.resize(G.size2());
    buildMonomorphicsTable(G, mono_);
  }
};

// Synthetic data drawn from a known structure, with missing genotypes, so
// the estimates have something to find.
struct Synthetic {
  GMatrix G;
  DMatrix Qt;  // a random starting point, not the truth
  DMatrix P;
  DatasetMetadata meta;
};

void randomSimplexColumn(std::mt19937_64& rng, DMatrix& Qt, size_t i) {
  std::uniform_real_distribution<double> u(0.05, 1.0);
  double s = 0.0;
  for (size_t k = 0; k < Qt.size1(); ++k) s += (Qt(k, i) = u(rng));
  for (size_t k = 0; k < Qt.size1(); ++k) Qt(k, i) /= s;
}

Synthetic makeSynthetic(int I, int L, int K, uint64_t seed, double missingRate = 0.05) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  DMatrix Qtrue(K, I), Ptrue(K, L);
  for (int i = 0; i < I; ++i) randomSimplexColumn(rng, Qtrue, i);
  for (int l = 0; l < L; ++l)
    for (int k = 0; k < K; ++k) Ptrue(k, l) = 0.02 + 0.96 * u(rng);
  Synthetic s;
  s.G.resize(I, L);
  for (int l = 0; l < L; ++l)
    for (int i = 0; i < I; ++i) {
      double p = 0.0;
      for (int k = 0; k < K; ++k) p += Qtrue(k, i) * Ptrue(k, l);
      s.G(i, l) = u(rng) < missingRate ? kMissing : static_cast<unsigned char>((u(rng) < p) + (u(rng) < p));
    }
  s.Qt.resize(K, I);
  s.P.resize(K, L);
  for (int i = 0; i < I; ++i) randomSimplexColumn(rng, s.Qt, i);
  for (int l = 0; l < L; ++l)
    for (int k = 0; k < K; ++k) s.P(k, l) = 0.1 + 0.8 * u(rng);
  s.meta.indInfo.resize(I);
  s.meta.snpInfo.resize(L);
  return s;
}

// Marks every third individual and every second SNP haploid; a haploid call
// is 0 or 2.
void makeHaploid(Synthetic& s) {
  for (size_t i = 0; i < s.meta.indInfo.size(); i += 3) s.meta.indInfo[i].haploid = true;
  for (size_t l = 0; l < s.meta.snpInfo.size(); l += 2) s.meta.snpInfo[l].haploid = true;
  for (size_t l = 0; l < s.G.size2(); l += 2)
    for (size_t i = 0; i < s.G.size1(); i += 3)
      if (s.G(i, l) == 1) s.G(i, l) = 2;
}

GMatrix genotypes(const std::vector<std::vector<int>>& rows) {
  GMatrix G(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (size_t i = 0; i < rows.size(); ++i)
    for (size_t l = 0; l < rows[i].size(); ++l) G(i, l) = static_cast<unsigned char>(rows[i][l]);
  return G;
}

DatasetMetadata plainMeta(size_t I, size_t L) {
  DatasetMetadata meta;
  meta.indInfo.resize(I);
  meta.snpInfo.resize(L);
  return meta;
}

void expectNear(const DMatrix& a, const DMatrix& b, double tol, const std::string& what) {
  ASSERT_EQ(a.size1(), b.size1()) << what;
  ASSERT_EQ(a.size2(), b.size2()) << what;
  for (size_t c = 0; c < a.size2(); ++c)
    for (size_t r = 0; r < a.size1(); ++r) EXPECT_NEAR(a(r, c), b(r, c), tol) << what << " (" << r << ", " << c << ")";
}

enum Method { kEM, kBlock };
const char* methodName(Method m) { return m == kEM ? "EM" : "block"; }

void step(Method m, const GMatrix& G, const DMatrix& Qt, const DMatrix& P, DMatrix& Qo, DMatrix& Po,
          const DatasetMetadata& meta, const PenaltyFunction& pf = PenaltyFunction{0.0, 0.1}) {
  if (m == kEM)
    mm_iterate(G, Qt, P, Qo, Po, meta);
  else
    block_iterate(G, Qt, P, Qo, Po, pf, meta);
}

// ---- Split of a range over threads ----------------------------------------

TEST(ThreadBlock, ContiguousBlocksByTheChunkRule) {
  struct Case {
    int64_t n;
    int T;
    std::vector<std::pair<int64_t, int64_t>> blocks;
  };
  const Case cases[] = {
      {10, 4, {{0, 3}, {3, 6}, {6, 9}, {9, 10}}},
      {5, 4, {{0, 2}, {2, 4}, {4, 5}, {5, 5}}},
      {8, 4, {{0, 2}, {2, 4}, {4, 6}, {6, 8}}},
      {3, 8, {{0, 1}, {1, 2}, {2, 3}, {3, 3}, {3, 3}, {3, 3}, {3, 3}, {3, 3}}},
      {7, 1, {{0, 7}}},
      {0, 3, {{0, 0}, {0, 0}, {0, 0}}},
  };
  for (const Case& c : cases) {
    for (int t = 0; t < c.T; ++t) {
      int64_t begin = -1, end = -1;
      threadBlock(c.n, c.T, t, begin, end);
      EXPECT_EQ(begin, c.blocks[t].first) << "n " << c.n << " T " << c.T << " t " << t;
      EXPECT_EQ(end, c.blocks[t].second) << "n " << c.n << " T " << c.T << " t " << t;
    }
  }
}

// ---- Log-likelihood, penalty, objective -------------------------------------

TEST_F(RawAlgorithms, LoglikeOfSingleGenotypes) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    int g;
    double p;
    bool haploid;
    double expected;
  };
  const Case cases[] = {
      {"heterozygote", 1, 0.5, false, std::log(0.25)},
      {"homozygote 2", 2, 0.5, false, std::log(0.25)},
      {"homozygote 0", 0, 0.2, false, std::log(0.64)},
      {"haploid 2", 2, 0.5, true, std::log(0.5)},
      {"haploid 0", 0, 0.2, true, std::log(0.8)},
      {"missing", 9, 0.5, false, 0.0},
      {"not a genotype", 5, 0.5, false, 0.0},
      {"impossible call", 2, 0.0, false, -inf},
  };
  for (const Case& c : cases) {
    haploidModeEnabled = c.haploid;
    DatasetMetadata meta = plainMeta(1, 1);
    meta.indInfo[0].haploid = meta.snpInfo[0].haploid = c.haploid;
    const GMatrix G = genotypes({{c.g}});
    // Two populations mixing to the stated frequency.
    const DMatrix Qt = matrixOfColumns(2, 1, {0.5, 0.5});
    const DMatrix P = matrixOfColumns(2, 1, {c.p, c.p});
    EXPECT_DOUBLE_EQ(loglike(G, Qt, P, meta), c.expected) << c.name;
    EXPECT_DOUBLE_EQ(loglike_slow(G, Qt, P, meta), c.expected) << c.name;
  }
}

TEST_F(RawAlgorithms, LoglikeOfAllMissingIsZeroAndNaNPropagates) {
  const GMatrix G = genotypes({{9, 9, 9}, {9, 9, 9}});
  const DMatrix Qt = matrixOfColumns(1, 2, {1, 1});
  const DMatrix P = matrixOfColumns(1, 3, {0.3, 0.5, 0.7});
  const DatasetMetadata meta = plainMeta(2, 3);
  EXPECT_EQ(loglike(G, Qt, P, meta), 0.0);
  const DMatrix Pnan = matrixOfColumns(1, 3, {0.3, std::nan(""), 0.7});
  EXPECT_TRUE(std::isnan(loglike(genotypes({{0, 1, 2}, {0, 1, 2}}), Qt, Pnan, meta)));
}

TEST_F(RawAlgorithms, PenaltyAndItsGateOnTheConfiguredWeight) {
  const int I = 4;
  const GMatrix G = genotypes({{0, 1}, {1, 2}, {2, 9}, {1, 1}});
  DMatrix Qt(2, I);
  for (int i = 0; i < I; ++i) Qt(0, i) = Qt(1, i) = 0.5;
  const DMatrix P = matrixOfColumns(2, 2, {0.3, 0.6, 0.2, 0.9});
  const DatasetMetadata meta = plainMeta(I, 2);
  const double ll = loglike(G, Qt, P, meta);
  const PenaltyFunction pf{1.0, 0.1};

  // Switched off in the configuration: no penalty, whatever the argument holds.
  Options::penaltyfunction.lambda = 0.0;
  EXPECT_EQ(objective(G, Qt, P, PenaltyFunction{7.0, 0.1}, meta), ll);
  EXPECT_EQ(penalty(Qt, PenaltyFunction{7.0, 0.1}), 0.0);

  // Switched on: computed with the argument's lambda and epsilon.
  Options::penaltyfunction.lambda = 1.0;
  const double expected = I * 2 * std::log(6.0) / std::log(11.0);
  EXPECT_NEAR(penalty(Qt, pf), expected, 1e-12);
  EXPECT_NEAR(objective(G, Qt, P, pf, meta), ll - expected, 1e-12);
  EXPECT_NEAR(penalty(Qt, PenaltyFunction{3.0, 0.1}), 3 * expected, 1e-12);

  // A NaN weight counts as switched on.
  Options::penaltyfunction.lambda = std::nan("");
  EXPECT_NEAR(penalty(Qt, pf), expected, 1e-12);
}

TEST_F(RawAlgorithms, LoglikeAgreesWithReferenceFormForAnyThreadCount) {
  struct Case {
    int I, L, K;
    bool haploid;
  };
  // The first case folds the running product many times; the last has
  // fewer SNPs than threads.
  const Case cases[] = {{300, 60, 3, false}, {50, 23, 2, true}, {40, 5, 4, false}};
  for (const Case& c : cases) {
    Synthetic s = makeSynthetic(c.I, c.L, c.K, 7 + c.L);
    if (c.haploid) makeHaploid(s);
    haploidModeEnabled = c.haploid;
    const double reference = loglike_slow(s.G, s.Qt, s.P, s.meta);
    for (int threads : {1, 2, 3, 8, 13}) {
      omp_set_num_threads(threads);
      const double value = loglike(s.G, s.Qt, s.P, s.meta);
      EXPECT_NEAR(value, reference, 1e-12 * std::fabs(reference))
          << "I " << c.I << " L " << c.L << " threads " << threads;
    }
  }
}

// ---- EM step ------------------------------------------------------------------

TEST_F(RawAlgorithms, EmWithOnePopulationGivesObservedFrequencies) {
  // Individual 2 is haploid; SNPs 0 and 2 are haploid.
  const GMatrix G = genotypes({{0, 1, 2, 2}, {2, 9, 1, 0}, {2, 0, 0, 2}, {1, 2, 9, 1}});
  haploidModeEnabled = true;
  DatasetMetadata meta = plainMeta(4, 4);
  meta.indInfo[2].haploid = true;
  meta.snpInfo[0].haploid = meta.snpInfo[2].haploid = true;
  buildTable(G);
  const DMatrix Qt = matrixOfColumns(1, 4, {1, 1, 1, 1});
  const DMatrix P = matrixOfColumns(1, 4, {0.5, 0.3, 0.6, 0.8});
  DMatrix Qo, Po;
  mm_iterate(G, Qt, P, Qo, Po, meta);
  // Counted alleles over observed alleles; the haploid calls carry one.
  const double expected[] = {(0 + 2 + 1 + 1) / 7.0, (1 + 0 + 2) / 6.0, (2 + 1 + 0) / 5.0, (2 + 0 + 2 + 1) / 8.0};
  ASSERT_EQ(Po.size1(), 1u);
  ASSERT_EQ(Po.size2(), 4u);
  for (int l = 0; l < 4; ++l) EXPECT_NEAR(Po(0, l), expected[l], 1e-14) << "SNP " << l;
  ASSERT_EQ(Qo.size2(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Qo(0, i), 1.0) << "individual " << i;
}

// The straightforward EM update of Q, individual by individual, for a given P.
DMatrix emQReference(const GMatrix& G, const DMatrix& Qt, const DMatrix& P) {
  const size_t K = Qt.size1();
  DMatrix out(K, Qt.size2());
  for (size_t i = 0; i < G.size1(); ++i) {
    std::vector<double> acc(K, 0.0);
    for (size_t l = 0; l < G.size2(); ++l) {
      if (G(i, l) == kMissing) continue;
      const double g = G(i, l);
      double p = 0.0;
      for (size_t k = 0; k < K; ++k) p += Qt(k, i) * P(k, l);
      for (size_t k = 0; k < K; ++k)
        acc[k] += g * Qt(k, i) * P(k, l) / p + (2 - g) * Qt(k, i) * (1 - P(k, l)) / (1 - p);
    }
    double s = 0.0;
    for (size_t k = 0; k < K; ++k) s += acc[k];
    for (size_t k = 0; k < K; ++k) out(k, i) = acc[k] / s;
  }
  return out;
}

TEST_F(RawAlgorithms, EmFixedMatricesAreCopiedAndQUsesTheRightP) {
  // More individuals than one work tile, so tile boundaries are crossed.
  const Synthetic s = makeSynthetic(2500, 12, 3, 11);
  buildTable(s.G);
  DMatrix Qo, Po;

  Options::estimateP = false;
  mm_iterate(s.G, s.Qt, s.P, Qo, Po, s.meta);
  EXPECT_TRUE(sameBits(Po, s.P));
  expectNear(Qo, emQReference(s.G, s.Qt, s.P), 1e-12, "Q from P in");

  Options::estimateP = true;
  Options::estimateQ = false;
  DMatrix Qo2, Po2;
  mm_iterate(s.G, s.Qt, s.P, Qo2, Po2, s.meta);
  EXPECT_TRUE(sameBits(Qo2, s.Qt));
  EXPECT_FALSE(sameBits(Po2, s.P));

  // Both estimated: Q is updated with the new P.
  Options::estimateQ = true;
  DMatrix Qo3, Po3;
  mm_iterate(s.G, s.Qt, s.P, Qo3, Po3, s.meta);
  EXPECT_TRUE(sameBits(Po3, Po2));
  expectNear(Qo3, emQReference(s.G, s.Qt, Po2), 1e-12, "Q from new P");
}

TEST_F(RawAlgorithms, EmStepIncreasesTheLoglikelihood) {
  const Synthetic s = makeSynthetic(120, 80, 3, 5);
  buildTable(s.G);
  DMatrix Qt = s.Qt, P = s.P;
  double previous = loglike(s.G, Qt, P, s.meta);
  for (int it = 0; it < 8; ++it) {
    DMatrix Qo, Po;
    mm_iterate(s.G, Qt, P, Qo, Po, s.meta);
    const double next = loglike(s.G, Qo, Po, s.meta);
    EXPECT_GE(next, previous - 1e-9 * std::fabs(previous)) << "iteration " << it;
    previous = next;
    Qt = Qo;
    P = Po;
  }
}

// ---- Cases shared by both steps --------------------------------------------------

TEST_F(RawAlgorithms, MonomorphicSnpsArePinned) {
  // SNP 0 all 0, SNP 1 all 2, SNP 2 polymorphic, SNP 3 all 1.
  const GMatrix G = genotypes({{0, 2, 1, 1}, {0, 2, 0, 1}, {0, 2, 2, 1}, {0, 2, 1, 1}});
  const DMatrix Qt = matrixOfColumns(2, 4, {0.3, 0.7, 0.6, 0.4, 0.5, 0.5, 0.8, 0.2});
  const DMatrix P = matrixOfColumns(2, 4, {0.4, 0.6, 0.4, 0.6, 0.4, 0.6, 0.4, 0.6});
  const DatasetMetadata meta = plainMeta(4, 4);
  for (Method m : {kEM, kBlock}) {
    buildTable(G);
    DMatrix Qo, Po;
    step(m, G, Qt, P, Qo, Po, meta);
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(Po(k, 0), kFeasibleLow) << methodName(m);
      EXPECT_EQ(Po(k, 1), kFeasibleHigh) << methodName(m);
    }
    // A table made for other data marks SNP 3, whose first genotype is 1:
    // it gets the ordinary update, the same as when it is not marked.
    mono_(3) = 0;
    DMatrix Qm, Pm;
    step(m, G, Qt, P, Qm, Pm, meta);
    for (int k = 0; k < 2; ++k) {
      EXPECT_TRUE(std::isfinite(Pm(k, 3))) << methodName(m);
      EXPECT_EQ(Pm(k, 3), Po(k, 3)) << methodName(m);
    }
  }
}

TEST_F(RawAlgorithms, SupervisedReferenceColumnsAreKept) {
  Synthetic s = makeSynthetic(30, 40, 3, 3);
  buildTable(s.G);
  std::vector<int> labels(30, -1);
  labels[0] = 2;
  labels[7] = 0;
  labels[29] = 1;
  Options::supervised = true;
  runState_.lend(reference_pop, labels.data());
  // Reference columns off the simplex and off the bounds, which no solver
  // would return.
  s.Qt(0, 7) = 0.9;
  s.Qt(1, 7) = 0.9;
  s.Qt(2, 7) = -0.1;
  Options::penaltyfunction.lambda = 5.0;
  for (Method m : {kEM, kBlock}) {
    DMatrix Qo, Po;
    step(m, s.G, s.Qt, s.P, Qo, Po, s.meta, PenaltyFunction{5.0, 0.1});
    for (int i = 0; i < 30; ++i)
      for (int k = 0; k < 3; ++k) {
        if (labels[i] >= 0)
          EXPECT_EQ(Qo(k, i), s.Qt(k, i)) << methodName(m) << " reference " << i;
        else
          EXPECT_NE(Qo(k, i), s.Qt(k, i)) << methodName(m) << " individual " << i;
      }
  }
}

TEST_F(RawAlgorithms, ColumnsWithoutDataKeepTheirValues) {
  // SNP 1 and individual 2 have no observed genotype (a cross-validation fold).
  const GMatrix G = genotypes({{0, 9, 1, 2}, {1, 9, 2, 2}, {9, 9, 9, 9}, {2, 9, 0, 1}, {1, 9, 1, 0}});
  const DMatrix Qt = matrixOfColumns(2, 5, {0.3, 0.7, 0.6, 0.4, 0.45, 0.55, 0.8, 0.2, 0.1, 0.9});
  const DMatrix P = matrixOfColumns(2, 4, {0.4, 0.6, 0.25, 0.65, 0.4, 0.7, 0.5, 0.6});
  const DatasetMetadata meta = plainMeta(5, 4);
  buildTable(G);
  for (Method m : {kEM, kBlock}) {
    DMatrix Qo, Po;
    step(m, G, Qt, P, Qo, Po, meta);
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(Po(k, 1), P(k, 1)) << methodName(m);
      EXPECT_EQ(Qo(k, 2), Qt(k, 2)) << methodName(m);
    }
    for (double v : Po.data()) EXPECT_TRUE(std::isfinite(v)) << methodName(m);
    for (double v : Qo.data()) EXPECT_TRUE(std::isfinite(v)) << methodName(m);
  }
}

// A haploid call 2 at a haploid SNP weighs as one counted allele: two such
// calls with the same Q column move a frequency as one diploid call 2 does,
// and two such SNPs with the same P column move a fraction as one diploid
// SNP does. With the weight ignored, they would not.
TEST_F(RawAlgorithms, HaploidCallsCountOneAllele) {
  const Synthetic base = makeSynthetic(40, 60, 2, 17);
  const size_t I0 = 40, L0 = 60;
  for (Method m : {kEM, kBlock}) {
    SCOPED_TRACE(methodName(m));
    // Frequencies of SNP 0: the diploid individuals of the base, then two
    // haploid individuals with 2 and Q column (0.7, 0.3), or one diploid one.
    {
      Options::estimateQ = false;
      GMatrix Gh(I0 + 2, 1), Gd(I0 + 1, 1);
      DMatrix Qh(2, I0 + 2), Qd(2, I0 + 1);
      for (size_t i = 0; i < I0 + 2; ++i) {
        const bool extra = i >= I0;
        Gh(i, 0) = extra ? 2 : base.G(i, 0);
        Qh(0, i) = extra ? 0.7 : base.Qt(0, i);
        Qh(1, i) = extra ? 0.3 : base.Qt(1, i);
        if (i <= I0) {
          Gd(i, 0) = Gh(i, 0);
          Qd(0, i) = Qh(0, i);
          Qd(1, i) = Qh(1, i);
        }
      }
      const DMatrix P = matrixOfColumns(2, 1, {0.45, 0.55});
      DatasetMetadata mh = plainMeta(I0 + 2, 1), md = plainMeta(I0 + 1, 1);
      mh.indInfo[I0].haploid = mh.indInfo[I0 + 1].haploid = true;
      mh.snpInfo[0].haploid = true;
      DMatrix Qo, Ph, Pd, Pignored;
      haploidModeEnabled = true;
      buildTable(Gh);
      step(m, Gh, Qh, P, Qo, Ph, mh);
      buildTable(Gd);
      step(m, Gd, Qd, P, Qo, Pd, md);
      expectNear(Ph, Pd, 1e-12, "frequencies");
      haploidModeEnabled = false;
      buildTable(Gh);
      step(m, Gh, Qh, P, Qo, Pignored, mh);
      EXPECT_GT(std::fabs(Pignored(0, 0) - Pd(0, 0)), 1e-4);
      Options::estimateQ = true;
    }
    // Fractions of individual 0, haploid: the diploid SNPs of the base, then
    // two haploid SNPs with 2 and P column (0.35, 0.6), or one diploid one.
    {
      Options::estimateP = false;
      GMatrix Gh(1, L0 + 2), Gd(1, L0 + 1);
      DMatrix Ph(2, L0 + 2), Pd(2, L0 + 1);
      for (size_t l = 0; l < L0 + 2; ++l) {
        const bool extra = l >= L0;
        Gh(0, l) = extra ? 2 : base.G(0, l);
        Ph(0, l) = extra ? 0.35 : base.P(0, l);
        Ph(1, l) = extra ? 0.6 : base.P(1, l);
        if (l <= L0) {
          Gd(0, l) = Gh(0, l);
          Pd(0, l) = Ph(0, l);
          Pd(1, l) = Ph(1, l);
        }
      }
      const DMatrix Qt = matrixOfColumns(2, 1, {0.4, 0.6});
      DatasetMetadata mh = plainMeta(1, L0 + 2), md = plainMeta(1, L0 + 1);
      mh.indInfo[0].haploid = md.indInfo[0].haploid = true;
      mh.snpInfo[L0].haploid = mh.snpInfo[L0 + 1].haploid = true;
      DMatrix Po, Qh, Qd, Qignored;
      haploidModeEnabled = true;
      buildTable(Gh);
      step(m, Gh, Qt, Ph, Qh, Po, mh);
      buildTable(Gd);
      step(m, Gd, Qt, Pd, Qd, Po, md);
      expectNear(Qh, Qd, 1e-12, "fractions");
      haploidModeEnabled = false;
      buildTable(Gh);
      step(m, Gh, Qt, Ph, Qignored, Po, mh);
      EXPECT_GT(std::fabs(Qignored(0, 0) - Qd(0, 0)), 1e-4);
      Options::estimateP = true;
    }
  }
}

TEST_F(RawAlgorithms, StepsAreBitIdenticalForAnyThreadCount) {
  // Enough individuals that one thread crosses work tiles; haploid calls,
  // missing genotypes, a monomorphic SNP and the penalty all take part.
  Synthetic s = makeSynthetic(2200, 30, 3, 21);
  makeHaploid(s);
  for (size_t i = 0; i < s.G.size1(); ++i) s.G(i, 4) = 0;
  haploidModeEnabled = true;
  buildTable(s.G);
  Options::penaltyfunction.lambda = 2.0;
  const PenaltyFunction pf{2.0, 0.1};
  for (Method m : {kEM, kBlock}) {
    DMatrix Q1, P1, Q8, P8;
    omp_set_num_threads(1);
    step(m, s.G, s.Qt, s.P, Q1, P1, s.meta, pf);
    omp_set_num_threads(8);
    step(m, s.G, s.Qt, s.P, Q8, P8, s.meta, pf);
    EXPECT_TRUE(sameBits(Q1, Q8)) << methodName(m);
    EXPECT_TRUE(sameBits(P1, P8)) << methodName(m);
  }
}

// ---- Block relaxation ---------------------------------------------------------------

TEST_F(RawAlgorithms, BlockStepsWithRepairRaiseTheObjective) {
  const Synthetic s = makeSynthetic(150, 120, 3, 9);
  buildTable(s.G);
  for (double lambda : {0.0, 10.0}) {
    Options::penaltyfunction.lambda = lambda;
    const PenaltyFunction pf{lambda, 0.1};
    DMatrix Qt = s.Qt, P = s.P;
    const double start = objective(s.G, Qt, P, pf, s.meta);
    double previous = start;
    for (int it = 0; it < 10; ++it) {
      DMatrix Qo, Po;
      block_iterate(s.G, Qt, P, Qo, Po, pf, s.meta);
      fix_infeasibility_problem(Qo, Po);
      const double next = objective(s.G, Qo, Po, pf, s.meta);
      EXPECT_GT(next, previous) << "lambda " << lambda << " iteration " << it;
      previous = next;
      Qt = Qo;
      P = Po;
    }
    EXPECT_GT(previous - start, 100.0) << "lambda " << lambda;
  }
}

TEST_F(RawAlgorithms, BlockPenaltyPullsFractionsApart) {
  // With the penalty on, a column moves less towards an even mix than
  // without it; the gate is the configured weight, not the argument's.
  const Synthetic s = makeSynthetic(40, 60, 2, 13);
  buildTable(s.G);
  Options::estimateP = false;
  const PenaltyFunction pf{50.0, 0.1};
  DMatrix Qoff, Qon, Qgated, Po;
  Options::penaltyfunction.lambda = 0.0;
  block_iterate(s.G, s.Qt, s.P, Qoff, Po, PenaltyFunction{0.0, 0.1}, s.meta);
  block_iterate(s.G, s.Qt, s.P, Qgated, Po, pf, s.meta);
  EXPECT_TRUE(sameBits(Qoff, Qgated));
  Options::penaltyfunction.lambda = 50.0;
  block_iterate(s.G, s.Qt, s.P, Qon, Po, pf, s.meta);
  double spreadOff = 0.0, spreadOn = 0.0;
  for (size_t i = 0; i < Qon.size2(); ++i) {
    spreadOff += std::fabs(Qoff(0, i) - Qoff(1, i));
    spreadOn += std::fabs(Qon(0, i) - Qon(1, i));
  }
  EXPECT_GT(spreadOn, spreadOff);
}

}  // namespace
