#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "popfile.h"
#include "run_state.h"
#include "run_state_guard.h"

namespace {

class PopFileTest : public ::testing::Test {
 protected:
  std::string base() const { return dir.file("set"); }

  std::vector<int> referencePops() const {
    return std::vector<int>(reference_pop, reference_pop + I);
  }

  RunStateGuard runState_;
  TempDir dir;
};

TEST_F(PopFileTest, LabelsNumberedByFirstAppearance) {
  struct Case {
    const char* name;
    std::string text;
    int I, K;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"example", "EUR\n-\nAFR\nEUR\n", 4, 2, {0, -1, 1, 0}},
      {"case matters", "eur\nEUR\n", 2, 2, {0, 1}},
      {"first token only, carriage return, no final line feed", "AFR x y\r\n  EUR\t\r\nAFR", 3, 2,
       {0, 1, 0}},
      {"blank lines after the last individual are no lines", "A\n-\nB\n\n   \n", 3, 2, {0, -1, 1}},
      // Files of this format mark an individual without a label so.
      {"empty and blank lines inside are unlabelled individuals", "A\n\nB\n \t\r\nA\n", 5, 2,
       {0, -1, 1, -1, 0}},
      {"blank last individuals", "A\nB\n\n\n", 4, 2, {0, 1, -1, -1}},
      {"byte-order mark before a blank line", "\xEF\xBB\xBF\nA\nB\n", 3, 2, {-1, 0, 1}},
      // It made the first label unreadable and so renumbered the others.
      {"byte-order mark", "\xEF\xBB\xBF" "A\nB\nA\n-\n", 4, 2, {0, 1, 0, -1}},
      {"digit starts a label, underscore and minus do not", "1\n_x\n-y\n?\n1\n", 5, 1,
       {0, -1, -1, -1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(base() + ".pop", c.text);
    I = c.I;
    K = c.K;
    // Each read replaces the labels of the one before it.
    ASSERT_EQ(readPopFile(base()), 0);
    ASSERT_NE(reference_pop, nullptr);
    EXPECT_EQ(referencePops(), c.expected);
  }
}

TEST_F(PopFileTest, FailuresPrintTheirDetail) {
  struct Case {
    const char* name;
    std::string text;
    int I, K;
    std::string out;
  };
  std::string tenLines;
  for (int n = 0; n < 10; ++n) tenLines += "A\n";
  const std::string name = base() + ".pop";
  const Case cases[] = {
      {"too few lines", tenLines, 12, 1,
       "Wrong number of lines in " + name + " (found 10, expecting 12).\n"},
      {"too many lines, and wrong labels too: the count comes first", "A\nB\nC\n", 2, 1,
       "Wrong number of lines in " + name + " (found 3, expecting 2).\n"},
      {"too few labels", "A\nB\nA\n", 3, 3,
       "Expected 3 populations, but found reference individuals for 2.\n"},
      {"no label at all", "-\n-\n", 2, 1,
       "Expected 1 populations, but found reference individuals for 0.\n"},
      {"a label after blank lines past the last individual", "A\nB\n\n\nA\n", 2, 2,
       "Wrong number of lines in " + name + " (found 3, expecting 2).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(name, c.text);
    I = c.I;
    K = c.K;
    const std::string b = base();
    const RunResult r = runInChild([b] { _exit(readPopFile(b)); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(PopFileTest, MissingFileFailsSilently) {
  I = 2;
  K = 1;
  EXPECT_EQ(readPopFile(base()), 1);
  EXPECT_EQ(reference_pop, nullptr);
}

}  // namespace
