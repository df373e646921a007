// raw_algorithms: the log-likelihood, the penalty and the objective, and the
// EM and block-relaxation update steps, with their parallel loops over SNPs
// and individuals. Every region splits its range into one contiguous block
// per thread and writes only the columns of its own indices, so the steps do
// not depend on the thread count; the log-likelihood's products are grouped
// by thread, so its last bits do.
//
// Run state read by the entry points, once per call and on the calling
// thread: haploidModeEnabled, monomorphics, reference_pop with
// Options::supervised, Options::estimateP and Options::estimateQ, and the
// weight of Options::penaltyfunction. The regions' kernels (kernels.h) are
// given what they need and see nothing else; their work space is allocated
// before each region, so worker threads never allocate.
#ifndef KELVANORE_RAW_ALGORITHMS_H
#define KELVANORE_RAW_ALGORITHMS_H

#include <cstdint>

#include "penalty.h"
#include "types.h"

double loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);
double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const PenaltyFunction& pf,
                 const DatasetMetadata& meta);
double penalty(const DMatrix& Qt_, const PenaltyFunction& pf);

// One EM update; inputs unchanged, outputs K x I and K x L.
void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta);
// One block-relaxation update.
void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta);

// The block [begin, end) of a range of n indices that thread t of a team of
// T takes: chunk = n / T, plus 1 when T does not divide n.
void threadBlock(int64_t n, int T, int t, int64_t& begin, int64_t& end);

#endif
