#include "bootstrap.h"

#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include <boost/numeric/ublas/matrix_proxy.hpp>

#include "algorithms.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"
#include "utils.h"

namespace {

// A derived bootstrap block spans about 10 million base pairs (10 Mb, some
// 10 cM): far beyond the reach of linkage disequilibrium, so that blocks
// resampled independently are close to independent, while a genome still
// holds some hundreds of them to resample from.
constexpr double kBlockSpanBasePairs = 10000000.0;

[[noreturn]] void refuseBlockSize(const std::string& why) {
  stopWithMessage(why + "; give a block size of 1 to " + to_string(L) +
                  " SNPs with --blockSize (-h)");
}

}  // namespace

void check_block_size() {
  // The resampling copies whole blocks of consecutive SNPs, so a block must
  // hold at least one SNP and fit in the data.
  if (Options::blockSize < 1 || Options::blockSize > L)
    refuseBlockSize("Invalid block size " + to_string(Options::blockSize));
}

void calculate_block_size(const std::vector<SNPInfo>& snps) {
  uint64_t sum = 0;
  int64_t count = 0;
  for (int l = 1; l < L; ++l) {
    if (snps[l].chromosome != snps[l - 1].chromosome) continue;
    // Compared before the spacing is formed: the difference of two 64-bit
    // positions need not fit a signed 64-bit value, while that of ordered
    // ones always fits an unsigned one.
    if (snps[l].position < snps[l - 1].position) stopWithMessage("Error: map file not in genome order.");
    const uint64_t diff = static_cast<uint64_t>(snps[l].position) - static_cast<uint64_t>(snps[l - 1].position);
    if (diff > std::numeric_limits<uint64_t>::max() - sum)
      refuseBlockSize("Cannot derive a bootstrap block size: the marker spacings add up to more than 2^64 base pairs");
    sum += diff;
    ++count;
  }
  double avg = static_cast<double>(sum) / static_cast<double>(count);
  std::cout << "Average base pair separation between consecutive markers: " << avg << std::endl;
  // No pair on one chromosome (0/0) or every pair at one position (an
  // infinite block) leaves no usable size to derive.
  if (!(avg > 0) || !std::isfinite(avg))
    refuseBlockSize("Cannot derive a bootstrap block size from the marker positions");
  double size = std::ceil(kBlockSpanBasePairs / avg);
  if (size > L) refuseBlockSize("Derived block size " + std::to_string(static_cast<int64_t>(size)) + " is too large");
  Options::blockSize = static_cast<int>(size);
  std::cout << "Block size that will be used for block bootstrap: " << Options::blockSize << std::endl;
}

void resample_under_moving_block_model(GMatrix& G_out, const DMatrix& P_in, DMatrix& P_out,
                                       const DatasetMetadata& meta_in, DatasetMetadata& meta_out) {
  const int S = Options::blockSize;
  const int nblocks = static_cast<int>(std::ceil(static_cast<double>(L) / S));
  const int KP = static_cast<int>(P_in.size1());
  const unsigned char* src = &N->data()[0];
  unsigned char* dst = &G_out.data()[0];
  for (int b = 0; b < nblocks; ++b) {
    double u = randUnif();
    while (u == 1.0) u = randUnif();
    const int64_t start = static_cast<int64_t>(u * (L + 1 - S));
    const int64_t first = static_cast<int64_t>(b) * S;
    const int64_t last = std::min<int64_t>(first + S, L);
    for (int64_t c = 0; first + c < last; ++c) {
      const int64_t d = first + c;
      const int64_t s = start + c;
      std::memcpy(dst + d * I, src + s * I, static_cast<size_t>(I));
      for (int k = 0; k < KP; ++k) P_out(k, d) = P_in(k, s);
      meta_out.snpInfo[d] = meta_in.snpInfo[s];
    }
  }
}

void compute_bootstrap_variances_and_biases(Algorithm* alg, const DMatrix& Qt_, const DMatrix& P_,
                                            DMatrix& Qt_se_, DMatrix& Qt_bias_, const DatasetMetadata& meta) {
  const int B = Options::B;
  const int64_t entries = static_cast<int64_t>(K) * I;
  GMatrix G(I, L);
  DMatrix store(entries, B);
  DVector flat(entries);
  for (int b = 0; b < B; ++b) {
    DMatrix Qt_in(Qt_);
    DMatrix P_in(K, L);
    DMatrix Qt_out(K, I);
    DMatrix P_out(K, L);
    DatasetMetadata replicate(meta);
    std::cout << "Bootstrap replicate #" << b << std::endl;
    resample_under_moving_block_model(G, P_, P_in, meta, replicate);
    buildMonomorphicsTable(G, *monomorphics);
    alg->iterate_until_convergence(G, Qt_in, P_in, Qt_out, P_out, Options::minorConvergenceCriterion, replicate);
    matrix_to_vector(Qt_out, flat);
    ublas::column(store, b) = flat;
  }
  // Later estimations of the run fit the input data again: the table must
  // describe it, not the last replicate.
  buildMonomorphicsTable(*N, *monomorphics);

  DVector point(entries);
  matrix_to_vector(Qt_, point);
  DVector se(entries);
  DVector bias(entries);
  DVector values(B);
  for (int64_t e = 0; e < entries; ++e) {
    values = ublas::row(store, e);
    se(e) = stddev(values);
    bias(e) = mean(values) - point(e);
  }
  vector_to_matrix(se, Qt_se_);
  vector_to_matrix(bias, Qt_bias_);
}

void resample_under_independence_model(GMatrix& G_out, const DMatrix& Qt_, const DMatrix& P_) {
  const int rows = static_cast<int>(Qt_.size2());
  const int cols = static_cast<int>(P_.size2());
  const int KQ = static_cast<int>(Qt_.size1());
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      double p = 0;
      for (int k = 0; k < KQ; ++k) p += Qt_(k, i) * P_(k, j);
      double u1 = randUnif();
      double u2 = randUnif();
      G_out(i, j) = static_cast<unsigned char>((p > u1 ? 1 : 0) + (p > u2 ? 1 : 0));
    }
  }
}
