// The command line as a user types it: the fixed texts, the summary, the refusals.
#include "e2e_util.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "version.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kVersion = KELVANORE_VERSION;

const std::string kUsage =
    "Usage: kelvanore <input file> <K>\nSee --help or manual for more advanced usage.\n";

const std::string kSeed43 = "Random seed: 43\n";
const std::string kBlock = "Point estimation method: Block relaxation algorithm\n";
const std::string kEM = "Point estimation method: EM algorithm\n";
const std::string kQN3 = "Convergence acceleration algorithm: QuasiNewton, 3 secant conditions\n";
const std::string kMajor = "Point estimation will terminate when objective function delta < 0.0001\n";
const std::string kNoBoot =
    "Estimation of standard errors disabled; will compute point estimates only.\n";
const std::string kSummary = kSeed43 + kBlock + kQN3 + kMajor + kNoBoot;
const std::string kFixedP = "P parameters will be fixed at initial values.\n";
const std::string kFixedQ = "Q parameters will be fixed at initial values.\n";
const std::string kHaploidOk = "Will treat specified (gender * chr) markers as haploid\n";
const std::string kNoExtension =
    "Input data file argument must have extension .geno, .ped, or .bed\n";

// Summary with one line replaced: seed, method, acceleration, termination, bootstrap.
std::string summary(const std::string& seed, const std::string& method, const std::string& accel,
                    const std::string& major, const std::string& boot) {
  return seed + method + accel + major + boot;
}

std::string accelLine(const std::string& what) {
  return "Convergence acceleration algorithm: " + what + "\n";
}

std::string majorLine(const std::string& what) {
  return "Point estimation will terminate " + what + "\n";
}

std::string bootLines(int b, const std::string& minor) {
  return "Will perform " + std::to_string(b) +
         " bootstrap resamplings to estimate standard errors.\n"
         "Reestimation for each bootstrap replicate will terminate " +
         minor + "\n";
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Strips the eight banner lines.
std::string afterBanner(const std::string& out) {
  size_t pos = 0;
  for (int n = 0; n < 8 && pos != std::string::npos; ++n) {
    pos = out.find('\n', pos);
    if (pos != std::string::npos) ++pos;
  }
  return pos == std::string::npos ? std::string() : out.substr(pos);
}

constexpr int kParses = -1;  // the parser accepts the line; the run goes on to the input

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  int status;       // kParses, or the status the parser ends with
  std::string out;  // after the banner; only a prefix for kParses
  std::string err;  // exact; for getopt's diagnostics a part of it, the usage text following
};

void runCliCases(const std::vector<CliCase>& cases) {
  // Runs that pass the parser go on to their (absent) input; keep whatever
  // they might write out of the source tree.
  TempDir dir;
  for (const CliCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = runKelvanore(c.args, dir.path());
    const std::string out = afterBanner(r.out);
    if (c.status == kParses) {
      EXPECT_TRUE(startsWith(out, c.out)) << "stdout after the banner:\n" << out;
      EXPECT_EQ(r.err.find("Usage:"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(out, c.out);
    if (c.err.empty() || c.err == kUsage) {
      EXPECT_EQ(r.err, c.err);
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
      EXPECT_TRUE(r.err.size() >= kUsage.size() &&
                  r.err.compare(r.err.size() - kUsage.size(), kUsage.size(), kUsage) == 0)
          << r.err;
    }
  }
}

// ---- Fixed texts ------------------------------------------------------------

TEST(OptionsTexts, BannerIsEightLinesFramedAtSixtyEightColumns) {
  RunResult r = runInChild([] { print_banner(); });
  std::vector<std::string> lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 8u);
  // The version left-justified in 23 columns.
  ASSERT_LE(kVersion.size(), 23u);
  EXPECT_EQ(lines[0], "****                   KELVANORE Version " + kVersion +
                          std::string(23 - kVersion.size(), ' ') + "****");
  for (size_t n = 0; n < 7; ++n) {
    EXPECT_EQ(lines[n].size(), 68u) << n + 1;
    EXPECT_EQ(lines[n].substr(0, 4), "****") << n + 1;
    EXPECT_EQ(lines[n].substr(64), "****") << n + 1;
  }
  EXPECT_EQ(lines[4], "****                                                            ****");
  EXPECT_EQ(lines[5], "****                 Please cite our paper!                     ****");
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(r.out.back(), '\n');
}

TEST(OptionsTexts, HelpTextLayout) {
  RunResult r = runInChild([] { print_help(); });
  EXPECT_EQ(r.out.size(), 2605u);
  std::vector<std::string> lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 33u);
  const std::map<int, std::string> content = {
      {2, "  KELVANORE basic usage:  (see manual for complete reference)"},
      {3, "    % kelvanore [options] inputFile K"},
      {9, "      - a PLINK \"12\" coded .ped file"},
      {11, "  Output will be in files inputBasename.K.Q, inputBasename.K.P"},
      {18, "     -m="},
      {19, "    --method=[em|block]     : set method.  block is default"},
      {23, "                   sqs<X> |"},
      {24, "                   qn<X>      : set acceleration"},
      {28, "    -c=x : set minor convergence criterion (for bootstrap and CV reestimates)"},
      {31, "    -B[X]      : do bootstrapping [with X replicates]"},
  };
  const int blank[] = {1, 4, 10, 12, 16, 20, 25, 29, 32, 33};
  for (int n = 1; n <= 33; ++n) {
    const std::string& line = lines[n - 1];
    EXPECT_EQ(line.size(), n == 9 ? 76u : 78u) << "line " << n;
    const size_t end = line.find_last_not_of(' ');
    const std::string trimmed = end == std::string::npos ? "" : line.substr(0, end + 1);
    if (content.count(n)) {
      EXPECT_EQ(trimmed, content.at(n)) << "line " << n;
    }
    const bool isBlank = std::find(std::begin(blank), std::end(blank), n) != std::end(blank);
    EXPECT_EQ(trimmed.empty(), isBlank) << "line " << n;
  }
}

TEST(OptionsTexts, HelpVersionAndUsageFromTheCommandLine) {
  RunResult help = runInChild([] { print_help(); });
  runCliCases({
      {"help", {"--help"}, 0, help.out, ""},
      {"help after other options", {"-z", "-B", "--help", "--bogus"}, 0,
       "Will skip point estimation.\n" + help.out, ""},
      {"version", {"--version"}, 0, kVersion + "\n", ""},
      {"version by prefix", {"--vers", "x.bed"}, 0, kVersion + "\n", ""},
      {"no arguments", {}, 255, "", kUsage},
      {"one positional", {"x.bed"}, 255, "", kUsage},
      {"three positionals", {"x.bed", "3", "4"}, 255, "", kUsage},
  });
  RunResult r = runKelvanore({"--version"});
  EXPECT_EQ(splitLines(r.out).size(), 9u);
}

// ---- The command line as a user types it --------------------------------------

TEST(OptionsCommandLine, SummaryAndOptionValues) {
  runCliCases({
      {"defaults", {"x.bed", "3"}, kParses, kSummary, ""},
      {"options after the positionals", {"x.bed", "3", "-B10"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(10, "at 3 iterations")), ""},
      {"bootstrap without a count", {"-B", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(200, "at 3 iterations")), ""},
      {"bootstrap by prefix", {"--boot=7", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(7, "at 3 iterations")), ""},
      {"bootstrap off at 0", {"-B0", "x.bed", "3"}, kParses, kSummary, ""},
      {"two replicates", {"-B2", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(2, "at 3 iterations")), ""},
      {"huge bootstrap count saturates", {"-B99999999999999999999", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(2147483647, "at 3 iterations")), ""},
      {"minor criterion", {"-B", "-c=7", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(200, "at 7 iterations")), ""},
      {"separate optional value is positional", {"-j", "4", "x.bed", "3"}, 255,
       "Parallel execution requested.  Will use 2 threads.\n", kUsage},
      {"attached thread count", {"-j4", "x.bed", "3"}, kParses,
       "Parallel execution requested.  Will use 4 threads.\n" + kSummary, ""},
      {"long thread count", {"--parallel=4", "x.bed", "3"}, kParses,
       "Parallel execution requested.  Will use 4 threads.\n" + kSummary, ""},
      {"zero threads", {"-j0", "x.bed", "3"}, 255,
       "Parallel execution requested.  \nError specifying number of threads.\n", ""},
      {"thread count without digits", {"-jabc", "x.bed", "3"}, 255,
       "Parallel execution requested.  \nError specifying number of threads.\n", ""},
      {"folds default", {"--cv", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.  Folds=5.\n" + kSummary, ""},
      {"folds given", {"-R10", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.  Folds=10.\n" + kSummary, ""},
      {"two folds", {"--cv=2", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.  Folds=2.\n" + kSummary, ""},
      {"separate fold count is positional", {"--cv", "10", "x.bed", "3"}, 255,
       "Cross-validation will be performed.  Folds=5.\n", kUsage},
      // A count of 0 switches the cross-validation off, with the message.
      {"zero folds", {"--cv=0", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.\nError specifying number of folds.\n  Folds=0.\n" + kSummary, ""},
      {"folds without digits", {"--cv=ten", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.\nError specifying number of folds.\n  Folds=0.\n" + kSummary, ""},
      // One "=" after a short option separates its value, as the help text
      // shows them (-m=em ran block relaxation, -a=none was refused).
      {"-m=em", {"-m=em", "x.bed", "3"}, kParses, summary(kSeed43, kEM, kQN3, kMajor, kNoBoot), ""},
      {"-m==em keeps the second =", {"-m==em", "x.bed", "3"}, kParses, kSummary, ""},
      {"-m =em keeps a separate word whole", {"-m", "=em", "x.bed", "3"}, kParses, kSummary, ""},
      {"--method==em keeps the value's =", {"--method==em", "x.bed", "3"}, kParses, kSummary, ""},
      {"--method=em", {"--method=em", "x.bed", "3"}, kParses,
       summary(kSeed43, kEM, kQN3, kMajor, kNoBoot), ""},
      {"-m em", {"-m", "em", "x.bed", "3"}, kParses, summary(kSeed43, kEM, kQN3, kMajor, kNoBoot), ""},
      {"-m MM", {"-m", "MM", "x.bed", "3"}, kParses, summary(kSeed43, kEM, kQN3, kMajor, kNoBoot), ""},
      {"-a=qn3", {"-a=qn3", "x.bed", "3"}, kParses, kSummary, ""},
      {"-a=none", {"-a=none", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, accelLine("None"), kMajor, kNoBoot), ""},
      {"-a =qn3 refused", {"-a", "=qn3", "x.bed", "3"}, 255, "Unknown acceleration method\n", ""},
      {"-j=4", {"-j=4", "x.bed", "3"}, kParses,
       "Parallel execution requested.  Will use 4 threads.\n" + kSummary, ""},
      {"-R=10", {"-R=10", "x.bed", "3"}, kParses,
       "Cross-validation will be performed.  Folds=10.\n" + kSummary, ""},
      {"-B=7", {"-B=7", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, kMajor, bootLines(7, "at 3 iterations")), ""},
      {"-h=100", {"-h=100", "x.bed", "3"}, kParses, "Block size set manually to 100 SNPs\n" + kSummary, ""},
      {"-s=5 in a cluster", {"-is=5", "x.bed", "3"}, kParses,
       "Will read initial Q, P from files\nRandom seed: 5\n" + kBlock, ""},
      {"--acceleration=qn3", {"--acceleration=qn3", "x.bed", "3"}, kParses, kSummary, ""},
      {"-a QN3", {"-a", "QN3", "x.bed", "3"}, kParses, kSummary, ""},
      {"-a qn10", {"-aqn10", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, accelLine("QuasiNewton, 10 secant conditions"), kMajor, kNoBoot), ""},
      {"-a qn99", {"-a", "qn99", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, accelLine("QuasiNewton, 99 secant conditions"), kMajor, kNoBoot), ""},
      {"-a qn", {"-a", "qn", "x.bed", "3"}, 255, "Invalid number of secant conditions: qn\n", ""},
      {"-a qn0", {"-a", "qn0", "x.bed", "3"}, 255, "Invalid number of secant conditions: qn0\n", ""},
      {"-a qn-2", {"-a", "Qn-2", "x.bed", "3"}, 255, "Invalid number of secant conditions: Qn-2\n", ""},
      {"-a sqs2", {"-a", "sqs2", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, accelLine("SqS2"), kMajor, kNoBoot), ""},
      {"-a sqs", {"-a", "sqs", "x.bed", "3"}, 255, "Invalid Squarem style: sqs\n", ""},
      {"-a sqs4", {"-a", "SQS4", "x.bed", "3"}, 255, "Invalid Squarem style: SQS4\n", ""},
      {"-a none", {"-a", "NONE", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, accelLine("None"), kMajor, kNoBoot), ""},
      {"-a unknown", {"-a", "fast", "x.bed", "3"}, 255, "Unknown acceleration method\n", ""},
      {"-C=5", {"-C=5", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("at 5 iterations"), kNoBoot), ""},
      {"-C 5", {"-C", "5", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("at 5 iterations"), kNoBoot), ""},
      {"--majorConvergenceCriterion=5", {"--majorConvergenceCriterion=5", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("at 5 iterations"), kNoBoot), ""},
      {"-C 1e-6", {"-C", "1e-6", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("when objective function delta < 1e-06"), kNoBoot),
       ""},
      {"bad criterion", {"-C", "5 ", "x.bed", "3"}, 255,
       "Invalid convergence criterion string, aborting\n", ""},
      {"-C==5 drops one =", {"-C==5", "x.bed", "3"}, 255, "Invalid convergence criterion string, aborting\n", ""},
      {"-C =5", {"-C", "=5", "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("at 5 iterations"), kNoBoot), ""},
      {"seed -1", {"-s", "-1", "x.bed", "3"}, kParses, "Random seed: 4294967295\n" + kBlock, ""},
      {"seed without digits", {"--seed=abc", "x.bed", "3"}, kParses, "Random seed: 0\n" + kBlock, ""},
      {"seed separate", {"--seed", "5", "x.bed", "3"}, kParses, "Random seed: 5\n" + kBlock, ""},
      {"block size", {"-h0", "x.bed", "3"}, kParses, "Block size set manually to 0 SNPs\n" + kSummary,
       ""},
      {"verbosity by prefix", {"--verb", "x.bed", "3"}, kParses, kSummary, ""},
      {"supervised", {"--supervised", "x.bed", "3"}, kParses, kSummary, ""},
      {"-- ends the options", {"x.bed", "--", "-3"}, 255, kSummary + "Invalid K value: -3\n", ""},
      {"-- before a dashed name", {"--", "-x.bed", "3"}, kParses, kSummary, ""},
  });
}

TEST(OptionsCommandLine, ReadFromFilesAndFixedMatrices) {
  const std::string initial = "Will read initial Q, P from files\n";
  const std::string fixedP = "Will read fixed P from files\n";
  const std::string initialQ = "Will read initial Q from files\n";
  const std::string rest = kQN3 + kMajor + kNoBoot;
  runCliCases({
      {"fix without files", {"-f", "pq", "x.bed", "3"}, 255,
       "Can only skip Q/P updates if values provided with -i option\n", ""},
      {"fix with -i", {"-f", "pq", "-i", "x.bed", "3"}, kParses,
       initial + kSeed43 + kBlock + kFixedP + kFixedQ + rest, ""},
      {"fix Q only", {"-fq", "-Q", "x.bed", "3"}, kParses,
       initialQ + kSeed43 + kBlock + kFixedQ + rest, ""},
      {"fix value without Q or P", {"-f", "xyz", "x.bed", "3"}, kParses, kSummary, ""},
      {"-P alone", {"-P", "x.bed", "3"}, kParses, fixedP + kSeed43 + kBlock + kFixedP + rest, ""},
      {"-P -Q", {"-Q", "-P", "x.bed", "3"}, kParses,
       fixedP + initialQ + kSeed43 + kBlock + kFixedP + rest, ""},
      {"-i -Q -P", {"-i", "-Q", "-P", "x.bed", "3"}, kParses,
       initial + fixedP + initialQ + kSeed43 + kBlock + kFixedP + rest, ""},
      {"skip without files", {"-z", "x.bed", "3"}, 255,
       "Will skip point estimation.\n"
       "Can only skip point estimation if Q/P input provided with -i option\n",
       ""},
      {"skip with -i", {"-z", "-i", "x.bed", "3"}, kParses,
       "Will skip point estimation.\n" + initial + kSummary, ""},
      {"skip with -Q", {"-z", "--initializeQ", "x.bed", "3"}, kParses,
       "Will skip point estimation.\n" + initialQ + kSummary, ""},
  });
}

TEST(OptionsCommandLine, HaploidOptionValues) {
  runCliCases({
      {"two occurrences", {"-x", "male:23,X", "-x", "female:X", "x.bed", "3"}, kParses,
       kHaploidOk + kHaploidOk + kSummary, ""},
      {"everything haploid", {"-x", "*", "x.bed", "3"}, kParses,
       "Treating all data as haploid\n" + kSummary, ""},
      {"empty chromosome part", {"-x", "male:", "x.bed", "3"}, 255,
       "Incorrect chromosome specification for haploid option\n", ""},
      {"no colon", {"-x", "23", "x.bed", "3"}, 255, "Incorrect format for haploid chromosomes\n", ""},
      {"sex is case sensitive", {"-x", "Male:23", "x.bed", "3"}, 255,
       "Incorrect sex specification for haploid option\n", ""},
      {"empty sex part", {"--haploid=:23", "x.bed", "3"}, 255,
       "Incorrect sex specification for haploid option\n", ""},
      {"lines before the failure stay", {"-x", "female:X", "-x", "", "x.bed", "3"}, 255,
       kHaploidOk + "Incorrect format for haploid chromosomes\n", ""},
  });
}

TEST(OptionsCommandLine, PenaltyListAndEpsilon) {
  runCliCases({
      {"list", {"-l", "[0, 10, 100]", "x.bed", "3"}, kParses, kSummary, ""},
      {"bad weight", {"-l", "[0, ten]", "x.bed", "3"}, 255, "Invalid penalty weight: ten\n", ""},
      {"zero epsilon with a weight", {"-e", "0", "-l", "10", "x.bed", "3"}, 255,
       "Invalid epsilon: 0\n", ""},
      {"negative epsilon, weight later in list", {"-l", "0,1", "--epsilon=-1", "x.bed", "3"}, 255,
       "Invalid epsilon: -1\n", ""},
      {"NaN epsilon", {"-e", "nan", "-l", "5", "x.bed", "3"}, 255, "Invalid epsilon: nan\n", ""},
      {"epsilon without digits", {"-e", "abc", "-l", "5", "x.bed", "3"}, 255,
       "Invalid epsilon: abc\n", ""},
      {"zero epsilon without weights", {"-e", "0", "x.bed", "3"}, kParses, kSummary, ""},
      {"zero epsilon, the weight list [0]", {"-e", "0", "-l", "[0]", "x.bed", "3"}, kParses, kSummary,
       ""},
      {"weights of distinct names", {"-l", "0,1,1.5e1,-1,100.9", "x.bed", "3"}, kParses, kSummary, ""},
      // 0 writes data.3.Q, 0.5 data.3.Q.lambda.0.
      {"0 and a weight below 1", {"-l", "0,0.5", "x.bed", "3"}, kParses, kSummary, ""},
      {"skipping the estimation with one weight", {"-z", "-i", "-l", "10", "x.bed", "3"}, kParses,
       "Will skip point estimation.\nWill read initial Q, P from files\n" + kSummary, ""},
  });
}

// Values under which a run could not finish or would produce nothing: each
// ends the parse with its line, before any input is read.
TEST(OptionsCommandLine, ValuesThatCannotFinishAreRefused) {
  const std::string folds = "Cross-validation will be performed.\nError specifying number of folds.\n";
  const std::string criterion = "Invalid convergence criterion string, aborting\n";
  runCliCases({
      {"100 secant conditions", {"-a", "qn100", "x.bed", "3"}, 255,
       "Invalid number of secant conditions: qn100\n", ""},
      {"secant conditions beyond 32 bits", {"--acceleration=QN99999999999", "x.bed", "3"}, 255,
       "Invalid number of secant conditions: QN99999999999\n", ""},
      {"one replicate", {"-B1", "x.bed", "3"}, 255, "Invalid number of bootstrap replicates: 1\n", ""},
      {"one replicate, long form", {"--bootstrapReplicates=1", "x.bed", "3"}, 255,
       "Invalid number of bootstrap replicates: 1\n", ""},
      {"negative replicates", {"-B-5", "x.bed", "3"}, 255,
       "Invalid number of bootstrap replicates: -5\n", ""},
      {"one fold", {"--cv=1", "x.bed", "3"}, 255, folds, ""},
      {"negative folds", {"-R-2", "x.bed", "3"}, 255, folds, ""},
      {"lines before the folds stay", {"-z", "--cv=1", "x.bed", "3"}, 255,
       "Will skip point estimation.\n" + folds, ""},
      {"empty weight list", {"-l", "", "x.bed", "3"}, 255, "Empty penalty weight list: \n", ""},
      {"weight list of a comma", {"-l", ",", "x.bed", "3"}, 255, "Empty penalty weight list: ,\n", ""},
      {"weight list of brackets", {"--lambda=[ ]", "x.bed", "3"}, 255,
       "Empty penalty weight list: [ ]\n", ""},
      {"major criterion nan", {"-C", "nan", "x.bed", "3"}, 255, criterion, ""},
      {"minor criterion nan", {"-c", "NAN", "x.bed", "3"}, 255, criterion, ""},
      {"zero tolerance", {"-C", "0.0", "x.bed", "3"}, 255, criterion, ""},
      {"negative tolerance", {"-c=-1e-4", "x.bed", "3"}, 255, criterion, ""},
      {"tolerance that underflows to 0", {"-C", "1e-400", "x.bed", "3"}, 255, criterion, ""},
      // Counts that are no counts: each would act as a cap of 0 and write
      // the primed starting point as the estimate.
      {"negative iteration count", {"-C", "-5", "x.bed", "3"}, 255, criterion, ""},
      {"empty iteration count", {"-C", "", "x.bed", "3"}, 255, criterion, ""},
      {"nothing after -C=", {"-C=", "x.bed", "3"}, 255, criterion, ""},
      {"negative minor count", {"-c", "-5", "x.bed", "3"}, 255, criterion, ""},
      {"empty minor count", {"--minorConvergenceCriterion=", "x.bed", "3"}, 255, criterion, ""},
      {"count below the 32-bit range", {"-C", "-99999999999", "x.bed", "3"}, 255, criterion, ""},
      // Weights whose result files share a name: two estimations, one kept.
      {"weights of one integer part", {"-l", "10.2,10.9", "x.bed", "3"}, 255,
       "Penalty weights 10.2 and 10.9 give the same result file name (.lambda.10)\n", ""},
      {"weights on both sides of 0", {"-l", "[1, 0.5, -0.3]", "x.bed", "3"}, 255,
       "Penalty weights 0.5 and -0.3 give the same result file name (.lambda.0)\n", ""},
      {"a repeated weight", {"-l", "10,20,10", "x.bed", "3"}, 255,
       "Penalty weights 10 and 10 give the same result file name (.lambda.10)\n", ""},
      {"0 twice", {"-l", "0,0", "x.bed", "3"}, 255, "Penalty weights 0 and 0 give the same result file name\n", ""},
      {"0 and -0", {"-l", "0,-0", "x.bed", "3"}, 255, "Penalty weights 0 and -0 give the same result file name\n", ""},
      {"skipping the estimation with two weights", {"-z", "-i", "-l", "0,10", "x.bed", "3"}, 255,
       "Will skip point estimation.\nWill read initial Q, P from files\n"
       "Can only skip point estimation with one penalty weight (2 given)\n",
       ""},
      {"negative weights of one integer part", {"-l", "-1.5,-1.2", "x.bed", "3"}, 255,
       "Penalty weights -1.5 and -1.2 give the same result file name (.lambda.-1)\n", ""},
  });
}

TEST(OptionsCommandLine, InputNameAndK) {
  runCliCases({
      {"no extension", {"data", "3"}, 255, kSummary + kNoExtension, ""},
      {"dot only in a directory", {"run.old/set1", "3"}, 255, kSummary + kNoExtension, ""},
      {"empty input name", {"", "3"}, 255, kSummary + kNoExtension, ""},
      {"K 0", {"x.bed", "0"}, 255, kSummary + "Invalid K value: 0\n", ""},
      {"K negative", {"--", "x.bed", "-3"}, 255, kSummary + "Invalid K value: -3\n", ""},
      {"K not a number", {"x.bed", "abc"}, 255, kSummary + "Invalid K value: abc\n", ""},
      {"K empty", {"x.bed", ""}, 255, kSummary + "Invalid K value: \n", ""},
      {"K beyond 32 bits", {"x.bed", "2147483648"}, 255, kSummary + "Invalid K value: 2147483648\n",
       ""},
      {"K far beyond", {"x.bed", "99999999999999999999999"}, 255,
       kSummary + "Invalid K value: 99999999999999999999999\n", ""},
      {"K with trailing text", {"x.bed", "3x"}, kParses, kSummary, ""},
  });
}

TEST(OptionsCommandLine, RefusedOptionsGoToUsage) {
  runCliCases({
      {"delta", {"--delta=1", "x.bed", "3"}, 255, "", kUsage},
      {"gamma", {"-g", "1", "x.bed", "3"}, 255, "", kUsage},
      {"p", {"-p", "1", "x.bed", "3"}, 255, "", kUsage},
      {"b", {"-b1", "x.bed", "3"}, 255, "", kUsage},
      {"d", {"-d", "1", "x.bed", "3"}, 255, "", kUsage},
      {"-S is long only", {"-S", "x.bed", "3"}, 255, "", "invalid option -- 'S'\n"},
      {"-H is long only", {"-H", "x.bed", "3"}, 255, "", "invalid option -- 'H'\n"},
      {"-V is long only", {"-V", "x.bed", "3"}, 255, "", "invalid option -- 'V'\n"},
      {"unknown long option", {"--bogus", "x.bed", "3"}, 255, "", "unrecognized option '--bogus'"},
      {"ambiguous prefix", {"--h", "x.bed", "3"}, 255, "", "option '--h' is ambiguous"},
      {"missing required value", {"x.bed", "3", "-h"}, 255, "",
       "option requires an argument -- 'h'\n"},
      {"missing long value", {"x.bed", "3", "--seed"}, 255, "", "option '--seed' requires an argument"},
      {"value given to a flag", {"--initialize=1", "x.bed", "3"}, 255, "",
       "option '--initialize' doesn't allow an argument"},
  });
}

TEST(OptionsCommandLine, OversizedArgumentsNeverCrash) {
  const std::string longName = std::string(100000, 'a') + ".bed";
  std::string longList = "[";
  for (int n = 0; n < 20000; ++n) longList += std::to_string(n) + ",";
  longList += "20000]";
  const std::string longK(5000, '9');
  const std::string longOption = "--" + std::string(50000, 'z');
  runCliCases({
      {"long input name", {longName, "3"}, kParses, kSummary, ""},
      {"long penalty list", {"-l", longList, "x.bed", "3"}, kParses, kSummary, ""},
      {"long K", {"x.bed", longK}, 255, kSummary + "Invalid K value: " + longK + "\n", ""},
      {"long unknown option", {longOption, "x.bed", "3"}, 255, "", "unrecognized option"},
      {"long criterion", {"-C", std::string(3000, '1'), "x.bed", "3"}, kParses,
       summary(kSeed43, kBlock, kQN3, majorLine("at 2147483647 iterations"), kNoBoot), ""},
      {"long haploid list", {"-x", "male:" + std::string(20000, ','), "x.bed", "3"}, kParses,
       kHaploidOk + kSummary, ""},
  });
}

TEST(OptionsCommandLine, SeedFromTheClock) {
  for (const char* value : {"time", "TiMe"}) {
    const long before = static_cast<long>(std::time(nullptr));
    RunResult r = runKelvanore({"-s", value, "x.bed", "3"});
    const long after = static_cast<long>(std::time(nullptr));
    const std::string out = afterBanner(r.out);
    ASSERT_TRUE(startsWith(out, "Random seed: ")) << out;
    const long seed = std::strtol(out.c_str() + 13, nullptr, 10);
    EXPECT_GE(seed, before);
    EXPECT_LE(seed, after);
  }
}

}  // namespace
