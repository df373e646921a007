// invert_matrix: inverse and one-norm reciprocal condition number of a
// small square matrix (order 1 to 99) through LAPACK.
#ifndef KELVANORE_INVERT_MATRIX_H
#define KELVANORE_INVERT_MATRIX_H

#include "types.h"

// The largest order served: the call's fixed work areas hold 1000 doubles
// and 100 ints, and the condition estimate needs 4n doubles and n ints, the
// pivots n ints. The quasi-Newton acceleration inverts a matrix of the order
// of its secant-condition count, so that count is held to this too.
constexpr int kMaxInvertOrder = 99;

// true when Ainv holds the inverse. rcond is written once the condition
// estimate has run (not when the factorisation fails). An order above
// kMaxInvertOrder ends the run with "Inverting too-big a matrix :-(" (255).
bool invert_matrix(const DMatrix& A, DMatrix& Ainv, double& rcond);

#endif
