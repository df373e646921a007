// raw_algorithms: the log-likelihood, the penalty and the objective, and the
// EM and block-relaxation update steps, with their parallel loops over SNPs
// and individuals. Every region splits its range into one contiguous block
// per thread and writes only the columns of its own indices, so results do
// not depend on the thread count (the log-likelihood's sum aside).
#ifndef KELVANORE_RAW_ALGORITHMS_H
#define KELVANORE_RAW_ALGORITHMS_H

#include "options.h"
#include "utils.h"

double loglike(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const DatasetMetadata& meta);
double objective(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const PenaltyFunction& pf,
                 const DatasetMetadata& meta);
double penalty(const DMatrix& Qt, const PenaltyFunction& pf);
// Single-threaded reference form of loglike.
double loglike_slow(const GMatrix& G, const DMatrix& Qt, const DMatrix& P, const DatasetMetadata& meta);

// One EM update; inputs unchanged, outputs K x I and K x L.
void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta);
// One block-relaxation update.
void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta);

// The plain scalar forms of loglike, mm_iterate and block_iterate: one
// column at a time, every sum in its stated order. The fast kernels give the
// same columns bit for bit (loglike to rounding); tests and benchmarks
// compare against them.
double loglike_reference(const GMatrix& G, const DMatrix& Qt, const DMatrix& P,
                         const DatasetMetadata& meta);
void mm_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                          DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta);
void block_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                             DMatrix& Qt_out, DMatrix& P_out, const PenaltyFunction& pf,
                             const DatasetMetadata& meta);

// The block [begin, end) of a range of n indices that thread t of a team of
// T takes: chunk = n / T, plus 1 when T does not divide n.
void threadBlock(int64_t n, int T, int t, int64_t& begin, int64_t& end);

#endif
