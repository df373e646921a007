// Whole runs on the shipped simulated data set, compared with what an
// independent implementation of the same design printed and wrote for the
// same options (tests/data/expected/sim3/<case>/, imported unchanged by
// scripts/import-pinned-outputs.sh). Every operation is rounded in double
// in a fixed order, so two faithful implementations agree to the printed
// digits; a departure in any step of any case shows up here.
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

// A printed number may differ by one unit of its last digit (the two
// implementations may round a value that lies on a boundary differently),
// or by 1e-10 of its size; a delta, the difference of two log-likelihoods
// near 1.3e6, may also differ by 1e-4.
const NumberTolerance kConsoleTolerance = {1e-10, 1e-4, true};
// Two units of the sixth decimal that the result files print, with room
// for the binary rounding of the two parsed values.
constexpr double kResultTolerance = 2.01e-6;

class PinnedRun : public ::testing::TestWithParam<PinnedCase> {};

TEST_P(PinnedRun, AgreesWithTheIndependentImplementation) {
  const PinnedCase& c = GetParam();
  const std::string expected = testData(std::string("expected/sim3/") + c.name);
  std::vector<std::string> args = c.options;
  args.insert(args.end(), {"-j1", testData("sim3.bed"), "3"});
  TempDir dir;
  const RunResult r = runKelvanore(args, dir.path());

  EXPECT_EQ(r.status, std::stoi(readFile(expected + "/status.txt"))) << r.err;
  const std::vector<std::string> console =
      consoleDifferences(readFile(expected + "/stdout.txt"), r.out, kConsoleTolerance);
  EXPECT_TRUE(console.empty()) << "console:\n" << describeDifferences(console);
  const std::vector<std::string> files = resultFileDifferences(expected, dir.path(), kResultTolerance);
  EXPECT_TRUE(files.empty()) << "result files:\n" << describeDifferences(files);
}

INSTANTIATE_TEST_SUITE_P(Sim3, PinnedRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PinnedCase>& run) { return std::string(run.param.name); });

}  // namespace

// The comparison itself: what it lets pass and what it catches, so that a
// pinned case cannot pass by a rule too lax to see a departure.
TEST(PinnedComparison, ConsoleRules) {
  struct Case {
    const char* what;
    std::string expected, actual;
    size_t differences;
  } cases[] = {
      {"same text", "Random seed: 43\nSize of G: 302x5001\n", "Random seed: 43\nSize of G: 302x5001\n", 0},
      {"banner before the seed line", "Random seed: 43\nx\n", "banner\nthreads\nRandom seed: 43\nx\n", 0},
      {"one unit of the last digit", "Loglikelihood: -1.41805e+06\n", "Loglikelihood: -1.41806e+06\n", 0},
      {"two units of the last digit", "Loglikelihood: -1.41805e+06\n", "Loglikelihood: -1.41807e+06\n", 1},
      {"1e-10 relative", "Loglikelihood: -1339235.514875\n", "Loglikelihood: -1339235.514975\n", 0},
      {"beyond 1e-10 relative", "Loglikelihood: -1339235.514875\n", "Loglikelihood: -1339235.515075\n", 1},
      {"precision 5", "CV error (K=3): 0.49850\n", "CV error (K=3): 0.49852\n", 1},
      {"times ignored", "1 (EM) \tElapsed: 0.441\tLoglikelihood: -1.49386e+06\t(delta): 948517\n",
       "1 (EM) \tElapsed: 0.012\tLoglikelihood: -1.49386e+06\t(delta): 948517\n", 0},
      {"delta within 1e-4", "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.68809e-05\n",
       "9 (QN/Block) \tElapsed: 1\tLoglikelihood: -1.33924e+06\t(delta): 1.68874e-05\n", 0},
      {"delta beyond 1e-4 and its last digit", "2 (QN/Block) \tElapsed: 1\tObjective: -1.3e+06\t(delta): 2.5\n",
       "2 (QN/Block) \tElapsed: 1\tObjective: -1.3e+06\t(delta): 2.7\n", 1},
      {"seconds ignored", "Converged in 9 iterations (13.027 sec)\n", "Converged in 9 iterations (0.3 sec)\n", 0},
      {"iterations counted", "Converged in 9 iterations (13.027 sec)\n", "Converged in 10 iterations (13.027 sec)\n", 1},
      {"blanks compared", "Pop1\t0.129\t\n", "Pop1 0.129\t\n", 1},
      {"a word changed", "Writing output files.\n", "Writing output file.\n", 1},
      {"a changed digit in a count", "Size of G: 302x5001\n", "Size of G: 302x5002\n", 1},
      {"a missing line", "Random seed: 43\na\nb\n", "Random seed: 43\na\n", 1},
      {"an extra line", "Random seed: 43\na\n", "Random seed: 43\na\nb\n", 1},
      {"a line cut short", "Random seed: 43\na\n", "Random seed: 43\na", 1},
      {"nan only as itself", "x: nan\n", "x: 0\n", 1},
  };
  const NumberTolerance pinned = {1e-10, 1e-4, true};
  for (const Case& c : cases) {
    const std::vector<std::string> d = consoleDifferences(c.expected, c.actual, pinned);
    EXPECT_EQ(d.size(), c.differences) << c.what << "\n" << describeDifferences(d);
  }
  // The description shows the differing line itself.
  EXPECT_EQ(consoleDifferences("Random seed: 43\nSize of G: 3x5\n", "Random seed: 43\nSize of G: 3x6\n", pinned),
            std::vector<std::string>{"line 2: expected 'Size of G: 3x5', got 'Size of G: 3x6'"});
}

TEST(PinnedComparison, ResultFileRules) {
  const std::string q = "0.100000 0.900000\n0.500000 0.500000\n";
  struct Case {
    const char* what;
    const char* file;  // written into the run's directory as sim3.3.Q; null: none
    std::vector<std::string> differences;
  } cases[] = {
      {"same", "0.100000 0.900000\n0.500000 0.500000\n", {}},
      {"two units of the sixth decimal", "0.100002 0.899998\n0.500000 0.500000\n", {}},
      {"three units", "0.100000 0.900000\n0.500003 0.500000\n",
       {"sim3.3.Q: 1 lines differ, first line 2: expected '0.500000 0.500000', got '0.500003 0.500000'"}},
      {"a missing line", "0.100000 0.900000\n", {"sim3.3.Q: 1 lines, expected 2"}},
      {"an extra entry", "0.100000 0.900000 0.000000\n0.500000 0.500000\n",
       {"sim3.3.Q: 1 lines differ, first line 1: expected '0.100000 0.900000', got '0.100000 0.900000 0.000000'"}},
      {"a missing file", nullptr, {"missing result file sim3.3.Q"}},
  };
  TempDir expected;
  writeFile(expected.file("sim3.3.Q"), q);
  // Not a result file: the console text is compared on its own.
  writeFile(expected.file("stdout.txt"), "Random seed: 43\n");
  for (const Case& c : cases) {
    TempDir run;
    if (c.file) writeFile(run.file("sim3.3.Q"), c.file);
    EXPECT_EQ(resultFileDifferences(expected.path(), run.path(), 2.01e-6), c.differences) << c.what;
  }
}
