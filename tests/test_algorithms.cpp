#include "algorithms.h"
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

// ---- Test support ------------------------------------------------------------

// Collects what is written to std::cout and restores the stream (buffer and
// number format) when it goes out of scope.
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())), flags_(std::cout.flags()),
                  precision_(std::cout.precision()) {}
  ~CoutCapture() {
    std::cout.rdbuf(saved_);
    std::cout.flags(flags_);
    std::cout.precision(precision_);
  }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
  std::ios::fmtflags flags_;
  std::streamsize precision_;
};

double maxAbsDiff(const DMatrix& a, const DMatrix& b) {
  double m = 0.0;
  for (size_t n = 0; n < a.data().size(); ++n) m = std::max(m, std::fabs(a.data()[n] - b.data()[n]));
  return m;
}

// The point a + (b - a) * t, entry by entry.
DMatrix between(const DMatrix& a, const DMatrix& b, double t) { return a + (b - a) * t; }

std::string defaultFormat(double x) {
  std::ostringstream s;
  s << x;
  return s.str();
}

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

// A status line, its pieces captured: iteration, short name, seconds, label,
// objective, delta.
const std::regex kStatusLine(
    "([0-9]+) \\(([^)]*)\\) \\tElapsed: ([^\\t]+)\\t(Loglikelihood|Objective): ([^\\t]+)\\t\\(delta\\): ([^\\t]+)");

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

// ---- Quasi-Newton acceleration around a method of known behaviour ------------

// A linear contraction towards a fixed point x*: every step maps x to
// x* + c (x - x*), with a rate c per column (so Q columns keep their sums).
// With as many distinct rates as secant pairs, the extrapolation lands on x*.
// The objective tells the two-step point's evaluation (f2), the loop's and
// the safeguard's candidates apart and can follow a script for the latter.
class ContractionAlgorithm : public Algorithm {
 public:
  ContractionAlgorithm(const DMatrix& Qstar, const DMatrix& Pstar, std::vector<double> rates)
      : Qstar_(Qstar), Pstar_(Pstar), rates_(std::move(rates)) {}

  void iterate_once(const GMatrix&, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                    const DatasetMetadata&) override {
    ++steps;
    contract(Qt_in, Qstar_, Qt_out);
    contract(P_in, Pstar_, P_out);
  }

  double objective(const GMatrix&, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata&) override {
    if (inLoopCall) {
      ++loopCalls;
      return -distance2(Qt_, P_);
    }
    if (wrapper != nullptr && &Qt_ == wrapper->Qt_step2) {
      ++f2Calls;
      return script.empty() ? -distance2(Qt_, P_) : 0.0;
    }
    ++candidateCalls;
    if (script.empty()) return -distance2(Qt_, P_);
    const size_t n = static_cast<size_t>(candidateCalls - 1);
    return n < script.size() ? script[n] : -1e300;
  }
  double loglike(const GMatrix&, const DMatrix&, const DMatrix&, const DatasetMetadata&) override { return -7.5; }
  bool penalized() override { return true; }
  const char* getName() override { return "Fake algorithm"; }
  const char* getShortName() override { return "Fake"; }

  // The point after n plain steps from (Q0, P0).
  void steppedFrom(const DMatrix& Q0, const DMatrix& P0, int n, DMatrix& Qn, DMatrix& Pn) {
    Qn = Q0;
    Pn = P0;
    DMatrix q, p;
    for (int s = 0; s < n; ++s) {
      contract(Qn, Qstar_, q);
      contract(Pn, Pstar_, p);
      Qn = q;
      Pn = p;
    }
  }

  QuasiNewtonAcceleratedAlgorithm* wrapper = nullptr;
  // Objectives of the safeguard's candidates, f2 then being 0; when empty,
  // every point is judged by its closeness to x*.
  std::vector<double> script;
  bool inLoopCall = false;
  int steps = 0;
  int f2Calls = 0;
  int candidateCalls = 0;
  int loopCalls = 0;

 private:
  void contract(const DMatrix& in, const DMatrix& star, DMatrix& out) const {
    out.resize(in.size1(), in.size2(), false);
    for (size_t c = 0; c < in.size2(); ++c) {
      const double rate = rates_[c % rates_.size()];
      // A rate of 1 is a step that does not move at all, to the last bit.
      if (rate == 1.0) {
        for (size_t r = 0; r < in.size1(); ++r) out(r, c) = in(r, c);
        continue;
      }
      for (size_t r = 0; r < in.size1(); ++r) out(r, c) = star(r, c) + rate * (in(r, c) - star(r, c));
    }
  }
  double distance2(const DMatrix& Qt_, const DMatrix& P_) const {
    double d = 0.0;
    for (size_t n = 0; n < Qt_.data().size(); ++n) d += std::pow(Qt_.data()[n] - Qstar_.data()[n], 2);
    for (size_t n = 0; n < P_.data().size(); ++n) d += std::pow(P_.data()[n] - Pstar_.data()[n], 2);
    return d;
  }

  DMatrix Qstar_, Pstar_;
  std::vector<double> rates_;
};

// Marks the loop's evaluations, which reach the base through the wrapper's
// own objective; the safeguard calls the base directly.
class ObservedQuasiNewton : public QuasiNewtonAcceleratedAlgorithm {
 public:
  ObservedQuasiNewton(std::unique_ptr<ContractionAlgorithm> base, int q)
      : QuasiNewtonAcceleratedAlgorithm(std::move(base), q),
        fake_(static_cast<ContractionAlgorithm*>(baseAlgorithm.get())) {
    fake_->wrapper = this;
  }
  double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) override {
    fake_->inLoopCall = true;
    const double f = QuasiNewtonAcceleratedAlgorithm::objective(G, Qt_, P_, meta);
    fake_->inLoopCall = false;
    return f;
  }

 private:
  ContractionAlgorithm* fake_;
};

// Sizes I = 6, L = 9, K = 2; the fixed point and the start lie well inside
// the feasible region, so the repair leaves them (almost) as they are.
class QuasiNewtonFake : public ::testing::Test {
 protected:
  void SetUp() override {
    I = 6;
    L = 9;
    K = 2;
    G = GMatrix(I, L);
    G.clear();
    Qstar = DMatrix(K, I);
    Q0 = DMatrix(K, I);
    for (int i = 0; i < I; ++i) {
      Qstar(0, i) = 0.2 + 0.1 * (i % 4);
      Qstar(1, i) = 1.0 - Qstar(0, i);
      Q0(0, i) = 0.8 - 0.05 * i;
      Q0(1, i) = 1.0 - Q0(0, i);
    }
    Pstar = DMatrix(K, L);
    P0 = DMatrix(K, L);
    for (int l = 0; l < L; ++l) {
      for (int k = 0; k < K; ++k) {
        Pstar(k, l) = 0.3 + 0.05 * ((l + 3 * k) % 7);
        P0(k, l) = 0.85 - 0.07 * ((2 * l + k) % 10);
      }
    }
    Options::estimateQ = true;
    Options::estimateP = true;
    Options::verbosity = 0;
  }

  void run(Algorithm& alg, int cap, DMatrix& Qo, DMatrix& Po) {
    ConvergenceChecker checker(cap);
    alg.iterate_until_convergence(G, Q0, P0, Qo, Po, checker, meta);
  }

  RunStateGuard guard;
  GMatrix G;
  DMatrix Qstar, Pstar, Q0, P0;
  DatasetMetadata meta;
};

const std::vector<double> kThreeRates = {0.3, 0.5, 0.7};

TEST_F(QuasiNewtonFake, FirstIterationsAreTwoStepPoints) {
  auto owned = std::make_unique<ContractionAlgorithm>(Qstar, Pstar, kThreeRates);
  ContractionAlgorithm& base = *owned;
  ObservedQuasiNewton qn(std::move(owned), 3);
  qn.printStatus = false;
  for (int cap = 1; cap <= 2; ++cap) {
    SCOPED_TRACE(cap);
    DMatrix Qo, Po, Qe, Pe;
    base.steps = 0;
    run(qn, cap, Qo, Po);
    base.steppedFrom(Q0, P0, 2 * cap, Qe, Pe);
    EXPECT_TRUE(sameBits(Qo, Qe));
    EXPECT_TRUE(sameBits(Po, Pe));
    EXPECT_EQ(base.steps, 2 * cap);
    EXPECT_EQ(base.f2Calls, 0);
    EXPECT_EQ(base.candidateCalls, 0);
    EXPECT_EQ(qn.getIterationsPerformed(), cap);
  }

  // A new run starts from an empty queue: its first two iterations are plain
  // double steps again, whatever the run before it collected.
  DMatrix Qo, Po, Qe, Pe;
  run(qn, 4, Qo, Po);
  base.f2Calls = 0;
  run(qn, 2, Qo, Po);
  base.steppedFrom(Q0, P0, 4, Qe, Pe);
  EXPECT_TRUE(sameBits(Qo, Qe));
  EXPECT_EQ(base.f2Calls, 0);
}

TEST_F(QuasiNewtonFake, ExtrapolationReachesTheFixedPoint) {
  struct Case {
    std::vector<double> rates;
    int q;
  };
  const Case cases[] = {{kThreeRates, 3}, {{0.6}, 1}};
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.q);
    auto owned = std::make_unique<ContractionAlgorithm>(Qstar, Pstar, tc.rates);
    ContractionAlgorithm& base = *owned;
    ObservedQuasiNewton qn(std::move(owned), tc.q);
    qn.printStatus = false;
    DMatrix Qo, Po, Q2, P2;
    run(qn, tc.q, Qo, Po);
    base.steppedFrom(Q0, P0, 2 * tc.q, Q2, P2);
    // The two-step point is visibly away from x*; the accepted candidate is
    // x* itself, evaluated once.
    EXPECT_GT(maxAbsDiff(Q2, Qstar) + maxAbsDiff(P2, Pstar), 1e-3);
    EXPECT_LT(maxAbsDiff(Qo, Qstar), 1e-9);
    EXPECT_LT(maxAbsDiff(Po, Pstar), 1e-9);
    EXPECT_EQ(base.f2Calls, 1);
    EXPECT_EQ(base.candidateCalls, 1);
  }
}

TEST_F(QuasiNewtonFake, SafeguardKeepsOnlyCandidatesThatBeatTheTwoStepPoint) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<double> script;  // candidate objectives; f2 is 0
    int halvings;                // -1: the result is the two-step point itself
  };
  const Case cases[] = {
      {"first candidate better", {1.0}, 0},
      {"third candidate better", {-1.0, -1.0, 1.0}, 2},
      {"a tie is not better", {0.0, 1.0}, 1},
      {"all four worse", {-1.0, -1.0, -1.0, -1.0}, -1},
      {"four ties keep the last halving", {0.0, 0.0, 0.0, 0.0}, 4},
      {"not-a-number is never better", {nan, nan, nan, nan}, -1},
      {"last candidate not a number", {0.0, 0.0, 0.0, nan}, -1},
      {"a candidate after a not-a-number one", {nan, 1.0}, 1},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto owned = std::make_unique<ContractionAlgorithm>(Qstar, Pstar, kThreeRates);
    ContractionAlgorithm& base = *owned;
    base.script = tc.script;
    ObservedQuasiNewton qn(std::move(owned), 3);
    qn.printStatus = false;
    DMatrix Qo, Po, Q2, P2;
    run(qn, 3, Qo, Po);
    base.steppedFrom(Q0, P0, 6, Q2, P2);
    EXPECT_EQ(base.f2Calls, 1);
    EXPECT_EQ(base.candidateCalls, static_cast<int>(tc.script.size()));
    if (tc.halvings < 0) {
      EXPECT_TRUE(sameBits(Qo, Q2));
      EXPECT_TRUE(sameBits(Po, P2));
    } else {
      // Each halving moves the candidate (x*) halfway towards x2.
      const double t = 1.0 / (1 << tc.halvings);
      EXPECT_LT(maxAbsDiff(Qo, between(Q2, Qstar, t)), 1e-9);
      EXPECT_LT(maxAbsDiff(Po, between(P2, Pstar, t)), 1e-9);
    }
  }
}

// The loop does not evaluate again a point whose objective the safeguard has
// just computed (the accepted candidate, or the two-step point it falls back
// to): with q = 3 it evaluates the start and the two double steps, and the
// third iteration's result only when that result was never evaluated (the
// last halving, tied with the two-step point) or when restoring a fixed
// matrix changed it. Its status line carries the value the safeguard had.
TEST_F(QuasiNewtonFake, LoopReusesTheObjectiveTheSafeguardComputed) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<double> script;  // candidate objectives; f2 is 0
    bool estimateQ;
    int loopCalls;
    double last;  // objective of the last status line; NaN: x2's distance
  };
  const Case cases[] = {
      {"accepted candidate", {1.0}, true, 3, 1.0},
      {"fallback to the two-step point", {-1.0, -1.0, -1.0, -1.0}, true, 3, 0.0},
      {"not-a-number falls back too", {0.0, 0.0, 0.0, nan}, true, 3, 0.0},
      {"unevaluated last halving", {0.0, 0.0, 0.0, 0.0}, true, 4, nan},
      {"restored fixed Q", {1.0}, false, 4, nan},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Options::estimateQ = tc.estimateQ;
    auto owned = std::make_unique<ContractionAlgorithm>(Qstar, Pstar, kThreeRates);
    ContractionAlgorithm& base = *owned;
    base.script = tc.script;
    ObservedQuasiNewton qn(std::move(owned), 3);
    DMatrix Qo, Po;
    std::string out;
    {
      CoutCapture capture;
      run(qn, 3, Qo, Po);
      out = capture.text();
    }
    EXPECT_EQ(base.loopCalls, tc.loopCalls);
    const std::vector<std::string> lines = splitLines(out);
    ASSERT_EQ(lines.size(), 3u);
    const size_t from = lines[2].find("Objective: ") + 11;
    const std::string last = lines[2].substr(from, lines[2].find('\t', from) - from);
    if (std::isnan(tc.last)) {
      base.inLoopCall = true;
      const double evaluated = base.objective(G, Qo, Po, meta);
      EXPECT_EQ(std::stod(last), std::stod(defaultFormat(evaluated)));
    } else {
      EXPECT_EQ(std::stod(last), tc.last);
    }
    EXPECT_EQ(defaultFormat(qn.getResultObjective()), last);
  }
}

// Steps that move every entry by 1e200: the secant products overflow, so
// the extrapolation is not finite and the safeguard never runs; the result
// is the two-step point itself.
class FarSteppingAlgorithm : public Algorithm {
 public:
  void iterate_once(const GMatrix&, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                    const DatasetMetadata&) override {
    Qt_out = Qt_in;
    P_out = P_in;
    for (double& v : Qt_out.data()) v = v + 1e200;
    for (double& v : P_out.data()) v = v + 1e200;
  }
  double objective(const GMatrix&, const DMatrix&, const DMatrix&, const DatasetMetadata&) override {
    ++objectiveCalls;
    return 0.0;
  }
  const char* getName() override { return "Far"; }
  const char* getShortName() override { return "Far"; }
  int objectiveCalls = 0;
};

TEST_F(QuasiNewtonFake, ExtrapolationThatIsNotFiniteFallsBackToTheTwoStepPoint) {
  auto owned = std::make_unique<FarSteppingAlgorithm>();
  FarSteppingAlgorithm& base = *owned;
  QuasiNewtonAcceleratedAlgorithm qn(std::move(owned), 1);
  qn.printStatus = false;
  DMatrix Qo, Po;
  {
    CoutCapture quiet;  // whatever the inversion of a NaN system reports
    run(qn, 1, Qo, Po);
  }
  DMatrix Q1, P1, Q2, P2;
  base.iterate_once(G, Q0, P0, Q1, P1, meta);
  base.iterate_once(G, Q1, P1, Q2, P2, meta);
  EXPECT_TRUE(sameBits(Qo, Q2));
  EXPECT_TRUE(sameBits(Po, P2));
  // The start point and the result, both by the loop: no safeguard pass.
  EXPECT_EQ(base.objectiveCalls, 2);
}

TEST_F(QuasiNewtonFake, FixedMatrixKeepsItsInputAfterEveryIteration) {
  struct Case {
    bool estimateQ;
    bool estimateP;
  };
  const Case cases[] = {{false, true}, {true, false}};
  for (const Case& tc : cases) {
    for (int cap = 1; cap <= 4; ++cap) {
      SCOPED_TRACE(testing::Message() << "estimateQ " << tc.estimateQ << ", cap " << cap);
      Options::estimateQ = tc.estimateQ;
      Options::estimateP = tc.estimateP;
      ObservedQuasiNewton qn(std::make_unique<ContractionAlgorithm>(Qstar, Pstar, kThreeRates), 3);
      qn.printStatus = false;
      DMatrix Qo, Po;
      run(qn, cap, Qo, Po);
      EXPECT_EQ(static_cast<bool>(sameBits(Qo, Q0)), !tc.estimateQ);
      EXPECT_EQ(static_cast<bool>(sameBits(Po, P0)), !tc.estimateP);
    }
  }
}

TEST_F(QuasiNewtonFake, InversionDiagnostics) {
  struct Case {
    const char* name;
    std::vector<double> rates;
    int verbosity;
    int cap;
    const char* outPrefix;  // what the extrapolating iterations print
  };
  const Case cases[] = {
      // Steps that do not move give an all-zero system: the factorisation
      // fails before any condition estimate, so no "RCond: " line.
      {"singular, verbose", {1.0}, 1, 4, "PROBLEM INVERTING MATRIX!\nPROBLEM INVERTING MATRIX!\n"},
      {"singular, quiet", {1.0}, 0, 4, "PROBLEM INVERTING MATRIX!\nPROBLEM INVERTING MATRIX!\n"},
      // The cases below make one extrapolation only: it lands on x*, after
      // which the pairs stop moving and the system degenerates.
      // Two rates almost equal: invertible but badly conditioned.
      {"ill-conditioned, verbose", {0.5, 0.5 + 1e-6, 0.7}, 1, 3, "RCond: "},
      {"ill-conditioned, quiet", {0.5, 0.5 + 1e-6, 0.7}, 0, 3, ""},
      {"well-conditioned, verbose", kThreeRates, 1, 3, ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Options::verbosity = tc.verbosity;
    ObservedQuasiNewton qn(std::make_unique<ContractionAlgorithm>(Qstar, Pstar, tc.rates), 3);
    qn.printStatus = false;
    DMatrix Qo, Po;
    std::string out;
    {
      CoutCapture cap;
      run(qn, tc.cap, Qo, Po);
      out = cap.text();
    }
    const std::string prefix = tc.outPrefix;
    if (prefix.empty()) {
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(out.substr(0, prefix.size()), prefix);
    }
    if (prefix == "RCond: ") {
      std::vector<std::string> lines = splitLines(out);
      ASSERT_FALSE(lines.empty());
      EXPECT_LT(std::stod(lines[0].substr(7)), 1e-7);
      EXPECT_EQ(out.find("PROBLEM"), std::string::npos);
    }
    if (tc.rates[0] == 1.0) {
      EXPECT_EQ(out, prefix);
      // Nothing moves, so the result is the start point (up to the repair).
      EXPECT_LT(maxAbsDiff(Qo, Q0), 1e-12);
      EXPECT_LT(maxAbsDiff(Po, P0), 1e-12);
    }
  }
}

// The verbose warning's bound: a reciprocal condition number below 1e-7
// prints its line, one of 1e-7 or more does not. diag(1, e) has the
// reciprocal condition number e in the one-norm, which LAPACK gives exactly.
TEST(SecantSystem, VerboseWarningBelowTheBound) {
  RunStateGuard guard;
  struct Case {
    double e;
    int verbosity;
    const char* out;
  };
  const Case cases[] = {
      {5e-7, 1, ""},
      {1e-7, 1, ""},
      {9.9e-8, 1, "RCond: 9.9e-08\n"},
      {9.9e-8, 0, ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(testing::Message() << "rcond " << tc.e << ", verbosity " << tc.verbosity);
    Options::verbosity = tc.verbosity;
    DMatrix A(2, 2), Ainv(2, 2);
    A.clear();
    A(0, 0) = 1.0;
    A(1, 1) = tc.e;
    CoutCapture cap;
    invertSecantSystem(A, Ainv);
    EXPECT_EQ(cap.text(), tc.out);
    EXPECT_DOUBLE_EQ(Ainv(1, 1), 1.0 / tc.e);
  }
}

// A contraction that marks its own destruction.
class MortalContraction : public ContractionAlgorithm {
 public:
  MortalContraction(const DMatrix& Qstar, const DMatrix& Pstar, bool& destroyed)
      : ContractionAlgorithm(Qstar, Pstar, kThreeRates), destroyed_(destroyed) {}
  ~MortalContraction() override { destroyed_ = true; }

 private:
  bool& destroyed_;
};

TEST_F(QuasiNewtonFake, WrapperForwardsToItsBaseAndOwnsIt) {
  bool destroyed = false;
  auto owned = std::make_unique<MortalContraction>(Qstar, Pstar, destroyed);
  ContractionAlgorithm& base = *owned;
  auto* qn = new QuasiNewtonAcceleratedAlgorithm(std::move(owned), 3);
  EXPECT_STREQ(qn->getName(), "QuasiNewton acceleratedFake algorithm");
  EXPECT_STREQ(qn->getShortName(), "QN/Fake");
  EXPECT_EQ(qn->loglike(G, Q0, P0, meta), -7.5);
  EXPECT_EQ(qn->objective(G, Q0, P0, meta), base.objective(G, Q0, P0, meta));
  EXPECT_TRUE(qn->penalized());
  EXPECT_FALSE(destroyed);
  // Deleted through the base class, as the cross-validation deletes its
  // re-fit object: the base goes with it.
  Algorithm* asAlgorithm = qn;
  delete asAlgorithm;
  EXPECT_TRUE(destroyed);
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

// ---- The real update steps on a small simulated data set ---------------------

// 30 individuals, 200 SNPs, K = 2; genotypes drawn from a random admixture.
// One thread, as a run without the parallel option has.
class AlgorithmsOnData : public ::testing::Test {
 protected:
  void SetUp() override {
    omp_set_num_threads(1);
    I = 30;
    L = 200;
    K = 2;
    std::mt19937 gen(20240611);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    DMatrix trueQ(K, I), trueP(K, L);
    for (int i = 0; i < I; ++i) {
      trueQ(0, i) = unif(gen);
      trueQ(1, i) = 1.0 - trueQ(0, i);
    }
    for (int l = 0; l < L; ++l)
      for (int k = 0; k < K; ++k) trueP(k, l) = 0.05 + 0.9 * unif(gen);
    G = GMatrix(I, L);
    for (int i = 0; i < I; ++i) {
      for (int l = 0; l < L; ++l) {
        double p = 0.0;
        for (int k = 0; k < K; ++k) p += trueQ(k, i) * trueP(k, l);
        G(i, l) = static_cast<unsigned char>((unif(gen) < p) + (unif(gen) < p));
        if (unif(gen) < 0.02) G(i, l) = kMissing;
      }
    }
    mono = BVector(L);
    buildMonomorphicsTable(G, mono);
    guard.lend(monomorphics, &mono);
    meta.indInfo.resize(I);
    meta.snpInfo.resize(L);

    Q0 = DMatrix(K, I);
    P0 = DMatrix(K, L);
    for (int i = 0; i < I; ++i) {
      Q0(0, i) = 0.2 + 0.6 * unif(gen);
      Q0(1, i) = 1.0 - Q0(0, i);
    }
    for (int l = 0; l < L; ++l)
      for (int k = 0; k < K; ++k) P0(k, l) = 0.1 + 0.8 * unif(gen);

    Options::estimateQ = true;
    Options::estimateP = true;
    Options::verbosity = 0;
    Options::penaltyfunction = PenaltyFunction{0.0, 0.1};
  }

  RunStateGuard guard;
  GMatrix G;
  BVector mono;
  DatasetMetadata meta;
  DMatrix Q0, P0;
};

TEST_F(AlgorithmsOnData, AcceleratedEmStartsWithDoubleStepsAndNeverFalls) {
  auto ownedEm = std::make_unique<EmAlgorithm>();
  EmAlgorithm& em = *ownedEm;
  QuasiNewtonAcceleratedAlgorithm qn(std::move(ownedEm), 3);
  DMatrix Qo, Po;
  {
    ConvergenceChecker two(2);
    CoutCapture cap;
    qn.iterate_until_convergence(G, Q0, P0, Qo, Po, two, meta);
  }
  DMatrix Qa = Q0, Pa = P0, Qb, Pb;
  for (int s = 0; s < 4; ++s) {
    em.iterate_once(G, Qa, Pa, Qb, Pb, meta);
    Qa = Qb;
    Pa = Pb;
  }
  EXPECT_TRUE(sameBits(Qo, Qa));
  EXPECT_TRUE(sameBits(Po, Pa));

  // Every accelerated iteration is at least as good as its double EM step,
  // which does not lower the log-likelihood.
  ConvergenceChecker eight(8);
  CoutCapture cap;
  qn.iterate_until_convergence(G, Q0, P0, Qo, Po, eight, meta);
  const std::vector<std::string> lines = splitLines(cap.text());
  ASSERT_EQ(lines.size(), 8u);
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kStatusLine));
    EXPECT_EQ(m[2], "QN/EM");
    EXPECT_EQ(m[4], "Loglikelihood");
    EXPECT_GE(std::stod(m[6]), 0.0);
  }
  EXPECT_EQ(qn.getIterationsPerformed(), 8);
}

TEST_F(AlgorithmsOnData, FixedMatrixOutsideTheRegion) {
  // A fixed Q with an entry below the region's floor, a fixed P with one
  // below its lower bound: the plain method repairs them, the accelerated
  // one hands back its input exactly.
  DMatrix Qfix = Q0, Pfix = P0;
  Qfix(0, 3) = 1e-7;
  Qfix(1, 3) = 1.0 - 1e-7;
  Pfix(1, 5) = 1e-6;
  struct Case {
    bool estimateQ;
    bool estimateP;
  };
  const Case cases[] = {{false, true}, {true, false}};
  for (const Case& tc : cases) {
    Options::estimateQ = tc.estimateQ;
    Options::estimateP = tc.estimateP;
    const DMatrix& Qin = tc.estimateQ ? Q0 : Qfix;
    const DMatrix& Pin = tc.estimateP ? P0 : Pfix;
    const DMatrix& fixedIn = tc.estimateQ ? Pin : Qin;

    auto ownedEm = std::make_unique<EmAlgorithm>();
    EmAlgorithm& em = *ownedEm;
    DMatrix Qo, Po;
    ConvergenceChecker one(1);
    em.printStatus = false;
    em.iterate_until_convergence(G, Qin, Pin, Qo, Po, one, meta);
    EXPECT_FALSE(sameBits(tc.estimateQ ? Po : Qo, fixedIn));
    EXPECT_GE(tc.estimateQ ? Po(1, 5) : Qo(0, 3), kFeasibleLow * (1 - 1e-12));

    QuasiNewtonAcceleratedAlgorithm qn(std::move(ownedEm), 3);
    qn.printStatus = false;
    for (int cap = 1; cap <= 4; ++cap) {
      SCOPED_TRACE(testing::Message() << "estimateQ " << tc.estimateQ << ", cap " << cap);
      ConvergenceChecker checker(cap);
      qn.iterate_until_convergence(G, Qin, Pin, Qo, Po, checker, meta);
      EXPECT_TRUE(sameBits(tc.estimateQ ? Po : Qo, fixedIn));
      EXPECT_FALSE(sameBits(tc.estimateQ ? Qo : Po, tc.estimateQ ? Qin : Pin));
    }
  }
}

// A fixed P with SNPs of frequency 0 and 1 in every population gives the
// observed genotypes there the probability 0: the start's objective is -inf.
// The plain method's first step repairs the fixed matrix; the accelerated
// method, which restores a fixed matrix from its input after every
// iteration, starts from the repaired point. Either way P is held at its
// repaired values and the run ends at a finite objective.
TEST_F(AlgorithmsOnData, FixedMatrixOfZerosAndOnesIsRepaired) {
  DMatrix Pfix = P0;
  for (int k = 0; k < K; ++k) {
    Pfix(k, 7) = 0.0;
    Pfix(k, 8) = 1.0;
  }
  DMatrix Prepaired = Pfix, Qunused = Q0;
  fix_infeasibility_problem(Qunused, Prepaired);
  Options::estimateP = false;
  for (bool accelerated : {false, true}) {
    SCOPED_TRACE(accelerated ? "QN/EM" : "EM");
    std::unique_ptr<Algorithm> alg = std::make_unique<EmAlgorithm>();
    if (accelerated) alg = std::make_unique<QuasiNewtonAcceleratedAlgorithm>(std::move(alg), 3);
    alg->printStatus = false;
    ASSERT_EQ(alg->objective(G, Q0, Pfix, meta), -std::numeric_limits<double>::infinity());
    DMatrix Qo, Po;
    ConvergenceChecker tol(1e-4);
    alg->iterate_until_convergence(G, Q0, Pfix, Qo, Po, tol, meta);
    EXPECT_TRUE(sameBits(Po, Prepaired));
    EXPECT_TRUE(std::isfinite(alg->getResultObjective()));
    EXPECT_GT(alg->getIterationsPerformed(), 1);
  }
}

TEST_F(AlgorithmsOnData, AcceleratedBlockRelaxationLabels) {
  struct Case {
    double lambda;
    const char* label;
  };
  const Case cases[] = {{0.0, "Loglikelihood"}, {10.0, "Objective"}};
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.label);
    Options::penaltyfunction.lambda = tc.lambda;
    MethodType method = BLOCK;
    AccelerationScheme acc{QUASI_NEWTON, 3};
    Algorithm* alg = Algorithm::buildAlgorithm(method, acc, Options::penaltyfunction);
    auto* qn = dynamic_cast<QuasiNewtonAcceleratedAlgorithm*>(alg);
    ASSERT_NE(qn, nullptr);
    DMatrix Qo, Po;
    ConvergenceChecker three(3);
    std::string out;
    {
      CoutCapture cap;
      alg->iterate_until_convergence(G, Q0, P0, Qo, Po, three, meta);
      out = cap.text();
    }
    const std::vector<std::string> lines = splitLines(out);
    ASSERT_EQ(lines.size(), 3u) << out;
    for (const std::string& line : lines) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, kStatusLine)) << line;
      EXPECT_EQ(m[2], "QN/Block");
      EXPECT_EQ(m[4], tc.label);
    }
    // The last status line reports the objective of the returned point.
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[2], m, kStatusLine));
    EXPECT_EQ(m[5], defaultFormat(alg->objective(G, Qo, Po, meta)));
    delete alg;
  }
}

}  // namespace
