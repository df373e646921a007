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

  // Iterations after which a tolerance run whose best objective has not
  // risen by the tolerance ends as converged (the iteration loop keeps the
  // count). Monotone steps raise the best at every iteration before the
  // one that converges; only an objective that falls and climbs back for
  // this many iterations in a row meets it, and a run makes at most this
  // many iterations more than its last progress.
  static constexpr int kStallWindow = 100;

  // before/after: objectives of the last two points; iterations made so far.
  bool isConverged(double before, double after, int iterations) const;

  // From option text: a whole decimal integer of 0 or more gives an
  // iteration cap, a whole floating-point number above 0 a tolerance;
  // anything else (an empty text, a negative count, a tolerance of 0, below
  // 0 or NaN too) ends the run with "Invalid convergence criterion string,
  // aborting" (255).
  static ConvergenceChecker makeChecker(const char* text);

  // The words that end the configuration summary's termination lines.
  std::string describeCriterion() const;

  double tolerance;
  int maxIterations;
};

#endif
