#include "utils.h"

#include <omp.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <new>
#include <sstream>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

#include "feasible.h"
#include "options.h"

// ---- Run state -------------------------------------------------------------

#define KELVANORE_DEFINE_RUN_STATE(kind, type, name, initial) type name = initial;
KELVANORE_RUN_STATE(KELVANORE_DEFINE_RUN_STATE)
#undef KELVANORE_DEFINE_RUN_STATE

const std::string ALLCHRS_PROXY = "ALL_CHROMOSOMES";

namespace {

// The simplex redraw keeps every component >= kFeasibleLow; a uniform point meets
// that with probability (1 - K * 1e-5)^(K - 1), about 0.08 at K = 500 and
// 4e-5 at K = 1000, so beyond this the redraw would not end in useful time.
constexpr int kMaxRandomK = 500;

// Generator constants: xorshift triple, output multiplier, seeding constant.
constexpr uint64_t kOutputMultiplier = 2685821657736338717ULL;
constexpr uint64_t kSeedConstant = 4101842887655102017ULL;
constexpr double kTwoToMinus64 = 0x1p-64;

uint64_t rng = 0;
bool rngSeeded = false;

inline uint64_t xorshiftStep(uint64_t v) {
  v ^= v >> 21;
  v ^= v << 35;
  v ^= v >> 4;
  return v;
}

// One uniform draw's raw output: advance the state, return it multiplied.
inline uint64_t nextOutput() {
  // Drawing from an unseeded generator is a bug of the caller: the run seeds
  // inside the option parser before anything draws.
  if (!rngSeeded) ShouldNotReachHere();
  rng = xorshiftStep(rng);
  return rng * kOutputMultiplier;
}

// A uniform strictly below 1.0, for the index draws.
inline double randUnifBelowOne() {
  double u;
  do {
    u = randUnif();
  } while (u == 1.0);
  return u;
}

// The out-of-memory stop's line for the allocations under way, formatted
// when their AllocationName was made (on the main thread), so that the
// handler itself needs no memory; null outside every AllocationName.
std::atomic<const std::string*> allocationLine{nullptr};

// Set by the first thread that stops the run from any thread (out of memory,
// or a programming error in a worker thread); that one ends it.
std::atomic_flag stoppingFromAnyThread = ATOMIC_FLAG_INIT;

void writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

// May run on any thread, several at once, with other threads still working:
// it allocates nothing, unwinds nothing and runs no exit handlers (which
// would destroy what the other threads use), and returns never. text ends
// with its line end, unless lineEnd adds one.
[[noreturn]] void stopOnce(const char* text, size_t length, bool lineEnd) {
  if (stoppingFromAnyThread.test_and_set()) {
    // Another thread is ending the run: its _Exit ends this one too.
    for (;;) pause();
  }
  // Console lines are flushed at each line end; a part line still in
  // standard output's buffer (std::cout writes through to it) goes first,
  // unless another thread holds the stream.
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  writeAll(STDOUT_FILENO, text, length);
  if (lineEnd) writeAll(STDOUT_FILENO, "\n", 1);
  std::_Exit(kExitError);
}

}  // namespace

// ---- Stops -----------------------------------------------------------------

void stopAfterOutput(int status) {
  // The one exit of every stop: whatever the run wrote reaches the console
  // before the process ends.
  std::cout.flush();
  std::cerr.flush();
  std::exit(status);
}

void stopWithMessage(const std::string& message, int status) {
  std::cout << message << '\n';
  stopAfterOutput(status);
}

void stopWithError(const std::string& message, int status) {
  // Lines already on standard output come first, as on a terminal.
  std::cout.flush();
  std::cerr << message << '\n';
  stopAfterOutput(status);
}

void Unimplemented() { stopWithMessage("Unimplemented()"); }

void ShouldNotReachHere() { stopWithMessage("ShouldNotReachHere()"); }

void stopOutOfMemory(const std::string& what) {
  stopWithMessage("Out of memory: cannot allocate " + what);
}

void stopFromAnyThread(const char* line) { stopOnce(line, std::strlen(line), true); }

// ---- Memory --------------------------------------------------------------------

void installOutOfMemoryStop() { std::set_new_handler(stopOutOfMemoryFromAnyThread); }

void stopOutOfMemoryFromAnyThread() {
  static const char kGeneralLine[] = "Out of memory: the run needs more memory than the system can give\n";
  const std::string* line = allocationLine.load();
  if (line != nullptr) stopOnce(line->data(), line->size(), false);
  stopOnce(kGeneralLine, sizeof kGeneralLine - 1, false);
}

AllocationName::AllocationName(const std::string& what)
    : line_("Out of memory: cannot allocate " + what + "\n"), enclosing_(allocationLine.load()) {
  allocationLine.store(&line_);
}

AllocationName::~AllocationName() { allocationLine.store(enclosing_); }

namespace {

// Blocks until the probe's creator lets go, so that all of its threads hold
// their stacks at once.
void* holdUntilReleased(void* gate) {
  std::lock_guard<std::mutex> wait(*static_cast<std::mutex*>(gate));
  return nullptr;
}

// Whether threads - 1 threads (the team besides the calling thread) can run
// at once with the default attributes, which the OpenMP runtime uses too
// unless its stack size variables set others.
bool threadsCanStart(int threads) {
  std::mutex gate;
  gate.lock();
  std::vector<pthread_t> started;
  bool ok = true;
  for (int t = 1; t < threads && ok; ++t) {
    pthread_t id;
    ok = pthread_create(&id, nullptr, holdUntilReleased, &gate) == 0;
    if (ok) started.push_back(id);
  }
  gate.unlock();
  for (pthread_t id : started) pthread_join(id, nullptr);
  return ok;
}

}  // namespace

void reserveThreads(const sigset_t& heldInWorkers) {
  const int threads = omp_get_max_threads();
  if (threads > 1 && std::getenv("OMP_STACKSIZE") == nullptr && std::getenv("GOMP_STACKSIZE") == nullptr &&
      !threadsCanStart(threads))
    stopOutOfMemory("the stacks of " + std::to_string(threads) + " threads");
  // The runtime keeps a team's threads for the later regions of the same
  // size, so none is created after this one. The body is a call that the
  // compiler cannot see through: an empty region is compiled away, and the
  // team would then start only in the first step, after the data took the
  // memory. The workers take the caller's signal mask when they are made;
  // blocking here too keeps them so whatever the caller holds.
#pragma omp parallel num_threads(threads)
  {
    if (omp_get_thread_num() != 0) pthread_sigmask(SIG_BLOCK, &heldInWorkers, nullptr);
  }
}

DMatrix* copyMatrix(const DMatrix& M, const std::string& what) {
  const AllocationName name(what);
  return new DMatrix(M);
}

// ---- 32-bit platform layer ---------------------------------------------------

int32_t strtol32(const char* text, char** end) {
  // strtoll's range holds the 32-bit one: clamping its result gives the
  // saturation of a 32-bit long, and its own range errors lie outside it.
  const long long v = std::strtoll(text, end, 10);
  if (v > INT32_MAX) {
    errno = ERANGE;
    return INT32_MAX;
  }
  if (v < INT32_MIN) {
    errno = ERANGE;
    return INT32_MIN;
  }
  return static_cast<int32_t>(v);
}

std::string posixBasename(const std::string& path) {
  if (path.empty()) return ".";
  size_t last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";  // only slashes
  size_t slash = path.find_last_of('/', last);
  size_t first = (slash == std::string::npos) ? 0 : slash + 1;
  return path.substr(first, last - first + 1);
}

// ---- Random generator --------------------------------------------------------

void seedRand(unsigned int seed) {
  uint64_t v = kSeedConstant ^ static_cast<uint64_t>(static_cast<uint32_t>(seed));
  rng = xorshiftStep(v) * kOutputMultiplier;
  rngSeeded = true;
}

uint64_t randState() { return rng; }

void setRandState(uint64_t state) {
  rng = state;
  rngSeeded = true;
}

double randUnif() {
  // The conversion rounds to nearest, so outputs within 1024 of 2^64 give
  // exactly 1.0; the callers that need a value below 1 draw again.
  return static_cast<double>(nextOutput()) * kTwoToMinus64;
}

void randShuffle(std::vector<int>& x) {
  const size_t n = x.size();
  for (size_t i = 0; i < n; ++i) {
    const double u = randUnifBelowOne();
    const size_t j = i + static_cast<size_t>(u * static_cast<double>(n - i));
    if (j != i) std::swap(x[i], x[j]);
  }
}

int randInt(int a, int b) {
  const double u = randUnifBelowOne();
  // The width in double: b - a + 1 overflows int for the widest ranges.
  return static_cast<int>(u * (static_cast<double>(b) - a + 1.0) + a);
}

double randExp(double rate) { return -std::log(randUnif()) / rate; }

int randBernoulli(double p) { return p > randUnif() ? 1 : 0; }

// Always two trials: the count is not read, and nothing in the run draws
// binomials, so the established draw sequence is kept as it is.
int randBinom(int /*n*/, double p) {
  int successes = 0;
  for (int t = 0; t < 2; ++t)
    if (p > randUnif()) ++successes;
  return successes;
}

void randUnifOnSimplex(DVector& v, int K_) {
  if (K_ < 1) return;
  double s = 0.0;
  for (int k = 0; k < K_; ++k) {
    v[k] = -std::log(randUnif());
    s += v[k];
  }
  for (int k = 0; k < K_; ++k) v[k] /= s;
}

int randDraw(const std::vector<double>& p) {
  if (p.empty()) ShouldNotReachHere();
  std::vector<double> c(p.size());
  double sum = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    sum += p[i];
    c[i] = sum;
  }
  // The last index takes whatever mass the weights leave below 1.
  c.back() = 1.0;
  const double u = randUnif();
  for (size_t i = 0; i < c.size(); ++i)
    if (c[i] >= u) return static_cast<int>(i);
  ShouldNotReachHere();
}

// ---- Numeric helpers ---------------------------------------------------------

void matrix_to_vector(const DMatrix& M, DVector& v) {
  const size_t cols = M.size2();
  for (size_t r = 0; r < M.size1(); ++r)
    for (size_t c = 0; c < cols; ++c) v[r * cols + c] = M(r, c);
}

void vector_to_matrix(const DVector& v, DMatrix& M) {
  const size_t cols = M.size2();
  for (size_t r = 0; r < M.size1(); ++r)
    for (size_t c = 0; c < cols; ++c) M(r, c) = v[r * cols + c];
}

void matrix_to_vector_range(const DMatrix& M, DVector& v, const Range& g) {
  const size_t count = std::min(g.size(), M.size1() * M.size2());
  const size_t cols = M.size2();
  for (size_t f = 0; f < count; ++f) v[g.start() + f] = M(f / cols, f % cols);
}

void vector_range_to_matrix(const DVector& v, DMatrix& M, const Range& g) {
  const size_t count = std::min(g.size(), M.size1() * M.size2());
  const size_t cols = M.size2();
  for (size_t f = 0; f < count; ++f) M(f / cols, f % cols) = v[g.start() + f];
}

double mean(const DVector& x) {
  double s = 0.0;
  for (size_t i = 0; i < x.size(); ++i) s += x[i];
  return s / static_cast<double>(x.size());
}

double stddev(const DVector& x) {
  // Welford's update: no cancellation between a large sum and its square.
  double m = 0.0, S = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - m;
    m += d / static_cast<double>(i + 1);
    S += d * (x[i] - m);
  }
  return std::sqrt(S / (static_cast<double>(x.size()) - 1.0));
}

double rmse(const DMatrix& A, const DMatrix& B) {
  double s = 0.0;
  for (size_t r = 0; r < A.size1(); ++r)
    for (size_t c = 0; c < A.size2(); ++c) {
      const double d = A(r, c) - B(r, c);
      s += d * d;
    }
  return std::sqrt(s / static_cast<double>(A.size1() * A.size2()));
}

std::string to_string(int value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

namespace {

int64_t nowMicros() {
  using namespace boost::posix_time;
  static const ptime epoch(boost::gregorian::date(1970, 1, 1));
  return (microsec_clock::local_time() - epoch).total_microseconds();
}

}  // namespace

void Timer::start() { startMicros_ = nowMicros(); }

double Timer::stop() const {
  const int64_t elapsed = nowMicros() - startMicros_;
  // Whole milliseconds, truncated toward zero.
  return static_cast<double>(elapsed / 1000) / 1000.0;
}

// ---- Data checks and starting values -----------------------------------------

void preprocessData() {
  const size_t rows = static_cast<size_t>(I < 0 ? 0 : I);
  const size_t cols = static_cast<size_t>(L < 0 ? 0 : L);
  const unsigned char* g = (rows > 0 && cols > 0) ? &N->data()[0] : nullptr;

  for (size_t l = 0; l < cols; ++l) {
    size_t i = 0;
    while (i < rows && g[i + rows * l] == kMissing) ++i;
    if (i == rows) {
      std::cout << "Error: detected that all genotypes are missing for a SNP locus." << std::endl;
      stopWithMessage("Please apply quality-control filters to remove such loci.");
    }
  }
  for (size_t i = 0; i < rows; ++i) {
    size_t l = 0;
    while (l < cols && g[i + rows * l] == kMissing) ++l;
    if (l == cols) {
      std::cout << "Error: detected that all genotypes are missing for an individual." << std::endl;
      stopWithMessage("Please apply quality-control filters to remove such individuals.");
    }
  }

  {
    const AllocationName name("the monomorphic SNP table");
    monomorphics = new BVector(cols);
  }
  buildMonomorphicsTable(*N, *monomorphics);
}

void buildMonomorphicsTable(const GMatrix& G, BVector& table) {
  const size_t rows = G.size1();
  const size_t cols = G.size2();
  // Writing past the table would corrupt the heap; its callers size it.
  if (table.size() < cols) ShouldNotReachHere();
  const unsigned char* g = (rows > 0 && cols > 0) ? &G.data()[0] : nullptr;
  for (size_t j = 0; j < cols; ++j) {
    const unsigned char* col = g + rows * j;
    bool all2 = true, all0 = true;
    for (size_t i = 0; i < rows && (all2 || all0); ++i) {
      all2 = all2 && col[i] == 2;
      all0 = all0 && col[i] == 0;
    }
    // A column of no rows is all 2s first: the empty lists compare equal.
    table[j] = all2 ? 1 : (all0 ? 0 : 255);
  }
}

bool isMonomorphic(int l) { return (*monomorphics)[l] != 255; }

bool areEqual(const BVector& a, const BVector& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

double safeRandUnif(double eps) {
  double u;
  do {
    u = randUnif();
  } while (u < eps || u > 1.0 - eps);
  return u;
}

void safeRandUnifOnSimplex(DVector& x, int K_, double eps) {
  if (K_ < 1) return;
  bool ok;
  do {
    double s = 0.0;
    for (int k = 0; k < K_; ++k) {
      x[k] = -std::log(randUnif());
      s += x[k];
    }
    ok = true;
    for (int k = 0; k < K_; ++k) {
      x[k] /= s;
      if (x[k] < eps) ok = false;
    }
  } while (!ok);
}

bool initializeQP() {
  bool drew = false;

  if (Qt == nullptr) {
    const bool haveRefs = Options::supervised && reference_pop != nullptr;
    bool anyDrawn = false;
    for (int i = 0; i < I && !anyDrawn; ++i)
      anyDrawn = !(haveRefs && reference_pop[i] >= 0);
    if (anyDrawn && K > kMaxRandomK)
      stopWithMessage("K is too large for random starting values (at most 500 populations)");

    {
      const AllocationName name("the starting Q matrix");
      Qt_old = new DMatrix(K, I);
    }
    DVector column(K);
    for (int i = 0; i < I; ++i) {
      if (haveRefs && reference_pop[i] >= 0) {
        const int r = reference_pop[i];
        for (int k = 0; k < K; ++k) (*Qt_old)(k, i) = kFeasibleLow;
        (*Qt_old)(r, i) = 1.0 - (K - 1) * kFeasibleLow;
      } else {
        safeRandUnifOnSimplex(column, K, kFeasibleLow);
        for (int k = 0; k < K; ++k) (*Qt_old)(k, i) = column[k];
        drew = true;
      }
    }
    Qt = copyMatrix(*Qt_old, "the starting Q matrix");
  }

  if (P == nullptr) {
    {
      const AllocationName name("the starting P matrix");
      P_old = new DMatrix(K, L);
    }
    for (int k = 0; k < K; ++k)
      for (int l = 0; l < L; ++l) {
        double u;
        do {
          u = randUnif();
        } while (u < kFeasibleLow || u > kFeasibleHigh);
        (*P_old)(k, l) = u;
      }
    P = copyMatrix(*P_old, "the starting P matrix");
    drew = true;
  }

  return drew;
}

// ---- Fst divergences -----------------------------------------------------------

namespace {

// The K x K table of Fst between every two populations, each SNP's Fst
// weighted by pbar (1 - pbar) or, unweighted, by 1 (the plain mean: a sum of
// ones counts L exactly).
DMatrix* fstTable(const DMatrix& P_, bool weighted) {
  const size_t K_ = P_.size1();
  const size_t L_ = P_.size2();
  DMatrix* F = new DMatrix(K_, K_);
  for (size_t a = 0; a < K_; ++a)
    for (size_t b = 0; b < K_; ++b) {
      double num = 0.0, den = 0.0;
      for (size_t l = 0; l < L_; ++l) {
        const double pa = P_(a, l), pb = P_(b, l);
        const double pbar = (pa + pb) * 0.5;
        const double fst = (pa - pb) * (pa - pb) / (2.0 * (pbar - pa * pb));
        const double w = weighted ? pbar * (1.0 - pbar) : 1.0;
        num += w * fst;
        den += w;
      }
      (*F)(a, b) = num / den;
    }
  return F;
}

}  // namespace

DMatrix* calculate_Fsts_weighted(const DMatrix& P_) { return fstTable(P_, true); }

DMatrix* calculate_Fsts_unweighted(const DMatrix& P_) { return fstTable(P_, false); }

void print_Fst_matrix() {
  if (K <= 1 || P == nullptr) return;
  DMatrix* F = calculate_Fsts_weighted(*P);
  // Left in force on purpose: later console lines print in this format.
  std::cout << std::fixed << std::setprecision(3);
  std::cout << "Fst divergences between estimated populations: " << std::endl;
  std::cout << "\t";
  for (int j = 0; j < K - 1; ++j) std::cout << "Pop" << j << "\t";
  std::cout << std::endl;
  for (int r = 0; r < K; ++r) {
    std::cout << "Pop" << r << "\t";
    for (int c = 0; c < r; ++c) std::cout << (*F)(r, c) << "\t";
    std::cout << std::endl;
  }
  delete F;
}

// ---- Penalty weight list -------------------------------------------------------

std::vector<double> readList(std::string text) {
  // Blank only: a tab is part of a token, not a separator.
  boost::char_separator<char> separators("[], ");
  boost::tokenizer<boost::char_separator<char>> tokens(text, separators);
  std::vector<double> values;
  for (const std::string& token : tokens) {
    double value;
    if (!boost::conversion::try_lexical_convert(token, value))
      stopWithMessage("Invalid penalty weight: " + token);
    values.push_back(value);
  }
  return values;
}
