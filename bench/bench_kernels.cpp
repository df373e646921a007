// Times the engine kernels on a bed fileset with its truth files (as written
// by make_bench_data): the log-likelihood, the P and Q regions of the EM and
// block-relaxation steps, fast and plain forms side by side, and the
// quadratic programs of one block-relaxation step alone.
//
//   bench_kernels --data=DIR --K=3 [--reference-threads=1] [benchmark flags]
//
// DIR holds bench.bed/.bim/.fam and bench.K.Q.truth / bench.K.P.truth. The
// starting point is the truth, put into the feasible region by the engine's
// own repair.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bedfile.h"
#include "feasible.h"
#include "fquadprog.h"
#include "kernel_level.h"
#include "matrix_files.h"
#include "options.h"
#include "raw_algorithms.h"
#include "reference_kernels.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"
#include "types.h"

namespace {

std::string gDir;
int gK = 3;
DatasetMetadata gMeta;
BVector gMono;
DMatrix gQt, gP;

// A truth file of the program's text-matrix format, read as the program
// reads it; K x count once transposed.
void readTruth(const std::string& path, DMatrix& M, size_t rows, size_t cols) {
  DMatrix* read = nullptr;
  if (inputMatrix(path, &read, true) != 0) stopWithError("bench_kernels: cannot read " + path);
  if (read->size1() != rows || read->size2() != cols) stopWithError("bench_kernels: wrong size: " + path);
  M = *read;
  delete read;
}

void loadData() {
  readPlinkBedFiles(gDir + "/bench", gMeta);
  gMono.resize(L);
  buildMonomorphicsTable(*N, gMono);
  monomorphics = &gMono;
  const std::string k = std::to_string(gK);
  readTruth(gDir + "/bench." + k + ".Q.truth", gQt, gK, I);
  readTruth(gDir + "/bench." + k + ".P.truth", gP, gK, L);
  fix_infeasibility_problem(gQt, gP);
}

// Which half of a step a benchmark times.
enum Region { kP, kQ };

void setRegion(Region r) {
  Options::estimateP = r == kP;
  Options::estimateQ = r == kQ;
}

void setCounters(benchmark::State& state) {
  const double genotypes = static_cast<double>(I) * static_cast<double>(L);
  state.counters["ns_per_genotype"] =
      benchmark::Counter(genotypes * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                               benchmark::Counter::kInvert);
  state.counters["threads"] = static_cast<double>(state.range(0));
}

void BM_loglike(benchmark::State& state, bool fast) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  double v = 0.0;
  for (auto _ : state) {
    v = fast ? loglike(*N, gQt, gP, gMeta) : loglike_reference(*N, gQt, gP, gMeta);
    benchmark::DoNotOptimize(v);
  }
  setCounters(state);
}

void BM_em(benchmark::State& state, bool fast, Region region) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  setRegion(region);
  DMatrix q, p;
  for (auto _ : state) {
    if (fast)
      mm_iterate(*N, gQt, gP, q, p, gMeta);
    else
      mm_iterate_reference(*N, gQt, gP, q, p, gMeta);
    benchmark::ClobberMemory();
  }
  setRegion(kP);
  Options::estimateQ = true;
  setCounters(state);
}

void BM_block(benchmark::State& state, bool fast, Region region) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  setRegion(region);
  const PenaltyFunction pf{0.0, 0.1};
  DMatrix q, p;
  for (auto _ : state) {
    if (fast)
      block_iterate(*N, gQt, gP, q, p, pf, gMeta);
    else
      block_iterate_reference(*N, gQt, gP, q, p, pf, gMeta);
    benchmark::ClobberMemory();
  }
  Options::estimateP = true;
  Options::estimateQ = true;
  setCounters(state);
}

// The quadratic programs of one block-relaxation step, built once from the
// data at the starting point: A = -H and b = -gradient of every P column
// (no equality) or every Q column (sum to one).
struct Problems {
  int m = 0;
  std::vector<double> A, b, x0;
  size_t count = 0;
};

Problems gProblems[2];

void buildProblems(const DMatrix& Qt0, const DMatrix& P0, Problems* problems) {
  const int K = gK;
  const unsigned char* g = N->data().begin();
  const double* qt = Qt0.data().begin();
  const double* pp = P0.data().begin();
  const int64_t II = I, LL = L;
  for (int r = 0; r < 2; ++r) {
    Problems& pr = problems[r];
    pr.m = r == kQ ? 1 : 0;
    pr.count = static_cast<size_t>(r == kP ? LL : II);
    pr.A.assign(pr.count * K * K, 0.0);
    pr.b.assign(pr.count * K, 0.0);
    pr.x0.assign(pr.count * K, 0.0);
#pragma omp parallel for schedule(static)
    for (int64_t c = 0; c < static_cast<int64_t>(pr.count); ++c) {
      double* A = &pr.A[c * K * K];
      double* b = &pr.b[c * K];
      const int64_t outer = r == kP ? II : LL;
      for (int64_t o = 0; o < outer; ++o) {
        const int64_t i = r == kP ? o : c;
        const int64_t l = r == kP ? c : o;
        const unsigned char gv = g[i + II * l];
        if (gv == kMissing) continue;
        double p = 0.0;
        for (int k = 0; k < K; ++k) p += qt[k + K * i] * pp[k + K * l];
        const double alpha = 1.0 / p, beta = 1.0 / (1 - p);
        for (int k = 0; k < K; ++k) {
          const double uk = r == kP ? qt[k + K * i] : pp[k + K * l];
          const double vk = r == kP ? qt[k + K * i] : 1 - pp[k + K * l];
          b[k] -= r == kP ? uk * (gv * alpha - (2 - gv) * beta) : gv * alpha * uk + (2 - gv) * beta * vk;
          for (int j = 0; j < K; ++j) {
            const double uj = r == kP ? qt[j + K * i] : pp[j + K * l];
            const double vj = r == kP ? qt[j + K * i] : 1 - pp[j + K * l];
            A[k + K * j] += gv * alpha * alpha * uk * uj + (2 - gv) * beta * beta * vk * vj;
          }
        }
      }
      for (int k = 0; k < K; ++k) pr.x0[c * K + k] = r == kP ? pp[k + K * c] : qt[k + K * c];
    }
  }
}

// Solves every problem of one set once, on the current team; counts the
// solves that ended at the 1001st active-set change and those whose pivot
// test failed.
void solveAll(const Problems& pr, int64_t& cycled, int64_t& failed) {
  const int K = gK;
  const std::vector<double> lower(K, kFeasibleLow), upper(K, kFeasibleHigh), C(K, 1.0), d(1, 1.0);
  int64_t cycledAll = 0, failedAll = 0;
#pragma omp parallel reduction(+ : cycledAll, failedAll)
  {
    int64_t begin, end;
    threadBlock(static_cast<int64_t>(pr.count), omp_get_num_threads(), omp_get_thread_num(), begin, end);
    QPWorkspace ws(K, 1);
    std::vector<double> x(K);
    for (int64_t c = begin; c < end; ++c) {
      int status = 0;
      fquadprog(&pr.A[c * K * K], &pr.b[c * K], pr.m ? C.data() : nullptr, pr.m ? d.data() : nullptr,
                lower.data(), upper.data(), &pr.x0[c * K], x.data(), K, pr.m, status, ws);
      cycledAll += status == -1;
      failedAll += status == -2;
    }
  }
  cycled = cycledAll;
  failed = failedAll;
}

void BM_quadprog(benchmark::State& state, Region region) {
  const Problems& pr = gProblems[region];
  omp_set_num_threads(static_cast<int>(state.range(0)));
  int64_t cycled = 0, failed = 0;
  for (auto _ : state) solveAll(pr, cycled, failed);
  setCounters(state);
  state.counters["problems"] = static_cast<double>(pr.count);
  state.counters["cycled_1001"] = static_cast<double>(cycled);
  state.counters["failed_pivot"] = static_cast<double>(failed);
  state.counters["ns_per_problem"] = benchmark::Counter(
      static_cast<double>(pr.count) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void registerAll(int referenceThreads) {
  const std::vector<int> threads = {1, 2, 4, 8};
  auto reg = [&](const std::string& name, auto fn, bool fast) {
    auto* b = benchmark::RegisterBenchmark(name.c_str(), fn);
    b->UseRealTime()->Unit(benchmark::kMillisecond);
    if (fast) {
      for (int t : threads) b->Arg(t);
    } else {
      b->Arg(referenceThreads)->Iterations(1);
    }
  };
  for (bool fast : {true, false}) {
    const std::string form = fast ? "fast" : "reference";
    reg("loglike/" + form, [fast](benchmark::State& s) { BM_loglike(s, fast); }, fast);
    reg("em_P/" + form, [fast](benchmark::State& s) { BM_em(s, fast, kP); }, fast);
    reg("em_Q/" + form, [fast](benchmark::State& s) { BM_em(s, fast, kQ); }, fast);
    reg("block_P/" + form, [fast](benchmark::State& s) { BM_block(s, fast, kP); }, fast);
    reg("block_Q/" + form, [fast](benchmark::State& s) { BM_block(s, fast, kQ); }, fast);
  }
  for (Region r : {kP, kQ}) {
    auto* b = benchmark::RegisterBenchmark(r == kP ? "quadprog_P/fast" : "quadprog_Q/fast",
                                           [r](benchmark::State& s) { BM_quadprog(s, r); });
    b->UseRealTime()->Unit(benchmark::kMillisecond);
    for (int t : threads) b->Arg(t);
  }
}

// The solves of one set that end at the 1001st active-set change.
int64_t countCycled(const Problems& pr) {
  int64_t cycled = 0, failed = 0;
  solveAll(pr, cycled, failed);
  return cycled;
}

// How often a block-relaxation column's quadratic program cycles to the
// 1001st change along a plain run: from a random start, after five EM steps
// and after five more block-relaxation steps, and at the truth.
void countCycles() {
  omp_set_num_threads(8);
  DMatrix Qt0(gK, I), P0(gK, L);
  uint64_t state = 43;
  auto unif = [&state]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
  };
  for (int i = 0; i < I; ++i) {
    double s = 0.0;
    for (int k = 0; k < gK; ++k) s += (Qt0(k, i) = unif());
    for (int k = 0; k < gK; ++k) Qt0(k, i) /= s;
  }
  for (int l = 0; l < L; ++l)
    for (int k = 0; k < gK; ++k) P0(k, l) = unif();
  fix_infeasibility_problem(Qt0, P0);
  std::string report;
  const PenaltyFunction pf{0.0, 0.1};
  for (int stage = 0; stage < 4; ++stage) {
    const char* names[] = {"random start", "after 5 EM steps", "after 5 more block steps", "truth"};
    if (stage == 1)
      for (int s = 0; s < 5; ++s) {
        mm_iterate(*N, Qt0, P0, Qt0, P0, gMeta);
        fix_infeasibility_problem(Qt0, P0);
      }
    if (stage == 2)
      for (int s = 0; s < 5; ++s) {
        block_iterate(*N, Qt0, P0, Qt0, P0, pf, gMeta);
        fix_infeasibility_problem(Qt0, P0);
      }
    Problems pr[2];
    buildProblems(stage == 3 ? gQt : Qt0, stage == 3 ? gP : P0, pr);
    report += std::string(stage ? "; " : "") + names[stage] + ": P " + std::to_string(countCycled(pr[kP])) +
              "/" + std::to_string(pr[kP].count) + ", Q " + std::to_string(countCycled(pr[kQ])) + "/" +
              std::to_string(pr[kQ].count);
  }
  benchmark::AddCustomContext("quadprog_cycled_1001", report);
}

// Whether the fast steps reproduce the plain forms on this build (an FMA
// contraction would show here).
void checkIdentity() {
  omp_set_num_threads(8);
  const PenaltyFunction pf{0.0, 0.1};
  DMatrix q1, p1, q2, p2;
  block_iterate(*N, gQt, gP, q1, p1, pf, gMeta);
  block_iterate_reference(*N, gQt, gP, q2, p2, pf, gMeta);
  const bool blockSame = std::memcmp(&q1(0, 0), &q2(0, 0), q1.data().size() * sizeof(double)) == 0 &&
                         std::memcmp(&p1(0, 0), &p2(0, 0), p1.data().size() * sizeof(double)) == 0;
  mm_iterate(*N, gQt, gP, q1, p1, gMeta);
  mm_iterate_reference(*N, gQt, gP, q2, p2, gMeta);
  const bool emSame = std::memcmp(&q1(0, 0), &q2(0, 0), q1.data().size() * sizeof(double)) == 0 &&
                      std::memcmp(&p1(0, 0), &p2(0, 0), p1.data().size() * sizeof(double)) == 0;
  const double a = loglike(*N, gQt, gP, gMeta);
  const double b = loglike_reference(*N, gQt, gP, gMeta);
  benchmark::AddCustomContext("identical_block_step", blockSame ? "yes" : "no");
  benchmark::AddCustomContext("identical_em_step", emSame ? "yes" : "no");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3g", std::fabs(a - b) / std::fabs(b));
  benchmark::AddCustomContext("loglike_relative_difference", buf);
}

}  // namespace

int main(int argc, char** argv) {
  int referenceThreads = 1;
  std::vector<char*> rest;
  rest.push_back(argv[0]);
  for (int a = 1; a < argc; ++a) {
    if (std::strncmp(argv[a], "--data=", 7) == 0)
      gDir = argv[a] + 7;
    else if (std::strncmp(argv[a], "--K=", 4) == 0)
      gK = std::atoi(argv[a] + 4);
    else if (std::strncmp(argv[a], "--reference-threads=", 20) == 0)
      referenceThreads = std::atoi(argv[a] + 20);
    else
      rest.push_back(argv[a]);
  }
  if (gDir.empty() || gK < 1) {
    std::cerr << "usage: bench_kernels --data=DIR --K=K [--reference-threads=T] [benchmark flags]\n";
    return 2;
  }
  int restc = static_cast<int>(rest.size());
  benchmark::Initialize(&restc, rest.data());
  loadData();
  buildProblems(gQt, gP, gProblems);
  checkIdentity();
  countCycles();
  benchmark::AddCustomContext("data", gDir);
  benchmark::AddCustomContext("individuals", std::to_string(I));
  benchmark::AddCustomContext("snps", std::to_string(L));
  benchmark::AddCustomContext("K", std::to_string(gK));
  // The kernels timed: the highest level that the CPU has, or KELVANORE_ISA.
  benchmark::AddCustomContext("kernel_level", activeKernels().name);
  registerAll(referenceThreads);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
