// Whole runs on the shipped simulated data set, compared with what a second
// implementation, written separately, printed and wrote for the same
// options (tests/data/expected/sim3/<case>/, imported unchanged by
// scripts/import-pinned-outputs.sh). Every operation is rounded in double
// in a fixed order, so two faithful implementations print the same text and
// write the same files; a departure in any step of any case shows up here.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

struct PinnedCase {
  const char* name;  // its directory under tests/data/expected/sim3
  std::vector<std::string> options;
};

// Lets a failing case name itself in gtest's messages.
void PrintTo(const PinnedCase& c, std::ostream* os) { *os << c.name; }

const PinnedCase kCases[] = {
    {"default", {}},
    {"supervised", {"--supervised"}},
    {"boot5", {"-B5"}},
    {"cv5", {"--cv=5"}},
    {"lam", {"-l", "0,10,100"}},
    {"C5", {"-C", "5"}},
    {"qn1", {"-a", "qn1"}},
    {"qn5", {"-a", "qn5"}},
    {"mem", {"-m", "em"}},
    {"anone", {"-a", "none"}},
};

class PinnedRun : public ::testing::TestWithParam<PinnedCase> {};

TEST_P(PinnedRun, AgreesWithTheSecondImplementation) {
  const PinnedCase& c = GetParam();
  const std::string expected = testData(std::string("expected/sim3/") + c.name);
  std::vector<std::string> args = c.options;
  args.insert(args.end(), {"-j1", testData("sim3.bed"), "3"});
  TempDir dir;
  const RunResult r = runKelvanore(args, dir.path());

  EXPECT_EQ(r.status, std::stoi(readFile(expected + "/status.txt"))) << r.err;
  // Exact, times aside: one thread and the same options leave no room for
  // another bit anywhere.
  const std::vector<std::string> console = consoleDifferences(readFile(expected + "/stdout.txt"), r.out);
  EXPECT_TRUE(console.empty()) << "console:\n" << describeDifferences(console);
  const std::vector<std::string> files = resultFileDifferences(expected, dir.path());
  EXPECT_TRUE(files.empty()) << "result files:\n" << describeDifferences(files);
}

INSTANTIATE_TEST_SUITE_P(Sim3, PinnedRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PinnedCase>& run) { return std::string(run.param.name); });

}  // namespace

// The comparison itself: what it lets pass and what it catches, so that a
// pinned case cannot pass by a rule too lax to see a departure.
TEST(PinnedComparison, ConsoleRules) {
  const std::string status9 = "9 (QN/Block) \tElapsed: 1.015\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n";
  struct Case {
    const char* what;
    std::string expected, actual;
    size_t differences;
  } cases[] = {
      {"same text", "Random seed: 43\nSize of G: 302x5001\n", "Random seed: 43\nSize of G: 302x5001\n", 0},
      {"banner before the seed line", "Random seed: 43\nx\n", "banner\nthreads\nRandom seed: 43\nx\n", 0},
      {"elapsed time masked", status9, "9 (QN/Block) \tElapsed: 0.2\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n",
       0},
      {"seconds masked", "Converged in 9 iterations (13.027 sec)\n", "Converged in 9 iterations (0.3 sec)\n", 0},
      {"iteration number", status9, "8 (QN/Block) \tElapsed: 1.015\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n",
       1},
      {"iterations of the summary", "Converged in 9 iterations (13.027 sec)\n",
       "Converged in 10 iterations (13.027 sec)\n", 1},
      {"sign of a delta", status9, "9 (QN/Block) \tElapsed: 1.015\tLoglikelihood: -1.33924e+06\t(delta): -1.68809e-05\n",
       1},
      {"a delta below the tolerance", status9,
       "9 (QN/Block) \tElapsed: 1.015\tLoglikelihood: -1.33924e+06\t(delta): 9.9e-05\n", 1},
      {"one unit of the last digit", "Loglikelihood: -1.41805e+06\n", "Loglikelihood: -1.41806e+06\n", 1},
      {"one unit of the sixth decimal", "Loglikelihood: -1339235.514875\n", "Loglikelihood: -1339235.514876\n", 1},
      {"an Fst value", "Pop2\t0.129\t0.079\t\n", "Pop2\t0.130\t0.079\t\n", 1},
      {"precision 5", "CV error (K=3): 0.49850\n", "CV error (K=3): 0.49852\n", 1},
      {"blanks compared", "Pop1\t0.129\t\n", "Pop1 0.129\t\n", 1},
      {"a word changed", "Writing output files.\n", "Writing output file.\n", 1},
      {"a missing line", "Random seed: 43\na\nb\n", "Random seed: 43\na\n", 1},
      {"an extra line", "Random seed: 43\na\n", "Random seed: 43\na\nb\n", 1},
      {"a line cut short", "Random seed: 43\na\n", "Random seed: 43\na", 1},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> d = consoleDifferences(c.expected, c.actual);
    EXPECT_EQ(d.size(), c.differences) << c.what << "\n" << describeDifferences(d);
  }
  // The description shows the differing line itself, times masked.
  EXPECT_EQ(consoleDifferences("Random seed: 43\nSize of G: 3x5\n", "Random seed: 43\nSize of G: 3x6\n"),
            std::vector<std::string>{"line 2: expected 'Size of G: 3x5', got 'Size of G: 3x6'"});
  EXPECT_EQ(maskTimes("1 (EM) \tElapsed: 0.441\tLoglikelihood: -1.5e+06\nConverged in 9 iterations (13.027 sec)"),
            "1 (EM) \tElapsed: T\tLoglikelihood: -1.5e+06\nConverged in 9 iterations (T sec)");
}

// The allowance for runs on other thread counts reaches the delta alone.
TEST(PinnedComparison, DeltaAllowanceForOtherThreadCounts) {
  const NumberTolerance threads = {1e-8};
  const std::string line = "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n";
  struct Case {
    const char* what;
    std::string actual;
    size_t differences;
  } cases[] = {
      {"delta within", "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.68808e-05\n", 0},
      {"delta beyond", "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.69809e-05\n", 1},
      {"sign of the delta", "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): -1.68809e-05\n", 1},
      {"another number of the line", "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33925e+06\t(delta): 1.68809e-05\n",
       1},
      {"the iteration", "8 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(consoleDifferences(line, c.actual, threads).size(), c.differences) << c.what;
  EXPECT_EQ(consoleDifferences("Pop1\t0.129\t\n", "Pop1\t0.12900000001\t\n", threads).size(), 1u);
}

// Faults planted into a copy of a shipped pinned console text are caught one
// by one, while other times pass.
TEST(PinnedComparison, PlantedFaultsInAPinnedConsoleText) {
  const std::string pinned = readFile(testData("expected/sim3/default/stdout.txt"));
  const auto plant = [&pinned](const std::string& from, const std::string& to) {
    const size_t at = pinned.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    std::string planted = pinned;
    if (at != std::string::npos) planted.replace(at, from.size(), to);
    return planted;
  };
  EXPECT_EQ(consoleDifferences(pinned, pinned).size(), 0u);
  EXPECT_EQ(consoleDifferences(pinned, plant("Elapsed: 1.015", "Elapsed: 0.027")).size(), 0u);
  EXPECT_EQ(consoleDifferences(pinned, plant("(13.027 sec)", "(2.5 sec)")).size(), 0u);
  EXPECT_EQ(consoleDifferences(pinned, plant("(delta): 1.68809e-05", "(delta): -1.68809e-05")).size(), 1u);
  EXPECT_EQ(consoleDifferences(pinned, plant("(delta): 1.68809e-05", "(delta): 9.9e-05")).size(), 1u);
  EXPECT_EQ(consoleDifferences(pinned, plant("Pop1\t0.129", "Pop1\t0.130")).size(), 1u);
  EXPECT_EQ(consoleDifferences(pinned, plant("9 (QN/Block)", "10 (QN/Block)")).size(), 1u);
  EXPECT_EQ(consoleDifferences(pinned, plant("Converged in 9 ", "Converged in 8 ")).size(), 1u);
}

TEST(PinnedComparison, ResultFileRules) {
  const std::string q = "0.100000 0.900000\n0.500000 0.500000\n";
  struct Case {
    const char* what;
    const char* file;   // written into the run's directory as sim3.3.Q; null: none
    const char* extra;  // another file the run left; null: none
    std::vector<std::string> differences;
  } cases[] = {
      {"same", "0.100000 0.900000\n0.500000 0.500000\n", nullptr, {}},
      {"one unit of the sixth decimal", "0.100000 0.900000\n0.500001 0.500000\n", nullptr,
       {"sim3.3.Q: 1 lines differ, first line 2: expected '0.500000 0.500000', got '0.500001 0.500000'"}},
      {"a missing line", "0.100000 0.900000\n", nullptr, {"sim3.3.Q: 1 lines, expected 2"}},
      {"an extra entry", "0.100000 0.900000 0.000000\n0.500000 0.500000\n", nullptr,
       {"sim3.3.Q: 1 lines differ, first line 1: expected '0.100000 0.900000', got '0.100000 0.900000 0.000000'"}},
      {"another blank", "0.100000  0.900000\n0.500000 0.500000\n", nullptr,
       {"sim3.3.Q: 1 lines differ, first line 1: expected '0.100000 0.900000', got '0.100000  0.900000'"}},
      {"no last line feed", "0.100000 0.900000\n0.500000 0.500000", nullptr,
       {"sim3.3.Q: the files differ outside their lines (line ends)"}},
      {"a missing file", nullptr, nullptr, {"missing file sim3.3.Q"}},
      {"an extra file", "0.100000 0.900000\n0.500000 0.500000\n", "sim3.3.Q_se", {"unexpected file sim3.3.Q_se"}},
      {"a leftover temporary file", "0.100000 0.900000\n0.500000 0.500000\n", "sim3.3.Q.tmp",
       {"unexpected file sim3.3.Q.tmp"}},
  };
  TempDir expected;
  writeFile(expected.file("sim3.3.Q"), q);
  // These describe the run; the run itself writes neither.
  writeFile(expected.file("stdout.txt"), "Random seed: 43\n");
  writeFile(expected.file("status.txt"), "0\n");
  for (const Case& c : cases) {
    TempDir run;
    if (c.file) writeFile(run.file("sim3.3.Q"), c.file);
    if (c.extra) writeFile(run.file(c.extra), "x\n");
    EXPECT_EQ(resultFileDifferences(expected.path(), run.path()), c.differences) << c.what;
  }
}
