#include "raw_algorithms.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "feasible.h"
#include "fquadprog.h"
#include "quadprog.h"

namespace {

// The running product of genotype probabilities is folded into the log sum
// below this. Feasible factors are at least 1e-10, so the product stays above
// 1e-110 and never underflows.
constexpr double kProductFloor = 1e-100;

// Columns handled side by side by the fast kernels: one AVX-512 register of
// doubles, two AVX2 ones. Each lane is one column (a SNP in the P regions, an
// individual in the Q regions and the log-likelihood) with its own
// accumulators, so every column keeps the summation order of the plain form.
constexpr int kLanes = 8;

// Budget of one tile's per-individual work arrays in the individual regions:
// they stay in the core's first-level cache while each SNP's genotypes of the
// tile are read contiguously.
constexpr size_t kTileBytes = 32 * 1024;
// At least one cache line of genotypes per SNP and tile.
constexpr int64_t kMinTile = 64;

struct Shape {
  int64_t I;  // individuals: rows of G, columns of Qt
  int64_t L;  // SNPs: columns of G and of P
  int K;      // populations: rows of Qt and of P
};

// Every kernel indexes G, Qt and P with one another's counts, so a mismatch
// would read outside the matrices.
Shape checkShape(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_) {
  if (Qt_.size2() != G.size1() || P_.size2() != G.size2() || Qt_.size1() != P_.size1())
    stopWithMessage("Error: the sizes of Q and P do not match the genotype matrix.");
  return Shape{static_cast<int64_t>(G.size1()), static_cast<int64_t>(G.size2()),
               static_cast<int>(P_.size1())};
}

// The log-likelihood's per-thread sums, added after the region in thread
// order (0, 1, ...) rather than as the threads finish, so that a rerun with
// the same thread count gives the same bits.
class ThreadSums {
 public:
  ThreadSums() : sums_(static_cast<size_t>(std::max(1, omp_get_max_threads())), 0.0) {}
  // Called once by every thread of the region.
  void set(double sum) {
    const int t = omp_get_thread_num();
    if (t == 0) team_ = omp_get_num_threads();
    sums_[static_cast<size_t>(t)] = sum;
  }
  double total() const {
    double total = 0.0;
    for (int t = 0; t < team_; ++t) total = total + sums_[static_cast<size_t>(t)];
    return total;
  }

 private:
  std::vector<double> sums_;  // one per thread of the team that the region can start
  int team_ = 0;
};

// Haploid flags of one call, one byte per individual and per SNP. Both
// pointers are null when haploid mode is off, so the hot loops test one
// pointer per SNP.
struct HaploidFlags {
  std::vector<unsigned char> indStore;
  std::vector<unsigned char> snpStore;
  const unsigned char* ind = nullptr;
  const unsigned char* snp = nullptr;
};

void buildHaploidFlags(const DatasetMetadata& meta, const Shape& s, HaploidFlags& h) {
  if (!haploidModeEnabled) return;
  if (static_cast<int64_t>(meta.indInfo.size()) < s.I ||
      static_cast<int64_t>(meta.snpInfo.size()) < s.L)
    stopWithMessage("Error: the dataset description does not match the genotype matrix.");
  h.indStore.resize(static_cast<size_t>(s.I));
  h.snpStore.resize(static_cast<size_t>(s.L));
  for (int64_t i = 0; i < s.I; ++i) h.indStore[i] = meta.indInfo[i].haploid ? 1 : 0;
  for (int64_t l = 0; l < s.L; ++l) h.snpStore[l] = meta.snpInfo[l].haploid ? 1 : 0;
  h.ind = h.indStore.data();
  h.snp = h.snpStore.data();
}

// Supervised reference individuals keep their Q column. Null when the run is
// not supervised (or has no labels), so nobody is skipped.
const unsigned char* buildReferenceFlags(int64_t I, std::vector<unsigned char>& store) {
  if (!Options::supervised || reference_pop == nullptr) return nullptr;
  store.resize(static_cast<size_t>(I));
  for (int64_t i = 0; i < I; ++i) store[i] = reference_pop[i] >= 0 ? 1 : 0;
  return store.data();
}

// Pins column l of a new P when the table marks the SNP monomorphic and its
// first genotype tells which allele it carries. A table made for another
// data set can mark a SNP whose first genotype is neither 0 nor 2: that SNP
// is updated like any other, so its column is always defined.
bool pinMonomorphic(int64_t l, int64_t I_, const unsigned char* gl, int K_, double* out) {
  if (I_ == 0 || monomorphics == nullptr || l >= static_cast<int64_t>(monomorphics->size()) ||
      !isMonomorphic(static_cast<int>(l)))
    return false;
  double value;
  if (gl[0] == 0)
    value = kFeasibleLow;
  else if (gl[0] == 2)
    value = kFeasibleHigh;
  else
    return false;
  for (int k = 0; k < K_; ++k) out[k] = value;
  return true;
}

// Individuals per tile, a multiple of the lane count.
int64_t tileSize(size_t doublesPerIndividual) {
  const int64_t t = static_cast<int64_t>(kTileBytes / (sizeof(double) * std::max<size_t>(1, doublesPerIndividual)));
  return std::max(kMinTile, t - t % kLanes);
}

// Lower triangle, row by row: entry (k, j), j <= k.
inline size_t tri(int k, int j) { return static_cast<size_t>(k) * (k + 1) / 2 + j; }

double penaltySum(const DMatrix& Qt_, const PenaltyFunction& pf) {
  const int K_ = static_cast<int>(Qt_.size1());
  const int64_t I_ = static_cast<int64_t>(Qt_.size2());
  const double* qt = Qt_.data().begin();
  const double c = std::log(1.0 + 1.0 / pf.epsilon);
  double sum = 0.0;
  for (int64_t i = 0; i < I_; ++i)
    for (int k = 0; k < K_; ++k) sum = sum + pf.lambda * std::log(1.0 + qt[k + K_ * i] / pf.epsilon) / c;
  return sum;
}

// The outputs are written last, so that a caller may pass the same matrix as
// input and output.
void storeResults(const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& newQ, DMatrix& newP,
                  DMatrix& Qt_out, DMatrix& P_out) {
  if (Options::estimateP)
    P_out.swap(newP);
  else if (&P_out != &P_in)
    P_out = P_in;
  if (Options::estimateQ)
    Qt_out.swap(newQ);
  else if (&Qt_out != &Qt_in)
    Qt_out = Qt_in;
}

// ---- lane groups -------------------------------------------------------------
//
// A lane group holds kLanes columns in one vector (GCC vector extensions:
// element-wise IEEE operations, lowered to whatever vector width the target
// has). The fast kernels run every lane through the same operations in the
// same order as the plain forms; a lane whose genotype is missing (or that
// pads a short group) computes a value that a select then discards, so no
// branch depends on the data and no result sees a padded lane.

typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));
typedef long long LaneMask __attribute__((vector_size(kLanes * sizeof(long long))));

// Vectors are passed by reference only: by value they would make the
// functions' calling convention depend on the target's vector registers.
inline void loadLanes(Lanes& v, const double* src) { std::memcpy(&v, src, sizeof v); }

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
  for (int w = 0; w < kLanes; ++w) b[w] = w < count ? src[w] : kMissing;
  if (skip != nullptr)
    for (int w = 0; w < kLanes && w < count; ++w)
      if (skip[w] != 0) b[w] = kMissing;
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
void loadSnpGroup(const unsigned char* g, const double* pp, int64_t I_, int K_, int64_t l0,
                  int64_t end, const HaploidFlags& h, SnpGroup& sg, Lanes* r, Lanes& hap) {
  sg.count = static_cast<int>(std::min<int64_t>(kLanes, end - l0));
  for (int w = 0; w < kLanes; ++w) {
    const int64_t l = l0 + std::min(w, sg.count - 1);
    sg.snp[w] = l;
    sg.col[w] = g + I_ * l;
    hap[w] = (h.snp != nullptr && h.snp[l] != 0) ? 1.0 : 0.0;
    for (int k = 0; k < K_; ++k) r[k][w] = pp[k + static_cast<int64_t>(K_) * l];
  }
}

// Individual i's genotypes at the group's SNPs, gathered into eight bytes
// first so that they widen together.
inline void gatherGenotypes(const SnpGroup& sg, int64_t i, Lanes& gd) {
  unsigned char b[kLanes];
  for (int w = 0; w < kLanes; ++w) b[w] = sg.col[w][i];
  bytesToLanes(b, gd);
}

// Copies the K x n block of Qt starting at individual t0 into k-major rows of
// stride ld, so that consecutive individuals of one population lie next to
// each other.
void transposeTile(const double* qt, int K_, int64_t t0, int64_t n, int64_t ld, double* qT) {
  for (int64_t j = 0; j < n; ++j)
    for (int k = 0; k < K_; ++k) qT[k * ld + j] = qt[k + static_cast<int64_t>(K_) * (t0 + j)];
}

// The per-individual work arrays of a tile: rows of ld doubles (a whole
// number of lane groups), zero past the tile's last individual.
struct Tile {
  int64_t ld = 0;
  std::vector<Lanes> store;
  Tile(size_t rows, int64_t maxIndividuals)
      : ld((maxIndividuals + kLanes - 1) / kLanes * kLanes),
        store(rows * static_cast<size_t>(ld / kLanes)) {}
  double* row(size_t r) { return reinterpret_cast<double*>(store.data()) + r * ld; }
  Lanes* lanes(size_t r) { return store.data() + r * (ld / kLanes); }
  void clear() { std::fill(store.begin(), store.end(), Lanes{}); }
};

// ---- the fast regions --------------------------------------------------------

// One thread's block of the log-likelihood: one running product over the
// block, SNPs in order and individuals in order within each SNP, folded into
// the log sum whenever it falls below the floor. The genotype probabilities
// of kLanes individuals are computed side by side, which changes no value;
// the product then takes them one by one, so its chain of roundings is the
// defined one and the result is the same bits as the plain form's. A
// missing call multiplies by 1, which leaves the product as it is.
// qT holds Q's rows with stride ld and hapInd the individuals' haploid flags
// as 1 or 0 (both zero past the last individual).
double loglikeBlock(const unsigned char* g, const double* qT, const double* hapInd, int64_t ld,
                    const double* pp, const Shape& s, const HaploidFlags& h, int64_t begin,
                    int64_t end) {
  const int K_ = s.K;
  const int64_t I_ = s.I;
  const Lanes one = (Lanes{} + 1.0);
  double product = 1.0;
  double partial = 0.0;
  Lanes prob;
  for (int64_t l = begin; l < end; ++l) {
    const unsigned char* gl = g + I_ * l;
    const double* pl = pp + static_cast<int64_t>(K_) * l;
    const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
    for (int64_t i0 = 0; i0 < I_; i0 += kLanes) {
      Lanes gd;
      loadRun(gl + i0, I_ - i0, nullptr, gd);
      Lanes p = Lanes{};
      for (int k = 0; k < K_; ++k) {
        Lanes q;
        loadLanes(q, qT + k * ld + i0);
        p = p + q * pl[k];
      }
      const Lanes q = 1.0 - p;
      const Lanes het = p * q;
      Lanes hom0 = q * q;
      Lanes hom2 = p * p;
      if (snpHaploid) {
        Lanes hap;
        loadLanes(hap, hapInd + i0);
        hom0 = hap != 0.0 ? q : hom0;
        hom2 = hap != 0.0 ? p : hom2;
      }
      prob = gd == 0.0 ? hom0 : (gd == 2.0 ? hom2 : (gd == 1.0 ? het : one));
      const int n = static_cast<int>(std::min<int64_t>(kLanes, I_ - i0));
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
// together, each SNP with its own sums.
void mmPBlock(const unsigned char* g, const double* qt, const double* pin, double* np,
              const Shape& s, const HaploidFlags& h, int64_t begin, int64_t end) {
  const int K_ = s.K;
  const int64_t I_ = s.I;
  const Lanes one = (Lanes{} + 1.0);
  std::vector<Lanes> store(3 * static_cast<size_t>(K_));
  Lanes* r = store.data();
  Lanes* num = r + K_;
  Lanes* den = num + K_;
  Lanes hap;
  SnpGroup sg;
  for (int64_t l0 = begin; l0 < end; l0 += kLanes) {
    loadSnpGroup(g, pin, I_, K_, l0, end, h, sg, r, hap);
    const Lanes fHaploid = hap != 0.0 ? (Lanes{} + 0.5) : one;
    for (int k = 0; k < K_; ++k) num[k] = den[k] = Lanes{};
    for (int64_t i = 0; i < I_; ++i) {
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      const Lanes f = (h.ind != nullptr && h.ind[i] != 0) ? fHaploid : one;
      Lanes gd;
      gatherGenotypes(sg, i, gd);
      const LaneMask observed = gd != static_cast<double>(kMissing);
      Lanes p = Lanes{};
      for (int k = 0; k < K_; ++k) p = p + qi[k] * r[k];
      const LaneMask nonzero = p != 0.0;
      const LaneMask nonone = p != 1.0;
      const Lanes pd = nonzero ? p : one;
      const Lanes qd = nonone ? 1.0 - p : one;
      for (int k = 0; k < K_; ++k) {
        const double q = qi[k];
        const Lanes a = nonzero ? gd * f * q * r[k] / pd : Lanes{};
        const Lanes b = nonone ? (2.0 - gd) * f * q * (1.0 - r[k]) / qd : Lanes{};
        num[k] = observed ? num[k] + a : num[k];
        den[k] = observed ? den[k] + a + b : den[k];
      }
    }
    for (int w = 0; w < sg.count; ++w) {
      const int64_t l = sg.snp[w];
      double* out = np + static_cast<int64_t>(K_) * l;
      if (pinMonomorphic(l, I_, sg.col[w], K_, out)) continue;
      for (int k = 0; k < K_; ++k) {
        const double d = den[k][w];
        // No observed allele from this population (a SNP without data in a
        // cross-validation fold): keep the frequency rather than make 0/0.
        out[k] = d != 0 ? num[k][w] / d : r[k][w];
      }
    }
  }
}

// The haploid flags (1 or 0) of a tile's individuals.
void tileHaploid(const HaploidFlags& h, int64_t t0, int64_t n, double* hap) {
  if (h.ind == nullptr) return;
  for (int64_t j = 0; j < n; ++j) hap[j] = h.ind[t0 + j] != 0 ? 1.0 : 0.0;
}

// EM, the Q region of one thread: tiles of individuals in a transposed work
// layout, SNPs outer so that each SNP's genotypes of the tile are read in
// memory order; each individual still sums its SNPs in ascending order.
void mmQBlock(const unsigned char* g, const double* qt, const double* pcur, double* nq,
              const Shape& s, const HaploidFlags& h, const unsigned char* ref, int64_t begin,
              int64_t end) {
  const int K_ = s.K;
  const int64_t I_ = s.I;
  const int64_t L_ = s.L;
  const Lanes one = (Lanes{} + 1.0);
  const int64_t tile = tileSize(2 * static_cast<size_t>(K_) + 1);
  // Rows: K of Q, K accumulators, the haploid flags.
  Tile t(2 * static_cast<size_t>(K_) + 1, std::min(tile, std::max<int64_t>(0, end - begin)));
  for (int64_t t0 = begin; t0 < end; t0 += tile) {
    const int64_t n = std::min(t0 + tile, end) - t0;
    const int64_t groups = (n + kLanes - 1) / kLanes;
    t.clear();
    transposeTile(qt, K_, t0, n, t.ld, t.row(0));
    tileHaploid(h, t0, n, t.row(2 * K_));
    const Lanes* qT = t.lanes(0);
    Lanes* acc = t.lanes(K_);
    const Lanes* hapT = t.lanes(2 * K_);
    const int64_t stride = t.ld / kLanes;
    for (int64_t l = 0; l < L_; ++l) {
      const unsigned char* gl = g + I_ * l + t0;
      const double* pl = pcur + static_cast<int64_t>(K_) * l;
      const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
      for (int64_t c = 0; c < groups; ++c) {
        Lanes gd;
        loadRun(gl + c * kLanes, n - c * kLanes, ref != nullptr ? ref + t0 + c * kLanes : nullptr, gd);
        const LaneMask observed = gd != static_cast<double>(kMissing);
        const Lanes f = snpHaploid ? (hapT[c] != 0.0 ? (Lanes{} + 0.5) : one) : one;
        Lanes p = Lanes{};
        for (int k = 0; k < K_; ++k) p = p + qT[k * stride + c] * pl[k];
        const LaneMask nonzero = p != 0.0;
        const LaneMask nonone = p != 1.0;
        const Lanes pd = nonzero ? p : one;
        const Lanes qd = nonone ? 1.0 - p : one;
        for (int k = 0; k < K_; ++k) {
          const double r = pl[k];
          const Lanes q = qT[k * stride + c];
          const Lanes a = nonzero ? gd * f * q * r / pd : Lanes{};
          const Lanes b = nonone ? (2.0 - gd) * f * q * (1 - r) / qd : Lanes{};
          Lanes& ak = acc[k * stride + c];
          ak = observed ? ak + a + b : ak;
        }
      }
    }
    const double* accd = t.row(K_);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t i = t0 + j;
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      double* out = nq + static_cast<int64_t>(K_) * i;
      double sum = 0.0;
      if (ref == nullptr || ref[i] == 0)
        for (int k = 0; k < K_; ++k) sum += accd[k * t.ld + j];
      if (sum != 0) {
        for (int k = 0; k < K_; ++k) out[k] = accd[k * t.ld + j] / sum;
      } else {
        // A reference individual, or one without observed genotypes
        // (cross-validation folds): its fractions stay as they were.
        for (int k = 0; k < K_; ++k) out[k] = qi[k];
      }
    }
  }
}

// The quadratic program of one column: A = -H from the lower triangle hl
// (entry t at hl[t * stride]), b = -gradient (grad[k * stride]), x0 the
// column's current values; the new column is written to out.
struct ColumnQP {
  int K;
  int m;  // equality rows: 0 for P, 1 for Q
  std::vector<double> A, b, x0, x, lower, upper, C, d;
  QPWorkspace ws;
  ColumnQP(int K_, int m_)
      : K(K_), m(m_), A(static_cast<size_t>(K_) * K_), b(K_), x0(K_), x(K_), lower(K_, kFeasibleLow),
        upper(K_, kFeasibleHigh), C(static_cast<size_t>(m_) * K_, 1.0), d(m_, 1.0), ws(K_, m_) {}
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
    fquadprog(A.data(), b.data(), m > 0 ? C.data() : nullptr, m > 0 ? d.data() : nullptr,
              lower.data(), upper.data(), x0.data(), x.data(), K, m, status, ws);
    for (int k = 0; k < K; ++k) out[k] = x[k];
  }
};

// Block relaxation, the P region of one thread: groups of kLanes SNPs walk
// the individuals together, each SNP with its own gradient and Hessian.
void blockPBlock(const unsigned char* g, const double* qt, const double* pin, double* np,
                 const Shape& s, const HaploidFlags& h, int64_t begin, int64_t end) {
  const int K_ = s.K;
  const int64_t I_ = s.I;
  const size_t KT = static_cast<size_t>(K_) * (K_ + 1) / 2;
  const Lanes one = (Lanes{} + 1.0);
  std::vector<Lanes> store(2 * static_cast<size_t>(K_) + KT);
  Lanes* r = store.data();
  Lanes* grad = r + K_;
  Lanes* hl = grad + K_;
  Lanes hap;
  ColumnQP qp(K_, 0);
  SnpGroup sg;
  for (int64_t l0 = begin; l0 < end; l0 += kLanes) {
    loadSnpGroup(g, pin, I_, K_, l0, end, h, sg, r, hap);
    const Lanes fHaploid = hap != 0.0 ? (Lanes{} + 0.5) : one;
    for (size_t e = 0; e < static_cast<size_t>(K_) + KT; ++e) grad[e] = Lanes{};
    for (int64_t i = 0; i < I_; ++i) {
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      const Lanes f = (h.ind != nullptr && h.ind[i] != 0) ? fHaploid : one;
      Lanes gd;
      gatherGenotypes(sg, i, gd);
      const LaneMask observed = gd != static_cast<double>(kMissing);
      Lanes p = Lanes{};
      for (int k = 0; k < K_; ++k) p = p + qi[k] * r[k];
      const Lanes alpha = 1.0 / (p == 0.0 ? one : p);
      const Lanes beta = 1.0 / (p == 1.0 ? one : 1.0 - p);
      const Lanes slope = gd * alpha - (2.0 - gd) * beta;
      const Lanes curv = f * (gd * (alpha * alpha) + (2.0 - gd) * (beta * beta));
      size_t t = 0;
      for (int k = 0; k < K_; ++k) {
        const double qk = qi[k];
        grad[k] = observed ? grad[k] + f * qk * slope : grad[k];
        const Lanes ck = curv * qk;
        for (int j = 0; j <= k; ++j, ++t) hl[t] = observed ? hl[t] - ck * qi[j] : hl[t];
      }
    }
    const double* gradd = reinterpret_cast<const double*>(grad);
    const double* hld = reinterpret_cast<const double*>(hl);
    for (int w = 0; w < sg.count; ++w) {
      const int64_t l = sg.snp[w];
      double* out = np + static_cast<int64_t>(K_) * l;
      if (pinMonomorphic(l, I_, sg.col[w], K_, out)) continue;
      qp.solve(gradd + w, hld + w, kLanes, pin + static_cast<int64_t>(K_) * l, out);
    }
  }
}

// Block relaxation, the Q region of one thread: tiles of individuals in a
// transposed work layout (gradients and Hessian triangles of the tile's
// individuals side by side), SNPs outer.
void blockQBlock(const unsigned char* g, const double* qt, const double* pcur, double* nq,
                 const Shape& s, const HaploidFlags& h, const unsigned char* ref, bool penalized,
                 double lambda, double epsilon, double c, int64_t begin, int64_t end) {
  const int K_ = s.K;
  const int64_t I_ = s.I;
  const int64_t L_ = s.L;
  const size_t KT = static_cast<size_t>(K_) * (K_ + 1) / 2;
  const Lanes one = (Lanes{} + 1.0);
  const int64_t tile = tileSize(2 * static_cast<size_t>(K_) + KT + 1);
  // Rows: K of Q, K gradients, KT Hessian entries, the haploid flags.
  const size_t rows = 2 * static_cast<size_t>(K_) + KT + 1;
  Tile t(rows, std::min(tile, std::max<int64_t>(0, end - begin)));
  std::vector<double> oneMinusRStore(K_);
  double* oneMinusR = oneMinusRStore.data();
  ColumnQP qp(K_, 1);  // the fractions of one individual sum to 1
  for (int64_t t0 = begin; t0 < end; t0 += tile) {
    const int64_t n = std::min(t0 + tile, end) - t0;
    const int64_t groups = (n + kLanes - 1) / kLanes;
    t.clear();
    transposeTile(qt, K_, t0, n, t.ld, t.row(0));
    tileHaploid(h, t0, n, t.row(rows - 1));
    const Lanes* qT = t.lanes(0);
    Lanes* grad = t.lanes(K_);
    Lanes* hl = t.lanes(2 * K_);
    const Lanes* hapT = t.lanes(rows - 1);
    const int64_t stride = t.ld / kLanes;
    for (int64_t l = 0; l < L_; ++l) {
      const unsigned char* gl = g + I_ * l + t0;
      const double* pl = pcur + static_cast<int64_t>(K_) * l;
      const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
      for (int k = 0; k < K_; ++k) oneMinusR[k] = 1 - pl[k];
      for (int64_t c0 = 0; c0 < groups; ++c0) {
        Lanes gd;
        loadRun(gl + c0 * kLanes, n - c0 * kLanes, ref != nullptr ? ref + t0 + c0 * kLanes : nullptr, gd);
        const LaneMask observed = gd != static_cast<double>(kMissing);
        const Lanes f = snpHaploid ? (hapT[c0] != 0.0 ? (Lanes{} + 0.5) : one) : one;
        Lanes p = Lanes{};
        for (int k = 0; k < K_; ++k) p = p + qT[k * stride + c0] * pl[k];
        const Lanes alpha = 1.0 / (p == 0.0 ? one : p);
        const Lanes beta = 1.0 / (p == 1.0 ? one : 1.0 - p);
        const Lanes ga = gd * alpha;
        const Lanes hb = (2.0 - gd) * beta;
        const Lanes ga2 = gd * (alpha * alpha);
        const Lanes hb2 = (2.0 - gd) * (beta * beta);
        size_t e = 0;
        for (int k = 0; k < K_; ++k) {
          const double rk = pl[k];
          const double sk = oneMinusR[k];
          Lanes& gk = grad[k * stride + c0];
          gk = observed ? gk + f * (ga * rk + hb * sk) : gk;
          const Lanes uk = ga2 * rk;
          const Lanes vk = hb2 * sk;
          for (int j = 0; j <= k; ++j, ++e) {
            Lanes& hkj = hl[e * stride + c0];
            hkj = observed ? hkj - f * (uk * pl[j] + vk * oneMinusR[j]) : hkj;
          }
        }
      }
    }
    double* gradd = t.row(K_);
    const double* hld = t.row(2 * K_);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t i = t0 + j;
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      double* out = nq + static_cast<int64_t>(K_) * i;
      if (ref != nullptr && ref[i] != 0) {
        for (int k = 0; k < K_; ++k) out[k] = qi[k];
        continue;
      }
      if (penalized)
        for (int k = 0; k < K_; ++k)
          gradd[k * t.ld + j] = gradd[k * t.ld + j] - lambda / ((epsilon + qi[k]) * c);
      qp.solve(gradd + j, hld + j, t.ld, qi, out);
    }
  }
}

}  // namespace

void threadBlock(int64_t n, int T, int t, int64_t& begin, int64_t& end) {
  if (n <= 0 || T <= 0 || t < 0) {
    begin = end = 0;
    return;
  }
  const int64_t chunk = n / T + (n % T != 0 ? 1 : 0);
  begin = std::min(static_cast<int64_t>(t) * chunk, n);
  end = std::min(begin + chunk, n);
}

double loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_, P_);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  const unsigned char* g = G.data().begin();
  const double* pp = P_.data().begin();
  // Q transposed once per call (K x I doubles, each row padded by one lane
  // group of zeros) and the individuals' haploid flags, shared read-only.
  const int64_t ld = s.I + kLanes;
  std::vector<double> qT(static_cast<size_t>(s.K + 1) * static_cast<size_t>(ld), 0.0);
  transposeTile(Qt_.data().begin(), s.K, 0, s.I, ld, qT.data());
  double* hapInd = qT.data() + static_cast<size_t>(s.K) * ld;
  if (h.ind != nullptr)
    for (int64_t i = 0; i < s.I; ++i) hapInd[i] = h.ind[i] != 0 ? 1.0 : 0.0;
  ThreadSums sums;
#pragma omp parallel
  {
    int64_t begin, end;
    threadBlock(s.L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
    sums.set(loglikeBlock(g, qT.data(), hapInd, ld, pp, s, h, begin, end));
  }
  return sums.total();
}

double penalty(const DMatrix& Qt_, const PenaltyFunction& pf) {
  if (Options::penaltyfunction.lambda == 0) return 0.0;
  return penaltySum(Qt_, pf);
}

double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const PenaltyFunction& pf,
                 const DatasetMetadata& meta) {
  const double ll = loglike(G, Qt_, P_, meta);
  if (Options::penaltyfunction.lambda == 0) return ll;
  return ll - penaltySum(Qt_, pf);
}

double loglike_slow(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_, P_);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt_.data().begin();
  const double* pp = P_.data().begin();
  const int K_ = s.K;
  double total = 0.0;
  for (int64_t i = 0; i < s.I; ++i) {
    for (int64_t l = 0; l < s.L; ++l) {
      const unsigned char gv = g[i + s.I * l];
      if (gv > 2) continue;
      double p = 0.0;
      for (int k = 0; k < K_; ++k) p += qt[k + static_cast<int64_t>(K_) * i] * pp[k + static_cast<int64_t>(K_) * l];
      const double f = (h.snp != nullptr && h.snp[l] != 0 && h.ind[i] != 0) ? 0.5 : 1.0;
      double term = 0.0;
      if (gv != 0) term += gv * std::log(p);
      if (gv != 2) term += (2 - gv) * std::log(1.0 - p);
      total += f * term;
    }
  }
  return total;
}

namespace {

// What one update step reads besides the run configuration: the shape, the
// haploid and reference flags, and the raw storage of its inputs.
struct StepInputs {
  Shape s;
  HaploidFlags h;
  std::vector<unsigned char> refStore;
  const unsigned char* ref;  // null unless supervised
  const unsigned char* g;
  const double* qt;
  const double* pin;

  StepInputs(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, const DatasetMetadata& meta)
      : s(checkShape(G, Qt_in, P_in)),
        ref(nullptr),
        g(G.data().begin()),
        qt(Qt_in.data().begin()),
        pin(P_in.data().begin()) {
    buildHaploidFlags(meta, s, h);
    ref = buildReferenceFlags(s.I, refStore);
  }
  bool isReference(int64_t i) const { return ref != nullptr && ref[i] != 0; }
  // The weight of call (i, l): a haploid call counts one allele, not two.
  double weight(int64_t i, int64_t l) const {
    return (h.snp != nullptr && h.snp[l] != 0 && h.ind[i] != 0) ? 0.5 : 1.0;
  }
};

// The frame of one update step: the P region over the SNPs, then the Q
// region over the individuals with the new P, each thread on its own block;
// pRegion(begin, end, newP) and qRegion(begin, end, P in use, newQ) do the
// columns of one block.
template <typename PRegion, typename QRegion>
void updateStep(const Shape& s, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                PRegion pRegion, QRegion qRegion) {
  DMatrix newP;
  const double* pcur = P_in.data().begin();  // the frequencies the Q update uses
  if (Options::estimateP) {
    newP.resize(s.K, static_cast<size_t>(s.L), false);
    std::fill(newP.data().begin(), newP.data().end(), 0.0);
    double* np = newP.data().begin();
#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(s.L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      pRegion(begin, end, np);
    }
    pcur = np;
  }

  DMatrix newQ;
  if (Options::estimateQ) {
    newQ.resize(s.K, static_cast<size_t>(s.I), false);
    std::fill(newQ.data().begin(), newQ.data().end(), 0.0);
    double* nq = newQ.data().begin();
#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(s.I, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      qRegion(begin, end, pcur, nq);
    }
  }

  storeResults(Qt_in, P_in, newQ, newP, Qt_out, P_out);
}

// The quadratic programs need K >= 1; with no population there is nothing to
// solve and the step passes its inputs through.
bool passThroughWithoutPopulations(const Shape& s, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                                   DMatrix& P_out) {
  if (s.K != 0) return false;
  if (&P_out != &P_in) P_out = P_in;
  if (&Qt_out != &Qt_in) Qt_out = Qt_in;
  return true;
}

}  // namespace

void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta) {
  const StepInputs in(G, Qt_in, P_in, meta);
  updateStep(
      in.s, Qt_in, P_in, Qt_out, P_out,
      [&](int64_t begin, int64_t end, double* np) { mmPBlock(in.g, in.qt, in.pin, np, in.s, in.h, begin, end); },
      [&](int64_t begin, int64_t end, const double* pcur, double* nq) {
        mmQBlock(in.g, in.qt, pcur, nq, in.s, in.h, in.ref, begin, end);
      });
}

void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta) {
  const StepInputs in(G, Qt_in, P_in, meta);
  if (passThroughWithoutPopulations(in.s, Qt_in, P_in, Qt_out, P_out)) return;
  const bool penalized = Options::penaltyfunction.lambda != 0;  // NaN counts as on
  const double c = penalized ? std::log(1.0 + 1.0 / pf.epsilon) : 0.0;
  updateStep(
      in.s, Qt_in, P_in, Qt_out, P_out,
      [&](int64_t begin, int64_t end, double* np) { blockPBlock(in.g, in.qt, in.pin, np, in.s, in.h, begin, end); },
      [&](int64_t begin, int64_t end, const double* pcur, double* nq) {
        blockQBlock(in.g, in.qt, pcur, nq, in.s, in.h, in.ref, penalized, pf.lambda, pf.epsilon, c, begin, end);
      });
}

// ---- reference forms -----------------------------------------------------------
//
// The plain scalar forms of the kernels, written from the definitions with
// nothing of the fast forms' arithmetic: one column at a time, the
// per-column work space made afresh, and every sum in the defined order:
// the expected frequency over k = 0 ... K - 1; a column of P over the
// individuals i = 0 ... I - 1, a column of Q over the SNPs l = 0 ... L - 1,
// each in increasing order (for EM, the P update recomputes the expected
// frequency for every population k). They share only the step's frame and
// its inputs with the fast forms.

namespace {

// The expected frequency: q[k] r[k] summed in order k = 0 ... K - 1.
double expectedFrequency(const double* q, const double* r, int K_) {
  double p = 0.0;
  for (int k = 0; k < K_; ++k) p = p + q[k] * r[k];
  return p;
}

// 1 / p and 1 / (1 - p) of block relaxation, 1 where p is exactly 0 or 1.
void inverseFrequencies(double p, double& alpha, double& beta) {
  alpha = p == 0 ? 1.0 : 1.0 / p;
  beta = p == 1 ? 1.0 : 1.0 / (1 - p);
}

}  // namespace

double loglike_reference(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                         const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_, P_);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt_.data().begin();
  const double* pp = P_.data().begin();
  const int K_ = s.K;
  ThreadSums sums;

#pragma omp parallel
  {
    int64_t begin, end;
    threadBlock(s.L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
    double product = 1.0;
    double partial = 0.0;
    for (int64_t l = begin; l < end; ++l) {
      for (int64_t i = 0; i < s.I; ++i) {
        const unsigned char gv = g[i + s.I * l];
        if (gv > 2) continue;  // missing, or no genotype at all
        const double p =
            expectedFrequency(qt + static_cast<int64_t>(K_) * i, pp + static_cast<int64_t>(K_) * l, K_);
        const bool haploid = h.snp != nullptr && h.snp[l] != 0 && h.ind[i] != 0;
        double prob;
        if (gv == 0)
          prob = haploid ? 1 - p : (1 - p) * (1 - p);
        else if (gv == 1)
          prob = p * (1 - p);
        else
          prob = haploid ? p : p * p;
        product = product * prob;
        if (product < kProductFloor) {
          partial = partial + std::log(product);
          product = 1.0;
        }
      }
    }
    sums.set(std::log(product) + partial);
  }
  return sums.total();
}

void mm_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                          DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta) {
  const StepInputs in(G, Qt_in, P_in, meta);
  const int64_t I_ = in.s.I;
  const int64_t L_ = in.s.L;
  const int K_ = in.s.K;
  const unsigned char* g = in.g;
  const double* qt = in.qt;
  const double* pin = in.pin;

  auto pColumns = [&](int64_t begin, int64_t end, double* np) {
    for (int64_t l = begin; l < end; ++l) {
      if (pinMonomorphic(l, I_, g + I_ * l, K_, np + static_cast<int64_t>(K_) * l)) continue;
      for (int k = 0; k < K_; ++k) {
        const double r = pin[k + static_cast<int64_t>(K_) * l];
        double num = 0.0;
        double den = 0.0;
        for (int64_t i = 0; i < I_; ++i) {
          const unsigned char gv = g[i + I_ * l];
          if (gv == kMissing) continue;
          const double p =
              expectedFrequency(qt + static_cast<int64_t>(K_) * i, pin + static_cast<int64_t>(K_) * l, K_);
          const double f = in.weight(i, l);
          const double q = qt[k + static_cast<int64_t>(K_) * i];
          const double a = p != 0 ? gv * f * q * r / p : 0.0;
          const double b = p != 1 ? (2 - gv) * f * q * (1 - r) / (1 - p) : 0.0;
          num = num + a;
          den = den + a + b;
        }
        np[k + static_cast<int64_t>(K_) * l] = den != 0 ? num / den : r;
      }
    }
  };

  auto qColumns = [&](int64_t begin, int64_t end, const double* pcur, double* nq) {
    for (int64_t i = begin; i < end; ++i) {
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      double* out = nq + static_cast<int64_t>(K_) * i;
      if (in.isReference(i)) {
        for (int k = 0; k < K_; ++k) out[k] = qi[k];
        continue;
      }
      for (int64_t l = 0; l < L_; ++l) {
        const unsigned char gv = g[i + I_ * l];
        if (gv == kMissing) continue;
        const double* pl = pcur + static_cast<int64_t>(K_) * l;
        const double p = expectedFrequency(qi, pl, K_);
        const double f = in.weight(i, l);
        for (int k = 0; k < K_; ++k) {
          const double a = p != 0 ? gv * f * qi[k] * pl[k] / p : 0.0;
          const double b = p != 1 ? (2 - gv) * f * qi[k] * (1 - pl[k]) / (1 - p) : 0.0;
          out[k] = out[k] + a + b;
        }
      }
      double sum = 0.0;
      for (int k = 0; k < K_; ++k) sum = sum + out[k];
      if (sum != 0) {
        for (int k = 0; k < K_; ++k) out[k] = out[k] / sum;
      } else {
        for (int k = 0; k < K_; ++k) out[k] = qi[k];
      }
    }
  };

  updateStep(in.s, Qt_in, P_in, Qt_out, P_out, pColumns, qColumns);
}

void block_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                             DMatrix& Qt_out, DMatrix& P_out, const PenaltyFunction& pf,
                             const DatasetMetadata& meta) {
  const StepInputs in(G, Qt_in, P_in, meta);
  if (passThroughWithoutPopulations(in.s, Qt_in, P_in, Qt_out, P_out)) return;
  const int64_t I_ = in.s.I;
  const int64_t L_ = in.s.L;
  const int K_ = in.s.K;
  const unsigned char* g = in.g;
  const double* qt = in.qt;
  const double* pin = in.pin;
  const DVector lower(K_, kFeasibleLow);
  const DVector upper(K_, kFeasibleHigh);
  const DMatrix noC(0, 0);
  const DVector noD(0);
  const DMatrix sumC(1, K_, 1.0);
  const DVector sumD(1, 1.0);
  const bool penalized = Options::penaltyfunction.lambda != 0;

  // Maximises the column's quadratic model: A = -H, b = -gradient.
  auto solveColumn = [&](const DVector& gradient, const DMatrix& H, const DMatrix& C, const DVector& d,
                         const double* start, double* out) {
    DMatrix A(K_, K_);
    DVector b(K_), x0(K_), x(K_);
    for (int k = 0; k < K_; ++k) {
      b(k) = -gradient(k);
      x0(k) = start[k];
      x(k) = start[k];
      for (int j = 0; j < K_; ++j) A(k, j) = -H(k, j);
    }
    int status = 0;
    quadprog(A, b, C, d, lower, upper, x0, x, status);
    for (int k = 0; k < K_; ++k) out[k] = x(k);
  };

  auto pColumns = [&](int64_t begin, int64_t end, double* np) {
    for (int64_t l = begin; l < end; ++l) {
      if (pinMonomorphic(l, I_, g + I_ * l, K_, np + static_cast<int64_t>(K_) * l)) continue;
      const double* pl = pin + static_cast<int64_t>(K_) * l;
      DVector gradient(K_, 0.0);
      DMatrix H(K_, K_, 0.0);
      for (int64_t i = 0; i < I_; ++i) {
        const unsigned char gv = g[i + I_ * l];
        if (gv == kMissing) continue;
        const double* qi = qt + static_cast<int64_t>(K_) * i;
        const double f = in.weight(i, l);
        double alpha, beta;
        inverseFrequencies(expectedFrequency(qi, pl, K_), alpha, beta);
        for (int k = 0; k < K_; ++k) {
          gradient(k) = gradient(k) + f * qi[k] * (gv * alpha - (2 - gv) * beta);
          for (int j = 0; j <= k; ++j) {
            const double w = f * (gv * (alpha * alpha) + (2 - gv) * (beta * beta)) * qi[k] * qi[j];
            H(k, j) = H(k, j) - w;
            if (j != k) H(j, k) = H(j, k) - w;
          }
        }
      }
      solveColumn(gradient, H, noC, noD, pl, np + static_cast<int64_t>(K_) * l);
    }
  };

  auto qColumns = [&](int64_t begin, int64_t end, const double* pcur, double* nq) {
    for (int64_t i = begin; i < end; ++i) {
      const double* qi = qt + static_cast<int64_t>(K_) * i;
      double* out = nq + static_cast<int64_t>(K_) * i;
      if (in.isReference(i)) {
        for (int k = 0; k < K_; ++k) out[k] = qi[k];
        continue;
      }
      DVector gradient(K_, 0.0);
      DMatrix H(K_, K_, 0.0);
      for (int64_t l = 0; l < L_; ++l) {
        const unsigned char gv = g[i + I_ * l];
        if (gv == kMissing) continue;
        const double* pl = pcur + static_cast<int64_t>(K_) * l;
        const double f = in.weight(i, l);
        double alpha, beta;
        inverseFrequencies(expectedFrequency(qi, pl, K_), alpha, beta);
        for (int k = 0; k < K_; ++k) {
          const double rk = pl[k];
          gradient(k) = gradient(k) + f * (gv * alpha * rk + (2 - gv) * beta * (1 - rk));
          for (int j = 0; j <= k; ++j) {
            const double rj = pl[j];
            const double w = f * (gv * (alpha * alpha) * rk * rj + (2 - gv) * (beta * beta) * (1 - rk) * (1 - rj));
            H(k, j) = H(k, j) - w;
            if (j != k) H(j, k) = H(j, k) - w;
          }
        }
      }
      if (penalized) {
        const double c = std::log(1.0 + 1.0 / pf.epsilon);
        for (int k = 0; k < K_; ++k) gradient(k) = gradient(k) - pf.lambda / ((pf.epsilon + qi[k]) * c);
      }
      solveColumn(gradient, H, sumC, sumD, qi, out);
    }
  };

  updateStep(in.s, Qt_in, P_in, Qt_out, P_out, pColumns, qColumns);
}
