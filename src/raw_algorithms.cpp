#include "raw_algorithms.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "feasible.h"
#include "fquadprog.h"
#include "kernel_level.h"
#include "kernels.h"
#include "options.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"

static_assert(kKernelMissing == kMissing, "the kernels' missing code is the readers'");
static_assert(kKernelFeasibleLow == kFeasibleLow && kKernelFeasibleHigh == kFeasibleHigh,
              "the kernels' bounds are the feasible region's");

namespace {

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

// The team that a region starts: the runtime's default size, which the
// work space is allocated for before the region.
int teamSize() { return std::max(1, omp_get_max_threads()); }

// The log-likelihood's per-thread sums, added after the region in thread
// order (0, 1, ...) rather than as the threads finish, so that a rerun with
// the same thread count gives the same bits.
class ThreadSums {
 public:
  explicit ThreadSums(int threads) : sums_(static_cast<size_t>(threads), 0.0) {}
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
  std::vector<double> sums_;  // one per thread of the team that the region starts
  int team_ = 0;
};

// Haploid flags of one call, one byte per individual and per SNP; empty when
// haploid mode is off, so that the kernels get null pointers and test one
// pointer per SNP.
struct HaploidFlags {
  std::vector<unsigned char> ind;
  std::vector<unsigned char> snp;
};

void buildHaploidFlags(const DatasetMetadata& meta, const Shape& s, HaploidFlags& h) {
  if (!haploidModeEnabled) return;
  if (static_cast<int64_t>(meta.indInfo.size()) < s.I ||
      static_cast<int64_t>(meta.snpInfo.size()) < s.L)
    stopWithMessage("Error: the dataset description does not match the genotype matrix.");
  h.ind.resize(static_cast<size_t>(s.I));
  h.snp.resize(static_cast<size_t>(s.L));
  for (int64_t i = 0; i < s.I; ++i) h.ind[i] = meta.indInfo[i].haploid ? 1 : 0;
  for (int64_t l = 0; l < s.L; ++l) h.snp[l] = meta.snpInfo[l].haploid ? 1 : 0;
}

const unsigned char* dataOrNull(const std::vector<unsigned char>& v) { return v.empty() ? nullptr : v.data(); }

// Every thread's work space of one region, allocated on the calling thread
// before the region starts: a worker thread that ran out of memory could
// not stop the run cleanly. Each thread's part is 64-byte aligned, as the
// widest lane groups need.
class RegionWork {
 public:
  RegionWork(const KernelSet& kernels, KernelRegion region, int K_, int solverRows)
      : threads_(teamSize()),
        stride_((kernels.workDoubles(region, K_) + kAlignDoubles - 1) / kAlignDoubles * kAlignDoubles),
        store_(static_cast<size_t>(threads_) * stride_ + kAlignDoubles, 0.0) {
    if (solverRows >= 0)
      for (int t = 0; t < threads_; ++t) solvers_.push_back(std::make_unique<QPWorkspace>(K_, solverRows));
  }
  int threads() const { return threads_; }
  double* work(int t) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(store_.data());
    const uintptr_t aligned = (base + kAlignBytes - 1) / kAlignBytes * kAlignBytes;
    return reinterpret_cast<double*>(aligned) + static_cast<size_t>(t) * stride_;
  }
  QPWorkspace& solver(int t) { return *solvers_[static_cast<size_t>(t)]; }

 private:
  static constexpr size_t kAlignBytes = 64;
  static constexpr size_t kAlignDoubles = kAlignBytes / sizeof(double);
  int threads_;
  size_t stride_;
  std::vector<double> store_;
  std::vector<std::unique_ptr<QPWorkspace>> solvers_;
};

// The penalty's sum in the defined order: individuals outer, populations
// inner.
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
  const KernelSet& kernels = activeKernels();
  const Shape s = checkShape(G, Qt_, P_);
  HaploidFlags h;
  buildHaploidFlags(meta, s, h);
  // Q transposed once per call (K x I doubles, each row padded by one lane
  // group of zeros) and the individuals' haploid flags, shared read-only.
  const int64_t ld = s.I + kernels.lanes;
  std::vector<double> qT(static_cast<size_t>(s.K + 1) * static_cast<size_t>(ld), 0.0);
  const double* qt = Qt_.data().begin();
  for (int64_t i = 0; i < s.I; ++i)
    for (int k = 0; k < s.K; ++k) qT[k * ld + i] = qt[k + static_cast<int64_t>(s.K) * i];
  double* hapInd = qT.data() + static_cast<size_t>(s.K) * ld;
  for (size_t i = 0; i < h.ind.size(); ++i) hapInd[i] = h.ind[i] != 0 ? 1.0 : 0.0;
  const LoglikeInputs in{s.I, s.L, s.K, G.data().begin(), qT.data(), hapInd, ld, P_.data().begin(),
                         dataOrNull(h.snp)};
  const int threads = teamSize();
  ThreadSums sums(threads);
#pragma omp parallel num_threads(threads)
  {
    int64_t begin, end;
    threadBlock(s.L, omp_get_num_threads(), omp_get_thread_num(), begin, end);
    sums.set(kernels.loglikeBlock(in, begin, end));
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

namespace {

// What one update step reads: its kernels' inputs, with the storage of the
// flags that the run state gives, and which matrices it estimates. Filled
// once by the step's entry point, on the calling thread.
struct Step {
  Shape s;
  HaploidFlags h;
  std::vector<unsigned char> ref;   // supervised reference individuals
  std::vector<unsigned char> mono;  // SNPs that the monomorphic table marks
  bool estimateP;
  bool estimateQ;
  StepInputs in;  // points into the flags above

  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  Step(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, const DatasetMetadata& meta)
      : s(checkShape(G, Qt_in, P_in)), estimateP(Options::estimateP), estimateQ(Options::estimateQ), in() {
    buildHaploidFlags(meta, s, h);
    if (Options::supervised && reference_pop != nullptr) {
      ref.resize(static_cast<size_t>(s.I));
      for (int64_t i = 0; i < s.I; ++i) ref[i] = reference_pop[i] >= 0 ? 1 : 0;
    }
    // A table made for another data set may be shorter than the SNPs: the
    // SNPs past its end are not marked.
    if (monomorphics != nullptr && s.L > 0) {
      mono.assign(static_cast<size_t>(s.L), 0);
      const int64_t marked = std::min<int64_t>(s.L, static_cast<int64_t>(monomorphics->size()));
      for (int64_t l = 0; l < marked; ++l) mono[l] = isMonomorphic(static_cast<int>(l)) ? 1 : 0;
    }
    in.I = s.I;
    in.L = s.L;
    in.K = s.K;
    in.g = G.data().begin();
    in.qt = Qt_in.data().begin();
    in.pin = P_in.data().begin();
    in.hapInd = dataOrNull(h.ind);
    in.hapSnp = dataOrNull(h.snp);
    in.ref = dataOrNull(ref);
    in.mono = dataOrNull(mono);
    in.penalized = false;
    in.lambda = in.epsilon = in.c = 0.0;
  }
};

// The outputs are written last, so that a caller may pass the same matrix as
// input and output.
void storeResults(const Step& step, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& newQ, DMatrix& newP,
                  DMatrix& Qt_out, DMatrix& P_out) {
  if (step.estimateP)
    P_out.swap(newP);
  else if (&P_out != &P_in)
    P_out = P_in;
  if (step.estimateQ)
    Qt_out.swap(newQ);
  else if (&Qt_out != &Qt_in)
    Qt_out = Qt_in;
}

// The frame of one update step: the P region over the SNPs, then the Q
// region over the individuals with the new P, each thread on its own block
// with its own work space; pRegion(begin, end, newP, work) and
// qRegion(begin, end, P in use, newQ, work) do the columns of one block.
template <typename PRegion, typename QRegion>
void updateStep(const Step& step, RegionWork* pWork, RegionWork* qWork, const DMatrix& Qt_in, const DMatrix& P_in,
                DMatrix& Qt_out, DMatrix& P_out, PRegion pRegion, QRegion qRegion) {
  const Shape& s = step.s;
  DMatrix newP;
  const double* pcur = P_in.data().begin();  // the frequencies the Q update uses
  if (step.estimateP) {
    newP.resize(s.K, static_cast<size_t>(s.L), false);
    std::fill(newP.data().begin(), newP.data().end(), 0.0);
    double* np = newP.data().begin();
    RegionWork& work = *pWork;
#pragma omp parallel num_threads(work.threads())
    {
      const int t = omp_get_thread_num();
      int64_t begin, end;
      threadBlock(s.L, omp_get_num_threads(), t, begin, end);
      pRegion(begin, end, np, work, t);
    }
    pcur = np;
  }

  DMatrix newQ;
  if (step.estimateQ) {
    newQ.resize(s.K, static_cast<size_t>(s.I), false);
    std::fill(newQ.data().begin(), newQ.data().end(), 0.0);
    double* nq = newQ.data().begin();
    RegionWork& work = *qWork;
#pragma omp parallel num_threads(work.threads())
    {
      const int t = omp_get_thread_num();
      int64_t begin, end;
      threadBlock(s.I, omp_get_num_threads(), t, begin, end);
      qRegion(begin, end, pcur, nq, work, t);
    }
  }

  storeResults(step, Qt_in, P_in, newQ, newP, Qt_out, P_out);
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

// The work space of a region that the step runs, none for one it skips.
std::unique_ptr<RegionWork> regionWork(bool runs, const KernelSet& kernels, KernelRegion region, int K_,
                                       int solverRows) {
  if (!runs) return nullptr;
  return std::make_unique<RegionWork>(kernels, region, K_, solverRows);
}

}  // namespace

void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta) {
  const KernelSet& kernels = activeKernels();
  const Step step(G, Qt_in, P_in, meta);
  const StepInputs& in = step.in;
  // No solver: -1 rows.
  auto pWork = regionWork(step.estimateP, kernels, KernelRegion::kEmP, in.K, -1);
  auto qWork = regionWork(step.estimateQ, kernels, KernelRegion::kEmQ, in.K, -1);
  updateStep(
      step, pWork.get(), qWork.get(), Qt_in, P_in, Qt_out, P_out,
      [&](int64_t begin, int64_t end, double* np, RegionWork& work, int t) {
        kernels.emP(in, np, begin, end, work.work(t));
      },
      [&](int64_t begin, int64_t end, const double* pcur, double* nq, RegionWork& work, int t) {
        kernels.emQ(in, pcur, nq, begin, end, work.work(t));
      });
}

void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta) {
  const KernelSet& kernels = activeKernels();
  Step step(G, Qt_in, P_in, meta);
  if (passThroughWithoutPopulations(step.s, Qt_in, P_in, Qt_out, P_out)) return;
  StepInputs& in = step.in;
  in.penalized = Options::penaltyfunction.lambda != 0;  // NaN counts as on
  in.lambda = pf.lambda;
  in.epsilon = pf.epsilon;
  in.c = in.penalized ? std::log(1.0 + 1.0 / pf.epsilon) : 0.0;
  // The columns of P have no equality; those of Q sum to 1.
  auto pWork = regionWork(step.estimateP, kernels, KernelRegion::kBlockP, in.K, 0);
  auto qWork = regionWork(step.estimateQ, kernels, KernelRegion::kBlockQ, in.K, 1);
  updateStep(
      step, pWork.get(), qWork.get(), Qt_in, P_in, Qt_out, P_out,
      [&](int64_t begin, int64_t end, double* np, RegionWork& work, int t) {
        kernels.blockP(in, np, begin, end, work.work(t), work.solver(t));
      },
      [&](int64_t begin, int64_t end, const double* pcur, double* nq, RegionWork& work, int t) {
        kernels.blockQ(in, pcur, nq, begin, end, work.work(t), work.solver(t));
      });
}
