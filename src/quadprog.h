// quadprog: the entry point of the dense quadratic-programming solver.
// Checks the sizes of its arguments and hands raw column-major arrays to
// the solver unit (fquadprog.h).
#ifndef KELVANORE_QUADPROG_H
#define KELVANORE_QUADPROG_H

#include "fquadprog.h"
#include "types.h"

// Returns 0 after solving (status and x written), -1 or -2 after a size
// error (nothing written). See fquadprog.h for the problem and status.
int quadprog(const DMatrix& A, const DVector& b, const DMatrix& C, const DVector& d,
             const DVector& lower, const DVector& upper, const DVector& x0, DVector& x,
             int& status);
// The same with caller-owned work arrays.
int quadprog(const DMatrix& A, const DVector& b, const DMatrix& C, const DVector& d,
             const DVector& lower, const DVector& upper, const DVector& x0, DVector& x,
             int& status, QPWorkspace& ws);

#endif
