// The result files of a pass, as the writer leaves them in a directory.
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

using ResultFiles = FileFixture;

// ---- writeOutputFiles -----------------------------------------------------

TEST_F(ResultFiles, ResultFileNames) {
  struct Case {
    double lambda;
    int B;
    std::vector<std::string> names;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {0.0, 0, {"set1.3.Q", "set1.3.P"}},
      {0.5, 0, {"set1.3.Q.lambda.0", "set1.3.P.lambda.0"}},
      {10.0, 0, {"set1.3.Q.lambda.10", "set1.3.P.lambda.10"}},
      {-1.5, 0, {"set1.3.Q.lambda.-1", "set1.3.P.lambda.-1"}},
      {nan, 0, {"set1.3.Q.lambda.nan", "set1.3.P.lambda.nan"}},
      {1e10, 0, {"set1.3.Q.lambda.10000000000", "set1.3.P.lambda.10000000000"}},
      {0.0, 2, {"set1.3.Q", "set1.3.P", "set1.3.Q_se", "set1.3.Q_bias"}},
      {100.0, 2,
       {"set1.3.Q.lambda.100", "set1.3.P.lambda.100", "set1.3.Q_se.lambda.100",
        "set1.3.Q_bias.lambda.100"}},
  };
  setInput("data/set1.bed");
  K = 3;
  Qt = new DMatrix(3, 2, 0.25);
  P = new DMatrix(3, 4, 0.5);
  Qt_se = new DMatrix(3, 2, 0.01);
  Qt_bias = new DMatrix(3, 2, -0.01);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names[0]);
    TempDir out;
    Options::penaltyfunction.lambda = c.lambda;
    Options::B = c.B;
    {
      CwdGuard cwd(out.path());
      EXPECT_EQ(writeOutputFiles(), 0);
    }
    for (const std::string& name : c.names) EXPECT_TRUE(fileExists(out.file(name))) << name;
    EXPECT_EQ(namesIn(out.path()).size(), c.names.size());
  }
}

TEST_F(ResultFiles, WrittenQReadsBackToSixDecimals) {
  setInput("set1.bed");
  K = 2;
  Qt = new DMatrix(matrixOf({{0.123456789, 1e-5, 0.5}, {0.876543211, 0.99999, 0.5}}));
  P = new DMatrix(matrixOf({{0.3}, {0.7}}));
  {
    CwdGuard cwd(dir.path());
    ASSERT_EQ(writeOutputFiles(), 0);
  }
  EXPECT_EQ(readFile(dir.file("set1.2.Q")), "0.123457 0.876543\n0.000010 0.999990\n0.500000 0.500000\n");
  EXPECT_EQ(readFile(dir.file("set1.2.P")), "0.300000 0.700000\n");
  DMatrix* back = nullptr;
  ASSERT_EQ(inputMatrix(dir.file("set1.2.Q"), &back, true), 0);
  ASSERT_EQ(back->size1(), 2u);
  ASSERT_EQ(back->size2(), 3u);
  for (size_t k = 0; k < 2; ++k)
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR((*back)(k, i), (*Qt)(k, i), 5e-7);
  delete back;
}

TEST_F(ResultFiles, UnwritableResultEndsTheRun) {
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  // The P file cannot be put in place after the Q file has been: the Q
  // file goes back to what it was, the old one or none.
  for (const bool oldQ : {false, true}) {
    SCOPED_TRACE(oldQ ? "an old Q" : "no old Q");
    TempDir out;
    if (oldQ) writeFile(out.file("set1.1.Q"), "old Q\n");
    // A directory in the place of the P file cannot be replaced by a file,
    // as root too.
    mkdir(out.file("set1.1.P").c_str(), 0755);
    const std::string where = out.path();
    const RunResult r = runInChild([where] {
      if (chdir(where.c_str()) != 0) _exit(3);
      writeOutputFiles();
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error writing output file set1.1.P\n");
    if (oldQ) {
      EXPECT_EQ(readFile(out.file("set1.1.Q")), "old Q\n");
    } else {
      EXPECT_FALSE(fileExists(out.file("set1.1.Q")));
    }
    // No temporary file is left behind.
    EXPECT_EQ(namesIn(out.path()).size(), oldQ ? 2u : 1u);
  }
}

// A disk that fills while a result is written (here a file size limit, as
// `ulimit -f 40` sets) must leave the set as it was: not a new Q beside the
// old P, nor a file cut at a line end where it looks complete. With SIGXFSZ
// ignored the write fails and the run ends with its line; with its default
// action the signal ends the run, and no temporary is left either way.
TEST_F(ResultFiles, ResultSetIsWholeOrAsBefore) {
  struct Case {
    bool ignoreSignal;
    int status;
    const char* out;
  };
  const Case cases[] = {
      {true, 255, "Error writing output file set1.2.P\n"},
      {false, 128 + SIGXFSZ, ""},
  };
  setInput("set1.bed");
  K = 2;
  Qt = new DMatrix(2, 3, 0.5);
  // 90 KB, the limit is 40 KiB; the new Q file fits under it.
  P = new DMatrix(2, 5000, 0.25);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ignoreSignal ? "SIGXFSZ ignored" : "SIGXFSZ by default");
    TempDir out;
    const std::string oldQ = "old Q\n", oldP = "old P\n";
    writeFile(out.file("set1.2.Q"), oldQ);
    writeFile(out.file("set1.2.P"), oldP);
    const std::string where = out.path();
    const bool ignore = c.ignoreSignal;
    const RunResult r = runInChild([where, ignore] {
      if (chdir(where.c_str()) != 0 || (ignore && signal(SIGXFSZ, SIG_IGN) == SIG_ERR)) _exit(3);
      limitThisProcess(RLIMIT_FSIZE, 40 * 1024);
      writeOutputFiles();
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(readFile(out.file("set1.2.Q")), oldQ);
    EXPECT_EQ(readFile(out.file("set1.2.P")), oldP);
    EXPECT_EQ(namesIn(out.path()).size(), 2u);
  }
}

// A link planted under a name that a run's temporary file could take (the
// result's name, a dot, the process id, ".tmp") must not be followed: its
// target stays as it is, or absent, and the link itself is not touched.
TEST_F(ResultFiles, PlantedLinksAreNotFollowed) {
  setInput("set1.bed");
  K = 1;
  Options::B = 2;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  Qt_se = new DMatrix(1, 2, 0.25);
  Qt_bias = new DMatrix(1, 2, -0.25);
  const char* const results[] = {"set1.1.Q", "set1.1.P", "set1.1.Q_se", "set1.1.Q_bias"};
  const std::string victim = dir.file("victim"), absent = dir.file("absent");
  writeFile(victim, "precious\n");
  const std::string where = dir.path();
  const RunResult r = runInChild([where, &results, victim, absent] {
    if (chdir(where.c_str()) != 0) _exit(3);
    // Links to a file that exists and dangling ones, in turn.
    for (int f = 0; f < 4; ++f) {
      const std::string planted = std::string(results[f]) + "." + std::to_string(getpid()) + ".tmp";
      if (symlink((f % 2 == 0 ? victim : absent).c_str(), planted.c_str()) != 0) _exit(4);
    }
    writeOutputFiles();
  });
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(victim), "precious\n");
  EXPECT_FALSE(fileExists(absent));
  const char* const contents[] = {"1.000000\n1.000000\n", "0.500000\n0.500000\n", "0.250000\n0.250000\n",
                                  "-0.250000\n-0.250000\n"};
  for (int f = 0; f < 4; ++f) {
    struct stat st;
    ASSERT_EQ(lstat(dir.file(results[f]).c_str(), &st), 0) << results[f];
    EXPECT_TRUE(S_ISREG(st.st_mode)) << results[f];
    EXPECT_EQ(readFile(dir.file(results[f])), contents[f]) << results[f];
  }
  // The victim, the four links and the four results.
  EXPECT_EQ(namesIn(dir.path()).size(), 9u);
}

// A result name near the 255 bytes of a directory entry is a name the run
// can write; its temporary's name must not pass the limit.
TEST_F(ResultFiles, LongResultNames) {
  const std::string prefix(243, 'x');
  setInput(prefix + ".bed");
  K = 3;
  Options::B = 2;
  Qt = new DMatrix(3, 2, 0.25);
  P = new DMatrix(3, 2, 0.5);
  Qt_se = new DMatrix(3, 2, 0.01);
  Qt_bias = new DMatrix(3, 2, -0.01);
  const std::string where = dir.path();
  const RunResult r = runInChild([where] {
    if (chdir(where.c_str()) != 0) _exit(3);
    writeOutputFiles();
  });
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* kind : {".3.Q", ".3.P", ".3.Q_se", ".3.Q_bias"})
    EXPECT_EQ(splitLines(readFile(dir.file(prefix + kind))).size(), 2u) << kind;
  EXPECT_EQ(namesIn(dir.path()).size(), 4u);
}

// The standard errors and biases of a bootstrap describe the estimate they
// were made for: a run removes the old ones of its names when it puts its
// new Q and P in place, so that a run without a bootstrap, or one whose
// bootstrap fails or is interrupted, leaves none beside them (read with
// them, an earlier run's gave negative means). A directory of such a name
// is no result and stays.
TEST_F(ResultFiles, StaleBootstrapFilesAreRemoved) {
  struct Case {
    int B;
    double lambda;
    std::vector<std::string> kept;  // of the four old files
  };
  const std::vector<std::string> old = {"set1.1.Q_se", "set1.1.Q_bias", "set1.1.Q_se.lambda.10",
                                        "set1.1.Q_bias.lambda.10"};
  const Case cases[] = {
      {2, 0.0, {"set1.1.Q_se.lambda.10", "set1.1.Q_bias.lambda.10"}},
      {2, 10.0, {"set1.1.Q_se", "set1.1.Q_bias"}},
      {0, 0.0, {"set1.1.Q_se.lambda.10", "set1.1.Q_bias.lambda.10"}},
      {0, 10.0, {"set1.1.Q_se", "set1.1.Q_bias"}},
  };
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE("B = " + std::to_string(c.B) + ", lambda " + std::to_string(c.lambda));
    TempDir out;
    for (const std::string& name : old) writeFile(out.file(name), "old\n");
    Options::B = c.B;
    Options::penaltyfunction.lambda = c.lambda;
    {
      CwdGuard cwd(out.path());
      // The point estimate's files alone: the bootstrap did not end.
      writeEstimateFiles();
    }
    for (const std::string& name : old) {
      const bool kept = std::find(c.kept.begin(), c.kept.end(), name) != c.kept.end();
      EXPECT_EQ(fileExists(out.file(name)), kept) << name;
      if (kept) {
        EXPECT_EQ(readFile(out.file(name)), "old\n") << name;
      }
    }
    EXPECT_EQ(namesIn(out.path()).size(), c.kept.size() + 2);
  }

  // A link of such a name goes, not the file it points to.
  TempDir out;
  ASSERT_EQ(mkdir(out.file("set1.1.Q_se").c_str(), 0755), 0);
  writeFile(out.file("target"), "kept\n");
  ASSERT_EQ(symlink("target", out.file("set1.1.Q_bias").c_str()), 0);
  Options::B = 0;
  Options::penaltyfunction.lambda = 0;
  {
    CwdGuard cwd(out.path());
    writeEstimateFiles();
  }
  struct stat st;
  EXPECT_EQ(stat(out.file("set1.1.Q_se").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(lstat(out.file("set1.1.Q_bias").c_str(), &st), 0);
  EXPECT_EQ(readFile(out.file("target")), "kept\n");
  EXPECT_EQ(namesIn(out.path()).size(), 4u);
}

namespace {

// Holds the lock on a directory that a run takes to put a result set in
// place.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) ADD_FAILURE() << "cannot lock " << path;
  }
  ~DirectoryLock() { release(); }
  // The lock belongs to the open directory, which a forked child shares:
  // the child lets go of its copy so that the lock is the parent's alone.
  void forget() { close(fd_); }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

// A run puts its set in place under a lock on the directory: while another
// holds it, the run waits with both temporaries written and the old set in
// place, so that two runs cannot interleave their renames. Ended there by
// SIGINT or SIGTERM, it removes its temporaries; a signal that was ignored
// when it started stays ignored.
TEST_F(ResultFiles, SetIsPutInPlaceUnderTheDirectoryLock) {
  struct Case {
    int sig;  // sent while the run waits; 0: none
    bool ignored;
    int status;
  };
  const Case cases[] = {
      {0, false, 0},
      {SIGTERM, false, 128 + SIGTERM},
      {SIGINT, false, 128 + SIGINT},
      {SIGTERM, true, 0},
  };
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE("signal " + std::to_string(c.sig) + (c.ignored ? " ignored" : ""));
    TempDir out;
    writeFile(out.file("set1.1.Q"), "old Q\n");
    writeFile(out.file("set1.1.P"), "old P\n");
    DirectoryLock lock(out.path());
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(60);
      lock.forget();
      if (chdir(out.path().c_str()) != 0) _exit(3);
      if (c.ignored) signal(c.sig, SIG_IGN);
      writeOutputFiles();
      _exit(0);
    }
    EXPECT_TRUE(waitFor([&] { return temporariesIn(out.path()) == 2; }));
    // Long enough for a run that takes no lock to rename both files.
    usleep(200000);
    EXPECT_EQ(readFile(out.file("set1.1.Q")), "old Q\n");
    EXPECT_EQ(readFile(out.file("set1.1.P")), "old P\n");
    if (c.sig != 0) kill(pid, c.sig);
    if (c.status != 0) {
      EXPECT_TRUE(waitFor([&] { return temporariesIn(out.path()) == 0; }));
    }
    lock.release();
    EXPECT_EQ(statusOf(pid), c.status);
    const bool replaced = c.status == 0;
    EXPECT_EQ(readFile(out.file("set1.1.Q")), replaced ? "1.000000\n1.000000\n" : "old Q\n");
    EXPECT_EQ(readFile(out.file("set1.1.P")), replaced ? "0.500000\n0.500000\n" : "old P\n");
    EXPECT_EQ(namesIn(out.path()).size(), 2u);
  }
}

TEST_F(ResultFiles, WriteErrorIsReported) {
  const DMatrix m = matrixOf({{0.5}});
  EXPECT_EQ(outputMatrix(dir.file("no/such/dir"), &m, true, " "), 1);
  EXPECT_EQ(outputMatrix(dir.file("ok"), &m, true, " "), 0);
  EXPECT_EQ(readFile(dir.file("ok")), "0.500000\n");
  EXPECT_EQ(namesIn(dir.path()).size(), 1u);
}

}  // namespace
