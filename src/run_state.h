// run_state: the process-wide variables of one run. Matrices are heap
// objects reached through pointers that stay null until their creator runs;
// they live until the process ends, but for Qt_se and Qt_bias, which each
// pass with a bootstrap replaces.
#ifndef KELVANORE_RUN_STATE_H
#define KELVANORE_RUN_STATE_H

#include <string>
#include <vector>

#include "types.h"

//
// One entry per process-wide variable: its kind, type, name and initial
// value, then what it holds and who writes it. The kind says who frees what
// it holds: `value` (nothing to free), `owned` (a heap object, delete) or
// `owned_array` (a heap array, delete[]). The list gives the declarations
// below, the definitions in run_state.cpp and the tests' save and restore of
// the whole state (tests/run_state_guard.h), so none of them can miss a
// variable.
#define KELVANORE_RUN_STATE(X)                                                                                  \
  X(value, int, I, 0) /* individuals (rows of N); set by the genotype reader */                                 \
  X(value, int, L, 0) /* SNPs (columns of N); set by the genotype reader */                                     \
  X(value, int, K, 0) /* ancestral populations; set by Options::parseOptions */                                 \
  X(value, double, currentLoglike, 0.0) /* log-likelihood of the last point estimate; main */                   \
  X(value, double, currentObj, 0.0)     /* objective of the last point estimate; main */                        \
  X(value, double, cvIndex, 0.0)        /* last cross-validation error; compute_crossvalidation_index */        \
  /* I x L genotypes 0/1/2, 9 missing; genotype reader; never changed after */                                  \
  X(owned, GMatrix*, N, nullptr)                                                                                \
  /* K x I current ancestry fractions; readInputFiles or initializeQP, then every estimation */                 \
  X(owned, DMatrix*, Qt, nullptr)                                                                               \
  /* K x I starting point of the next estimation; with Qt, then main */                                         \
  X(owned, DMatrix*, Qt_old, nullptr)                                                                           \
  /* K x L current allele frequencies; readInputFiles or initializeQP, then every estimation */                 \
  X(owned, DMatrix*, P, nullptr)                                                                                \
  /* K x L starting point of the next estimation; with P, then main */                                          \
  X(owned, DMatrix*, P_old, nullptr)                                                                            \
  /* L entries: 1 all 2s, 0 all 0s, 255 otherwise; preprocessData, rebuilt by the analyses */                   \
  X(owned, BVector*, monomorphics, nullptr)                                                                     \
  /* I entries: population index or -1; readPopFile (supervised only) */                                        \
  X(owned_array, int*, reference_pop, nullptr)                                                                  \
  X(owned, DMatrix*, Qt_truth, nullptr) /* true Q as read (transposed like Qt); readInputFiles when it exists */ \
  X(owned, DMatrix*, P_truth, nullptr)  /* true P as read; readInputFiles when the file exists */                \
  X(owned, DMatrix*, Qt_se, nullptr)    /* K x I bootstrap standard errors; main, filled by the bootstrap */     \
  X(owned, DMatrix*, Qt_bias, nullptr)  /* K x I bootstrap biases; main, filled by the bootstrap */              \
  X(value, bool, haploidModeEnabled, false) /* haploid option given; Options::parseOptions */                   \
  /* sex codes haploid at haploid SNPs; Options::parseOptions */                                                \
  X(value, std::vector<int>, haploid_sexes, {})                                                                 \
  /* haploid chromosome tokens, or ALLCHRS_PROXY first; Options::parseOptions */                                \
  X(value, std::vector<std::string>, haploid_chrs, {})

#define KELVANORE_DECLARE_RUN_STATE(kind, type, name, initial) extern type name;
KELVANORE_RUN_STATE(KELVANORE_DECLARE_RUN_STATE)
#undef KELVANORE_DECLARE_RUN_STATE

extern const std::string ALLCHRS_PROXY;  // "ALL_CHROMOSOMES": every chromosome is haploid; a constant

#endif
