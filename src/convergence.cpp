#include "convergence.h"

#include <climits>
#include <cstdlib>
#include <sstream>

#include "stops.h"
#include "utils.h"

ConvergenceChecker::ConvergenceChecker(double tol) : tolerance(tol), maxIterations(INT_MAX) {}

ConvergenceChecker::ConvergenceChecker(int n) : tolerance(0.0), maxIterations(n) {}

bool ConvergenceChecker::isConverged(double before, double after, int iterations) const {
  if (maxIterations <= iterations) return true;
  const double d = after - before;
  // A fall of the objective never ends a run; only the cap does.
  if (d < 0) return false;
  // Strict, so an iteration criterion (tolerance 0.0) never stops on the
  // objective and a NaN difference or tolerance never converges.
  return tolerance > d;
}

ConvergenceChecker ConvergenceChecker::makeChecker(const char* text) {
  char* end = nullptr;
  // The form of the text decides the kind: "5" is a cap, "5.0" a tolerance.
  const int32_t n = strtol32(text, &end);
  // An empty text or a negative number is no count of iterations: it is
  // refused, so that a mistyped criterion does not run as the cap of 0 that
  // either would act as (strtol32 reads the empty text as 0), a run that
  // ends before its first iteration with the starting point as its
  // estimate. "0" asks for that cap and gets it.
  if (*end == '\0') {
    if (end != text && n >= 0) return ConvergenceChecker(static_cast<int>(n));
    stopWithMessage("Invalid convergence criterion string, aborting");
  }
  const double tol = std::strtod(text, &end);
  // A tolerance that no increase can fall below (0, negative, NaN) would
  // leave only the cap of 2147483647 iterations: a run that never ends.
  if (end != text && *end == '\0' && tol > 0) return ConvergenceChecker(tol);
  stopWithMessage("Invalid convergence criterion string, aborting");
}

std::string ConvergenceChecker::describeCriterion() const {
  std::ostringstream s;
  if (tolerance > 0)
    s << "when objective function delta < " << tolerance;
  else
    s << "at " << maxIterations << " iterations";
  return s.str();
}
