#include "e2e_util.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <numeric>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

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
  RunResult collect(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    RunResult r;
    if (WIFEXITED(wstatus))
      r.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
      r.status = 128 + WTERMSIG(wstatus);
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
  Capture capture;

  std::vector<std::string> argvStore;
  argvStore.push_back(KELVANORE_BIN);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    capture.redirect();
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    alarm(static_cast<unsigned>(timeoutSeconds));
    execv(argv[0], argv.data());
    _exit(127);
  }
  return capture.collect(pid);
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
