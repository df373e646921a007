// feasible: the feasible region of the whole system (every P entry in
// [1e-5, 0.99999], every Qt column on the simplex with entries >= 1e-5) and
// the repair that puts a (Qt, P) pair back into it.
#ifndef KELVANORE_FEASIBLE_H
#define KELVANORE_FEASIBLE_H

#include "types.h"

// The box of the feasible region: every allele frequency in [kFeasibleLow,
// kFeasibleHigh] and every ancestry fraction at least kFeasibleLow. Inside
// it every expected frequency lies in [1e-5, 0.99999], so every genotype
// probability is at least 1e-10 and every log of the likelihood is finite.
// Monomorphic SNPs take its ends; the starting values are drawn inside it.
constexpr double kFeasibleLow = 1e-5;
constexpr double kFeasibleHigh = 0.99999;

// Euclidean projection of y onto {x : sum x = 1, x >= eps}. out is resized;
// y and out may be the same vector.
void project_onto_truncated_simplex(const DVector& y, double eps, DVector& out);
// Clamps P and projects every column of Qt, in place.
void fix_infeasibility_problem(DMatrix& Qt_, DMatrix& P_);
// Self-check: prints five projections with eps = 0.1.
void test_feasible_region_projection();

#endif
