// The log-likelihood against a form written here from its definition alone:
// its own split of the SNPs among the threads, its own running product
// folded into the log sum at a literal 1e-100, and its own sum of the
// threads' parts in thread order. Nothing is shared with the engine but the
// function under test, so a change of the split, of the floor or of the
// order of the final sum shows as a change of bits.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "raw_algorithms.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "same_bits.h"
#include "types.h"

namespace {

// The threads' sums of the log-likelihood over T threads, each thread t
// taking SNPs [t * chunk, min(n, (t + 1) * chunk)) with chunk = n / T
// rounded up. floor is where the running product is folded into the sum.
std::vector<double> threadParts(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                                const DatasetMetadata& meta, int T, double floor) {
  const int64_t n = static_cast<int64_t>(G.size2());
  const int64_t rows = static_cast<int64_t>(G.size1());
  const int64_t chunk = (n + T - 1) / T;
  std::vector<double> parts;
  for (int t = 0; t < T; ++t) {
    double product = 1.0;
    double partial = 0.0;
    for (int64_t l = static_cast<int64_t>(t) * chunk; l < std::min(n, (t + 1) * chunk); ++l) {
      for (int64_t i = 0; i < rows; ++i) {
        const int g = G(i, l);
        if (g > 2) continue;
        double p = 0.0;
        for (size_t k = 0; k < Qt_.size1(); ++k) p = p + Qt_(k, i) * P_(k, l);
        const bool haploid = haploidModeEnabled && meta.indInfo[i].haploid && meta.snpInfo[l].haploid;
        double prob;
        if (g == 0)
          prob = haploid ? 1 - p : (1 - p) * (1 - p);
        else if (g == 1)
          prob = p * (1 - p);
        else
          prob = haploid ? p : p * p;
        product = product * prob;
        if (product < floor) {
          partial = partial + std::log(product);
          product = 1.0;
        }
      }
    }
    parts.push_back(std::log(product) + partial);
  }
  return parts;
}

double inThreadOrder(const std::vector<double>& parts) {
  double total = 0.0;
  for (size_t t = 0; t < parts.size(); ++t) total = total + parts[t];
  return total;
}

double inReverseOrder(const std::vector<double>& parts) {
  double total = 0.0;
  for (size_t t = parts.size(); t-- > 0;) total = total + parts[t];
  return total;
}

struct Data {
  GMatrix G;
  DMatrix Qt;
  DMatrix P;
  DatasetMetadata meta;
};

// Random frequencies over the whole feasible range and a few missing calls;
// with these sizes every thread folds its product many times and the
// threads' parts differ by orders of magnitude, so the order of each sum
// shows in the last bits.
Data randomData(int I_, int L_, int K_, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Data d;
  d.G = GMatrix(I_, L_);
  d.Qt = DMatrix(K_, I_);
  d.P = DMatrix(K_, L_);
  d.meta.indInfo.resize(I_);
  d.meta.snpInfo.resize(L_);
  for (int i = 0; i < I_; ++i) {
    double s = 0.0;
    for (int k = 0; k < K_; ++k) s += (d.Qt(k, i) = 0.01 + u(rng));
    for (int k = 0; k < K_; ++k) d.Qt(k, i) /= s;
    d.meta.indInfo[i].haploid = i % 3 == 0;
  }
  for (int l = 0; l < L_; ++l) {
    // SNPs near the end carry far smaller probabilities than the first ones.
    const double spread = l < L_ / 2 ? 0.3 : 0.999;
    for (int k = 0; k < K_; ++k) d.P(k, l) = 0.5 + spread * (u(rng) - 0.5);
    d.meta.snpInfo[l].haploid = l % 4 == 1;
  }
  // The first third of the SNPs have one observed call each, so that the
  // first threads' parts are far smaller than the others'.
  for (int l = 0; l < L_; ++l)
    for (int i = 0; i < I_; ++i) {
      const double r = u(rng);
      const bool sparse = l < L_ / 3 && i != l % I_;
      d.G(i, l) = sparse || r < 0.03 ? kMissing : static_cast<unsigned char>(r < 0.35 ? 0 : (r < 0.7 ? 1 : 2));
    }
  return d;
}

class Loglike : public RunStateTest {};

TEST_F(Loglike, SameBitsAsTheDefinitionForEveryThreadCount) {
  struct Case {
    int I, L, K;
    bool haploid;
  };
  // The last case has fewer SNPs than most of the thread counts.
  const Case cases[] = {{97, 211, 3, false}, {64, 150, 2, true}, {31, 5, 4, false}};
  const int threadCounts[] = {1, 2, 3, 4, 7, 8, 13};
  bool orderShows = false;
  bool floorShows = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.I << " x " << c.L << ", K " << c.K << (c.haploid ? ", haploid" : ""));
    const Data d = randomData(c.I, c.L, c.K, 1000 + c.L);
    haploidModeEnabled = c.haploid;
    for (int T : threadCounts) {
      const std::vector<double> parts = threadParts(d.G, d.Qt, d.P, d.meta, T, 1e-100);
      const double expected = inThreadOrder(parts);
      omp_set_num_threads(T);
      EXPECT_TRUE(sameBits(loglike(d.G, d.Qt, d.P, d.meta), expected)) << T << " threads";
      orderShows = orderShows || !sameBits(inReverseOrder(parts), expected);
      floorShows = floorShows || !sameBits(inThreadOrder(threadParts(d.G, d.Qt, d.P, d.meta, T, 1e-300)), expected);
    }
  }
  // The data can tell: the threads' parts added the other way round, or
  // folded at another floor, give other bits for some case and thread count.
  EXPECT_TRUE(orderShows);
  EXPECT_TRUE(floorShows);
}

// One individual, one population, genotype 2 at each of 80 SNPs with
// P = 0.1: each factor is 0.1 * 0.1, so the product falls below 1e-100 at
// the 51st SNP and is folded there. Unfolded, the 80 factors (1e-160) would
// not underflow, and the log of their one product has other bits than the
// sum of the two logs: the fold alone decides them.
TEST_F(Loglike, ProductIsFoldedWhenItFallsBelowTheFloor) {
  const int snps = 80;
  GMatrix G(1, snps);
  DMatrix Qt_(1, 1), P_(1, snps);
  Qt_(0, 0) = 1.0;
  for (int l = 0; l < snps; ++l) {
    G(0, l) = 2;
    P_(0, l) = 0.1;
  }
  DatasetMetadata meta;
  meta.indInfo.resize(1);
  meta.snpInfo.resize(snps);

  const double factor = (1.0 * 0.1) * (1.0 * 0.1);
  double product = 1.0, partial = 0.0, unfolded = 1.0;
  int folds = 0;
  for (int l = 0; l < snps; ++l) {
    product = product * factor;
    unfolded = unfolded * factor;
    if (product < 1e-100) {
      partial = partial + std::log(product);
      product = 1.0;
      ++folds;
    }
  }
  const double folded = std::log(product) + partial;
  ASSERT_EQ(folds, 1);
  // The case tells the rules apart: folding changes the bits.
  ASSERT_FALSE(sameBits(folded, std::log(unfolded)));

  omp_set_num_threads(1);
  EXPECT_TRUE(sameBits(loglike(G, Qt_, P_, meta), folded));
}

}  // namespace
