// The fast engine kernels against their plain scalar forms: the same columns
// and the same log-likelihood bit for bit on random data, whatever the shape,
// the lane tails, the thread count and the run settings.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "options.h"
#include "raw_algorithms.h"
#include "reference_kernels.h"
#include "same_bits.h"
#include "utils.h"

namespace {

class Kernels : public EngineFixture {
 protected:
  std::vector<int> ref_;
};

struct Data {
  GMatrix G;
  DMatrix Qt;
  DMatrix P;
  DatasetMetadata meta;
};

// Random genotypes, Q and P, with missing calls, a few monomorphic SNPs and
// (on request) haploid individuals and SNPs whose haploid calls are 0 or 2.
Data makeData(int I, int L, int K, uint64_t seed, bool haploid) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Data d;
  d.G.resize(I, L);
  d.Qt.resize(K, I);
  d.P.resize(K, L);
  for (int i = 0; i < I; ++i) {
    double s = 0.0;
    for (int k = 0; k < K; ++k) s += (d.Qt(k, i) = 0.01 + u(rng));
    for (int k = 0; k < K; ++k) d.Qt(k, i) /= s;
  }
  for (int l = 0; l < L; ++l)
    for (int k = 0; k < K; ++k) d.P(k, l) = 0.001 + 0.998 * u(rng);
  for (int l = 0; l < L; ++l)
    for (int i = 0; i < I; ++i) d.G(i, l) = u(rng) < 0.07 ? kMissing : static_cast<unsigned char>(rng() % 3);
  // Monomorphic columns of both kinds, one with a missing call.
  if (L > 3) {
    for (int i = 0; i < I; ++i) d.G(i, 1) = 0;
    for (int i = 0; i < I; ++i) d.G(i, L - 2) = 2;
    if (I > 2) d.G(2, L - 2) = kMissing;
  }
  d.meta.indInfo.resize(I);
  d.meta.snpInfo.resize(L);
  if (haploid) {
    for (int i = 0; i < I; i += 3) d.meta.indInfo[i].haploid = true;
    for (int l = 0; l < L; l += 2) d.meta.snpInfo[l].haploid = true;
    for (int l = 0; l < L; l += 2)
      for (int i = 0; i < I; i += 3)
        if (d.G(i, l) == 1) d.G(i, l) = 2;
  }
  return d;
}

struct Case {
  const char* name;
  int I, L, K;
  bool haploid;
  bool supervised;
  double lambda;
  bool estimateP, estimateQ;
  int threads;
};

// Shapes around the lane width (8) and the tiles, odd thread splits, and the
// settings that change a column's path.
const Case kCases[] = {
    {"K1", 17, 11, 1, false, false, 0.0, true, true, 1},
    {"K2 lane tails", 13, 9, 2, false, false, 0.0, true, true, 1},
    {"K3", 41, 37, 3, false, false, 0.0, true, true, 1},
    {"K3 three threads", 41, 37, 3, false, false, 0.0, true, true, 3},
    {"K3 more threads than columns", 5, 6, 3, false, false, 0.0, true, true, 8},
    {"K4 several tiles", 1500, 12, 4, false, false, 0.0, true, true, 2},
    {"K6", 23, 19, 6, false, false, 0.0, true, true, 2},
    {"K3 haploid", 30, 20, 3, true, false, 0.0, true, true, 2},
    {"K3 supervised", 30, 20, 3, false, true, 0.0, true, true, 2},
    {"K3 penalty", 30, 20, 3, false, false, 2.5, true, true, 1},
    {"K3 P fixed", 30, 20, 3, false, false, 0.0, false, true, 1},
    {"K3 Q fixed", 30, 20, 3, false, false, 0.0, true, false, 1},
    {"K9 wider than a lane group", 19, 10, 9, false, false, 0.0, true, true, 1},
};

void applyCase(const Case& c, Data& d, BVector& mono, std::vector<int>& ref, RunStateGuard& runState) {
  omp_set_num_threads(c.threads);
  haploidModeEnabled = c.haploid;
  Options::estimateP = c.estimateP;
  Options::estimateQ = c.estimateQ;
  Options::penaltyfunction = PenaltyFunction{c.lambda, 0.1};
  mono.resize(d.G.size2());
  buildMonomorphicsTable(d.G, mono);
  // Each case its own supervision: the labels of an earlier case must not
  // reach the next.
  Options::supervised = c.supervised;
  reference_pop = nullptr;
  if (c.supervised) {
    ref.assign(d.G.size1(), -1);
    for (size_t i = 0; i < ref.size(); i += 4) ref[i] = static_cast<int>(i % d.P.size1());
    runState.lend(reference_pop, ref.data());
  }
}

TEST_F(Kernels, EmStepMatchesReferenceBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Data d = makeData(c.I, c.L, c.K, 1000 + c.I * 7 + c.K, c.haploid);
    applyCase(c, d, mono_, ref_, runState_);
    DMatrix q1, p1, q2, p2;
    mm_iterate(d.G, d.Qt, d.P, q1, p1, d.meta);
    mm_iterate_reference(d.G, d.Qt, d.P, q2, p2, d.meta);
    EXPECT_TRUE(sameBits(p1, p2));
    EXPECT_TRUE(sameBits(q1, q2));
  }
}

TEST_F(Kernels, BlockStepMatchesReferenceBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Data d = makeData(c.I, c.L, c.K, 2000 + c.I * 7 + c.K, c.haploid);
    applyCase(c, d, mono_, ref_, runState_);
    const PenaltyFunction pf{c.lambda, 0.1};
    DMatrix q1, p1, q2, p2;
    block_iterate(d.G, d.Qt, d.P, q1, p1, pf, d.meta);
    block_iterate_reference(d.G, d.Qt, d.P, q2, p2, pf, d.meta);
    EXPECT_TRUE(sameBits(p1, p2));
    EXPECT_TRUE(sameBits(q1, q2));
  }
}

TEST_F(Kernels, LoglikeMatchesReferenceBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Data d = makeData(c.I, c.L, c.K, 3000 + c.I * 7 + c.K, c.haploid);
    applyCase(c, d, mono_, ref_, runState_);
    const double fast = loglike(d.G, d.Qt, d.P, d.meta);
    const double reference = loglike_reference(d.G, d.Qt, d.P, d.meta);
    EXPECT_TRUE(sameBits(fast, reference));
  }
}

// The log-likelihood is defined by one running product per thread, folded
// into the log sum below 1e-100, and the threads' sums added in thread
// order: the fast form gives those bits at every thread count, and a rerun
// the same bits again. About 16000 observed calls per data set, each a
// factor below 0.8, fold the product dozens of times within every thread's
// block; missing calls and haploid calls are among them.
TEST_F(Kernels, LoglikeIsTheDefinedSumAtEveryThreadCount) {
  for (bool haploid : {false, true}) {
    Data d = makeData(301, 59, 3, haploid ? 41 : 42, haploid);
    haploidModeEnabled = haploid;
    const double independent = loglike_slow(d.G, d.Qt, d.P, d.meta);
    for (int threads = 1; threads <= 8; ++threads) {
      SCOPED_TRACE(std::string(haploid ? "haploid, " : "diploid, ") + std::to_string(threads) + " threads");
      omp_set_num_threads(threads);
      const double fast = loglike(d.G, d.Qt, d.P, d.meta);
      const double reference = loglike_reference(d.G, d.Qt, d.P, d.meta);
      const double again = loglike(d.G, d.Qt, d.P, d.meta);
      EXPECT_TRUE(sameBits(fast, reference));
      EXPECT_TRUE(sameBits(fast, again));
      // The grouping differs from the sum of logs only by rounding.
      EXPECT_NEAR(fast, independent, 1e-12 * std::fabs(independent));
    }
  }
}

// Infeasible inputs reach the kernels only by mistake, but must give the
// reference's answers: a zero frequency where an allele is seen (log-
// likelihood -inf, quotient guards of EM and block relaxation) and a NaN.
TEST_F(Kernels, DegenerateFrequenciesMatchReference) {
  omp_set_num_threads(2);
  Data d = makeData(20, 18, 3, 77, false);
  mono_.resize(d.G.size2());
  buildMonomorphicsTable(d.G, mono_);
  for (int k = 0; k < 3; ++k) {
    d.P(k, 4) = 0.0;  // p = 0 for every individual
    d.P(k, 6) = 1.0;  // p = 1
  }
  d.P(1, 9) = std::nan("");
  const PenaltyFunction pf{0.0, 0.1};
  DMatrix q1, p1, q2, p2;
  mm_iterate(d.G, d.Qt, d.P, q1, p1, d.meta);
  mm_iterate_reference(d.G, d.Qt, d.P, q2, p2, d.meta);
  EXPECT_TRUE(sameBits(p1, p2));
  EXPECT_TRUE(sameBits(q1, q2));
  block_iterate(d.G, d.Qt, d.P, q1, p1, pf, d.meta);
  block_iterate_reference(d.G, d.Qt, d.P, q2, p2, pf, d.meta);
  EXPECT_TRUE(sameBits(p1, p2));
  EXPECT_TRUE(sameBits(q1, q2));
  EXPECT_TRUE(std::isnan(loglike(d.G, d.Qt, d.P, d.meta)));
  d.P(1, 9) = 0.5;
  EXPECT_EQ(loglike(d.G, d.Qt, d.P, d.meta), -INFINITY);
  EXPECT_EQ(loglike_reference(d.G, d.Qt, d.P, d.meta), -INFINITY);
}

// The fast steps give the same columns on 1 and 8 threads; the log-
// likelihood, whose products are grouped by thread, only to rounding.
TEST_F(Kernels, ThreadCountDoesNotChangeSteps) {
  Data d = makeData(300, 257, 3, 99, false);
  mono_.resize(d.G.size2());
  buildMonomorphicsTable(d.G, mono_);
  const PenaltyFunction pf{0.0, 0.1};
  DMatrix q1, p1, q8, p8;
  omp_set_num_threads(1);
  block_iterate(d.G, d.Qt, d.P, q1, p1, pf, d.meta);
  const double ll1 = loglike(d.G, d.Qt, d.P, d.meta);
  omp_set_num_threads(8);
  block_iterate(d.G, d.Qt, d.P, q8, p8, pf, d.meta);
  const double ll8 = loglike(d.G, d.Qt, d.P, d.meta);
  EXPECT_TRUE(sameBits(p1, p8));
  EXPECT_TRUE(sameBits(q1, q8));
  EXPECT_NEAR(ll1, ll8, 1e-12 * std::fabs(ll1));
  omp_set_num_threads(1);
  mm_iterate(d.G, d.Qt, d.P, q1, p1, d.meta);
  omp_set_num_threads(8);
  mm_iterate(d.G, d.Qt, d.P, q8, p8, d.meta);
  EXPECT_TRUE(sameBits(p1, p8));
  EXPECT_TRUE(sameBits(q1, q8));
}

}  // namespace
