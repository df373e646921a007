// invert_matrix: inverse and one-norm reciprocal condition number of a
// small square matrix (order 1 to 99) through LAPACK.
#ifndef KELVANORE_INVERT_MATRIX_H
#define KELVANORE_INVERT_MATRIX_H

#include "utils.h"

// true when Ainv holds the inverse. rcond is written once the condition
// estimate has run (not when the factorisation fails). An order above 99
// ends the run with "Inverting too-big a matrix :-(" (255).
bool invert_matrix(const DMatrix& A, DMatrix& Ainv, double& rcond);

#endif
