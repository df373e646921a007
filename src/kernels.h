// kernels: the fast bodies of the engine's parallel regions (one thread's
// block of the log-likelihood, of the EM P and Q regions and of the
// block-relaxation P and Q regions), compiled once per x86-64 level from
// kernels.cpp, each copy with its own lane width. raw_algorithms builds the
// inputs from the run state, allocates every thread's work space and runs
// the regions; kernel_level picks the copy that the CPU runs.
//
// Nothing of the run state is visible here: a kernel reads what its
// arguments hold and nothing else. Only plain pointers and counts cross this
// interface, so that no vector type, and no function compiled for one level,
// is shared between the copies.
#ifndef KELVANORE_KERNELS_H
#define KELVANORE_KERNELS_H

#include <cstddef>
#include <cstdint>

class QPWorkspace;

// The genotype code of a missing call and the box of the feasible region
// (kMissing of types.h, kFeasibleLow and kFeasibleHigh of feasible.h; the
// kernels see neither header, raw_algorithms checks that they agree).
constexpr unsigned char kKernelMissing = 9;
constexpr double kKernelFeasibleLow = 1e-5;
constexpr double kKernelFeasibleHigh = 0.99999;

// The log-likelihood's inputs: Q transposed into K rows of stride ld (ld at
// least I rounded up to whole lane groups, zero past I), the individuals'
// haploid flags as 1.0 or 0.0 in a row of the same stride, G (I x L) and P
// (K x L) column by column.
struct LoglikeInputs {
  int64_t I;
  int64_t L;
  int K;
  const unsigned char* g;
  const double* qT;
  const double* hapInd;
  int64_t ld;
  const double* p;
  const unsigned char* hapSnp;  // L haploid flags; null when haploid mode is off
};

// What one update step reads: its shape, its inputs, the flags that the run
// state gives (each null when it plays no part) and the penalty on Q.
struct StepInputs {
  int64_t I;
  int64_t L;
  int K;
  const unsigned char* g;    // I x L genotypes
  const double* qt;          // K x I, the Q in use
  const double* pin;         // K x L, the P in use for the P region
  const unsigned char* hapInd;  // I flags; null when haploid mode is off
  const unsigned char* hapSnp;  // L flags; null when haploid mode is off
  const unsigned char* ref;     // I flags: keeps its Q column; null unless supervised
  const unsigned char* mono;    // L flags: marked monomorphic; null without a table
  bool penalized;               // the penalty's gradient enters the Q columns
  double lambda;
  double epsilon;
  double c;                     // log(1 + 1 / epsilon) when penalized
};

// The parts of a step whose threads need work space of their own.
enum class KernelRegion { kEmP, kEmQ, kBlockP, kBlockQ };

// One copy of the kernels. A region's thread calls its kernel with its block
// [begin, end) and its own work space: `work` doubles, 64-byte aligned, as
// many as workDoubles gives for the region and K (the size does not depend
// on the block), and for block relaxation a solver work space for K unknowns
// and one equality row. No kernel allocates.
struct KernelSet {
  const char* name;
  int lanes;  // columns per lane group; ld of the log-likelihood is a multiple
  size_t (*workDoubles)(KernelRegion region, int K);
  double (*loglikeBlock)(const LoglikeInputs& in, int64_t begin, int64_t end);
  void (*emP)(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work);
  void (*emQ)(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end,
              double* work);
  void (*blockP)(const StepInputs& in, double* np, int64_t begin, int64_t end, double* work,
                 QPWorkspace& ws);
  void (*blockQ)(const StepInputs& in, const double* pcur, double* nq, int64_t begin, int64_t end,
                 double* work, QPWorkspace& ws);
};

// The copies that the build holds: on x86-64 one per level, elsewhere the
// one generic copy.
#if defined(__x86_64__)
extern const KernelSet kKernels_x86_64;
extern const KernelSet kKernels_x86_64_v2;
extern const KernelSet kKernels_x86_64_v3;
extern const KernelSet kKernels_x86_64_v4;
#else
extern const KernelSet kKernels_generic;
#endif

#endif
