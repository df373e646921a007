// One copy of the fast kernels: the log-likelihood and the P and Q regions of
// the EM and block-relaxation steps, each run by one thread over its block of
// SNPs or individuals. How to read a kernel:
// - This file is compiled once per x86-64 level (x86-64, v2, v3, v4), each
//   time with the level's -march, its lane width (KELVANORE_KERNEL_LANES: 2,
//   2, 4 and 8 doubles) and the name of the KernelSet it defines
//   (KELVANORE_KERNEL_SET, KELVANORE_KERNEL_NAME); kernel_level.cpp picks
//   the copy for the CPU when the run starts.
// - A lane group (Lanes) is kLanes columns side by side, one per lane: SNPs
//   in the P regions, individuals in the Q regions and the log-likelihood.
//   Each lane keeps its own sums in the plain form's order, so the width
//   changes no value; both sides of a select are computed on every lane.
// - The P and Q regions have a copy for each fixed K of 1 to 4 (the template
//   parameter KC, which keeps the sums in registers) and one for any K
//   (KC = 0); the KernelSet's entry points switch on K.
// - The individual regions work in tiles of individuals (kTileBytes of work
//   arrays, which stay in the first-level cache) while each SNP's genotypes
//   of the tile are read contiguously.
// - Every kernel must give the bits of the plain scalar forms in
//   tests/reference_kernels.cpp, written from the definitions; the tests
//   compare every level with them, and the benchmarks time both.
// Everything but the KernelSet object has internal linkage, and nothing here
// calls an inline function of a header that another unit could also emit:
// the linker keeps one copy of such a function, which might be one that
// this CPU cannot run (tests/check_kernel_symbols.sh checks the objects).
#include "kernels.h"

#include <cmath>
#include <cstring>

#include "fquadprog.h"

#ifndef KELVANORE_KERNEL_LANES
#error "KELVANORE_KERNEL_LANES must give the lane width of this copy"
#endif

namespace {

// The running product of genotype probabilities is folded into the log sum
// below this. Feasible factors are at least 1e-10, so the product stays above
// 1e-110 and never underflows.
constexpr double kProductFloor = 1e-100;

// Columns handled side by side: one vector register of doubles on the level
// this copy is built for. Each lane is one column (a SNP in the P regions, an
// individual in the Q regions and the log-likelihood) with its own
// accumulators, so every column keeps the summation order of the plain form
// and the width changes no value.
constexpr int kLanes = KELVANORE_KERNEL_LANES;

// Budget of one tile's per-individual work arrays in the individual regions:
// they stay in the core's first-level cache while each SNP's genotypes of the
// tile are read contiguously.
constexpr size_t kTileBytes = 32 * 1024;
// At least one cache line of genotypes per SNP and tile.
constexpr int64_t kMinTile = 64;

inline int64_t minCount(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t maxCount(int64_t a, int64_t b) { return a > b ? a : b; }
inline int64_t roundUpToLanes(int64_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

// Lower triangle, row by row: entry (k, j), j <= k.
inline size_t tri(int k, int j) { return static_cast<size_t>(k) * (k + 1) / 2 + j; }
inline size_t triangle(int K) { return static_cast<size_t>(K) * (K + 1) / 2; }

// A SNP marked monomorphic whose first genotype tells which allele it
// carries takes a pinned column in the P regions. A table made for another
// data set can mark a SNP whose first genotype is neither 0 nor 2: that SNP
// is updated like any other, so its column is always defined.
bool pinMonomorphic(const StepInputs& in, int64_t l, const unsigned char* gl, double* out) {
  if (in.I == 0 || in.mono == nullptr || in.mono[l] == 0) return false;
  double value;
  if (gl[0] == 0)
    value = kKernelFeasibleLow;
  else if (gl[0] == 2)
    value = kKernelFeasibleHigh;
  else
    return false;
  for (int k = 0; k < in.K; ++k) out[k] = value;
  return true;
}

// Individuals per tile, a multiple of the lane count.
int64_t tileSize(size_t doublesPerIndividual) {
  const size_t perIndividual = doublesPerIndividual > 0 ? doublesPerIndividual : 1;
  const int64_t t = static_cast<int64_t>(kTileBytes / (sizeof(double) * perIndividual));
  return maxCount(kMinTile, t - t % kLanes);
}

// ---- lane groups -------------------------------------------------------------
//
// A lane group holds kLanes columns in one vector (GCC vector extensions:
// element-wise IEEE operations, lowered to the vector width of the level).
// The fast kernels run every lane through the same operations in the same
// order as the plain forms; a lane whose genotype is missing (or that pads a
// short group) computes a value that a select then discards, so no branch
// depends on the data and no result sees a padded lane.

typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));
typedef long long LaneMask __attribute__((vector_size(kLanes * sizeof(long long))));

// Vectors are passed by reference only: by value they would make the
// functions' calling convention depend on the target's vector registers.
inline void loadLanes(Lanes& v, const double* src) { std::memcpy(&v, src, sizeof v); }

// An accumulator's update: the updated value on the observed lanes, the old
// one on the others. Whole<true> says that every lane is observed, which
// needs no select.
template <bool kAll>
struct Whole {
  static constexpr bool all = kAll;
};
template <typename W>
inline Lanes keep(const LaneMask& observed, const Lanes& updated, const Lanes& old) {
  if (W::all) return updated;
  return observed ? updated : old;
}

// On the two-lane levels most groups are observed on both lanes, and there a
// branch that skips the selects saves more than its mispredictions cost; the
// wider levels always select (a group with a missing call is common there).
inline bool everyLaneObserved(const LaneMask& observed) {
  if (kLanes > 2) return false;
  for (int w = 0; w < kLanes; ++w)
    if (observed[w] == 0) return false;
  return true;
}

// kLanes genotype bytes as doubles.
inline void bytesToLanes(const unsigned char* src, Lanes& out) {
  for (int w = 0; w < kLanes; ++w) out[w] = src[w];
}

// Genotypes of kLanes consecutive individuals from one SNP column as
// doubles; the lanes past count read as missing, as do the lanes whose
// skip flag is set.
inline void loadRun(const unsigned char* src, int64_t count, const unsigned char* skip, Lanes& gd) {
  if (count >= kLanes && skip == nullptr) {
    bytesToLanes(src, gd);
    return;
  }
  unsigned char b[kLanes];
  for (int w = 0; w < kLanes; ++w) b[w] = w < count ? src[w] : kKernelMissing;
  if (skip != nullptr)
    for (int w = 0; w < kLanes && w < count; ++w)
      if (skip[w] != 0) b[w] = kKernelMissing;
  bytesToLanes(b, gd);
}

// A group of up to kLanes SNPs of one thread's block. Lanes past the end
// repeat the last SNP, whose results are not stored.
struct SnpGroup {
  int count = 0;
  const unsigned char* col[kLanes];
  int64_t snp[kLanes];
};

// r[k] receives the group's frequencies of population k; hap its haploid
// flags (1 or 0).
void loadSnpGroup(const StepInputs& in, int64_t l0, int64_t end, SnpGroup& sg, Lanes* r, Lanes& hap) {
  const int K = in.K;
  sg.count = static_cast<int>(minCount(kLanes, end - l0));
  for (int w = 0; w < kLanes; ++w) {
    const int64_t l = l0 + minCount(w, sg.count - 1);
    sg.snp[w] = l;
    sg.col[w] = in.g + in.I * l;
    hap[w] = (in.hapSnp != nullptr && in.hapSnp[l] != 0) ? 1.0 : 0.0;
    for (int k = 0; k < K; ++k) r[k][w] = in.pin[k + static_cast<int64_t>(K) * l];
  }
}

// Individual i's genotypes at the group's SNPs, gathered into kLanes bytes
// first so that they widen together.
inline void gatherGenotypes(const SnpGroup& sg, int64_t i, Lanes& gd) {
  unsigned char b[kLanes];
  for (int w = 0; w < kLanes; ++w) b[w] = sg.col[w][i];
  bytesToLanes(b, gd);
}

// Copies the K x n block of Qt starting at individual t0 into k-major rows of
// stride ld, so that consecutive individuals of one population lie next to
// each other.
void transposeTile(const double* qt, int K, int64_t t0, int64_t n, int64_t ld, double* qT) {
  for (int64_t j = 0; j < n; ++j)
    for (int k = 0; k < K; ++k) qT[k * ld + j] = qt[k + static_cast<int64_t>(K) * (t0 + j)];
}

// The per-individual work arrays of a tile, on the thread's work space: rows
// of ld doubles (a whole number of lane groups), zero past the tile's last
// individual. A tile of at most `tile` individuals needs tileDoubles(rows,
// tile) doubles.
struct Tile {
  int64_t ld;
  size_t rows;
  Lanes* store;
  Tile(double* work, size_t rows_, int64_t maxIndividuals)
      : ld(roundUpToLanes(maxIndividuals)), rows(rows_), store(reinterpret_cast<Lanes*>(work)) {}
  double* row(size_t r) { return reinterpret_cast<double*>(store) + r * ld; }
  Lanes* lanes(size_t r) { return store + r * (ld / kLanes); }
  void clear() {
    const size_t groups = rows * static_cast<size_t>(ld / kLanes);
    for (size_t e = 0; e < groups; ++e) store[e] = Lanes{};
  }
};

size_t tileDoubles(size_t rows, int64_t tile) { return rows * static_cast<size_t>(roundUpToLanes(tile)); }

// The haploid flags (1 or 0) of a tile's individuals.
void tileHaploid(const StepInputs& in, int64_t t0, int64_t n, double* hap) {
  if (in.hapInd == nullptr) return;
  for (int64_t j = 0; j < n; ++j) hap[j] = in.hapInd[t0 + j] != 0 ? 1.0 : 0.0;
}

// The quadratic program of one column: A = -H from the lower triangle hl
// (entry t at hl[t * stride]), b = -gradient (grad[k * stride]), x0 the
// column's current values; the new column is written to out. Its arrays lie
// on the thread's work space, doubles(K, m) of them.
struct ColumnQP {
  int K;
  int m;  // equality rows: 0 for P, 1 for Q
  double *A, *b, *x0, *x, *lower, *upper, *C, *d;
  QPWorkspace& ws;
  static size_t doubles(int K, int m) {
    return static_cast<size_t>(K) * K + 6 * static_cast<size_t>(K) + static_cast<size_t>(m) * (K + 1);
  }
  ColumnQP(int K_, int m_, double* work, QPWorkspace& ws_) : K(K_), m(m_), ws(ws_) {
    A = work;
    b = A + static_cast<size_t>(K) * K;
    x0 = b + K;
    x = x0 + K;
    lower = x + K;
    upper = lower + K;
    C = upper + K;
    d = C + static_cast<size_t>(m) * K;
    for (int k = 0; k < K; ++k) {
      lower[k] = kKernelFeasibleLow;
      upper[k] = kKernelFeasibleHigh;
    }
    for (size_t e = 0; e < static_cast<size_t>(m) * K; ++e) C[e] = 1.0;
    for (int r = 0; r < m; ++r) d[r] = 1.0;
  }
  void solve(const double* grad, const double* hl, int64_t stride, const double* start, double* out) {
    for (int k = 0; k < K; ++k) {
      b[k] = -grad[k * stride];
      x0[k] = start[k];
      x[k] = start[k];
      for (int j = 0; j <= k; ++j) A[k + K * j] = A[j + K * k] = -hl[tri(k, j) * stride];
    }
    int status = 0;
    // A failed pivot (no data, too few genotypes) returns x = x0: the column
    // keeps its values. The status is not examined.
    fquadprog(A, b, m > 0 ? C : nullptr, m > 0 ? d : nullptr, lower, upper, x0, x, K, m, status, ws);
    for (int k = 0; k < K; ++k) out[k] = x[k];
  }
};

// Rows of the individual regions' tiles: EM keeps K of Q, K accumulators and
// the haploid flags; block relaxation K of Q, K gradients, the Hessian
// triangle and the haploid flags.
size_t emQRows(int K) { return 2 * static_cast<size_t>(K) + 1; }
size_t blockQRows(int K) { return 2 * static_cast<size_t>(K) + triangle(K) + 1; }

size_t workDoubles(KernelRegion region, int K) {
  const size_t k = static_cast<size_t>(K > 0 ? K : 0);
  switch (region) {
    case KernelRegion::kEmP:
      return 3 * k * kLanes;
    case KernelRegion::kEmQ:
      return tileDoubles(emQRows(K), tileSize(emQRows(K)));
    case KernelRegion::kBlockP:
      return (2 * k + triangle(K)) * kLanes + ColumnQP::doubles(K, 0);
    case KernelRegion::kBlockQ:
      return tileDoubles(blockQRows(K), tileSize(blockQRows(K))) + k + ColumnQP::doubles(K, 1);
  }
  return 0;
}

// ---- the fast regions --------------------------------------------------------

// One thread's block of the log-likelihood: one running product over the
// block, SNPs in order and individuals in order within each SNP, folded into
// the log sum whenever it falls below the floor. The genotype probabilities
// of kLanes individuals are computed side by side, which changes no value;
// the product then takes them one by one, so its chain of roundings is the
// defined one and the result is the same bits as the plain form's. A
// missing call multiplies by 1, which leaves the product as it is.
double loglikeBlock(const LoglikeInputs& in, int64_t begin, int64_t end) {
  const int K = in.K;
  const int64_t I = in.I;
  const Lanes one = (Lanes{} + 1.0);
  double product = 1.0;
  double partial = 0.0;
  Lanes prob;
  for (int64_t l = begin; l < end; ++l) {
    const unsigned char* gl = in.g + I * l;
    const double* pl = in.p + static_cast<int64_t>(K) * l;
    const bool snpHaploid = in.hapSnp != nullptr && in.hapSnp[l] != 0;
    for (int64_t i0 = 0; i0 < I; i0 += kLanes) {
      Lanes gd;
      loadRun(gl + i0, I - i0, nullptr, gd);
      Lanes p = Lanes{};
      for (int k = 0; k < K; ++k) {
        Lanes q;
        loadLanes(q, in.qT + k * in.ld + i0);
        p = p + q * pl[k];
      }
      const Lanes q = 1.0 - p;
      const Lanes het = p * q;
      Lanes hom0 = q * q;
      Lanes hom2 = p * p;
      if (snpHaploid) {
        Lanes hap;
        loadLanes(hap, in.hapInd + i0);
        hom0 = hap != 0.0 ? q : hom0;
        hom2 = hap != 0.0 ? p : hom2;
      }
      prob = gd == 0.0 ? hom0 : (gd == 2.0 ? hom2 : (gd == 1.0 ? het : one));
      const int n = static_cast<int>(minCount(kLanes, I - i0));
      for (int w = 0; w < n; ++w) {
        product = product * prob[w];
        if (product < kProductFloor) {
          partial = partial + std::log(product);
          product = 1.0;
        }
      }
    }
  }
  return std::log(product) + partial;
}

// EM, the P region of one thread: groups of kLanes SNPs walk the individuals
// together, each SNP with its own sums. KC as for blockPFor below.
template <int KC>
void emPFor(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work) {
  const int K = KC > 0 ? KC : in.K;
  const int64_t I = in.I;
  const Lanes one = (Lanes{} + 1.0);
  Lanes* r = reinterpret_cast<Lanes*>(work);
  Lanes fixedSums[KC > 0 ? 2 * KC : 1];
  Lanes* num = KC > 0 ? fixedSums : r + K;
  Lanes* den = num + K;
  Lanes hap = Lanes{};
  SnpGroup sg;
  for (int64_t l0 = begin; l0 < end; l0 += kLanes) {
    loadSnpGroup(in, l0, end, sg, r, hap);
    const Lanes fHaploid = hap != 0.0 ? (Lanes{} + 0.5) : one;
    for (int k = 0; k < K; ++k) num[k] = den[k] = Lanes{};
    for (int64_t i = 0; i < I; ++i) {
      const double* qi = in.qt + static_cast<int64_t>(K) * i;
      const Lanes f = (in.hapInd != nullptr && in.hapInd[i] != 0) ? fHaploid : one;
      Lanes gd;
      gatherGenotypes(sg, i, gd);
      const LaneMask observed = gd != static_cast<double>(kKernelMissing);
      Lanes p = Lanes{};
      for (int k = 0; k < K; ++k) p = p + qi[k] * r[k];
      const LaneMask nonzero = p != 0.0;
      const LaneMask nonone = p != 1.0;
      const Lanes pd = nonzero ? p : one;
      const Lanes qd = nonone ? 1.0 - p : one;
      auto accumulate = [&](auto whole) {
        typedef decltype(whole) W;
        for (int k = 0; k < K; ++k) {
          const double q = qi[k];
          const Lanes a = nonzero ? gd * f * q * r[k] / pd : Lanes{};
          const Lanes b = nonone ? (2.0 - gd) * f * q * (1.0 - r[k]) / qd : Lanes{};
          num[k] = keep<W>(observed, num[k] + a, num[k]);
          den[k] = keep<W>(observed, den[k] + a + b, den[k]);
        }
      };
      if (everyLaneObserved(observed))
        accumulate(Whole<true>{});
      else
        accumulate(Whole<false>{});
    }
    for (int w = 0; w < sg.count; ++w) {
      const int64_t l = sg.snp[w];
      double* out = np + static_cast<int64_t>(K) * l;
      if (pinMonomorphic(in, l, sg.col[w], out)) continue;
      for (int k = 0; k < K; ++k) {
        const double d = den[k][w];
        // No observed allele from this population (a SNP without data in a
        // cross-validation fold): keep the frequency rather than make 0/0.
        out[k] = d != 0 ? num[k][w] / d : r[k][w];
      }
    }
  }
}

// EM, the Q region of one thread: tiles of individuals in a transposed work
// layout, SNPs outer so that each SNP's genotypes of the tile are read in
// memory order; each individual still sums its SNPs in ascending order. KC
// as for blockPFor below.
template <int KC>
void emQFor(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end, double* work) {
  const int K = KC > 0 ? KC : in.K;
  const int64_t I = in.I;
  const int64_t L = in.L;
  const unsigned char* ref = in.ref;
  const Lanes one = (Lanes{} + 1.0);
  const int64_t tile = tileSize(emQRows(K));
  Tile t(work, emQRows(K), minCount(tile, maxCount(0, end - begin)));
  for (int64_t t0 = begin; t0 < end; t0 += tile) {
    const int64_t n = minCount(t0 + tile, end) - t0;
    const int64_t groups = (n + kLanes - 1) / kLanes;
    t.clear();
    transposeTile(in.qt, K, t0, n, t.ld, t.row(0));
    tileHaploid(in, t0, n, t.row(2 * K));
    const Lanes* qT = t.lanes(0);
    Lanes* acc = t.lanes(K);
    const Lanes* hapT = t.lanes(2 * K);
    const int64_t stride = t.ld / kLanes;
    for (int64_t l = 0; l < L; ++l) {
      const unsigned char* gl = in.g + I * l + t0;
      const double* pl = pcur + static_cast<int64_t>(K) * l;
      const bool snpHaploid = in.hapSnp != nullptr && in.hapSnp[l] != 0;
      for (int64_t c = 0; c < groups; ++c) {
        Lanes gd;
        loadRun(gl + c * kLanes, n - c * kLanes, ref != nullptr ? ref + t0 + c * kLanes : nullptr, gd);
        const LaneMask observed = gd != static_cast<double>(kKernelMissing);
        const Lanes f = snpHaploid ? (hapT[c] != 0.0 ? (Lanes{} + 0.5) : one) : one;
        Lanes p = Lanes{};
        for (int k = 0; k < K; ++k) p = p + qT[k * stride + c] * pl[k];
        const LaneMask nonzero = p != 0.0;
        const LaneMask nonone = p != 1.0;
        const Lanes pd = nonzero ? p : one;
        const Lanes qd = nonone ? 1.0 - p : one;
        auto accumulate = [&](auto whole) {
          typedef decltype(whole) W;
          for (int k = 0; k < K; ++k) {
            const double r = pl[k];
            const Lanes q = qT[k * stride + c];
            const Lanes a = nonzero ? gd * f * q * r / pd : Lanes{};
            const Lanes b = nonone ? (2.0 - gd) * f * q * (1 - r) / qd : Lanes{};
            Lanes& ak = acc[k * stride + c];
            ak = keep<W>(observed, ak + a + b, ak);
          }
        };
        if (everyLaneObserved(observed))
          accumulate(Whole<true>{});
        else
          accumulate(Whole<false>{});
      }
    }
    const double* accd = t.row(K);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t i = t0 + j;
      const double* qi = in.qt + static_cast<int64_t>(K) * i;
      double* out = nq + static_cast<int64_t>(K) * i;
      double sum = 0.0;
      if (ref == nullptr || ref[i] == 0)
        for (int k = 0; k < K; ++k) sum += accd[k * t.ld + j];
      if (sum != 0) {
        for (int k = 0; k < K; ++k) out[k] = accd[k * t.ld + j] / sum;
      } else {
        // A reference individual, or one without observed genotypes
        // (cross-validation folds): its fractions stay as they were.
        for (int k = 0; k < K; ++k) out[k] = qi[k];
      }
    }
  }
}

// Block relaxation, the P region of one thread: groups of kLanes SNPs walk
// the individuals together, each SNP with its own gradient and Hessian. KC
// is K when it is fixed at compile time (the small K of most runs; the loops
// over the populations then unroll and the group's sums stay in registers),
// 0 for any K.
template <int KC>
void blockPFor(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work, QPWorkspace& ws) {
  const int K = KC > 0 ? KC : in.K;
  const int64_t I = in.I;
  const size_t KT = triangle(K);
  const Lanes one = (Lanes{} + 1.0);
  Lanes* r = reinterpret_cast<Lanes*>(work);
  Lanes* gradStore = r + K;
  Lanes* hlStore = gradStore + K;
  Lanes fixedSums[KC > 0 ? KC + KC * (KC + 1) / 2 : 1];
  Lanes* grad = KC > 0 ? fixedSums : gradStore;
  Lanes* hl = grad + K;
  Lanes hap = Lanes{};
  ColumnQP qp(K, 0, reinterpret_cast<double*>(hlStore + KT), ws);
  SnpGroup sg;
  for (int64_t l0 = begin; l0 < end; l0 += kLanes) {
    loadSnpGroup(in, l0, end, sg, r, hap);
    const Lanes fHaploid = hap != 0.0 ? (Lanes{} + 0.5) : one;
    for (size_t e = 0; e < static_cast<size_t>(K) + KT; ++e) grad[e] = Lanes{};
    for (int64_t i = 0; i < I; ++i) {
      const double* qi = in.qt + static_cast<int64_t>(K) * i;
      const Lanes f = (in.hapInd != nullptr && in.hapInd[i] != 0) ? fHaploid : one;
      Lanes gd;
      gatherGenotypes(sg, i, gd);
      const LaneMask observed = gd != static_cast<double>(kKernelMissing);
      Lanes p = Lanes{};
      for (int k = 0; k < K; ++k) p = p + qi[k] * r[k];
      const Lanes alpha = 1.0 / (p == 0.0 ? one : p);
      const Lanes beta = 1.0 / (p == 1.0 ? one : 1.0 - p);
      const Lanes slope = gd * alpha - (2.0 - gd) * beta;
      const Lanes curv = f * (gd * (alpha * alpha) + (2.0 - gd) * (beta * beta));
      auto accumulate = [&](auto whole) {
        typedef decltype(whole) W;
        size_t t = 0;
        for (int k = 0; k < K; ++k) {
          const double qk = qi[k];
          grad[k] = keep<W>(observed, grad[k] + f * qk * slope, grad[k]);
          const Lanes ck = curv * qk;
          for (int j = 0; j <= k; ++j, ++t) hl[t] = keep<W>(observed, hl[t] - ck * qi[j], hl[t]);
        }
      };
      if (everyLaneObserved(observed))
        accumulate(Whole<true>{});
      else
        accumulate(Whole<false>{});
    }
    if (KC > 0)
      for (size_t e = 0; e < static_cast<size_t>(K) + KT; ++e) gradStore[e] = grad[e];
    const double* gradd = reinterpret_cast<const double*>(gradStore);
    const double* hld = reinterpret_cast<const double*>(hlStore);
    for (int w = 0; w < sg.count; ++w) {
      const int64_t l = sg.snp[w];
      double* out = np + static_cast<int64_t>(K) * l;
      if (pinMonomorphic(in, l, sg.col[w], out)) continue;
      qp.solve(gradd + w, hld + w, kLanes, in.pin + static_cast<int64_t>(K) * l, out);
    }
  }
}

// Block relaxation, the Q region of one thread: tiles of individuals in a
// transposed work layout (gradients and Hessian triangles of the tile's
// individuals side by side), SNPs outer. KC as for blockPFor.
template <int KC>
void blockQFor(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end, double* work,
               QPWorkspace& ws) {
  const int K = KC > 0 ? KC : in.K;
  const int64_t I = in.I;
  const int64_t L = in.L;
  const unsigned char* ref = in.ref;
  const Lanes one = (Lanes{} + 1.0);
  const size_t rows = blockQRows(K);
  const int64_t tile = tileSize(rows);
  Tile t(work, rows, minCount(tile, maxCount(0, end - begin)));
  double* oneMinusR = work + tileDoubles(rows, tile);
  ColumnQP qp(K, 1, oneMinusR + K, ws);  // the fractions of one individual sum to 1
  for (int64_t t0 = begin; t0 < end; t0 += tile) {
    const int64_t n = minCount(t0 + tile, end) - t0;
    const int64_t groups = (n + kLanes - 1) / kLanes;
    t.clear();
    transposeTile(in.qt, K, t0, n, t.ld, t.row(0));
    tileHaploid(in, t0, n, t.row(rows - 1));
    const Lanes* qT = t.lanes(0);
    Lanes* grad = t.lanes(K);
    Lanes* hl = t.lanes(2 * K);
    const Lanes* hapT = t.lanes(rows - 1);
    const int64_t stride = t.ld / kLanes;
    for (int64_t l = 0; l < L; ++l) {
      const unsigned char* gl = in.g + I * l + t0;
      const double* pl = pcur + static_cast<int64_t>(K) * l;
      const bool snpHaploid = in.hapSnp != nullptr && in.hapSnp[l] != 0;
      for (int k = 0; k < K; ++k) oneMinusR[k] = 1 - pl[k];
      for (int64_t c0 = 0; c0 < groups; ++c0) {
        Lanes gd;
        loadRun(gl + c0 * kLanes, n - c0 * kLanes, ref != nullptr ? ref + t0 + c0 * kLanes : nullptr, gd);
        const LaneMask observed = gd != static_cast<double>(kKernelMissing);
        const Lanes f = snpHaploid ? (hapT[c0] != 0.0 ? (Lanes{} + 0.5) : one) : one;
        Lanes p = Lanes{};
        for (int k = 0; k < K; ++k) p = p + qT[k * stride + c0] * pl[k];
        const Lanes alpha = 1.0 / (p == 0.0 ? one : p);
        const Lanes beta = 1.0 / (p == 1.0 ? one : 1.0 - p);
        const Lanes ga = gd * alpha;
        const Lanes hb = (2.0 - gd) * beta;
        const Lanes ga2 = gd * (alpha * alpha);
        const Lanes hb2 = (2.0 - gd) * (beta * beta);
        auto accumulate = [&](auto whole) {
          typedef decltype(whole) W;
          size_t e = 0;
          for (int k = 0; k < K; ++k) {
            const double rk = pl[k];
            const double sk = oneMinusR[k];
            Lanes& gk = grad[k * stride + c0];
            gk = keep<W>(observed, gk + f * (ga * rk + hb * sk), gk);
            const Lanes uk = ga2 * rk;
            const Lanes vk = hb2 * sk;
            for (int j = 0; j <= k; ++j, ++e) {
              Lanes& hkj = hl[e * stride + c0];
              hkj = keep<W>(observed, hkj - f * (uk * pl[j] + vk * oneMinusR[j]), hkj);
            }
          }
        };
        if (everyLaneObserved(observed))
          accumulate(Whole<true>{});
        else
          accumulate(Whole<false>{});
      }
    }
    double* gradd = t.row(K);
    const double* hld = t.row(2 * K);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t i = t0 + j;
      const double* qi = in.qt + static_cast<int64_t>(K) * i;
      double* out = nq + static_cast<int64_t>(K) * i;
      if (ref != nullptr && ref[i] != 0) {
        for (int k = 0; k < K; ++k) out[k] = qi[k];
        continue;
      }
      if (in.penalized)
        for (int k = 0; k < K; ++k)
          gradd[k * t.ld + j] = gradd[k * t.ld + j] - in.lambda / ((in.epsilon + qi[k]) * in.c);
      qp.solve(gradd + j, hld + j, t.ld, qi, out);
    }
  }
}

// The kernels as the KernelSet holds them: the copy for a fixed K of 1 to 4,
// the general one for any other K.
void emP(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work) {
  switch (in.K) {
    case 1: return emPFor<1>(in, np, begin, end, work);
    case 2: return emPFor<2>(in, np, begin, end, work);
    case 3: return emPFor<3>(in, np, begin, end, work);
    case 4: return emPFor<4>(in, np, begin, end, work);
    default: return emPFor<0>(in, np, begin, end, work);
  }
}

void emQ(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end, double* work) {
  switch (in.K) {
    case 1: return emQFor<1>(in, pcur, nq, begin, end, work);
    case 2: return emQFor<2>(in, pcur, nq, begin, end, work);
    case 3: return emQFor<3>(in, pcur, nq, begin, end, work);
    case 4: return emQFor<4>(in, pcur, nq, begin, end, work);
    default: return emQFor<0>(in, pcur, nq, begin, end, work);
  }
}

void blockP(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work, QPWorkspace& ws) {
  switch (in.K) {
    case 1: return blockPFor<1>(in, np, begin, end, work, ws);
    case 2: return blockPFor<2>(in, np, begin, end, work, ws);
    case 3: return blockPFor<3>(in, np, begin, end, work, ws);
    case 4: return blockPFor<4>(in, np, begin, end, work, ws);
    default: return blockPFor<0>(in, np, begin, end, work, ws);
  }
}

void blockQ(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end, double* work,
            QPWorkspace& ws) {
  switch (in.K) {
    case 1: return blockQFor<1>(in, pcur, nq, begin, end, work, ws);
    case 2: return blockQFor<2>(in, pcur, nq, begin, end, work, ws);
    case 3: return blockQFor<3>(in, pcur, nq, begin, end, work, ws);
    case 4: return blockQFor<4>(in, pcur, nq, begin, end, work, ws);
    default: return blockQFor<0>(in, pcur, nq, begin, end, work, ws);
  }
}

}  // namespace

extern const KernelSet KELVANORE_KERNEL_SET;
const KernelSet KELVANORE_KERNEL_SET = {KELVANORE_KERNEL_NAME, kLanes, workDoubles, loglikeBlock,
                                        emP, emQ, blockP, blockQ};
