// End-to-end runs of the whole program on the shipped simulated data set:
// the order of the driver's lines, the number formats across passes, the
// result files, and the estimates against the true values; and on a tiny
// PED fileset, starting values outside the feasible region.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "dir_util.h"
#include "e2e_util.h"
#include "fileset_util.h"

namespace {

// The objective values of the status lines of one method (short name).
std::vector<double> statusValues(const std::string& out, const std::string& shortName) {
  std::vector<double> v;
  std::regex re("^\\d+ \\(" + shortName + "\\) \\tElapsed: [^\\t]+\\t(Loglikelihood|Objective): ([^\\t]+)\\t\\(delta\\): .*$");
  for (const std::string& l : splitLines(out)) {
    std::smatch m;
    if (std::regex_match(l, m, re)) v.push_back(std::stod(m[2]));
  }
  return v;
}

const std::string kSim = testData("sim3.bed");

}  // namespace

TEST(Run, DefaultMethodOnSimulatedData) {
  TempDir dir;
  RunResult r = runKelvanore({kSim, "3", "-j4"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = splitLines(r.out);
  // The driver's lines in their order.
  const char* order[] = {"Read \"true\" Q/P values from file.",
                         "Size of G: 302x5001",
                         "Performing five EM steps to prime main algorithm",
                         "Initial loglikelihood: ",
                         "Starting main algorithm",
                         "Summary: ",
                         "Converged in ",
                         "Loglikelihood: ",
                         "RMSE(Q): ",
                         "RMSE(P): ",
                         "Fst divergences between estimated populations: ",
                         "Writing output files."};
  int previous = -1;
  for (const char* text : order) {
    int at = lineIndex(lines, text, true);
    EXPECT_GT(at, previous) << text;
    previous = at;
  }
  EXPECT_EQ(lines.back(), "Writing output files.");
  EXPECT_EQ(statusValues(r.out, "EM").size(), 5u);
  std::vector<double> qn = statusValues(r.out, "QN/Block");
  ASSERT_GE(qn.size(), 2u);
  for (size_t i = 1; i < qn.size(); ++i) EXPECT_GE(qn[i], qn[i - 1]) << "iteration " << i + 1;
  // The summary's values are in fixed notation with six decimals.
  EXPECT_TRUE(std::regex_match(linesStartingWith(r.out, "Loglikelihood: ").at(0),
                               std::regex("Loglikelihood: -\\d+\\.\\d{6}")));

  Table q = readTable(dir.file("sim3.3.Q"));
  Table p = readTable(dir.file("sim3.3.P"));
  ASSERT_EQ(q.size(), 302u);
  ASSERT_EQ(p.size(), 5001u);
  for (const auto& row : q) {
    ASSERT_EQ(row.size(), 3u);
    EXPECT_NEAR(row[0] + row[1] + row[2], 1.0, 3e-6);
  }
  EXPECT_LT(matchedRmse(q, readTable(testData("sim3.3.Q.truth"))), 0.03);
  // Written with six decimals and single blanks.
  std::string first = splitLines(readFile(dir.file("sim3.3.Q"))).at(0);
  EXPECT_TRUE(std::regex_match(first, std::regex("\\d\\.\\d{6} \\d\\.\\d{6} \\d\\.\\d{6}"))) << first;
}

TEST(Run, ResultsDoNotDependOnTheThreadCount) {
  TempDir one, eight;
  RunResult a = runKelvanore({kSim, "3", "-C", "8"}, one.path());
  RunResult b = runKelvanore({kSim, "3", "-C", "8", "-j8"}, eight.path());
  ASSERT_EQ(a.status, 0);
  ASSERT_EQ(b.status, 0);
  EXPECT_EQ(readFile(one.file("sim3.3.Q")), readFile(eight.file("sim3.3.Q")));
  EXPECT_EQ(readFile(one.file("sim3.3.P")), readFile(eight.file("sim3.3.P")));
}

TEST(Run, EmAndBlockRelaxationWithoutAcceleration) {
  TempDir em, block, qn;
  // Plain EM needs about 2800 iterations (13 s) to meet the default
  // tolerance here; 300 show that it climbs at every step and comes within
  // 0.03 of the truth (0.024 after 300). Block relaxation runs to
  // convergence (about 20 iterations), and its estimate is at least as
  // close.
  RunResult e = runKelvanore({kSim, "3", "-m", "em", "-a", "none", "-C", "300", "-j4"}, em.path());
  RunResult b = runKelvanore({kSim, "3", "-a", "none", "-j4"}, block.path());
  RunResult d = runKelvanore({kSim, "3", "-j4"}, qn.path());
  ASSERT_EQ(e.status, 0) << e.out;
  ASSERT_EQ(b.status, 0) << b.out;
  ASSERT_EQ(d.status, 0) << d.out;

  // The EM log-likelihood never decreases from one iteration to the next.
  std::vector<double> ev = statusValues(e.out, "EM");
  ASSERT_GT(ev.size(), 5u);
  for (size_t i = 1; i < ev.size(); ++i) EXPECT_GE(ev[i], ev[i - 1]) << "EM iteration " << i + 1;
  std::vector<double> bv = statusValues(b.out, "Block");
  ASSERT_GT(bv.size(), 1u);
  for (size_t i = 1; i < bv.size(); ++i) EXPECT_GE(bv[i], bv[i - 1]) << "block iteration " << i + 1;

  Table truth = readTable(testData("sim3.3.Q.truth"));
  double rmseEm = matchedRmse(readTable(em.file("sim3.3.Q")), truth);
  double rmseBlock = matchedRmse(readTable(block.file("sim3.3.Q")), truth);
  EXPECT_LT(rmseEm, 0.03);
  EXPECT_LE(rmseBlock, rmseEm + 1e-3);

  // Acceleration reaches the same tolerance in fewer iterations.
  size_t plain = bv.size();
  size_t accelerated = statusValues(d.out, "QN/Block").size();
  EXPECT_LT(accelerated, plain);
}

TEST(Run, TwoPenaltyPassesAndTheConsoleNumberFormat) {
  TempDir dir;
  RunResult r = runKelvanore({kSim, "3", "-l", "0,10", "-j4"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> initial = linesStartingWith(r.out, "Initial loglikelihood: ");
  ASSERT_EQ(initial.size(), 2u);
  // First pass: default notation, no objective. Second pass: the fixed
  // notation with three decimals that the Fst table left behind.
  EXPECT_TRUE(std::regex_match(initial[0], std::regex("Initial loglikelihood: -1\\.\\d{5}e\\+06"))) << initial[0];
  EXPECT_TRUE(std::regex_match(initial[1],
                               std::regex("Initial loglikelihood: -\\d+\\.\\d{3}; Objective: -\\d+\\.\\d{3}")))
      << initial[1];
  EXPECT_EQ(linesStartingWith(r.out, "Lambda: "), std::vector<std::string>{"Lambda: 10.000"});
  ASSERT_EQ(linesStartingWith(r.out, "Objective function: ").size(), 1u);
  EXPECT_FALSE(statusValues(r.out, "QN/Block").empty());
  EXPECT_TRUE(r.out.find("\tObjective: ") != std::string::npos);
  EXPECT_EQ(linesStartingWith(r.out, "Writing output files.").size(), 2u);
  for (const char* name : {"sim3.3.Q", "sim3.3.P", "sim3.3.Q.lambda.10", "sim3.3.P.lambda.10"})
    EXPECT_TRUE(fileExists(dir.file(name))) << name;
}

TEST(Run, OnePopulationKeepsTheDefaultPrecision) {
  TempDir dir;
  RunResult r = runKelvanore({kSim, "1", "-l", "0,1", "-C", "2"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Fst divergences"), std::string::npos);
  std::vector<std::string> initial = linesStartingWith(r.out, "Initial loglikelihood: ");
  ASSERT_EQ(initial.size(), 2u);
  EXPECT_TRUE(std::regex_match(initial[1],
                               std::regex("Initial loglikelihood: -\\d+\\.\\d{6}; Objective: -\\d+\\.\\d{6}")))
      << initial[1];
  Table q = readTable(dir.file("sim3.1.Q"));
  ASSERT_EQ(q.size(), 302u);
  EXPECT_EQ(splitLines(readFile(dir.file("sim3.1.Q"))).at(0), "1.000000");
}

TEST(Run, StartingValuesFromFilesSkipThePriming) {
  TempDir dir;
  RunResult first = runKelvanore({kSim, "3", "-C", "3"}, dir.path());
  ASSERT_EQ(first.status, 0);
  copyFile(dir.file("sim3.3.Q"), dir.file("sim3.3.Q.in"));
  copyFile(dir.file("sim3.3.P"), dir.file("sim3.3.P.in"));
  RunResult again = runKelvanore({kSim, "3", "-i", "-C", "0"}, dir.path());
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(again.out.find("Performing five EM steps"), std::string::npos);
  EXPECT_NE(again.out.find("  Read Q input from sim3.3.Q.in\n"), std::string::npos);
  // No iteration: the written result is the starting value read back.
  EXPECT_EQ(readFile(dir.file("sim3.3.Q")), readFile(dir.file("sim3.3.Q.in")));

  TempDir empty;
  RunResult none = runKelvanore({kSim, "3", "-i"}, empty.path());
  EXPECT_EQ(none.status, 255);
  std::vector<std::string> lines = splitLines(none.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.");
  EXPECT_EQ(lines.back(), "Error reading input files.");
}

TEST(Run, SupervisedReferenceIndividualsKeepTheirPopulation) {
  TempDir dir;
  RunResult r = runKelvanore({kSim, "3", "--supervised", "-j4"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Supervised analysis mode.  Examining .pop file...\n"), std::string::npos);
  std::vector<std::string> labels = splitLines(readFile(testData("sim3.pop")));
  std::vector<std::string> rows = splitLines(readFile(dir.file("sim3.3.Q")));
  ASSERT_EQ(labels.size(), rows.size());
  // Labels are numbered by first appearance; a reference individual starts
  // (and stays) at 1 - 2e-5 in its population and 1e-5 elsewhere.
  std::vector<std::string> seen;
  int fixed = 0;
  for (size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] == "-") continue;
    auto it = std::find(seen.begin(), seen.end(), labels[i]);
    size_t index = it - seen.begin();
    if (it == seen.end()) seen.push_back(labels[i]);
    std::string expected;
    for (size_t k = 0; k < 3; ++k) expected += std::string(k ? " " : "") + (k == index ? "0.999980" : "0.000010");
    EXPECT_EQ(rows[i], expected) << "individual " << i + 1;
    ++fixed;
  }
  EXPECT_EQ(fixed, 120);
  // Supervised labels match the truth's columns, so the plain RMSE line is
  // meaningful and small.
  std::vector<std::string> rmse = linesStartingWith(r.out, "RMSE(Q): ");
  ASSERT_EQ(rmse.size(), 1u);
  EXPECT_LT(std::stod(rmse[0].substr(9)), 0.03);
}

TEST(Run, RealDataRunIsThreadInvariant) {
  TempDir one, eight;
  // A cap of 11 iterations, as many as the default tolerance takes here: a
  // tolerance stop compares log-likelihoods, whose last bits depend on the
  // thread count, so uncapped runs may stop an iteration apart.
  RunResult a = runKelvanore({testData("forex250.bed"), "2", "-C", "11"}, one.path());
  RunResult b = runKelvanore({testData("forex250.bed"), "2", "-C", "11", "-j8"}, eight.path());
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(b.status, 0) << b.out;
  EXPECT_NE(a.out.find("Size of G: 250x3001\n"), std::string::npos);
  EXPECT_NE(a.out.find("Converged in 11 iterations"), std::string::npos);
  EXPECT_EQ(readFile(one.file("forex250.2.Q")), readFile(eight.file("forex250.2.Q")));
  EXPECT_EQ(readFile(one.file("forex250.2.P")), readFile(eight.file("forex250.2.P")));
  // The two strata of the source separate: most individuals are nearly not
  // of mixed ancestry (over 90% of one).
  int clear = 0;
  for (const auto& row : readTable(one.file("forex250.2.Q"))) clear += row.at(0) > 0.9 || row.at(0) < 0.1;
  EXPECT_GT(clear, 200);
}

TEST(Run, SecantConditionCounts) {
  struct Case {
    std::vector<std::string> args;
    std::string shortName;
    size_t iterations;  // status lines expected; 0: any number
  };
  std::vector<Case> cases = {
      {{"-a", "qn1"}, "QN/Block", 0},
      {{"-a", "qn5"}, "QN/Block", 0},
      {{"-m", "em"}, "QN/EM", 0},
      // The most the parser takes: 98 plain double steps, then every
      // iteration extrapolates from a 99 x 99 system.
      {{"-a", "qn99", "-C", "101"}, "QN/Block", 101},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {testData("forex250.bed"), "2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = runKelvanore(args, dir.path());
    EXPECT_EQ(r.status, 0) << c.args[1];
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Writing output files.") << c.args[1];
    std::vector<double> values = statusValues(r.out, c.shortName);
    EXPECT_FALSE(values.empty()) << c.args[1];
    if (c.iterations > 0) {
      EXPECT_EQ(values.size(), c.iterations) << c.args[1];
    }
    for (size_t i = 1; i < values.size(); ++i) EXPECT_GE(values[i], values[i - 1]) << c.args[1];
  }
}

// A penalty weight this large makes the objective so large that the steps
// only wander around its maximum, up and down by more than the tolerance:
// without its stop the run goes on without end (on forex250 at K = 3, over
// 5,000 iterations in 60 s). The stop ends it as converged, at its best
// point, with one line that says so, and the run writes its result.
TEST(Run, WanderingPenalisedRunEnds) {
  TempDir dir;
  RunResult r = runKelvanore({testData("forex250.bed"), "3", "-l", "1e9", "-j1"}, dir.path(), 120);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> stopped = linesStartingWith(r.out, "Stopped: ");
  ASSERT_EQ(stopped.size(), 1u) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(stopped[0], m,
                               std::regex("Stopped: the objective has not risen above its best value by the tolerance "
                                          "0.0001 in 100 iterations; the estimate is the best one \\(iteration "
                                          "(\\d+)\\)")))
      << stopped[0];
  const size_t best = std::stoul(m[1]);
  const std::vector<double> values = statusValues(r.out, "QN/Block");
  ASSERT_EQ(values.size(), best + 100);
  EXPECT_EQ(linesStartingWith(r.out, "Converged in " + std::to_string(values.size()) + " iterations").size(), 1u);
  // The line comes right after the last status line, before the summary.
  const std::vector<std::string> lines = splitLines(r.out);
  const int at = lineIndex(lines, "Stopped: ", true);
  EXPECT_EQ(lines.at(static_cast<size_t>(at) + 1), "Summary: ");
  EXPECT_TRUE(fileExists(dir.file("forex250.3.Q.lambda.1000000000")));
  EXPECT_TRUE(fileExists(dir.file("forex250.3.P.lambda.1000000000")));
}

// A bootstrap that does not end (here stopped by SIGTERM) must not leave the
// standard errors and biases of an earlier run beside the new estimate: the
// run removes them when it puts its new Q and P in place, before the
// bootstrap, and leaves no temporary file behind.
TEST(Run, InterruptedBootstrapLeavesNoStaleStandardErrors) {
  TempDir dir;
  for (const char* name : {"sim3.3.Q", "sim3.3.P", "sim3.3.Q_se", "sim3.3.Q_bias"}) writeFile(dir.file(name), "old\n");
  // Far more replicates than the test waits for.
  StartedRun run({kSim, "3", "-B1000", "-j2"}, {}, dir.path());
  // The new Q is in place once its file is no longer the old one.
  const bool replaced = waitFor([&] { return readFile(dir.file("sim3.3.Q")) != "old\n" || run.ended(); }, 120) &&
                        readFile(dir.file("sim3.3.Q")) != "old\n";
  EXPECT_TRUE(replaced);
  ASSERT_FALSE(run.ended()) << "the run ended before it was stopped: " << run.finish().status;
  kill(run.pid(), SIGTERM);
  EXPECT_EQ(run.finish().status, 128 + SIGTERM);
  EXPECT_EQ(readTable(dir.file("sim3.3.Q")).size(), 302u);
  EXPECT_EQ(readTable(dir.file("sim3.3.P")).size(), 5001u);
  EXPECT_FALSE(fileExists(dir.file("sim3.3.Q_se")));
  EXPECT_FALSE(fileExists(dir.file("sim3.3.Q_bias")));
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));
}

// Values that the command line takes and that switch an analysis off, or
// name files apart, run as the plain run does: --cv=0 prints its three
// lines and no cross-validation, with the plain run's console lines after
// them and its files; the weights 0 and 0.5 write data.K.Q and
// data.K.Q.lambda.0, the first the plain run's.
TEST(Run, AcceptedValuesRunAsThePlainRun) {
  const std::vector<std::string> plainArgs = {kSim, "3", "-C", "3"};
  TempDir plain;
  const RunResult base = runKelvanore(plainArgs, plain.path());
  ASSERT_EQ(base.status, 0) << base.out;

  TempDir noFolds;
  std::vector<std::string> args = plainArgs;
  args.push_back("--cv=0");
  const RunResult folds = runKelvanore(args, noFolds.path());
  ASSERT_EQ(folds.status, 0) << folds.out;
  EXPECT_NE(folds.out.find("Cross-validation will be performed.\nError specifying number of folds.\n  Folds=0.\n"
                           "Random seed: 43\n"),
            std::string::npos)
      << folds.out;
  EXPECT_EQ(folds.out.find("CV error"), std::string::npos);
  EXPECT_EQ(describeDifferences(consoleDifferences(base.out, folds.out)), describeDifferences({}));
  EXPECT_EQ(describeDifferences(resultFileDifferences(plain.path(), noFolds.path())), describeDifferences({}));

  TempDir weights;
  args = plainArgs;
  args.insert(args.end(), {"-l", "0,0.5"});
  const RunResult two = runKelvanore(args, weights.path());
  ASSERT_EQ(two.status, 0) << two.out;
  EXPECT_EQ(readFile(weights.file("sim3.3.Q")), readFile(plain.file("sim3.3.Q")));
  EXPECT_EQ(readFile(weights.file("sim3.3.P")), readFile(plain.file("sim3.3.P")));
  EXPECT_EQ(readTable(weights.file("sim3.3.Q.lambda.0")).size(), 302u);
  EXPECT_EQ(readTable(weights.file("sim3.3.P.lambda.0")).size(), 5001u);
  EXPECT_EQ(linesStartingWith(two.out, "Lambda: ").size(), 1u);
}

// Starting values of 0 and 1 give observed genotypes the probability 0, so
// the start's objective is -inf; the run stopped there. The first step
// repairs them (also a matrix held fixed), and the run goes on: without
// acceleration its first delta is infinite, and with Q and P both fixed it
// converges at its second iteration. With acceleration the run starts from
// the repaired point, as every iteration restores a fixed matrix from its
// input. A fixed matrix ends at its repaired values.
TEST(Run, StartOutsideTheFeasibleRegionIsRepaired) {
  // The tiny PED fileset: 4 individuals x 3 SNPs, individual 3 misses SNP 1.
  const std::string pZeroOne = "0.000000\n1.000000\n0.500000\n";
  const std::string pRepaired = "0.000010\n0.999990\n0.500000\n";
  const std::string qOnes = "1\n1\n1\n1\n";
  struct Case {
    const char* name;
    const char* K;
    std::vector<std::pair<std::string, std::string>> inputs;  // starting files
    std::vector<std::string> options;
    const char* firstStatus;  // the start of the first status line
    bool infiniteDelta;       // of the first status line
    int iterations;           // of the main run; 0: not checked
    std::string resultFile;
    std::string result;  // its whole text, or its first lines
  };
  const Case cases[] = {
      {"fixed Q and P, no acceleration", "1", {{"data.1.P.in", pZeroOne}, {"data.1.Q.in", qOnes}},
       {"-i", "-f", "pq", "-a", "none"}, "1 (Block) ", true, 2, "data.1.P", pRepaired},
      {"fixed Q and P, EM", "1", {{"data.1.P.in", pZeroOne}, {"data.1.Q.in", qOnes}},
       {"-i", "-f", "pq", "-m", "em", "-a", "none"}, "1 (EM) ", true, 2, "data.1.P", pRepaired},
      {"fixed Q and P, accelerated", "1", {{"data.1.P.in", pZeroOne}, {"data.1.Q.in", qOnes}},
       {"-i", "-f", "pq"}, "1 (QN/Block) ", false, 1, "data.1.P", pRepaired},
      {"fixed P, accelerated", "2",
       {{"data.2.P.in", "0 0\n0.5 0.5\n0.5 0.5\n"}, {"data.2.Q.in", "0.5 0.5\n0.5 0.5\n0.5 0.5\n0.5 0.5\n"}},
       {"-i", "-f", "p"}, "1 (QN/Block) ", false, 0, "data.2.P", "0.000010 0.000010\n0.500000 0.500000\n"},
      {"fixed Q column of zeros, no acceleration", "2",
       {{"data.2.Q.in", "0.5 0.5\n0 0\n0.5 0.5\n0.5 0.5\n"}, {"data.2.P.in", "0.5 0.5\n0.5 0.5\n0.5 0.5\n"}},
       {"-i", "-f", "q", "-a", "none"}, "1 (Block) ", true, 0, "data.2.Q", "0.500000 0.500000\n0.500000 0.500000\n"},
      // Q drawn at random: the five priming EM steps start from the -inf.
      {"estimated P, priming", "2", {{"data.2.P.in", "0 0\n1 1\n0.5 0.5\n"}}, {"-i"}, "1 (EM) ", true, 0,
       "", ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir dir;
    writeFile(dir.file("data.ped"), kTinyPed);
    writeFile(dir.file("data.map"), kTinyMap);
    for (const auto& input : tc.inputs) writeFile(dir.file(input.first), input.second);
    std::vector<std::string> args = tc.options;
    args.push_back(dir.file("data.ped"));
    args.push_back(tc.K);
    const RunResult r = runKelvanore(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Initial loglikelihood: "), std::string::npos);

    const std::vector<std::string> status = linesStartingWith(r.out, tc.firstStatus);
    ASSERT_FALSE(status.empty()) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(status[0], m, std::regex(".*\\tLoglikelihood: ([^\\t]+)\\t\\(delta\\): (.*)")))
        << status[0];
    EXPECT_TRUE(std::isfinite(std::stod(m[1]))) << status[0];
    EXPECT_EQ(m[2] == "inf", tc.infiniteDelta) << status[0];

    if (tc.iterations > 0) {
      EXPECT_EQ(linesStartingWith(r.out, "Converged in " + std::to_string(tc.iterations) + " iterations").size(), 1u)
          << r.out;
    }
    const std::vector<std::string> summary = linesStartingWith(r.out, "Loglikelihood: ");
    ASSERT_EQ(summary.size(), 1u) << r.out;
    EXPECT_TRUE(std::isfinite(std::stod(summary[0].substr(15)))) << summary[0];
    if (!tc.resultFile.empty()) {
      EXPECT_EQ(readFile(dir.file(tc.resultFile)).substr(0, tc.result.size()), tc.result);
    }
  }
}
