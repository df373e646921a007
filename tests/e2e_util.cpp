#include "e2e_util.h"

#include "dir_util.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numeric>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

// A status as a shell gives it: the exit status, or 128 + the signal.
int statusFrom(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
}

std::string slurpFd(int fd) {
  std::string s;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  return s;
}

// Output goes to unlinked temporary files rather than pipes, so that a
// chatty child can never block on a full pipe while we wait for it.
struct Capture {
  int outFd;
  int errFd;
  Capture() {
    char outName[] = "/tmp/kelvanore-out-XXXXXX";
    char errName[] = "/tmp/kelvanore-err-XXXXXX";
    outFd = mkstemp(outName);
    errFd = mkstemp(errName);
    if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
    unlink(outName);
    unlink(errName);
  }
  // In the child: standard output and error go to the capture files.
  void redirect() const {
    dup2(outFd, 1);
    dup2(errFd, 2);
  }
  // In the parent: waits for the child and collects what it wrote.
  RunResult collect(pid_t pid) { return collectEnded(statusOf(pid)); }
  // The same for a child already waited for, which ended with status.
  RunResult collectEnded(int status) {
    RunResult r;
    r.status = status;
    lseek(outFd, 0, SEEK_SET);
    lseek(errFd, 0, SEEK_SET);
    r.out = slurpFd(outFd);
    r.err = slurpFd(errFd);
    close(outFd);
    close(errFd);
    return r;
  }
};

}  // namespace

RunResult runKelvanore(const std::vector<std::string>& args, const std::string& cwd,
                       int timeoutSeconds) {
  return runKelvanoreWithEnvironment(args, {}, cwd, timeoutSeconds);
}

RunResult runKelvanoreWithEnvironment(const std::vector<std::string>& args,
                                      const std::vector<std::string>& environment, const std::string& cwd,
                                      int timeoutSeconds) {
  StartedRun run(args, environment, cwd, timeoutSeconds);
  return run.finish();
}

std::vector<std::string> withFileSystemShim(std::vector<std::string> environment) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  environment.push_back(std::string("LD_PRELOAD=") + KELVANORE_FS_SHIM);
  environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                        "verify_asan_link_order=0");
  return environment;
}

struct StartedRun::Output {
  Capture capture;
  bool ended = false;  // waited for by ended()
  int status = -1;     // then its status
};

StartedRun::StartedRun(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                       const std::string& cwd, int timeoutSeconds, const std::vector<ResourceLimit>& limits)
    : output_(new Output) {
  std::vector<std::string> argvStore;
  argvStore.push_back(KELVANORE_BIN);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The child's environment is made here, before the fork: the child of a
  // process with threads may only call async-signal-safe functions.
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const std::string& change : environment) replaced = replaced || nameOf(change) == nameOf(entry);
    if (!replaced) envStore.push_back(entry);
  }
  for (const std::string& change : environment)
    if (change.find('=') != std::string::npos) envStore.push_back(change);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    output_->capture.redirect();
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    for (const ResourceLimit& limit : limits) {
      rlimit value;
      value.rlim_cur = value.rlim_max = static_cast<rlim_t>(limit.value);
      if (setrlimit(limit.resource, &value) != 0) _exit(127);
    }
    alarm(static_cast<unsigned>(timeoutSeconds));
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

StartedRun::~StartedRun() {
  if (!finished_) finish();
}

bool StartedRun::ended() {
  if (finished_ || output_->ended) return true;
  int wstatus = 0;
  if (waitpid(pid_, &wstatus, WNOHANG) != pid_) return false;
  output_->ended = true;
  output_->status = statusFrom(wstatus);
  return true;
}

RunResult StartedRun::finish() {
  finished_ = true;
  if (output_->ended) return output_->capture.collectEnded(output_->status);
  return output_->capture.collect(pid_);
}

RunResult runKelvanoreWithLimits(const std::vector<std::string>& args, const std::vector<ResourceLimit>& limits,
                                 const std::string& cwd, const std::vector<std::string>& environment,
                                 int timeoutSeconds) {
  StartedRun run(args, environment, cwd, timeoutSeconds, limits);
  return run.finish();
}

RunResult runInChild(const std::function<void()>& body, int timeoutSeconds) {
  Capture capture;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    capture.redirect();
    alarm(static_cast<unsigned>(timeoutSeconds));
    body();
    fflush(stdout);
    fflush(stderr);
    std::cout.flush();
    std::cerr.flush();
    _exit(0);
  }
  return capture.collect(pid);
}

void limitThisProcess(int resource, uint64_t value) {
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
  if (setrlimit(resource, &limit) != 0) _exit(3);
}

uint64_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

bool waitFor(const std::function<bool()>& condition, int seconds) {
  for (int waited = 0; waited < 1000 * seconds; ++waited) {
    if (condition()) return true;
    usleep(1000);
  }
  return false;
}

int statusOf(pid_t pid) {
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) continue;
  return statusFrom(wstatus);
}

TempDir::TempDir() {
  char name[] = "/tmp/kelvanore-test-XXXXXX";
  if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  // Restore write permission first: some tests make the directory read-only.
  chmod(path_.c_str(), 0700);
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void copyFile(const std::string& from, const std::string& to) { writeFile(to, readFile(from)); }

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::string lastLine(const std::string& text) {
  const std::vector<std::string> lines = splitLines(text);
  return lines.empty() ? std::string() : lines.back();
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(text))
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  return found;
}

int lineIndex(const std::vector<std::string>& lines, const std::string& text, bool prefix) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (prefix ? lines[i].compare(0, text.size(), text) == 0 : lines[i] == text) return static_cast<int>(i);
  return -1;
}

std::string testData(const std::string& name) { return std::string(KELVANORE_TEST_DATA) + "/" + name; }

Table readTable(const std::string& path) {
  Table t;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<double> row;
    double v;
    while (ls >> v) row.push_back(v);
    t.push_back(row);
  }
  return t;
}

namespace {

// The smallest value of measure(a, b, perm) over the permutations of the
// columns of b.
template <typename Measure>
double bestOverPermutations(const Table& a, const Table& b, Measure measure) {
  const size_t k = b.at(0).size();
  std::vector<size_t> perm(k);
  std::iota(perm.begin(), perm.end(), 0);
  double best = INFINITY;
  do {
    best = std::min(best, measure(a, b, perm));
  } while (std::next_permutation(perm.begin(), perm.end()));
  return best;
}

}  // namespace

double matchedRmse(const Table& est, const Table& truth) {
  return bestOverPermutations(est, truth, [](const Table& a, const Table& b, const std::vector<size_t>& perm) {
    double s = 0;
    for (size_t i = 0; i < b.size(); ++i)
      for (size_t c = 0; c < perm.size(); ++c) s += std::pow(a[i][perm[c]] - b[i][c], 2);
    return std::sqrt(s / static_cast<double>(b.size() * perm.size()));
  });
}

double matchedMaxDiff(const Table& a, const Table& b) {
  return bestOverPermutations(a, b, [](const Table& x, const Table& y, const std::vector<size_t>& perm) {
    double worst = 0;
    for (size_t i = 0; i < y.size(); ++i)
      for (size_t c = 0; c < perm.size(); ++c) worst = std::max(worst, std::fabs(x[i][perm[c]] - y[i][c]));
    return worst;
  });
}

namespace {

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The lines from the first one that starts with "Random seed:" on (all of
// them when there is none): what comes before depends on the build and
// the thread count, not on the analysis.
std::vector<std::string> fromSeedLine(const std::string& text) {
  std::vector<std::string> lines = splitLines(text);
  for (size_t i = 0; i < lines.size(); ++i)
    if (startsWith(lines[i], "Random seed:")) return std::vector<std::string>(lines.begin() + i, lines.end());
  return lines;
}

// Maximal runs of blanks and of other characters, in order, so that the
// blanks between fields are compared too.
std::vector<std::string> tokens(const std::string& line) {
  std::vector<std::string> t;
  for (char c : line) {
    if (t.empty() || isBlank(t.back()[0]) != isBlank(c)) t.emplace_back();
    t.back() += c;
  }
  return t;
}

// Two texts of a status line's delta agree: the same text, or two numbers
// no further apart than allowed.
bool deltasAgree(const std::string& a, const std::string& b, double allowed) {
  if (a == b) return true;
  char* endA = nullptr;
  char* endB = nullptr;
  const double x = std::strtod(a.c_str(), &endA), y = std::strtod(b.c_str(), &endB);
  if (a.empty() || b.empty() || *endA != '\0' || *endB != '\0') return false;
  return std::fabs(x - y) <= allowed;  // false for a NaN
}

bool linesAgree(const std::string& expected, const std::string& actual, const NumberTolerance& tol) {
  if (expected == actual) return true;
  if (tol.deltaAbsolute == 0) return false;
  // Only the number after "(delta):" may differ, and only by the allowance.
  const std::vector<std::string> e = tokens(expected), a = tokens(actual);
  if (e.size() != a.size()) return false;
  std::string previous;  // the expected line's last field before this token
  for (size_t i = 0; i < e.size(); ++i) {
    const bool delta = previous == "(delta):";
    if (!isBlank(e[i][0])) previous = e[i];
    if (e[i] == a[i]) continue;
    if (!delta || !deltasAgree(e[i], a[i], tol.deltaAbsolute)) return false;
  }
  return true;
}

std::string lineDifference(size_t number, const std::string& expected, const std::string& actual) {
  return "line " + std::to_string(number) + ": expected '" + expected + "', got '" + actual + "'";
}

}  // namespace

std::string maskTimes(const std::string& text) {
  // As scripts/compare-builds.sh masks them: the first of each per line.
  static const std::regex elapsed("Elapsed: [0-9.]+");
  static const std::regex seconds("\\(([0-9.e+-]+) sec\\)");
  std::string out;
  for (const std::string& line : splitLines(text)) {
    std::string masked = std::regex_replace(line, elapsed, "Elapsed: T", std::regex_constants::format_first_only);
    masked = std::regex_replace(masked, seconds, "(T sec)", std::regex_constants::format_first_only);
    out += masked + "\n";
  }
  // A text without its last line feed keeps it missing.
  if (!text.empty() && text.back() != '\n' && !out.empty()) out.pop_back();
  return out;
}

std::vector<std::string> consoleDifferences(const std::string& expected, const std::string& actual,
                                            const NumberTolerance& tol) {
  const std::vector<std::string> e = fromSeedLine(maskTimes(expected)), a = fromSeedLine(maskTimes(actual));
  const std::string none = "(no line)";
  std::vector<std::string> differences;
  for (size_t i = 0; i < std::max(e.size(), a.size()); ++i) {
    const bool both = i < e.size() && i < a.size();
    if (!both || !linesAgree(e[i], a[i], tol))
      differences.push_back(lineDifference(i + 1, i < e.size() ? e[i] : none, i < a.size() ? a[i] : none));
  }
  // A run cut short in the middle of a line leaves it without its line feed.
  const bool endE = !expected.empty() && expected.back() == '\n';
  const bool endA = !actual.empty() && actual.back() == '\n';
  if (endE != endA)
    differences.push_back(endE ? "the output does not end with a line feed" : "the output ends with a line feed");
  return differences;
}

std::vector<std::string> resultFileDifferences(const std::string& expectedDir, const std::string& runDir) {
  std::vector<std::string> expectedNames;
  for (const std::string& name : namesIn(expectedDir))
    if (name != "status.txt" && name != "stdout.txt") expectedNames.push_back(name);
  const std::vector<std::string> runNames = namesIn(runDir);

  std::vector<std::string> differences;
  for (const std::string& name : expectedNames)
    if (!std::binary_search(runNames.begin(), runNames.end(), name)) differences.push_back("missing file " + name);
  for (const std::string& name : runNames)
    if (!std::binary_search(expectedNames.begin(), expectedNames.end(), name))
      differences.push_back("unexpected file " + name);

  for (const std::string& name : expectedNames) {
    if (!std::binary_search(runNames.begin(), runNames.end(), name)) continue;
    const std::string e = readFile(expectedDir + "/" + name), a = readFile(runDir + "/" + name);
    if (e == a) continue;
    const std::vector<std::string> el = splitLines(e), al = splitLines(a);
    if (el.size() != al.size())
      differences.push_back(name + ": " + std::to_string(al.size()) + " lines, expected " + std::to_string(el.size()));
    size_t bad = 0;
    std::string first;
    for (size_t i = 0; i < std::min(el.size(), al.size()); ++i)
      if (el[i] != al[i] && bad++ == 0) first = lineDifference(i + 1, el[i], al[i]);
    if (bad > 0)
      differences.push_back(name + ": " + std::to_string(bad) + " lines differ, first " + first);
    else if (el.size() == al.size())
      differences.push_back(name + ": the files differ outside their lines (line ends)");
  }
  return differences;
}

std::string describeDifferences(const std::vector<std::string>& differences, size_t shown) {
  std::string text;
  for (size_t i = 0; i < differences.size() && i < shown; ++i) text += differences[i] + "\n";
  return text + std::to_string(differences.size()) + " differences";
}
