// The methods' real update steps on a small simulated data set.
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

// ---- The real update steps on a small simulated data set ---------------------

// 30 individuals of mixed ancestry, 200 SNPs, K = 2; genotypes drawn from
// random ancestry fractions.
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
