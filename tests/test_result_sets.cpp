// Whole runs and the result sets they leave on disk: under file systems
// that lack an operation (a stand-in loaded with LD_PRELOAD), when a step of
// the renames fails, and when a signal comes between two renames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dir_util.h"
#include "e2e_util.h"

namespace {

const std::string kOldQ = "old Q\n", kOldP = "old P\n";

int modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// The example data, a short run: its result files as a run without the
// stand-in writes them.
class ResultSets : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TempDir plain;
    const RunResult r = runKelvanore({testData("sim3.bed"), "3", "-C", "2"}, plain.path());
    ASSERT_EQ(r.status, 0) << r.out;
    newQ_ = new std::string(readFile(plain.file("sim3.3.Q")));
    newP_ = new std::string(readFile(plain.file("sim3.3.P")));
  }
  static void TearDownTestSuite() {
    delete newQ_;
    delete newP_;
  }

  // A new empty directory for the next case.
  void freshDirectory() { dir_.reset(new TempDir); }
  const TempDir& dir() const { return *dir_; }

  void writeOldSet() {
    writeFile(dir().file("sim3.3.Q"), kOldQ);
    writeFile(dir().file("sim3.3.P"), kOldP);
  }
  RunResult run(const std::vector<std::string>& options, const std::vector<std::string>& environment) {
    std::vector<std::string> args = {testData("sim3.bed"), "3", "-C", "2"};
    args.insert(args.end(), options.begin(), options.end());
    return runKelvanoreWithEnvironment(args, withFileSystemShim(environment), dir().path());
  }
  std::string q() const { return readFile(dir().file("sim3.3.Q")); }
  std::string p() const { return readFile(dir().file("sim3.3.P")); }

  static std::string* newQ_;
  static std::string* newP_;
  std::unique_ptr<TempDir> dir_{new TempDir};
};

std::string* ResultSets::newQ_ = nullptr;
std::string* ResultSets::newP_ = nullptr;

// Where the file system cannot exchange two names (some network and FUSE
// file systems), nor make sure that a rename replaces nothing, nor make hard
// links, the set is still put in place whole.
TEST_F(ResultSets, PlacedWholeWithoutTheExchangingRename) {
  const std::vector<std::vector<std::string>> lacking = {
      {"KELVANORE_SHIM_NO_EXCHANGE=1"},
      {"KELVANORE_SHIM_NO_EXCHANGE=1", "KELVANORE_SHIM_NO_NOREPLACE=1"},
      {"KELVANORE_SHIM_NO_EXCHANGE=1", "KELVANORE_SHIM_NO_NOREPLACE=1", "KELVANORE_SHIM_NO_LINK=1"},
  };
  for (const auto& environment : lacking) {
    SCOPED_TRACE(environment.back());
    for (bool old : {false, true}) {
      SCOPED_TRACE(old ? "over an old set" : "a new set");
      freshDirectory();
      if (old) writeOldSet();
      const RunResult r = run({}, environment);
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(q(), *newQ_);
      EXPECT_EQ(p(), *newP_);
      EXPECT_EQ(namesIn(dir().path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));
    }
  }
}

// A rename of the set that fails puts back what the earlier ones replaced:
// the old set stays whole also where the file system cannot exchange two
// names (the old file is kept under a hard link until the set is in place).
// Likewise when an old file of the set's standard errors cannot be removed.
TEST_F(ResultSets, FailedStepLeavesTheOldSet) {
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    std::string lastLine;
  };
  const Case cases[] = {
      {"P cannot be renamed", {"KELVANORE_SHIM_FAIL=3.P"}, "Error writing output file sim3.3.P"},
      {"P cannot be renamed, no exchange", {"KELVANORE_SHIM_FAIL=3.P", "KELVANORE_SHIM_NO_EXCHANGE=1"},
       "Error writing output file sim3.3.P"},
      {"old biases cannot be removed", {"KELVANORE_SHIM_FAIL=3.Q_bias"}, "Error removing old file sim3.3.Q_bias"},
      {"old biases cannot be removed, no exchange and no replace check",
       {"KELVANORE_SHIM_FAIL=3.Q_bias", "KELVANORE_SHIM_NO_EXCHANGE=1", "KELVANORE_SHIM_NO_NOREPLACE=1"},
       "Error removing old file sim3.3.Q_bias"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshDirectory();
    writeOldSet();
    writeFile(dir().file("sim3.3.Q_se"), "old se\n");
    writeFile(dir().file("sim3.3.Q_bias"), "old bias\n");
    const RunResult r = run({}, c.environment);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lastLine(r.out), c.lastLine) << r.out;
    EXPECT_EQ(q(), kOldQ);
    EXPECT_EQ(p(), kOldP);
    EXPECT_EQ(readFile(dir().file("sim3.3.Q_se")), "old se\n");
    EXPECT_EQ(readFile(dir().file("sim3.3.Q_bias")), "old bias\n");
    EXPECT_EQ(namesIn(dir().path()),
              (std::vector<std::string>{"sim3.3.P", "sim3.3.Q", "sim3.3.Q_bias", "sim3.3.Q_se"}));
  }
}

// When the renames that would undo a failed set fail too, an old file that
// cannot be put back under its own name stays under its temporary name,
// which the error line gives: no earlier result is removed. Here every
// rename after the first few fails (EIO).
TEST_F(ResultSets, FailedUndoKeepsTheOldFiles) {
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    std::string failure;                // the error line up to the first "; "
    std::vector<std::string> keptOld;   // the old files it names, in its order
  };
  const Case cases[] = {
      {"P cannot be placed", {"KELVANORE_SHIM_RENAMES=1"}, "Error writing output file sim3.3.P", {"sim3.3.Q"}},
      {"P cannot be placed, no exchange",
       {"KELVANORE_SHIM_RENAMES=1", "KELVANORE_SHIM_NO_EXCHANGE=1"},
       "Error writing output file sim3.3.P",
       {"sim3.3.Q"}},
      {"the old biases cannot be moved aside",
       {"KELVANORE_SHIM_RENAMES=3"},
       "Error removing old file sim3.3.Q_bias",
       {"sim3.3.Q", "sim3.3.P", "sim3.3.Q_se"}},
  };
  const std::map<std::string, std::string> old = {
      {"sim3.3.Q", kOldQ}, {"sim3.3.P", kOldP}, {"sim3.3.Q_se", "old se\n"}, {"sim3.3.Q_bias", "old bias\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshDirectory();
    for (const auto& file : old) writeFile(dir().file(file.first), file.second);
    const RunResult r = run({}, c.environment);
    EXPECT_EQ(r.status, 255);
    std::string expected = c.failure;
    for (const std::string& name : c.keptOld) expected += "; the old " + name + " is kept as (kelvanore-\\w{6}\\.tmp)";
    std::smatch kept;
    const std::string line = lastLine(r.out);
    ASSERT_TRUE(std::regex_match(line, kept, std::regex(expected))) << line;
    // A file of the set is under its name (the new one); an old file that the
    // set removes is only under its temporary name.
    std::vector<std::string> names = {"sim3.3.P", "sim3.3.Q"};
    for (const char* removed : {"sim3.3.Q_se", "sim3.3.Q_bias"})
      if (std::find(c.keptOld.begin(), c.keptOld.end(), removed) == c.keptOld.end()) names.push_back(removed);
    for (std::size_t k = 0; k < c.keptOld.size(); ++k) {
      EXPECT_EQ(readFile(dir().file(kept[k + 1])), old.at(c.keptOld[k])) << c.keptOld[k];
      names.push_back(kept[k + 1]);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(namesIn(dir().path()), names);
    // Under their own names: the new Q (and P) that could not be taken
    // back, the old files whose turn did not come.
    EXPECT_EQ(q(), *newQ_);
    EXPECT_EQ(p(), c.keptOld.size() > 1 ? *newP_ : kOldP);
  }

  // A result that the set made where there was none, and that the undo
  // cannot remove again, is named too.
  freshDirectory();
  const RunResult r = run({}, {"KELVANORE_SHIM_RENAMES=1", "KELVANORE_SHIM_NO_UNLINK=sim3.3.Q"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(lastLine(r.out), "Error writing output file sim3.3.P; the new sim3.3.Q could not be removed") << r.out;
  EXPECT_EQ(namesIn(dir().path()), (std::vector<std::string>{"sim3.3.Q"}));
}

// A stop for lack of memory while a set is written (malloc fails once the
// first temporary exists) keeps the old set and leaves no temporary: the
// out-of-memory stop removes them as the exit would.
TEST_F(ResultSets, OutOfMemoryWhileWritingLeavesTheOldSet) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the stand-in would replace the sanitizer's malloc";
#endif
  writeOldSet();
  const RunResult r = runKelvanoreWithEnvironment({testData("sim3.bed"), "3", "-C", "2"},
                                                  {std::string("LD_PRELOAD=") + KELVANORE_OOM_SHIM}, dir().path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(lastLine(r.out), "Out of memory: the run needs more memory than the system can give") << r.out;
  EXPECT_EQ(q(), kOldQ);
  EXPECT_EQ(p(), kOldP);
  EXPECT_EQ(namesIn(dir().path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));
}

// Stops the run at a moment when it does not hold the directory's lock, so
// that another run can put its set in place meanwhile.
void stopOutsideTheLock(pid_t pid, const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (;;) {
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    kill(pid, SIGCONT);
    usleep(1000);
  }
  flock(fd, LOCK_UN);
  close(fd);
}

// Two runs in one directory: a run with a bootstrap places its standard
// errors and biases beside its own Q and P, also when another run has
// replaced those while it bootstrapped (it then places its Q and P again
// with them), so that the directory holds one run's whole set.
TEST_F(ResultSets, ConcurrentRunCannotSplitTheSet) {
  const std::vector<std::string> bootstrapped = {testData("sim3.bed"), "3", "-C", "2", "-B10"};
  TempDir alone;
  StartedRun undisturbed(bootstrapped, {}, alone.path());
  StartedRun first(bootstrapped, {}, dir().path());
  ASSERT_TRUE(waitFor([&] { return fileExists(dir().file("sim3.3.P")); }, 60));
  stopOutsideTheLock(first.pid(), dir().path());
  ASSERT_FALSE(fileExists(dir().file("sim3.3.Q_se"))) << "the bootstrap ended before the second run";

  const RunResult second = runKelvanore({testData("sim3.bed"), "3", "-C", "2", "-s", "7"}, dir().path());
  ASSERT_EQ(second.status, 0) << second.out;
  ASSERT_NE(q(), *newQ_);
  EXPECT_EQ(namesIn(dir().path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));

  kill(first.pid(), SIGCONT);
  const RunResult r = first.finish();
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(undisturbed.finish().status, 0);
  EXPECT_EQ(q(), *newQ_);
  EXPECT_EQ(p(), *newP_);
  for (const char* name : {"sim3.3.Q_se", "sim3.3.Q_bias"})
    EXPECT_EQ(readFile(dir().file(name)), readFile(alone.file(name))) << name;
  EXPECT_EQ(namesIn(dir().path()),
            (std::vector<std::string>{"sim3.3.P", "sim3.3.Q", "sim3.3.Q_bias", "sim3.3.Q_se"}));
}

// An ending signal that comes between two renames of a set is taken once
// the set is in place: the set is all new, and no temporary is left. With
// worker threads (-j4) the signal is taken on the main thread, not by a
// worker, which would remove the temporaries under the renames (the new Q
// beside the old P); SIGHUP and SIGQUIT are held the same way, where ending
// the run at once would leave a temporary.
TEST_F(ResultSets, SignalBetweenTwoRenamesLeavesOneWholeSet) {
  // SIGQUIT dumps core by default; none is wanted here.
  rlimit noCore{0, 0};
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCore), 0);
  struct Case {
    int sig;
    const char* threads;
  };
  const Case cases[] = {{SIGTERM, "-j4"}, {SIGINT, "-j4"}, {SIGHUP, "-j1"}, {SIGQUIT, "-j1"},
                        {SIGUSR1, "-j4"}, {SIGALRM, "-j1"}, {SIGPIPE, "-j4"}};
  // The runs go side by side, each in a directory of its own.
  struct Running {
    TempDir dir, side;
    std::unique_ptr<StartedRun> run;
  };
  std::vector<std::unique_ptr<Running>> runs;
  for (const Case& c : cases) {
    runs.emplace_back(new Running);
    Running& r = *runs.back();
    writeFile(r.dir.file("sim3.3.Q"), kOldQ);
    writeFile(r.dir.file("sim3.3.P"), kOldP);
    r.run.reset(new StartedRun({testData("sim3.bed"), "3", "-C", "2", c.threads},
                               withFileSystemShim({"KELVANORE_SHIM_PAUSE=" + r.side.file("renamed"),
                                         "KELVANORE_SHIM_PAUSE_MS=400"}),
                               r.dir.path()));
  }
  // Each run gets its signal as soon as its first rename is done, whatever
  // the others do: a run that waited for another's could end first.
  std::vector<bool> signalled(runs.size(), false);
  ASSERT_TRUE(waitFor(
      [&] {
        bool all = true;
        for (std::size_t i = 0; i < runs.size(); ++i) {
          if (!signalled[i] && fileExists(runs[i]->side.file("renamed"))) {
            kill(runs[i]->run->pid(), cases[i].sig);
            signalled[i] = true;
          }
          all = all && signalled[i];
        }
        return all;
      },
      60));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(std::string(strsignal(cases[i].sig)) + " " + cases[i].threads);
    Running& r = *runs[i];
    const RunResult result = r.run->finish();
    EXPECT_EQ(result.status, 128 + cases[i].sig) << result.out << result.err;
    EXPECT_EQ(readFile(r.dir.file("sim3.3.Q")), *newQ_);
    EXPECT_EQ(readFile(r.dir.file("sim3.3.P")), *newP_);
    EXPECT_EQ(namesIn(r.dir.path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));
  }
}

// A result that replaces a file keeps that file's permission bits (the
// rename gave it the temporary's); a new one gets what the umask allows.
TEST_F(ResultSets, ReplacedFilesKeepTheirPermissions) {
  writeOldSet();
  ASSERT_EQ(chmod(dir().file("sim3.3.Q").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir().file("sim3.3.P").c_str(), 0640), 0);
  for (const auto& environment :
       std::vector<std::vector<std::string>>{{}, {"KELVANORE_SHIM_NO_EXCHANGE=1", "KELVANORE_SHIM_NO_LINK=1"}}) {
    const RunResult r = run({"-B2"}, environment);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(q(), *newQ_);
    EXPECT_EQ(modeOf(dir().file("sim3.3.Q")), 0600);
    EXPECT_EQ(modeOf(dir().file("sim3.3.P")), 0640);
  }
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(modeOf(dir().file("sim3.3.Q_se")), static_cast<int>(0666 & ~mask));
}

// The standard errors of an earlier estimate do not stay beside a new one:
// a run without a bootstrap removes them as it puts its Q and P in place.
TEST_F(ResultSets, RerunWithoutBootstrapRemovesTheStandardErrors) {
  ASSERT_EQ(run({"-B2"}, {}).status, 0);
  EXPECT_TRUE(fileExists(dir().file("sim3.3.Q_se")));
  EXPECT_TRUE(fileExists(dir().file("sim3.3.Q_bias")));
  const RunResult r = run({}, {});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(namesIn(dir().path()), (std::vector<std::string>{"sim3.3.P", "sim3.3.Q"}));
}

// A result name that cannot be written is found right after the options
// are read, before any estimation: a base name of 247 characters makes
// .3.Q_bias one byte too long for a directory entry, and a directory may
// stand in a result's place. Nothing is written.
TEST(ResultNames, RefusedBeforeTheEstimation) {
  const std::string base(247, 'b');
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string directory;  // made beforehand
    std::string lastLine;
  };
  const Case cases[] = {
      {"a name too long", {base + ".bed", "3", "-B2"}, "",
       "Cannot write result file " + base + ".3.Q_bias: its name is longer than 255 bytes"},
      {"a name too long for a later weight", {base.substr(0, 242) + ".bed", "3", "-l", "0,10"}, "",
       "Cannot write result file " + base.substr(0, 242) + ".3.Q.lambda.10: its name is longer than 255 bytes"},
      {"a directory in P's place", {"set.bed", "3"}, "set.3.P",
       "Cannot write result file set.3.P: a directory has that name"},
      {"a directory in the biases' place", {"set.bed", "3", "-B2"}, "set.3.Q_bias",
       "Cannot write result file set.3.Q_bias: a directory has that name"},
      // Without a point estimation the weight is not applied, and the names
      // carry no weight.
      {"a directory in the standard errors' place, -z with a weight", {"set.bed", "3", "-i", "-z", "-l", "5", "-B2"},
       "set.3.Q_se", "Cannot write result file set.3.Q_se: a directory has that name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (!c.directory.empty()) {
      ASSERT_EQ(mkdir(dir.file(c.directory).c_str(), 0755), 0);
    }
    const RunResult r = runKelvanore(c.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lastLine(r.out), c.lastLine) << r.out;
    EXPECT_EQ(r.out.find("Size of G"), std::string::npos);
    EXPECT_EQ(namesIn(dir.path()).size(), c.directory.empty() ? 0u : 1u);
  }
  // Without a bootstrap the 247-character name writes its Q and P; with -z
  // a weight adds nothing to the names, so a 246-character one that takes
  // .3.Q_bias runs with -z -l 5 and writes all four without a suffix.
  for (const std::size_t length : {247, 246}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'b');
    TempDir dir;
    copyFile(testData("sim3.bed"), dir.file(name + ".bed"));
    copyFile(testData("sim3.bim"), dir.file(name + ".bim"));
    copyFile(testData("sim3.fam"), dir.file(name + ".fam"));
    const RunResult r = runKelvanore({dir.file(name + ".bed"), "3", "-C", "1"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fileExists(dir.file(name + ".3.Q")));
    if (length != 246) continue;
    ASSERT_EQ(rename(dir.file(name + ".3.Q").c_str(), dir.file(name + ".3.Q.in").c_str()), 0);
    ASSERT_EQ(rename(dir.file(name + ".3.P").c_str(), dir.file(name + ".3.P.in").c_str()), 0);
    const RunResult skipped = runKelvanore({dir.file(name + ".bed"), "3", "-i", "-z", "-l", "5", "-B2"}, dir.path());
    ASSERT_EQ(skipped.status, 0) << skipped.out;
    for (const char* kind : {".3.Q", ".3.P", ".3.Q_se", ".3.Q_bias"}) EXPECT_TRUE(fileExists(dir.file(name + kind))) << kind;
  }
}

// A small stack limit (ulimit -s 64) is no crash: the writer keeps its
// buffer off the stack, and so do the threads' work spaces.
TEST(SmallStack, RunEndsNormally) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's frames need a larger stack";
#endif
  for (const char* threads : {"-j1", "-j4"}) {
    SCOPED_TRACE(threads);
    TempDir dir;
    const RunResult r =
        runKelvanoreWithLimits({threads, testData("sim3.bed"), "3", "-B2"}, {{RLIMIT_STACK, 64 * 1024}}, dir.path(),
                               {}, 120);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"sim3.3.P", "sim3.3.Q", "sim3.3.Q_bias", "sim3.3.Q_se"}));
  }
}

}  // namespace
