// The plain scalar forms of the kernels, written from the definitions with
// nothing of the fast forms' arithmetic: one column at a time, the
// per-column work space made afresh, and every sum in the defined order:
// the expected frequency over k = 0 ... K - 1; a column of P over the
// individuals i = 0 ... I - 1, a column of Q over the SNPs l = 0 ... L - 1,
// each in increasing order (for EM, the P update recomputes the expected
// frequency for every population k). They share nothing with the program's
// engine but the split of a range among threads (threadBlock) and the
// solver.
#include "reference_kernels.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "feasible.h"
#include "options.h"
#include "quadprog.h"
#include "raw_algorithms.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"
#include "types.h"

namespace {

// The running product is folded into the log sum below this (the
// log-likelihood's definition).
constexpr double kProductFloor = 1e-100;

struct Shape {
  int64_t I;
  int64_t L;
  int K;
};

Shape checkShape(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_) {
  if (Qt_.size2() != G.size1() || P_.size2() != G.size2() || Qt_.size1() != P_.size1())
    stopWithMessage("Error: the sizes of Q and P do not match the genotype matrix.");
  return Shape{static_cast<int64_t>(G.size1()), static_cast<int64_t>(G.size2()),
               static_cast<int>(P_.size1())};
}

// Whether call (i, l) is haploid.
bool haploidCall(const DatasetMetadata& meta, int64_t i, int64_t l) {
  return haploidModeEnabled && meta.indInfo[static_cast<size_t>(i)].haploid &&
         meta.snpInfo[static_cast<size_t>(l)].haploid;
}

void checkMetadata(const DatasetMetadata& meta, const Shape& s) {
  if (haploidModeEnabled && (static_cast<int64_t>(meta.indInfo.size()) < s.I ||
                             static_cast<int64_t>(meta.snpInfo.size()) < s.L))
    stopWithMessage("Error: the dataset description does not match the genotype matrix.");
}

// What one update step reads, with the haploid weight and the reference
// flag of the run state.
struct StepInputs {
  Shape s;
  const DatasetMetadata& meta;
  const unsigned char* g;
  const double* qt;
  const double* pin;

  StepInputs(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, const DatasetMetadata& meta_)
      : s(checkShape(G, Qt_in, P_in)), meta(meta_), g(G.data().begin()), qt(Qt_in.data().begin()),
        pin(P_in.data().begin()) {
    checkMetadata(meta, s);
  }
  bool isReference(int64_t i) const { return Options::supervised && reference_pop != nullptr && reference_pop[i] >= 0; }
  // The weight of call (i, l): a haploid call counts one allele, not two.
  double weight(int64_t i, int64_t l) const { return haploidCall(meta, i, l) ? 0.5 : 1.0; }
};

// Column l of a new P is pinned when the table marks the SNP monomorphic and
// its first genotype is 0 or 2.
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

// The frame of one step: the P region over the SNPs, then the Q region over
// the individuals with the new P; the outputs written last.
// With no population there is no quadratic program: the inputs pass
// through.
bool passThroughWithoutPopulations(const Shape& s, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                                   DMatrix& P_out) {
  if (s.K != 0) return false;
  if (&P_out != &P_in) P_out = P_in;
  if (&Qt_out != &Qt_in) Qt_out = Qt_in;
  return true;
}

template <typename PRegion, typename QRegion>
void updateStep(const Shape& s, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                PRegion pRegion, QRegion qRegion) {
  DMatrix newP;
  const double* pcur = P_in.data().begin();
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
  if (Options::estimateP)
    P_out.swap(newP);
  else if (&P_out != &P_in)
    P_out = P_in;
  if (Options::estimateQ)
    Qt_out.swap(newQ);
  else if (&Qt_out != &Qt_in)
    Qt_out = Qt_in;
}

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

double loglike_slow(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_, P_);
  checkMetadata(meta, s);
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
      const double f = haploidCall(meta, i, l) ? 0.5 : 1.0;
      double term = 0.0;
      if (gv != 0) term += gv * std::log(p);
      if (gv != 2) term += (2 - gv) * std::log(1.0 - p);
      total += f * term;
    }
  }
  return total;
}

double loglike_reference(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                         const DatasetMetadata& meta) {
  const Shape s = checkShape(G, Qt_, P_);
  checkMetadata(meta, s);
  const unsigned char* g = G.data().begin();
  const double* qt = Qt_.data().begin();
  const double* pp = P_.data().begin();
  const int K_ = s.K;
  // One sum per thread, added in thread order after the region.
  std::vector<double> sums(static_cast<size_t>(std::max(1, omp_get_max_threads())), 0.0);
  int team = 0;

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
        const bool haploid = haploidCall(meta, i, l);
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
    if (omp_get_thread_num() == 0) team = omp_get_num_threads();
    sums[static_cast<size_t>(omp_get_thread_num())] = std::log(product) + partial;
  }
  double total = 0.0;
  for (int t = 0; t < team; ++t) total = total + sums[static_cast<size_t>(t)];
  return total;
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
