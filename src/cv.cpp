#include "cv.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "algorithms.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"

namespace {

// Copies of each fold number in one period of the shuffled pattern that
// assigns the genotypes to folds: every stretch of kFoldCopies * folds
// consecutive genotypes holds exactly kFoldCopies of each fold. The shuffle
// draws from the run's random stream, so this number is part of every
// cross-validation error the program reports.
constexpr int kFoldCopies = 200;

int64_t observedGenotypes(const GMatrix& G) {
  const int64_t cells = static_cast<int64_t>(G.size1()) * static_cast<int64_t>(G.size2());
  const unsigned char* data = cells > 0 ? &G.data()[0] : nullptr;
  int64_t observed = 0;
  for (int64_t pos = 0; pos < cells; ++pos)
    if (data[pos] != kMissing) ++observed;
  return observed;
}

// Binomial deviance of one hidden genotype g against the expected allele
// count mu; the terms whose factor is 0 are left out.
double devianceTerm(int g, double mu) {
  double term = 0;
  if (g != 0) term += g * std::log(g / mu);
  if (g != 2) term += (2 - g) * std::log((2 - g) / (2 - mu));
  return term;
}

}  // namespace

void compute_crossvalidation_index(int folds, const DatasetMetadata& meta) {
  if (folds <= 0) {
    cvIndex = 0;
    return;
  }
  std::unique_ptr<Algorithm> refit(
      Algorithm::buildAlgorithm(Options::method, Options::acceleration, Options::penaltyfunction));
  refit->printStatus = Options::verbosity > 0;

  const int64_t period = static_cast<int64_t>(kFoldCopies) * folds;
  std::vector<int> foldOf;
  foldOf.reserve(static_cast<size_t>(period));
  for (int f = 1; f <= folds; ++f)
    for (int c = 0; c < kFoldCopies; ++c) foldOf.push_back(f);
  randShuffle(foldOf);

  const int64_t cells = static_cast<int64_t>(I) * L;
  const unsigned char* data = &N->data()[0];
  GMatrix G(I, L);
  unsigned char* masked = &G.data()[0];
  std::vector<double> perIndividual(static_cast<size_t>(I));
  double total = 0;

  for (int f = 1; f <= folds; ++f) {
    // Column-major position I j + i of entry (i, j) picks its fold.
    std::memcpy(masked, data, static_cast<size_t>(cells));
    for (int64_t pos = 0, slot = 0; pos < cells; ++pos) {
      if (foldOf[static_cast<size_t>(slot)] == f) masked[pos] = kMissing;
      if (++slot == period) slot = 0;
    }
    buildMonomorphicsTable(G, *monomorphics);

    DMatrix Qt_in(*Qt), Qt_out(*Qt);
    DMatrix P_in(*P), P_out(*P);
    refit->iterate_until_convergence(G, Qt_in, P_in, Qt_out, P_out, Options::minorConvergenceCriterion, meta);

    // Score the hidden observed genotypes. The genotype matrix is read in
    // its column order; each individual keeps its own running sum over the
    // SNPs in order, and the individuals' sums are added in order.
    std::fill(perIndividual.begin(), perIndividual.end(), 0.0);
    const int KQ = static_cast<int>(Qt_out.size1());
    const double* q = &Qt_out.data()[0];
    const double* p = &P_out.data()[0];
    for (int j = 0; j < L; ++j) {
      const int64_t column = static_cast<int64_t>(j) * I;
      const bool haploidSnp = haploidModeEnabled && meta.snpInfo[j].haploid;
      for (int i = 0; i < I; ++i) {
        const unsigned char g = data[column + i];
        if (masked[column + i] != kMissing || g == kMissing) continue;
        // Haploid calls are scored with weight 0 but still counted below.
        if (haploidSnp && meta.indInfo[i].haploid) continue;
        double expected = 0;
        for (int k = 0; k < KQ; ++k) expected += q[k + static_cast<int64_t>(KQ) * i] * p[k + static_cast<int64_t>(KQ) * j];
        perIndividual[static_cast<size_t>(i)] += devianceTerm(g, 2 * expected);
      }
    }
    double foldSum = 0;
    for (double s : perIndividual) foldSum += s;
    total += foldSum;
  }
  refit.reset();
  // Later estimations of the run fit the input data again: the table must
  // describe it, not the last fold's masked matrix.
  buildMonomorphicsTable(*N, *monomorphics);

  cvIndex = total / static_cast<double>(observedGenotypes(*N));
}

void check_crossvalidation_folds(int folds) {
  const int64_t observed = observedGenotypes(*N);
  if (folds > observed)
    stopWithMessage("Too many cross-validation folds (" + std::to_string(folds) + "): the data hold only " +
                    std::to_string(observed) + " observed genotypes");
}
