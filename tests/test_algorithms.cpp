// The iteration loop, the factory of methods and the sizes of the acceleration.
#include "algorithms.h"
#include "console_capture.h"
#include "e2e_util.h"
#include "feasible.h"
#include "raw_algorithms.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "same_bits.h"
#include "secant.h"
#include "starting_values.h"
#include "types.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- A method whose steps and objective values the test dictates -------------

// Each step adds 1 to every entry; the objective returns the listed values in
// turn (the last one again once the list is used up).
class ScriptedAlgorithm : public Algorithm {
 public:
  explicit ScriptedAlgorithm(std::vector<double> values, bool isPenalized = false)
      : values_(std::move(values)), isPenalized_(isPenalized) {}

  void iterate_once(const GMatrix&, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                    const DatasetMetadata&) override {
    ++steps;
    Qt_out = Qt_in;
    P_out = P_in;
    for (auto& x : Qt_out.data()) x += 1.0;
    for (auto& x : P_out.data()) x += 1.0;
  }
  double objective(const GMatrix&, const DMatrix&, const DMatrix&, const DatasetMetadata&) override {
    const size_t n = static_cast<size_t>(objectiveCalls++);
    return values_[std::min(n, values_.size() - 1)];
  }
  bool penalized() override { return isPenalized_; }
  const char* getName() override { return "Fake algorithm"; }
  const char* getShortName() override { return "Fake"; }

  int steps = 0;
  int objectiveCalls = 0;

 private:
  std::vector<double> values_;
  bool isPenalized_;
};

struct SmallPoint {
  GMatrix G;
  DMatrix Qt, P;
  DatasetMetadata meta;
};

SmallPoint smallPoint() {
  SmallPoint s;
  s.G = GMatrix(3, 4);
  s.G.clear();
  s.Qt = DMatrix(2, 3);
  s.P = DMatrix(2, 4);
  for (size_t n = 0; n < s.Qt.data().size(); ++n) s.Qt.data()[n] = 0.5 + n;
  for (size_t n = 0; n < s.P.data().size(); ++n) s.P.data()[n] = 0.25 * n;
  return s;
}

// ---- The iteration loop -------------------------------------------------------

TEST(AlgorithmLoop, CapOfZeroMakesNoIteration) {
  SmallPoint s = smallPoint();
  ScriptedAlgorithm alg({-100.0});
  alg.iterationsPerformed = 17;  // left over from an earlier run
  ConvergenceChecker none(0);
  DMatrix Qo(1, 1), Po(1, 1);
  CoutCapture cap;
  alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, none, s.meta);
  EXPECT_EQ(cap.text(), "");
  EXPECT_EQ(alg.getIterationsPerformed(), 0);
  EXPECT_EQ(alg.steps, 0);
  EXPECT_EQ(alg.objectiveCalls, 1);
  EXPECT_TRUE(sameBits(Qo, s.Qt));
  EXPECT_TRUE(sameBits(Po, s.P));
}

TEST(AlgorithmLoop, IterationCapPrintsOneLinePerIteration) {
  SmallPoint s = smallPoint();
  const DMatrix Qt_in = s.Qt, P_in = s.P;
  const std::vector<double> values = {-100.0, -90.0, -80.5, -80.25, -95.0, -94.0, -1.0};
  ScriptedAlgorithm alg(values);
  ConvergenceChecker five(5);
  DMatrix Qo, Po;
  CoutCapture cap;
  alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, five, s.meta);
  const std::vector<std::string> lines = splitLines(cap.text());

  ASSERT_EQ(lines.size(), 5u);
  for (size_t n = 0; n < lines.size(); ++n) {
    SCOPED_TRACE(lines[n]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[n], m, kStatusLine));
    EXPECT_EQ(m[1], std::to_string(n + 1));
    EXPECT_EQ(m[2], "Fake");
    EXPECT_GE(std::stod(m[3]), 0.0);
    EXPECT_EQ(m[4], "Loglikelihood");
    EXPECT_EQ(m[5], defaultFormat(values[n + 1]));
    // The first delta is against the start point, not the loop's sentinel.
    EXPECT_EQ(m[6], defaultFormat(values[n + 1] - values[n]));
  }
  EXPECT_EQ(alg.getIterationsPerformed(), 5);
  EXPECT_EQ(alg.steps, 5);
  EXPECT_EQ(alg.objectiveCalls, 6);
  // Every step starts where the previous one ended; the inputs stay.
  for (size_t n = 0; n < Qo.data().size(); ++n) EXPECT_EQ(Qo.data()[n], Qt_in.data()[n] + 5.0);
  for (size_t n = 0; n < Po.data().size(); ++n) EXPECT_EQ(Po.data()[n], P_in.data()[n] + 5.0);
  EXPECT_TRUE(sameBits(s.Qt, Qt_in));
  EXPECT_TRUE(sameBits(s.P, P_in));
}

TEST(AlgorithmLoop, ToleranceStopsOnlyOnASmallIncrease) {
  struct Case {
    const char* name;
    double tolerance;
    std::vector<double> values;  // start point, then one per iteration
    int iterations;
  };
  const double tiny = std::ldexp(1.0, -16);  // below the 1e-4 tolerance
  const Case cases[] = {
      {"a fall never stops", 1e-4, {-100.0, -90.0, -95.0, -96.0, -96.0 + tiny, -1.0}, 4},
      {"an increase of exactly 0 stops", 1e-4, {-100.0, -90.0, -90.0, -1.0}, 2},
      {"an increase equal to the tolerance goes on", 0.125, {-100.0, -90.0, -89.875, -89.875, -1.0}, 3},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    SmallPoint s = smallPoint();
    ScriptedAlgorithm alg(tc.values);
    alg.printStatus = false;
    ConvergenceChecker tol(tc.tolerance);
    DMatrix Qo, Po;
    alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, tol, s.meta);
    EXPECT_EQ(alg.getIterationsPerformed(), tc.iterations);
    EXPECT_EQ(alg.steps, tc.iterations);
  }
}

// A tolerance run whose objective wanders, each step moving it up or down by
// at least the tolerance (as the rounding of a very large penalised
// objective does), never met its tolerance and ran to the cap of
// 2147483647 iterations. It ends as converged once the best objective has
// not risen by the tolerance for the stall window, with its best point as
// the estimate. The cases cap the tolerance criterion at 1000 iterations,
// so that a loop without the rule ends too, at the cap.
TEST(AlgorithmLoop, WanderingObjectiveEndsAtItsBestPoint) {
  const int window = 100;  // iterations without progress after which the run ends
  const double tol = 0.125;
  const int cap = 1000;
  // Objective of iteration n (0: the start point) for n up to the cap.
  const auto script = [&](double (*value)(int, double)) {
    std::vector<double> v;
    for (int n = 0; n <= cap; ++n) v.push_back(value(n, tol));
    return v;
  };
  struct Case {
    const char* name;
    std::vector<double> values;
    bool tolerance;     // else an iteration cap of 250
    int iterations;     // expected
    int bestIteration;  // whose point is the estimate; -1: the run did not stall
  };
  const Case cases[] = {
      {"up and down by more than the tolerance",
       script([](int n, double) { return n == 0 ? -100.0 : n % 2 ? -90.0 : -91.0; }), true, 1 + window, 1},
      {"new bests, each by less than the tolerance",
       script([](int n, double t) { return n == 0 ? -100.0 : n % 2 ? -90.0 + (n / 2) * t / 2 : -91.0 + (n / 2 - 1) * t / 2; }),
       true, 1 + window, 1 + window},
      {"the best left behind, the last point worse",
       script([](int n, double) { return n == 0 ? -100.0 : n == 3 ? -80.0 : n % 2 ? -90.0 : -91.0; }), true,
       3 + window, 3},
      // A start that is not a number is no best point: the first finite
      // objective is.
      {"a start that is not a number",
       script([](int n, double) { return n == 0 ? std::nan("") : n % 2 ? -90.0 : -91.0; }), true, 1 + window, 1},
      {"progress amid falls never stalls",
       script([](int n, double t) { return n == 0 ? -100.0 : -100.0 + n * t + (n % 2 ? 2 * t : 0.0); }), true, cap, -1},
      {"an iteration cap is left alone",
       script([](int n, double) { return n == 0 ? -100.0 : n % 2 ? -90.0 : -91.0; }), false, 250, -1},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    for (bool print : {true, false}) {
      SmallPoint s = smallPoint();
      ScriptedAlgorithm alg(tc.values);
      alg.printStatus = print;
      ConvergenceChecker checker(tol);
      checker.maxIterations = cap;
      if (!tc.tolerance) checker = ConvergenceChecker(250);
      DMatrix Qo, Po;
      CoutCapture out;
      alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, checker, s.meta);
      EXPECT_EQ(alg.getIterationsPerformed(), tc.iterations);
      const int at = tc.bestIteration < 0 ? tc.iterations : tc.bestIteration;
      EXPECT_EQ(Qo.data()[0], s.Qt.data()[0] + at);
      EXPECT_EQ(Po.data()[0], s.P.data()[0] + at);
      EXPECT_EQ(alg.getResultObjective(), tc.values[static_cast<size_t>(at)]);
      const std::vector<std::string> lines = splitLines(out.text());
      const std::string stopped = "Stopped: the objective has not risen above its best value by the tolerance 0.125 in " +
                                  std::to_string(window) + " iterations; the estimate is the best one (iteration " +
                                  std::to_string(tc.bestIteration) + ")";
      if (!print) {
        EXPECT_EQ(out.text(), "");
      } else if (tc.bestIteration < 0) {
        EXPECT_EQ(lines.size(), static_cast<size_t>(tc.iterations));
      } else {
        EXPECT_EQ(lines.size(), static_cast<size_t>(tc.iterations) + 1);
        EXPECT_EQ(lines.empty() ? std::string() : lines.back(), stopped);
      }
    }
  }
}

// A start point whose objective is not finite is left to the first step,
// which repairs it (no stop, no extra evaluation, the inputs not touched):
// the first delta is infinite, and the run goes on from there.
TEST(AlgorithmLoop, StartWithoutFiniteObjectiveIsLeftToTheFirstStep) {
  const double inf = std::numeric_limits<double>::infinity();
  SmallPoint s = smallPoint();
  ScriptedAlgorithm alg({-inf, -90.0, -90.0});
  ConvergenceChecker tol(1e-4);
  DMatrix Qo, Po;
  CoutCapture cap;
  alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, tol, s.meta);
  const std::vector<std::string> lines = splitLines(cap.text());
  ASSERT_EQ(lines.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kStatusLine));
  EXPECT_EQ(m[5], "-90");
  EXPECT_EQ(m[6], "inf");
  EXPECT_EQ(alg.getIterationsPerformed(), 2);
  EXPECT_EQ(alg.objectiveCalls, 3);
  EXPECT_EQ(Qo.data()[0], s.Qt.data()[0] + 2);
}

// A point whose objective is not finite after a step ends the run with one
// line naming the iteration, before its status line: the deltas after it
// would be undefined and a tolerance never met. So does, at iteration 0, a
// start point of the accelerated method whose repair leaves its objective
// not finite (the second value of its script).
TEST(AlgorithmLoop, ObjectiveThatIsNotFiniteStopsTheRun) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string cause =
      ": the starting or fixed values of Q and P give an observed genotype a probability of 0 or less,"
      " or are not numbers\n";
  struct Case {
    bool accelerated;
    std::vector<double> values;
    int statusLines;
    std::string last;
  };
  const Case cases[] = {
      {false, {nan}, 0, "Error: the objective is nan after iteration 1" + cause},
      {false, {-inf, -inf}, 0, "Error: the objective is -inf after iteration 1" + cause},
      {false, {-100.0, -90.0, nan}, 1, "Error: the objective is nan after iteration 2" + cause},
      {false, {-100.0, -inf}, 0, "Error: the objective is -inf after iteration 1" + cause},
      {true, {-inf, nan}, 0, "Error: the objective is nan at the starting point (iteration 0)" + cause},
      {true, {nan, -inf}, 0, "Error: the objective is -inf at the starting point (iteration 0)" + cause},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.last);
    const RunResult r = runInChild([&] {
      SmallPoint s = smallPoint();
      ConvergenceChecker tol(1e-4);
      DMatrix Qo, Po;
      if (tc.accelerated) {
        QuasiNewtonAcceleratedAlgorithm qn(std::make_unique<ScriptedAlgorithm>(tc.values), 3);
        qn.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, tol, s.meta);
      } else {
        ScriptedAlgorithm alg(tc.values);
        alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, tol, s.meta);
      }
    });
    EXPECT_EQ(r.status, 255);
    const std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), static_cast<size_t>(tc.statusLines + 1));
    EXPECT_EQ(lines.back() + "\n", tc.last);
  }
}

TEST(AlgorithmLoop, PrintStatusFalsePrintsNothing) {
  SmallPoint s = smallPoint();
  ScriptedAlgorithm alg({-100.0, -90.0, -80.0, -70.0});
  alg.printStatus = false;
  ConvergenceChecker three(3);
  DMatrix Qo, Po;
  CoutCapture cap;
  alg.iterate_until_convergence(s.G, s.Qt, s.P, Qo, Po, three, s.meta);
  EXPECT_EQ(cap.text(), "");
  EXPECT_EQ(alg.getIterationsPerformed(), 3);
}

TEST(AlgorithmLoop, StatusLineLayoutAndNumberFormat) {
  ScriptedAlgorithm plain({0.0});
  ScriptedAlgorithm pen({0.0}, true);
  // The wrappers own bases of their own, alike to these two.
  QuasiNewtonAcceleratedAlgorithm wrappedPlain(std::make_unique<ScriptedAlgorithm>(std::vector<double>{0.0}), 3);
  QuasiNewtonAcceleratedAlgorithm wrappedPen(std::make_unique<ScriptedAlgorithm>(std::vector<double>{0.0}, true), 3);
  struct Case {
    Algorithm* alg;
    bool fixedThree;  // std::fixed with precision 3 in force
    double after;
    const char* expected;
  };
  const Case cases[] = {
      {&plain, false, -90.25, "7 (Fake) \tElapsed: 1.5\tLoglikelihood: -90.25\t(delta): 10.25\n"},
      {&pen, false, -90.25, "7 (Fake) \tElapsed: 1.5\tObjective: -90.25\t(delta): 10.25\n"},
      {&wrappedPlain, false, -90.25, "7 (QN/Fake) \tElapsed: 1.5\tLoglikelihood: -90.25\t(delta): 10.25\n"},
      {&wrappedPen, false, -90.25, "7 (QN/Fake) \tElapsed: 1.5\tObjective: -90.25\t(delta): 10.25\n"},
      {&plain, true, -90.25, "7 (Fake) \tElapsed: 1.500\tLoglikelihood: -90.250\t(delta): 10.250\n"},
      {&plain, false, -1234567.0, "7 (Fake) \tElapsed: 1.5\tLoglikelihood: -1.23457e+06\t(delta): -1.23447e+06\n"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.expected);
    CoutCapture cap;
    if (tc.fixedThree) std::cout << std::fixed << std::setprecision(3);
    tc.alg->printStatusLine(7, -100.5, tc.after, 1.5);
    EXPECT_EQ(cap.text(), tc.expected);
  }
}

// ---- The factory --------------------------------------------------------------

TEST(AlgorithmFactory, BuildsTheConfiguredMethod) {
  struct Case {
    int method;
    int type;
    int R;
    double lambda;
    const char* shortName;
    const char* name;
    bool penalized;
  };
  const Case cases[] = {
      {EM, NONE, 0, 0.0, "EM", "EM algorithm", false},
      {BLOCK, NONE, 0, 0.0, "Block", "Block relaxation algorithm", false},
      {BLOCK, NONE, 0, 5.0, "Block", "Block relaxation algorithm", true},
      {EM, QUASI_NEWTON, 3, 0.0, "QN/EM", "QuasiNewton acceleratedEM algorithm", false},
      {BLOCK, QUASI_NEWTON, 3, 0.0, "QN/Block", "QuasiNewton acceleratedBlock relaxation algorithm", false},
      {BLOCK, QUASI_NEWTON, 2, 10.0, "QN/Block", "QuasiNewton acceleratedBlock relaxation algorithm", true},
      {BLOCK, QUASI_NEWTON, 1, std::nan(""), "QN/Block", "QuasiNewton acceleratedBlock relaxation algorithm", true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.shortName + std::string(" lambda ") + std::to_string(tc.lambda));
    MethodType method = static_cast<MethodType>(tc.method);
    AccelerationScheme acc{tc.type, tc.R};
    PenaltyFunction pf{tc.lambda, 0.25};
    Algorithm* alg = Algorithm::buildAlgorithm(method, acc, pf);
    ASSERT_NE(alg, nullptr);
    EXPECT_STREQ(alg->getShortName(), tc.shortName);
    EXPECT_STREQ(alg->getName(), tc.name);
    EXPECT_EQ(alg->penalized(), tc.penalized);
    EXPECT_EQ(alg->getIterationsPerformed(), 0);
    EXPECT_TRUE(alg->printStatus);

    Algorithm* base = alg;
    if (tc.type == QUASI_NEWTON) {
      auto* qn = dynamic_cast<QuasiNewtonAcceleratedAlgorithm*>(alg);
      ASSERT_NE(qn, nullptr);
      EXPECT_EQ(qn->numSecantConditions, tc.R);
      base = qn->baseAlgorithm.get();
      ASSERT_NE(base, nullptr);
      EXPECT_EQ(dynamic_cast<QuasiNewtonAcceleratedAlgorithm*>(base), nullptr);
    }
    if (auto* br = dynamic_cast<BlockRelaxationAlgorithm*>(base)) {
      // The method keeps its own copy of the weight it was built with.
      const PenaltyFunction kept = br->getPenaltyFunction();
      EXPECT_TRUE(kept.lambda == tc.lambda || (std::isnan(kept.lambda) && std::isnan(tc.lambda)));
      EXPECT_EQ(kept.epsilon, 0.25);
      pf.lambda = 99.0;
      EXPECT_EQ(br->penalized(), tc.penalized);
    } else {
      EXPECT_NE(dynamic_cast<EmAlgorithm*>(base), nullptr);
    }
    // The wrapper owns its base.
    delete alg;
  }
}

TEST(AlgorithmFactory, RefusesWhatHasNoImplementation) {
  struct Case {
    int method;
    int type;
    int R;
    double lambda;
    const char* out;
  };
  const Case cases[] = {
      {EM, NONE, 0, 1.0, "Penalized EM algorithm not implemented!\nUnimplemented()\n"},
      {EM, QUASI_NEWTON, 3, std::nan(""), "Penalized EM algorithm not implemented!\nUnimplemented()\n"},
      // The penalty test comes before any look at the acceleration.
      {EM, SQS, 0, 2.0, "Penalized EM algorithm not implemented!\nUnimplemented()\n"},
      {EM, SQS, 0, 0.0, "Unimplemented()\n"},
      {BLOCK, SQS, 1, 0.0, "Unimplemented()\n"},
      {BLOCK, 5, 0, 0.0, "Unimplemented()\n"},
      {BLOCK, QUASI_NEWTON, 0, 0.0, "Invalid number of secant conditions: 0\n"},
      {EM, QUASI_NEWTON, -4, 0.0, "Invalid number of secant conditions: -4\n"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.out);
    RunResult r = runInChild([&] {
      MethodType method = static_cast<MethodType>(tc.method);
      AccelerationScheme acc{tc.type, tc.R};
      PenaltyFunction pf{tc.lambda, 0.1};
      Algorithm::buildAlgorithm(method, acc, pf);
      std::cout << "returned" << std::endl;
    });
    EXPECT_EQ(r.out, tc.out);
    EXPECT_EQ(r.status, 255);
  }
}

// The parameter count (I + L) K passes 2^31 on large data sets, and so does
// the dimension of the secant queue made with it. A genotype matrix of 3e9
// rows and no columns holds no storage, and with Q and P of no columns
// neither do the step matrices.
TEST(QuasiNewtonSizes, ParameterCountPast32Bits) {
  const std::size_t rows = 3000000000u;
  const GMatrix G(rows, 0);
  const DMatrix Qt(1, 0), P(1, 0);
  const DatasetMetadata meta;
  QuasiNewtonAcceleratedAlgorithm qn(std::make_unique<ScriptedAlgorithm>(std::vector<double>{-1.0}), 3);
  qn.printStatus = false;
  DMatrix Qo, Po;
  ConvergenceChecker none(0);
  qn.iterate_until_convergence(G, Qt, P, Qo, Po, none, meta);
  EXPECT_EQ(qn.numParameters, rows);

  // The run's first pair, of Qt and P's no entries, does not fit the queue.
  const RunResult r = runInChild([&] {
    DMatrix Qo1, Po1;
    ConvergenceChecker one(1);
    qn.iterate_until_convergence(G, Qt, P, Qo1, Po1, one, meta);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Error: a secant pair of 0 parameters does not fit a queue of dimension 3000000000.\n");
}

}  // namespace
