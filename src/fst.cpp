#include "fst.h"

#include <cstddef>
#include <iomanip>
#include <iostream>

#include "run_state.h"

namespace {

// The K x K table of Fst between every two populations, each SNP's Fst
// weighted by pbar (1 - pbar) or, unweighted, by 1 (the plain mean: a sum of
// ones counts L exactly).
DMatrix* fstTable(const DMatrix& P_, bool weighted) {
  const size_t K_ = P_.size1();
  const size_t L_ = P_.size2();
  DMatrix* F = new DMatrix(K_, K_);
  for (size_t a = 0; a < K_; ++a)
    for (size_t b = 0; b < K_; ++b) {
      double num = 0.0, den = 0.0;
      for (size_t l = 0; l < L_; ++l) {
        const double pa = P_(a, l), pb = P_(b, l);
        const double pbar = (pa + pb) * 0.5;
        const double fst = (pa - pb) * (pa - pb) / (2.0 * (pbar - pa * pb));
        const double w = weighted ? pbar * (1.0 - pbar) : 1.0;
        num += w * fst;
        den += w;
      }
      (*F)(a, b) = num / den;
    }
  return F;
}

}  // namespace

DMatrix* calculate_Fsts_weighted(const DMatrix& P_) { return fstTable(P_, true); }

DMatrix* calculate_Fsts_unweighted(const DMatrix& P_) { return fstTable(P_, false); }

void print_Fst_matrix() {
  if (K <= 1 || P == nullptr) return;
  DMatrix* F = calculate_Fsts_weighted(*P);
  // Left in force on purpose: later console lines print in this format.
  std::cout << std::fixed << std::setprecision(3);
  std::cout << "Fst divergences between estimated populations: " << std::endl;
  std::cout << "\t";
  for (int j = 0; j < K - 1; ++j) std::cout << "Pop" << j << "\t";
  std::cout << std::endl;
  for (int r = 0; r < K; ++r) {
    std::cout << "Pop" << r << "\t";
    for (int c = 0; c < r; ++c) std::cout << (*F)(r, c) << "\t";
    std::cout << std::endl;
  }
  delete F;
}
