// Test support: the plain scalar forms of loglike, mm_iterate and
// block_iterate, written from the definitions with none of the fast forms'
// arithmetic, and the log-likelihood by its independent formula. The tests
// and the kernel benchmark compare the program's kernels against them. Like
// the program's entry points they read the run state (haploidModeEnabled,
// monomorphics, reference_pop with Options::supervised, Options::estimateP,
// Options::estimateQ and the weight of Options::penaltyfunction).
#ifndef KELVANORE_TESTS_REFERENCE_KERNELS_H
#define KELVANORE_TESTS_REFERENCE_KERNELS_H

#include "penalty.h"
#include "types.h"

// The log-likelihood by its independent formula: individuals outer, SNPs
// inner, the sum of f (g log p + (2 - g) log(1 - p)) over the observed calls
// (f = 0.5 for a haploid call). It agrees with loglike up to rounding only.
double loglike_slow(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);

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

#endif
