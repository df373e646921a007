// Test support: run the kelvanore executable as a user would and capture
// what it prints, and make scratch directories for files a run reads or
// writes.
#ifndef KELVANORE_TESTS_E2E_UTIL_H
#define KELVANORE_TESTS_E2E_UTIL_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Under AddressSanitizer: its shadow memory takes far more address space
// than any limit under which an allocation of the program would still fail,
// so the tests of such limits skip themselves.
#if defined(__SANITIZE_ADDRESS__)
#define KELVANORE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVANORE_UNDER_ASAN 1
#endif
#endif

struct RunResult {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  int status = -1;  // exit status, or 128 + signal number when killed
};

// Runs the executable with the given arguments (argv[0] excluded) in the
// directory cwd (the caller's when empty). stdin is /dev/null. The run is
// killed after timeoutSeconds.
RunResult runKelvanore(const std::vector<std::string>& args,
                       const std::string& cwd = "", int timeoutSeconds = 300);
// The same with variables added to (or replacing their namesakes in) the
// environment that the run inherits, each "NAME=value"; "NAME" alone
// removes the variable.
RunResult runKelvanoreWithEnvironment(const std::vector<std::string>& args,
                                      const std::vector<std::string>& environment,
                                      const std::string& cwd = "", int timeoutSeconds = 300);

// The environment given, with the file system stand-in (tests/fs_shim.cpp)
// preloaded: for runKelvanoreWithEnvironment and StartedRun. The sanitizer
// runtime, which would refuse a library loaded before it, is told to let it.
std::vector<std::string> withFileSystemShim(std::vector<std::string> environment);

// A resource limit of setrlimit(), its soft and hard value alike, as
// `ulimit` sets it.
struct ResourceLimit {
  int resource;  // RLIMIT_AS, RLIMIT_STACK, ...
  uint64_t value;
};

// A run started in the background, for tests that act on it while it runs
// (a signal, say). The destructor waits for it if finish() was not called.
// The limits are set in the child before it starts the executable.
class StartedRun {
 public:
  StartedRun(const std::vector<std::string>& args, const std::vector<std::string>& environment,
             const std::string& cwd = "", int timeoutSeconds = 300,
             const std::vector<ResourceLimit>& limits = {});
  ~StartedRun();
  StartedRun(const StartedRun&) = delete;
  StartedRun& operator=(const StartedRun&) = delete;
  int pid() const { return pid_; }
  // Whether the run has ended by now, without waiting for it.
  bool ended();
  // Waits for the run to end and collects what it wrote.
  RunResult finish();

 private:
  struct Output;
  std::unique_ptr<Output> output_;
  int pid_ = -1;
  bool finished_ = false;
};

// Runs the executable under resource limits, in cwd (the caller's when
// empty), with the environment changed as for runKelvanoreWithEnvironment
// (to remove a variable that would set a thread's stack, say).
RunResult runKelvanoreWithLimits(const std::vector<std::string>& args, const std::vector<ResourceLimit>& limits,
                                 const std::string& cwd = "", const std::vector<std::string>& environment = {},
                                 int timeoutSeconds = 300);

// Runs body in a forked child with standard output and standard error
// captured, for library code that ends the process on bad input. The child
// exits with status 0 when body returns. Do not start OpenMP threads in
// body: the runtime's thread pool does not survive a fork.
RunResult runInChild(const std::function<void()>& body, int timeoutSeconds = 120);

// In a child of runInChild: sets a resource limit, its soft and hard value
// alike; a limit that cannot be set ends the child with status 3, which no
// test expects.
void limitThisProcess(int resource, uint64_t value);

// The address space this process has in use, in bytes: the base of a
// limit that leaves a known headroom.
uint64_t addressSpaceInUse();

// Waits up to the given seconds for the condition, trying every
// millisecond; false when it did not come.
bool waitFor(const std::function<bool()>& condition, int seconds = 30);

// Waits for a forked child: its exit status, or 128 + the signal that ended
// it.
int statusOf(pid_t pid);

// A fresh empty directory under the system's temporary directory, removed
// with its contents when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for fixtures.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Copies a file byte for byte.
void copyFile(const std::string& from, const std::string& to);

// Splits text into lines at line feeds (the line feeds removed; a final
// empty piece after the last line feed is dropped).
std::vector<std::string> splitLines(const std::string& text);

// The last of those lines; empty for a text without any.
std::string lastLine(const std::string& text);

// The lines of text that start with prefix, in order.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

// The index of the first line equal to text (or, with prefix, starting with
// it); -1 when there is none.
int lineIndex(const std::vector<std::string>& lines, const std::string& text, bool prefix = false);

// A text matrix file as rows of numbers (one row per line).
typedef std::vector<std::vector<double>> Table;
Table readTable(const std::string& path);

// Root mean squared difference, and largest absolute difference, of two
// tables of equal shape after the best matching of their columns (the
// population labels of an unsupervised run are arbitrary).
double matchedRmse(const Table& est, const Table& truth);
double matchedMaxDiff(const Table& a, const Table& b);

// Path of a shipped fixture under tests/data.
std::string testData(const std::string& name);

// ---- Comparing a whole run with outputs pinned beforehand ----------------

// The console text with its times masked, as scripts/compare-builds.sh
// masks them: the value after "Elapsed: " becomes "T", and so do the
// seconds of "(... sec)".
std::string maskTimes(const std::string& text);

// What a console line may differ by beyond its times. Nothing by default:
// a run compared with pinned outputs of the same options and thread count
// prints the same text.
struct NumberTolerance {
  // The number after "(delta):" of a status line may differ by this much:
  // runs on different thread counts group the log-likelihood's products
  // differently, and a delta of two close log-likelihoods shows their last
  // bits.
  double deltaAbsolute = 0;
};

// The lines in which an actual console text departs from the expected one,
// each described as "line N: expected '...', got '...'" (times masked).
// Both texts count from their "Random seed:" line on (the banner and the
// thread line before it are not compared); every line must match exactly
// once the times are masked, but for what tol allows.
std::vector<std::string> consoleDifferences(const std::string& expected, const std::string& actual,
                                            const NumberTolerance& tol = NumberTolerance());

// The ways in which the files of runDir differ from those of expectedDir
// (its status.txt and stdout.txt aside, which describe the run rather
// than being written by it): a file missing, a file that should not be
// there, or a file whose bytes differ, described by its first differing
// line and the count of such lines.
std::vector<std::string> resultFileDifferences(const std::string& expectedDir, const std::string& runDir);

// The first `shown` differences, one a line, and how many there were: a
// failure message that explains itself.
std::string describeDifferences(const std::vector<std::string>& differences, size_t shown = 8);

#endif
