#include "convergence.h"
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

namespace {

constexpr double kLowest = std::numeric_limits<double>::lowest();
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

TEST(ConvergenceMakeChecker, TextFormDecidesTheKind) {
  struct Case {
    const char* text;
    double tolerance;  // compared exactly
    int maxIterations;
    const char* description;
  } cases[] = {
      {"5", 0.0, 5, "at 5 iterations"},
      {" 7", 0.0, 7, "at 7 iterations"},
      {"0", 0.0, 0, "at 0 iterations"},
      {"-0", 0.0, 0, "at 0 iterations"},
      {"+4", 0.0, 4, "at 4 iterations"},
      {"99999999999", 0.0, INT_MAX, "at 2147483647 iterations"},
      {"5.0", 5.0, INT_MAX, "when objective function delta < 5"},
      {"1e-4", 1e-4, INT_MAX, "when objective function delta < 0.0001"},
      {"1.", 1.0, INT_MAX, "when objective function delta < 1"},
      {"0.5", 0.5, INT_MAX, "when objective function delta < 0.5"},
      {"0x10", 16.0, INT_MAX, "when objective function delta < 16"},
      {"1e-06", 1e-6, INT_MAX, "when objective function delta < 1e-06"},
      {"inf", kInf, INT_MAX, "when objective function delta < inf"},
      {"4.9e-324", 4.9e-324, INT_MAX, "when objective function delta < 4.94066e-324"},
  };
  for (const Case& c : cases) {
    const ConvergenceChecker cc = ConvergenceChecker::makeChecker(c.text);
    EXPECT_EQ(cc.tolerance, c.tolerance) << '"' << c.text << '"';
    EXPECT_EQ(cc.maxIterations, c.maxIterations) << '"' << c.text << '"';
    EXPECT_EQ(cc.describeCriterion(), c.description) << '"' << c.text << '"';
  }
}

// Text of neither form, tolerances that no increase of the objective can
// fall below (the run would end only at 2147483647 iterations), and counts
// that are no counts (an empty text and a negative one would act as a cap
// of 0 and write the starting point as the estimate).
TEST(ConvergenceMakeChecker, TextThatCannotEndARunStops) {
  for (const char* text : {"7 ", "abc", "1e", " ", "5 iterations", "--3", "nan", "-NaN", "0.0",
                           "-0.0", "-0.5", "1e-400", "", "-2", "-1", "-99999999999"}) {
    RunResult r = runInChild([&] { ConvergenceChecker::makeChecker(text); });
    EXPECT_EQ(r.out, "Invalid convergence criterion string, aborting\n") << '"' << text << '"';
    EXPECT_EQ(r.status, 255) << '"' << text << '"';
  }
}

TEST(ConvergenceConstructors, DefaultsOfTheTwoKinds) {
  const ConvergenceChecker tol(1e-4);
  EXPECT_EQ(tol.tolerance, 1e-4);
  EXPECT_EQ(tol.maxIterations, INT_MAX);
  EXPECT_EQ(tol.describeCriterion(), "when objective function delta < 0.0001");
  const ConvergenceChecker cap(3);
  EXPECT_EQ(cap.tolerance, 0.0);
  EXPECT_EQ(cap.maxIterations, 3);
  EXPECT_EQ(cap.describeCriterion(), "at 3 iterations");
}

TEST(ConvergenceIsConverged, Rule) {
  struct Case {
    const char* name;
    ConvergenceChecker checker;
    double before, after;
    int iterations;
    bool expected;
  } cases[] = {
      {"no change", ConvergenceChecker(0.5), -100, -100, 3, true},
      {"decrease never converges", ConvergenceChecker(0.5), -100, -101, 3, false},
      {"increase below tolerance", ConvergenceChecker(0.5), -100, -99.75, 3, true},
      {"increase equal to tolerance", ConvergenceChecker(0.5), -100, -99.5, 3, false},
      {"cap reached on a decrease", ConvergenceChecker(3), -100, -101, 3, true},
      {"cap not reached", ConvergenceChecker(3), -100, -100, 2, false},
      {"cap passed", ConvergenceChecker(3), -100, -50, 4, true},
      {"zero cap at the start", ConvergenceChecker(0), kLowest, -10, 0, true},
      {"negative cap at the start", ConvergenceChecker(-2), kLowest, -10, 0, true},
      {"first test of a tolerance run", ConvergenceChecker(1e-4), kLowest, -10, 0, false},
      {"infinite tolerance at the start", ConvergenceChecker(kInf), kLowest, -10, 0, true},
      {"zero tolerance, no change", ConvergenceChecker(0.0), -5, -5, 10, false},
      {"negative tolerance", ConvergenceChecker(-0.5), -5, -5, 10, false},
      {"NaN tolerance", ConvergenceChecker(kNaN), -5, -5, 10, false},
      {"NaN objective", ConvergenceChecker(0.5), -5, kNaN, 10, false},
      {"NaN tolerance at its cap", ConvergenceChecker(kNaN), -5, -5, INT_MAX, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.checker.isConverged(c.before, c.after, c.iterations), c.expected) << c.name;
}

}  // namespace
