// raw_algorithms: the log-likelihood, the penalty and the objective, and the
// EM and block-relaxation update steps, with their parallel loops over SNPs
// and individuals. Every region splits its range into one contiguous block
// per thread and writes only the columns of its own indices, so the steps do
// not depend on the thread count; the log-likelihood's products are grouped
// by thread, so its last bits do.
#ifndef KELVANORE_RAW_ALGORITHMS_H
#define KELVANORE_RAW_ALGORITHMS_H

#include "options.h"
#include "utils.h"

double loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);
double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const PenaltyFunction& pf,
                 const DatasetMetadata& meta);
double penalty(const DMatrix& Qt_, const PenaltyFunction& pf);
// The log-likelihood by its independent formula: individuals outer, SNPs
// inner, the sum of f (g log p + (2 - g) log(1 - p)) over the observed calls
// (f = 0.5 for a haploid call). It agrees with loglike up to rounding only.
double loglike_slow(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);

// One EM update; inputs unchanged, outputs K x I and K x L.
void mm_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                DMatrix& P_out, const DatasetMetadata& meta);
// One block-relaxation update.
void block_iterate(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                   DMatrix& P_out, const PenaltyFunction& pf, const DatasetMetadata& meta);

// The plain scalar forms of loglike, mm_iterate and block_iterate, written
// from the definitions with none of the fast forms' arithmetic; tests and
// benchmarks compare the fast forms against them.
// loglike_reference is the same-order check: one running product per thread
// over its block of SNPs (individuals in order within each SNP), folded into
// a log sum below 1e-100, the threads' sums added in thread order; loglike
// gives the same bits.
double loglike_reference(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                         const DatasetMetadata& meta);
// The steps, one column at a time: each column of P sums over the
// individuals in increasing order, each column of Q over the SNPs in
// increasing order, the expected frequency over k = 0 ... K - 1. The fast
// steps give the same columns bit for bit.
void mm_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                          DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta);
void block_iterate_reference(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                             DMatrix& Qt_out, DMatrix& P_out, const PenaltyFunction& pf,
                             const DatasetMetadata& meta);

// The block [begin, end) of a range of n indices that thread t of a team of
// T takes: chunk = n / T, plus 1 when T does not divide n.
void threadBlock(int64_t n, int T, int t, int64_t& begin, int64_t& end);

#endif
