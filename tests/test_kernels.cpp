// The fast engine kernels against their plain scalar forms: the same columns
// and the same log-likelihood bit for bit on random data, whatever the shape,
// the lane tails, the thread count, the run settings and the x86-64 level of
// the kernels; and the choice of that level.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "engine_fixture.h"
#include "kernel_level.h"
#include "options.h"
#include "raw_algorithms.h"
#include "reference_kernels.h"
#include "run_state.h"
#include "same_bits.h"
#include "starting_values.h"
#include "types.h"

namespace {

class Kernels : public EngineFixture {
 protected:
  // Runs body once with each copy of the kernels that this CPU runs.
  template <typename Body>
  void atEveryLevel(Body body) {
    for (const KernelSet* set : supportedKernels()) {
      SCOPED_TRACE(set->name);
      useKernels(*set);
      body();
    }
  }

  std::vector<int> ref_;
  KernelChoiceGuard kernels_;
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
    DMatrix q2, p2;
    mm_iterate_reference(d.G, d.Qt, d.P, q2, p2, d.meta);
    atEveryLevel([&] {
      DMatrix q1, p1;
      mm_iterate(d.G, d.Qt, d.P, q1, p1, d.meta);
      EXPECT_TRUE(sameBits(p1, p2));
      EXPECT_TRUE(sameBits(q1, q2));
    });
  }
}

TEST_F(Kernels, BlockStepMatchesReferenceBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Data d = makeData(c.I, c.L, c.K, 2000 + c.I * 7 + c.K, c.haploid);
    applyCase(c, d, mono_, ref_, runState_);
    const PenaltyFunction pf{c.lambda, 0.1};
    DMatrix q2, p2;
    block_iterate_reference(d.G, d.Qt, d.P, q2, p2, pf, d.meta);
    atEveryLevel([&] {
      DMatrix q1, p1;
      block_iterate(d.G, d.Qt, d.P, q1, p1, pf, d.meta);
      EXPECT_TRUE(sameBits(p1, p2));
      EXPECT_TRUE(sameBits(q1, q2));
    });
  }
}

TEST_F(Kernels, LoglikeMatchesReferenceBitForBit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Data d = makeData(c.I, c.L, c.K, 3000 + c.I * 7 + c.K, c.haploid);
    applyCase(c, d, mono_, ref_, runState_);
    const double reference = loglike_reference(d.G, d.Qt, d.P, d.meta);
    atEveryLevel([&] { EXPECT_TRUE(sameBits(loglike(d.G, d.Qt, d.P, d.meta), reference)); });
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
      const double reference = loglike_reference(d.G, d.Qt, d.P, d.meta);
      atEveryLevel([&] {
        const double fast = loglike(d.G, d.Qt, d.P, d.meta);
        const double again = loglike(d.G, d.Qt, d.P, d.meta);
        EXPECT_TRUE(sameBits(fast, reference));
        EXPECT_TRUE(sameBits(fast, again));
        // The grouping differs from the sum of logs only by rounding.
        EXPECT_NEAR(fast, independent, 1e-12 * std::fabs(independent));
      });
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
  DMatrix emQ, emP, blockQ, blockP;
  mm_iterate_reference(d.G, d.Qt, d.P, emQ, emP, d.meta);
  block_iterate_reference(d.G, d.Qt, d.P, blockQ, blockP, pf, d.meta);
  DMatrix withoutNan = d.P;
  withoutNan(1, 9) = 0.5;
  EXPECT_EQ(loglike_reference(d.G, d.Qt, withoutNan, d.meta), -INFINITY);
  atEveryLevel([&] {
    DMatrix q1, p1;
    mm_iterate(d.G, d.Qt, d.P, q1, p1, d.meta);
    EXPECT_TRUE(sameBits(p1, emP));
    EXPECT_TRUE(sameBits(q1, emQ));
    block_iterate(d.G, d.Qt, d.P, q1, p1, pf, d.meta);
    EXPECT_TRUE(sameBits(p1, blockP));
    EXPECT_TRUE(sameBits(q1, blockQ));
    EXPECT_TRUE(std::isnan(loglike(d.G, d.Qt, d.P, d.meta)));
    EXPECT_EQ(loglike(d.G, d.Qt, withoutNan, d.meta), -INFINITY);
  });
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

// ---- the choice of level -------------------------------------------------------

#if defined(__x86_64__)
// Unset or empty, the variable leaves the highest level the CPU has; set,
// it names the level.
TEST(KernelLevel, ChoosesTheHighestLevelUnlessOneIsNamed) {
  const struct {
    const char* forced;
    int highest;
    const char* chosen;
  } cases[] = {
      {nullptr, 3, "x86-64-v4"}, {nullptr, 2, "x86-64-v3"},       {nullptr, 0, "x86-64"},
      {"x86-64", 3, "x86-64"},   {"x86-64-v2", 3, "x86-64-v2"},   {"x86-64-v3", 2, "x86-64-v3"},
      {"", 3, "x86-64-v4"},      {"", 0, "x86-64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.forced != nullptr ? c.forced : "unset");
    EXPECT_STREQ(chooseKernels(c.forced, c.highest).name, c.chosen);
  }
  // The lane groups fill the level's vector registers.
  EXPECT_EQ(chooseKernels("x86-64", 3).lanes, 2);
  EXPECT_EQ(chooseKernels("x86-64-v3", 3).lanes, 4);
  EXPECT_EQ(chooseKernels("x86-64-v4", 3).lanes, 8);
}
#endif

// A value that names no level, or a level above the CPU's, stops the run.
TEST(KernelLevel, RefusesAnUnknownLevelAndOneTheCpuLacks) {
  const struct {
    const char* forced;
    int highest;
    const char* line;
  } cases[] = {
      {"x86-64-v5", 3, "KELVANORE_ISA=x86-64-v5 is not one of x86-64, x86-64-v2, x86-64-v3, x86-64-v4"},
      {"X86-64", 3, "KELVANORE_ISA=X86-64 is not one of x86-64, x86-64-v2, x86-64-v3, x86-64-v4"},
      {"native", 3, "KELVANORE_ISA=native is not one of x86-64, x86-64-v2, x86-64-v3, x86-64-v4"},
      {"x86-64-v4", 2, "KELVANORE_ISA=x86-64-v4: this CPU does not support it"},
      {"x86-64-v2", 0, "KELVANORE_ISA=x86-64-v2: this CPU does not support it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.forced);
    const RunResult r = runInChild([&] { chooseKernels(c.forced, c.highest); });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(c.line) + "\n");
    EXPECT_EQ(r.err, "");
  }
}

// The program itself: a bad value ends the run with its one line and status
// 255 before any estimation, and every level this CPU runs gives the same
// console lines (times aside) and the same result files as the default.
TEST(KernelLevel, TheProgramGivesTheSameRunAtEveryLevelAndRefusesABadOne) {
  const std::vector<std::string> args = {testData("sim3.bed"), "3", "-C", "3", "-j2"};
  {
    TempDir dir;
    const RunResult r = runKelvanoreWithEnvironment(args, {"KELVANORE_ISA=x86-64-v5"}, dir.path());
    EXPECT_EQ(r.status, 255);
    const std::vector<std::string> lines = splitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "KELVANORE_ISA=x86-64-v5 is not one of x86-64, x86-64-v2, x86-64-v3, x86-64-v4");
    EXPECT_FALSE(fileExists(dir.file("sim3.3.Q")));
  }
  TempDir defaultDir;
  const RunResult byDefault = runKelvanoreWithEnvironment(args, {"KELVANORE_ISA"}, defaultDir.path());
  ASSERT_EQ(byDefault.status, 0) << byDefault.out << byDefault.err;
  std::vector<std::string> names = {""};
  for (const KernelSet* set : supportedKernels()) names.push_back(set->name);
  for (const std::string& name : names) {
    SCOPED_TRACE("KELVANORE_ISA=" + name);
    // Off x86-64 the one generic copy has no level to name.
    if (name == "generic") continue;
    TempDir dir;
    const RunResult r = runKelvanoreWithEnvironment(args, {"KELVANORE_ISA=" + name}, dir.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(maskTimes(r.out), maskTimes(byDefault.out));
    EXPECT_EQ(r.err, byDefault.err);
    for (const char* file : {"sim3.3.Q", "sim3.3.P"}) EXPECT_EQ(readFile(dir.file(file)), readFile(defaultDir.file(file))) << file;
  }
}

}  // namespace
