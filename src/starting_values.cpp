#include "starting_values.h"

#include <cmath>
#include <cstddef>
#include <iostream>

#include "feasible.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "stops.h"

namespace {

// The simplex redraw keeps every component >= kFeasibleLow; a uniform point meets
// that with probability (1 - K * 1e-5)^(K - 1), about 0.08 at K = 500 and
// 4e-5 at K = 1000, so beyond this the redraw would not end in useful time.
constexpr int kMaxRandomK = 500;

}  // namespace

void preprocessData() {
  const size_t rows = static_cast<size_t>(I < 0 ? 0 : I);
  const size_t cols = static_cast<size_t>(L < 0 ? 0 : L);
  const unsigned char* g = (rows > 0 && cols > 0) ? &N->data()[0] : nullptr;

  for (size_t l = 0; l < cols; ++l) {
    size_t i = 0;
    while (i < rows && g[i + rows * l] == kMissing) ++i;
    if (i == rows) {
      std::cout << "Error: detected that all genotypes are missing for a SNP locus." << std::endl;
      stopWithMessage("Please apply quality-control filters to remove such loci.");
    }
  }
  for (size_t i = 0; i < rows; ++i) {
    size_t l = 0;
    while (l < cols && g[i + rows * l] == kMissing) ++l;
    if (l == cols) {
      std::cout << "Error: detected that all genotypes are missing for an individual." << std::endl;
      stopWithMessage("Please apply quality-control filters to remove such individuals.");
    }
  }

  {
    const AllocationName name("the monomorphic SNP table");
    monomorphics = new BVector(cols);
  }
  buildMonomorphicsTable(*N, *monomorphics);
}

void buildMonomorphicsTable(const GMatrix& G, BVector& table) {
  const size_t rows = G.size1();
  const size_t cols = G.size2();
  // Writing past the table would corrupt the heap; its callers size it.
  if (table.size() < cols) ShouldNotReachHere();
  const unsigned char* g = (rows > 0 && cols > 0) ? &G.data()[0] : nullptr;
  for (size_t j = 0; j < cols; ++j) {
    const unsigned char* col = g + rows * j;
    bool all2 = true, all0 = true;
    for (size_t i = 0; i < rows && (all2 || all0); ++i) {
      all2 = all2 && col[i] == 2;
      all0 = all0 && col[i] == 0;
    }
    // A column of no rows is all 2s first: the empty lists compare equal.
    table[j] = all2 ? 1 : (all0 ? 0 : 255);
  }
}

bool isMonomorphic(int l) { return (*monomorphics)[l] != 255; }

bool areEqual(const BVector& a, const BVector& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

double safeRandUnif(double eps) {
  double u;
  do {
    u = randUnif();
  } while (u < eps || u > 1.0 - eps);
  return u;
}

void safeRandUnifOnSimplex(DVector& x, int K_, double eps) {
  if (K_ < 1) return;
  bool ok;
  do {
    double s = 0.0;
    for (int k = 0; k < K_; ++k) {
      x[k] = -std::log(randUnif());
      s += x[k];
    }
    ok = true;
    for (int k = 0; k < K_; ++k) {
      x[k] /= s;
      if (x[k] < eps) ok = false;
    }
  } while (!ok);
}

bool initializeQP() {
  bool drew = false;

  if (Qt == nullptr) {
    const bool haveRefs = Options::supervised && reference_pop != nullptr;
    bool anyDrawn = false;
    for (int i = 0; i < I && !anyDrawn; ++i)
      anyDrawn = !(haveRefs && reference_pop[i] >= 0);
    if (anyDrawn && K > kMaxRandomK)
      stopWithMessage("K is too large for random starting values (at most 500 populations)");

    {
      const AllocationName name("the starting Q matrix");
      Qt_old = new DMatrix(K, I);
    }
    DVector column(K);
    for (int i = 0; i < I; ++i) {
      if (haveRefs && reference_pop[i] >= 0) {
        const int r = reference_pop[i];
        for (int k = 0; k < K; ++k) (*Qt_old)(k, i) = kFeasibleLow;
        (*Qt_old)(r, i) = 1.0 - (K - 1) * kFeasibleLow;
      } else {
        safeRandUnifOnSimplex(column, K, kFeasibleLow);
        for (int k = 0; k < K; ++k) (*Qt_old)(k, i) = column[k];
        drew = true;
      }
    }
    Qt = copyMatrix(*Qt_old, "the starting Q matrix");
  }

  if (P == nullptr) {
    {
      const AllocationName name("the starting P matrix");
      P_old = new DMatrix(K, L);
    }
    for (int k = 0; k < K; ++k)
      for (int l = 0; l < L; ++l) {
        double u;
        do {
          u = randUnif();
        } while (u < kFeasibleLow || u > kFeasibleHigh);
        (*P_old)(k, l) = u;
      }
    P = copyMatrix(*P_old, "the starting P matrix");
    drew = true;
  }

  return drew;
}
