// convergence: the stopping rule of an estimation run, either a tolerance on
// the objective's increase between iterations or a fixed iteration count.
#ifndef KELVANORE_CONVERGENCE_H
#define KELVANORE_CONVERGENCE_H

#include <string>

class ConvergenceChecker {
 public:
  // A tolerance criterion; it also stops at the largest int of iterations.
  explicit ConvergenceChecker(double tol);
  // An iteration criterion (tolerance 0.0, which no increase falls below).
  explicit ConvergenceChecker(int n);

  // before/after: objectives of the last two points; iterations made so far.
  bool isConverged(double before, double after, int iterations) const;

  // From option text: a whole decimal integer gives an iteration cap, a whole
  // floating-point number above 0 a tolerance; anything else (a tolerance of
  // 0, below 0 or NaN too) ends the run with "Invalid convergence criterion
  // string, aborting" (255).
  static ConvergenceChecker makeChecker(const char* text);

  // The words that end the configuration summary's termination lines.
  std::string describeCriterion() const;

  double tolerance;
  int maxIterations;
};

#endif
