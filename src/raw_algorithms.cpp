#include "raw_algorithms.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "quadprog.h"

namespace {

// The feasible box of every frequency and fraction; pinned monomorphic SNPs
// take its ends.
constexpr double kLowerBound = 1e-5;
constexpr double kUpperBound = 0.99999;

// The running product of genotype probabilities is folded into the log sum
// below this. Feasible factors are at least 1e-10, so the product stays above
// 1e-110 and never underflows.
constexpr double kProductFloor = 1e-100;

// Budget of one tile's per-individual accumulators in the individual
// regions: small enough to stay in the core's cache while every SNP's
// genotypes of the tile are read contiguously.
constexpr size_t kTileBytes = 64 * 1024;
constexpr int64_t kMinTile = 16;

struct Shape {
  int64_t I;  // individuals: rows of G, columns of Qt
  int64_t L;  // SNPs: columns of G and of P
  int K;      // populations: rows of Qt and of P
};

// Every kernel indexes G, Qt and P with one another's counts, so a mismatch
// would read outside the matrices.
Shape checkShape(const GMatrix& G, const DMatrix& Qt, const DMatrix& P) {
  if (Qt.size2() != G.size1() || P.size2() != G.size2() || Qt.size1() != P.size1())
    stopWithMessage("Error: the sizes of Q and P do not match the genotype matrix.");
  return Shape{static_cast<int64_t>(G.size1()), static_cast<int64_t>(G.size2()),
               static_cast<int>(P.size1())};
}

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
bool pinMonomorphic(int64_t l, int64_t I, const unsigned char* gl, int K, double* out) {
  if (I == 0 || monomorphics == nullptr || l >= static_cast<int64_t>(monomorphics->size()) ||
      !isMonomorphic(static_cast<int>(l)))
    return false;
  double value;
  if (gl[0] == 0)
    value = kLowerBound;
  else if (gl[0] == 2)
    value = kUpperBound;
  else
    return false;
  for (int k = 0; k < K; ++k) out[k] = value;
  return true;
}

int64_t tileSize(size_t doublesPerIndividual) {
  const int64_t t = static_cast<int64_t>(kTileBytes / (sizeof(double) * std::max<size_t>(1, doublesPerIndividual)));
  return std::max(kMinTile, t);
}

// Lower triangle, row by row: entry (k, j), j <= k.
inline size_t tri(int k, int j) { return static_cast<size_t>(k) * (k + 1) / 2 + j; }

double penaltySum(const DMatrix& Qt, const PenaltyFunction& pf) {
  const int K = static_cast<int>(Qt.size1());
  const int64_t I = static_cast<int64_t>(Qt.size2());
  const double* qt = Qt.data().begin();
  const double c = std::log(1.0 + 1.0 / pf.epsilon);
  double sum = 0.0;
  for (int64_t i = 0; i < I; ++i)
    for (int k = 0; k < K; ++k) sum = sum + pf.lambda * std::log(1.0 + qt[k + K * i] / pf.epsilon) / c;
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

double loglike(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt, P);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt.data().begin();
  const double* pp = P.data().begin();
  const int K = s.K;
  double total = 0.0;

#pragma omp parallel
  {
    int64_t begin, end;
    threadBlock(s.L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
    double product = 1.0;
    double partial = 0.0;
    for (int64_t l = begin; l < end; ++l) {
      const unsigned char* gl = g + s.I * l;
      const double* pl = pp + static_cast<int64_t>(K) * l;
      const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
      for (int64_t i = 0; i < s.I; ++i) {
        const unsigned char gv = gl[i];
        if (gv > 2) continue;  // missing, or no genotype at all
        const double* qi = qt + static_cast<int64_t>(K) * i;
        double p = 0.0;
        for (int k = 0; k < K; ++k) p += qi[k] * pl[k];
        double prob;
        if (snpHaploid && h.ind[i] != 0)
          prob = gv == 0 ? 1.0 - p : (gv == 2 ? p : p * (1.0 - p));
        else
          prob = gv == 0 ? (1.0 - p) * (1.0 - p) : (gv == 2 ? p * p : p * (1.0 - p));
        product = product * prob;
        if (product < kProductFloor) {
          partial = partial + std::log(product);
          product = 1.0;
        }
      }
    }
#pragma omp barrier
    const double sum = std::log(product) + partial;
#pragma omp atomic
    total += sum;
  }
  return total;
}

double penalty(const DMatrix& Qt, const PenaltyFunction& pf) {
  if (Options::penaltyfunction.lambda == 0) return 0.0;
  return penaltySum(Qt, pf);
}

double objective(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const PenaltyFunction& pf,
                 const DatasetMetadata& meta) {
  const double ll = loglike(G, Qt, P, meta);
  if (Options::penaltyfunction.lambda == 0) return ll;
  return ll - penaltySum(Qt, pf);
}

double loglike_slow(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt, P);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt.data().begin();
  const double* pp = P.data().begin();
  const int K = s.K;
  double total = 0.0;
  for (int64_t i = 0; i < s.I; ++i) {
    for (int64_t l = 0; l < s.L; ++l) {
      const unsigned char gv = g[i + s.I * l];
      if (gv > 2) continue;
      double p = 0.0;
      for (int k = 0; k < K; ++k) p += qt[k + static_cast<int64_t>(K) * i] * pp[k + static_cast<int64_t>(K) * l];
      const double f = (h.snp != nullptr && h.snp[l] != 0 && h.ind[i] != 0) ? 0.5 : 1.0;
      double term = 0.0;
      if (gv != 0) term += gv * std::log(p);
      if (gv != 2) term += (2 - gv) * std::log(1.0 - p);
      total += f * term;
    }
  }
  return total;
}

void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_in, P_in);
  const int64_t I = s.I;
  const int64_t L = s.L;
  const int K = s.K;
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  std::vector<unsigned char> refStore;
  const unsigned char* ref = buildReferenceFlags(I, refStore);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt_in.data().begin();
  const double* pin = P_in.data().begin();

  DMatrix newP;
  const double* pcur = pin;  // the frequencies the Q update uses
  if (Options::estimateP) {
    newP.resize(K, static_cast<size_t>(L), false);
    std::fill(newP.data().begin(), newP.data().end(), 0.0);
    double* np = newP.data().begin();

#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      for (int64_t l = begin; l < end; ++l) {
        const unsigned char* gl = g + I * l;
        const double* pl = pin + static_cast<int64_t>(K) * l;
        double* out = np + static_cast<int64_t>(K) * l;
        if (pinMonomorphic(l, I, gl, K, out)) continue;
        const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
        for (int k = 0; k < K; ++k) {
          const double r = pl[k];
          double num = 0.0;
          double den = 0.0;
          for (int64_t i = 0; i < I; ++i) {
            const unsigned char gv = gl[i];
            if (gv == kMissing) continue;
            const double* qi = qt + static_cast<int64_t>(K) * i;
            double p = 0.0;
            for (int kk = 0; kk < K; ++kk) p += qi[kk] * pl[kk];
            const double f = (snpHaploid && h.ind[i] != 0) ? 0.5 : 1.0;
            const double gd = gv;
            const double q = qi[k];
            const double a = p != 0 ? gd * f * q * r / p : 0.0;
            const double b = p != 1 ? (2 - gd) * f * q * (1 - r) / (1 - p) : 0.0;
            num = num + a;
            den = den + a + b;
          }
          // No observed allele from this population (a SNP without data in a
          // cross-validation fold): keep the frequency rather than make 0/0.
          out[k] = den != 0 ? num / den : r;
        }
      }
    }
    pcur = np;
  }

  DMatrix newQ;
  if (Options::estimateQ) {
    newQ.resize(K, static_cast<size_t>(I), false);
    std::fill(newQ.data().begin(), newQ.data().end(), 0.0);
    double* nq = newQ.data().begin();
    const int64_t tile = tileSize(2 * static_cast<size_t>(K));

#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(I, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      // SNPs outer over a tile of individuals, so genotypes are read in
      // memory order; each individual still sums its SNPs in ascending order.
      for (int64_t t0 = begin; t0 < end; t0 += tile) {
        const int64_t t1 = std::min(t0 + tile, end);
        for (int64_t l = 0; l < L; ++l) {
          const unsigned char* gl = g + I * l;
          const double* pl = pcur + static_cast<int64_t>(K) * l;
          const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
          for (int64_t i = t0; i < t1; ++i) {
            const unsigned char gv = gl[i];
            if (gv == kMissing || (ref != nullptr && ref[i] != 0)) continue;
            const double* qi = qt + static_cast<int64_t>(K) * i;
            double p = 0.0;
            for (int k = 0; k < K; ++k) p += qi[k] * pl[k];
            const double f = (snpHaploid && h.ind[i] != 0) ? 0.5 : 1.0;
            const double gd = gv;
            double* acc = nq + static_cast<int64_t>(K) * i;
            for (int k = 0; k < K; ++k) {
              const double q = qi[k];
              const double r = pl[k];
              const double a = p != 0 ? gd * f * q * r / p : 0.0;
              const double b = p != 1 ? (2 - gd) * f * q * (1 - r) / (1 - p) : 0.0;
              acc[k] = acc[k] + a + b;
            }
          }
        }
        for (int64_t i = t0; i < t1; ++i) {
          const double* qi = qt + static_cast<int64_t>(K) * i;
          double* acc = nq + static_cast<int64_t>(K) * i;
          double sum = 0.0;
          if (ref == nullptr || ref[i] == 0)
            for (int k = 0; k < K; ++k) sum += acc[k];
          if (sum != 0) {
            for (int k = 0; k < K; ++k) acc[k] = acc[k] / sum;
          } else {
            // A reference individual, or one without observed genotypes
            // (cross-validation folds): its fractions stay as they were.
            for (int k = 0; k < K; ++k) acc[k] = qi[k];
          }
        }
      }
    }
  }

  storeResults(Qt_in, P_in, newQ, newP, Qt_out, P_out);
}

void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_in, P_in);
  const int64_t I = s.I;
  const int64_t L = s.L;
  const int K = s.K;
  if (K == 0) {  // nothing to solve; the quadratic programs need K >= 1
    if (&P_out != &P_in) P_out = P_in;
    if (&Qt_out != &Qt_in) Qt_out = Qt_in;
    return;
  }
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  std::vector<unsigned char> refStore;
  const unsigned char* ref = buildReferenceFlags(I, refStore);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt_in.data().begin();
  const double* pin = P_in.data().begin();
  const size_t KT = static_cast<size_t>(K) * (K + 1) / 2;

  // Shared, read-only parts of every column's quadratic program.
  const DVector lower(K, kLowerBound);
  const DVector upper(K, kUpperBound);
  const DMatrix noC(0, 0);
  const DVector noD(0);
  const DMatrix sumC(1, K, 1.0);  // the fractions of one individual sum to 1
  const DVector sumD(1, 1.0);

  DMatrix newP;
  const double* pcur = pin;
  if (Options::estimateP) {
    newP.resize(K, static_cast<size_t>(L), false);
    std::fill(newP.data().begin(), newP.data().end(), 0.0);
    double* np = newP.data().begin();

#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      std::vector<double> grad(K);
      std::vector<double> hl(KT);
      DMatrix A(K, K);
      DVector b(K), x0(K), x(K);
      double* a = A.data().begin();
      QPWorkspace ws(K, 1);
      int status = 0;
      for (int64_t l = begin; l < end; ++l) {
        const unsigned char* gl = g + I * l;
        const double* pl = pin + static_cast<int64_t>(K) * l;
        double* out = np + static_cast<int64_t>(K) * l;
        if (pinMonomorphic(l, I, gl, K, out)) continue;
        const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
        std::fill(grad.begin(), grad.end(), 0.0);
        std::fill(hl.begin(), hl.end(), 0.0);
        for (int64_t i = 0; i < I; ++i) {
          const unsigned char gv = gl[i];
          if (gv == kMissing) continue;
          const double* qi = qt + static_cast<int64_t>(K) * i;
          const double f = (snpHaploid && h.ind[i] != 0) ? 0.5 : 1.0;
          double p = 0.0;
          for (int k = 0; k < K; ++k) p += qi[k] * pl[k];
          const double alpha = p == 0 ? 1.0 : 1.0 / p;
          const double beta = p == 1 ? 1.0 : 1.0 / (1 - p);
          const double gd = gv;
          const double slope = gd * alpha - (2 - gd) * beta;
          const double curv = f * (gd * (alpha * alpha) + (2 - gd) * (beta * beta));
          for (int k = 0; k < K; ++k) {
            const double qk = qi[k];
            grad[k] = grad[k] + f * qk * slope;
            const double ck = curv * qk;
            double* row = &hl[tri(k, 0)];
            for (int j = 0; j <= k; ++j) row[j] = row[j] - ck * qi[j];
          }
        }
        for (int k = 0; k < K; ++k) {
          b(k) = -grad[k];
          x0(k) = pl[k];
          x(k) = pl[k];
          for (int j = 0; j <= k; ++j) a[k + K * j] = a[j + K * k] = -hl[tri(k, j)];
        }
        // A failed pivot (no data, too few genotypes) returns x = x0: the
        // column keeps its values.
        quadprog(A, b, noC, noD, lower, upper, x0, x, status, ws);
        for (int k = 0; k < K; ++k) out[k] = x(k);
      }
    }
    pcur = np;
  }

  DMatrix newQ;
  if (Options::estimateQ) {
    newQ.resize(K, static_cast<size_t>(I), false);
    std::fill(newQ.data().begin(), newQ.data().end(), 0.0);
    double* nq = newQ.data().begin();
    const int64_t tile = tileSize(static_cast<size_t>(K) + KT);
    const bool penalized = Options::penaltyfunction.lambda != 0;  // NaN counts as on
    const double c = penalized ? std::log(1.0 + 1.0 / pf.epsilon) : 0.0;

#pragma omp parallel
    {
      int64_t begin, end;
      threadBlock(I, omp_get_num_threads(), omp_get_thread_num(), begin, end);
      const int64_t n = std::min(tile, std::max<int64_t>(0, end - begin));
      // The tile's gradients (K each) and Hessian lower triangles (KT each).
      std::vector<double> grad(static_cast<size_t>(n) * K);
      std::vector<double> hl(static_cast<size_t>(n) * KT);
      std::vector<double> oneMinusR(K);
      DMatrix A(K, K);
      DVector b(K), x0(K), x(K);
      double* a = A.data().begin();
      QPWorkspace ws(K, 1);
      int status = 0;
      // SNPs outer over a tile of individuals, so genotypes are read in
      // memory order; each individual still sums its SNPs in ascending order.
      for (int64_t t0 = begin; t0 < end; t0 += tile) {
        const int64_t t1 = std::min(t0 + tile, end);
        std::fill(grad.begin(), grad.end(), 0.0);
        std::fill(hl.begin(), hl.end(), 0.0);
        for (int64_t l = 0; l < L; ++l) {
          const unsigned char* gl = g + I * l;
          const double* pl = pcur + static_cast<int64_t>(K) * l;
          const bool snpHaploid = h.snp != nullptr && h.snp[l] != 0;
          for (int k = 0; k < K; ++k) oneMinusR[k] = 1 - pl[k];
          for (int64_t i = t0; i < t1; ++i) {
            const unsigned char gv = gl[i];
            if (gv == kMissing || (ref != nullptr && ref[i] != 0)) continue;
            const double* qi = qt + static_cast<int64_t>(K) * i;
            const double f = (snpHaploid && h.ind[i] != 0) ? 0.5 : 1.0;
            double p = 0.0;
            for (int k = 0; k < K; ++k) p += qi[k] * pl[k];
            const double alpha = p == 0 ? 1.0 : 1.0 / p;
            const double beta = p == 1 ? 1.0 : 1.0 / (1 - p);
            const double gd = gv;
            const double ga = gd * alpha;
            const double hb = (2 - gd) * beta;
            const double ga2 = gd * (alpha * alpha);
            const double hb2 = (2 - gd) * (beta * beta);
            double* gi = &grad[static_cast<size_t>(i - t0) * K];
            double* hi = &hl[static_cast<size_t>(i - t0) * KT];
            for (int k = 0; k < K; ++k) {
              const double rk = pl[k];
              const double sk = oneMinusR[k];
              gi[k] = gi[k] + f * (ga * rk + hb * sk);
              const double uk = ga2 * rk;
              const double vk = hb2 * sk;
              double* row = hi + tri(k, 0);
              for (int j = 0; j <= k; ++j) row[j] = row[j] - f * (uk * pl[j] + vk * oneMinusR[j]);
            }
          }
        }
        for (int64_t i = t0; i < t1; ++i) {
          const double* qi = qt + static_cast<int64_t>(K) * i;
          double* out = nq + static_cast<int64_t>(K) * i;
          if (ref != nullptr && ref[i] != 0) {
            for (int k = 0; k < K; ++k) out[k] = qi[k];
            continue;
          }
          double* gi = &grad[static_cast<size_t>(i - t0) * K];
          const double* hi = &hl[static_cast<size_t>(i - t0) * KT];
          if (penalized)
            for (int k = 0; k < K; ++k) gi[k] = gi[k] - pf.lambda / ((pf.epsilon + qi[k]) * c);
          for (int k = 0; k < K; ++k) {
            b(k) = -gi[k];
            x0(k) = qi[k];
            x(k) = qi[k];
            for (int j = 0; j <= k; ++j) a[k + K * j] = a[j + K * k] = -hi[tri(k, j)];
          }
          quadprog(A, b, sumC, sumD, lower, upper, x0, x, status, ws);
          for (int k = 0; k < K; ++k) out[k] = x(k);
        }
      }
    }
  }

  storeResults(Qt_in, P_in, newQ, newP, Qt_out, P_out);
}
