// The quasi-Newton acceleration around methods whose behaviour the tests know.
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

double maxAbsDiff(const DMatrix& a, const DMatrix& b) {
  double m = 0.0;
  for (size_t n = 0; n < a.data().size(); ++n) m = std::max(m, std::fabs(a.data()[n] - b.data()[n]));
  return m;
}

// The point a + (b - a) * t, entry by entry.
DMatrix between(const DMatrix& a, const DMatrix& b, double t) { return a + (b - a) * t; }

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

}  // namespace
