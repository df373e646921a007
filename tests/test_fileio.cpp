// The input dispatch: the reader by suffix, the starting, true and reference values.
#include "dir_util.h"
#include "e2e_util.h"
#include "fileio.h"
#include "file_fixture.h"
#include "fileset_util.h"
#include "genotypes.h"
#include "matrix_files.h"
#include "matrix_util.h"
#include "options.h"
#include "reader_fixture.h"
#include "result_files.h"
#include "run_state.h"
#include "text_input.h"
#include "types.h"
#include "utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Fileio = FileFixture;

// ---- readInputFiles -------------------------------------------------------

TEST_F(Fileio, SuffixChoosesTheReader) {
  const std::string base = writeTinyBedSet();
  struct Case {
    std::string input;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {base + ".geno", "EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.\n", "",
       255},
      {base + ".GeNo", "EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.\n", "",
       255},
      {base + ".txt", "Input file extension not recognized.\n", "", 255},
      {base + ".", "Input file extension not recognized.\n", "", 255},
      // The PED reader opens the lower-case name, which does not exist.
      {base + ".PED", "", "Error opening file\n", 255},
      {base + ".BED", "", "", 0},
  };
  writeFile(base + ".PED", "F1 I1 0 0 1 -9 1 1\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string input = c.input;
    const RunResult r = runInChild([input] {
      K = 2;
      setInput(input);
      DatasetMetadata m;
      readInputFiles(0, m);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(Fileio, StartingAndTrueValues) {
  const std::string base = writeTinyBedSet();
  setInput(base + ".bed");
  K = 3;
  // Starting values in the current directory, true values beside the input.
  writeFile(dir.file("set.3.Q.in"), "0.2 0.3 0.5\n7 -1 0\n");
  writeFile(dir.file("set.3.P.in"), "0.1 0.2 0.3\n0.4 0.5 0.6\n0.7 0.8 0.9\n");
  writeFile(base + ".3.Q.truth", "1 0 0\n0 1 0\n");
  writeFile(base + ".3.P.truth", "0.5 0.5 0.5\n0.5 0.5 0.5\n0.5 0.5 0.5\n");
  testing::internal::CaptureStdout();
  int result;
  {
    CwdGuard cwd(dir.path());
    result = readInputFiles(1, meta);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out,
            "Initializing parameter matrices from input files:\n"
            "  Read Q input from set.3.Q.in\n"
            "  Read P input from set.3.P.in\n"
            "Read \"true\" Q/P values from file.\n");
  ASSERT_EQ(I, 2);
  ASSERT_EQ(L, 3);
  ASSERT_TRUE(Qt && Qt_old && P && P_old && Qt_truth && P_truth);
  EXPECT_NE(Qt, Qt_old);
  EXPECT_NE(P, P_old);
  EXPECT_EQ(rowsOf(*Qt), (std::vector<std::vector<double>>{{0.2, 7}, {0.3, -1}, {0.5, 0}}));
  EXPECT_EQ(rowsOf(*Qt_old), rowsOf(*Qt));
  EXPECT_DOUBLE_EQ((*P)(1, 2), 0.8);
  EXPECT_EQ(rowsOf(*P_old), rowsOf(*P));
  EXPECT_EQ(Qt_truth->size2(), 2u);
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{0, 2, 1}, {1, 9, 2}}));
}

TEST_F(Fileio, StartingValueCases) {
  const std::string base = writeTinyBedSet();
  const std::string goodQ = "0.5 0.5\n0.5 0.5\n";
  const std::string goodP = "0.1 0.9\n0.2 0.8\n0.3 0.7\n";
  struct Case {
    const char* name;
    int flag;
    const char* qin;  // null: absent
    const char* pin;
    const char* qtruth;
    const char* ptruth;
    int result;
    std::string out;
    bool hasQ, hasP, hasQTruth, hasPTruth;
  };
  const std::string in = "Initializing parameter matrices from input files:\n";
  const std::string readP = "  Read P input from set.2.P.in\n";
  const std::string readTrue = "Read \"true\" Q/P values from file.\n";
  const Case cases[] = {
      {"without the flag the .in files are not looked at", 0, "garbage x\n1 2 3\n", goodP.c_str(),
       nullptr, nullptr, 0, "", false, false, false, false},
      {"only P", 1, nullptr, goodP.c_str(), nullptr, nullptr, 0, in + readP, false, true, false, false},
      {"blank tail and byte-order mark", 1, "\xEF\xBB\xBF" "0.5 0.5\n0.5 0.5\n\n",
       "0.1 0.9\n0.2 0.8\n0.3 0.7\n \n", nullptr, nullptr, 0, in + "  Read Q input from set.2.Q.in\n" + readP,
       true, true, false, false},
      {"true file with a blank line inside is skipped silently", 0, nullptr, nullptr, "0.5 0.5\n\n0.5 0.5\n",
       nullptr, 0, "", false, false, false, false},
      {"neither", 1, nullptr, nullptr, goodQ.c_str(), nullptr, -1,
       in + "  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.\n",
       false, false, false, false},
      {"true values without the flag", 0, nullptr, nullptr, goodQ.c_str(), goodP.c_str(), 0, readTrue,
       false, false, true, true},
      {"true Q of the wrong shape is ignored", 0, nullptr, nullptr, "0.5 0.5\n0.5 0.5\n0.5 0.5\n",
       goodP.c_str(), 0, "Ignoring " + base + ".2.Q.truth: wrong size\n" + readTrue, false, false,
       false, true},
      {"both true files of the wrong shape", 0, nullptr, nullptr, "1 2 3\n", "1\n", 0,
       "Ignoring " + base + ".2.P.truth: wrong size\nIgnoring " + base + ".2.Q.truth: wrong size\n",
       false, false, false, false},
      {"malformed true file is skipped silently", 0, nullptr, nullptr, "1 2\n3\n", nullptr, 0, "",
       false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runState_.releaseObjects();
    DatasetMetadata m;
    TempDir cwdDir;
    setInput(base + ".bed");
    K = 2;
    std::vector<std::pair<const char*, std::string>> files = {
        {c.qin, cwdDir.file("set.2.Q.in")},
        {c.pin, cwdDir.file("set.2.P.in")},
        {c.qtruth, base + ".2.Q.truth"},
        {c.ptruth, base + ".2.P.truth"}};
    for (const auto& f : files) {
      unlink(f.second.c_str());
      if (f.first) writeFile(f.second, f.first);
    }
    testing::internal::CaptureStdout();
    int result;
    {
      CwdGuard cwd(cwdDir.path());
      result = readInputFiles(c.flag, m);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Qt != nullptr, c.hasQ);
    EXPECT_EQ(Qt_old != nullptr, c.hasQ);
    EXPECT_EQ(P != nullptr, c.hasP);
    EXPECT_EQ(P_old != nullptr, c.hasP);
    EXPECT_EQ(Qt_truth != nullptr, c.hasQTruth);
    EXPECT_EQ(P_truth != nullptr, c.hasPTruth);
  }
}

// A starting file that is there is read or refused, never replaced by
// random values; so is a name that is there but cannot be opened or read.
TEST_F(Fileio, StartingValueRefusals) {
  const std::string base = writeTinyBedSet();
  struct Case {
    const char* name;
    const char* qin;  // null: absent; or one of the two names below
    const char* pin;
    std::string out;
    bool fixQ = false, fixP = false;
  };
  // A Q.in that is a link to nothing, or a directory (which opens, and its
  // first read fails).
  const char* const danglingLink = "\x01<link to nothing>";
  const char* const directory = "\x01<directory>";
  const std::string in = "Initializing parameter matrices from input files:\n";
  const std::string readQ = "  Read Q input from set.2.Q.in\n";
  const std::string parseQ = "  Could not parse set.2.Q.in, ";
  const std::string goodQ = "0.5 0.5\n0.5 0.5\n";
  const std::string longToken = "0.5 " + std::string(50, '7') + "x\n";
  const Case cases[] = {
      {"header line", "Q1 Q2\n0.5 0.5\n0.5 0.5\n", nullptr,
       in + parseQ + "line 1: value 1, 'Q1', is not a number\n"},
      {"nan", "0.5 0.5\n0.5 nan\n", nullptr, in + parseQ + "line 2: value 2, 'nan', is not a number\n"},
      {"overflow", "1e999 0.5\n0.5 0.5\n", nullptr, in + parseQ + "line 1: value 1, '1e999', is not a finite number\n"},
      {"negative overflow", "0.5 0.5\n0.5 -1e999\n", nullptr,
       in + parseQ + "line 2: value 2, '-1e999', is not a finite number\n"},
      // The number at the start of the value decides which: finite, it is
      // text that is no number; too large, a number that is not finite.
      {"a finite number run into a sign", "1e5- 0.5\n0.5 0.5\n", nullptr,
       in + parseQ + "line 1: value 1, '1e5-', is not a number\n"},
      {"an overflow run into a sign", "1e999- 0.5\n0.5 0.5\n", nullptr,
       in + parseQ + "line 1: value 1, '1e999-', is not a finite number\n"},
      {"a letter", "0.44 0.55\n0.44 x\n", nullptr, in + parseQ + "line 2: value 2, 'x', is not a number\n"},
      {"a long token", longToken.c_str(), nullptr,
       in + parseQ + "line 1: value 2, '" + std::string(40, '7') + "...', is not a number\n"},
      {"unequal counts", "0.5 0.5\n0.5\n", nullptr,
       in + parseQ + "line 2: wrong number of values (found 1, expecting 2)\n"},
      {"blank line between lines", "0.5 0.5\n\n0.5 0.5\n", nullptr, in + "Blank line in set.2.Q.in, line 2\n"},
      {"P after a good Q", goodQ.c_str(), "0.1 0.9\n0.2\n0.3 0.7\n",
       in + readQ + "  Could not parse set.2.P.in, line 2: wrong number of values (found 1, expecting 2)\n"},
      {"fixed Q above 1", "0.5 0.5\n1.5 -0.5\n", nullptr,
       in + readQ + "  Fixed values outside [0, 1] in set.2.Q.in, line 2\n", true, false},
      {"fixed P below 0", nullptr, "0.1 0.9\n0.2 0.8\n-0.001 0.7\n",
       in + "  Read P input from set.2.P.in\n  Fixed values outside [0, 1] in set.2.P.in, line 3\n", false, true},
      {"Q of K + 1 values per line", "0.2 0.3 0.5\n0.2 0.3 0.5\n", nullptr,
       in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  3 2\n"},
      {"Q of too many lines", "0.5 0.5\n0.5 0.5\n0.5 0.5\n", nullptr,
       in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  2 3\n"},
      {"empty Q", "", nullptr, in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  0 0\n"},
      {"P of too few lines", "0.5 0.5\n0.5 0.5\n", "0.5 0.5\n",
       in + "  Read Q input from set.2.Q.in\n  Read P input from set.2.P.in\n  Incorrect P input file size\n"},
      {"link to nothing", danglingLink, nullptr, in + "  Could not open set.2.Q.in\n"},
      {"directory", directory, nullptr, in + "Error reading set.2.Q.in\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir cwdDir;
    const std::string qin = cwdDir.file("set.2.Q.in");
    if (c.qin == danglingLink) {
      ASSERT_EQ(symlink("nowhere", qin.c_str()), 0);
    } else if (c.qin == directory) {
      ASSERT_EQ(mkdir(qin.c_str(), 0755), 0);
    } else if (c.qin) {
      writeFile(qin, c.qin);
    }
    if (c.pin) writeFile(cwdDir.file("set.2.P.in"), c.pin);
    const std::string where = cwdDir.path(), input = base + ".bed";
    const bool fixQ = c.fixQ, fixP = c.fixP;
    const RunResult r = runInChild([where, input, fixQ, fixP] {
      if (chdir(where.c_str()) != 0) _exit(3);
      K = 2;
      setInput(input);
      Options::estimateQ = !fixQ;
      Options::estimateP = !fixP;
      DatasetMetadata m;
      readInputFiles(1, m);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Fileio, SupervisedReadsPopFile) {
  const std::string base = writeTinyBedSet();
  const std::string head = "Supervised analysis mode.  Examining .pop file...\n";
  struct Case {
    const char* name;
    const char* pop;  // null: absent
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"good", "EUR\nAFR\n", 0, head},
      {"absent", nullptr, 255, head + "Error reading .pop file!\n"},
      {"short", "EUR\n", 255,
       head + "Wrong number of lines in " + base + ".pop (found 1, expecting 2).\nError reading .pop file!\n"},
      {"one label", "EUR\nEUR\n", 255,
       head + "Expected 2 populations, but found reference individuals for 1.\nError reading .pop file!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((base + ".pop").c_str());
    if (c.pop) writeFile(base + ".pop", c.pop);
    const std::string input = base + ".bed";
    const RunResult r = runInChild([input] {
      K = 2;
      setInput(input);
      Options::supervised = true;
      DatasetMetadata m;
      readInputFiles(0, m);
      if (reference_pop[0] != 0 || reference_pop[1] != 1) _exit(4);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

}  // namespace
