// utils: the shared run state, the dataset records, the random generator,
// the data checks and starting values, small numeric helpers, the timer, the
// stops that end a run, the 32-bit platform layer, the Fst table and the
// penalty weight list.
//
// Run state: every process-wide variable is declared here and defined in
// utils.cpp. Matrices are heap objects reached through pointers that stay
// null until their creator runs; they live until the process ends, but for
// Qt_se and Qt_bias, which each pass with a bootstrap replaces.
#ifndef KELVANORE_UTILS_H
#define KELVANORE_UTILS_H

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include <boost/numeric/ublas/matrix.hpp>
#include <boost/numeric/ublas/vector.hpp>

namespace ublas = boost::numeric::ublas;

// Dense numeric storage. Column-major throughout, so one SNP's genotypes (a
// column of the genotype matrix) and one SNP's K frequencies (a column of P)
// are contiguous.
typedef ublas::matrix<double, ublas::column_major> DMatrix;
typedef ublas::matrix<unsigned char, ublas::column_major> GMatrix;
typedef ublas::vector<double> DVector;
typedef ublas::vector<unsigned char> BVector;
typedef ublas::range Range;

// Exit statuses: kExitOk after the help and version texts, kExitError for
// every refusal and failure.
constexpr int kExitOk = 0;
constexpr int kExitError = 255;

// Genotype code of a missing call.
constexpr unsigned char kMissing = 9;

// One SNP of the data set.
struct SNPInfo {
  int32_t chromosome = 0;
  std::string name;
  double geneticPosition = 0.0;  // .bim value / 100, .map value as read
  int64_t position = 0;          // base-pair position
  int64_t fileIndex = 0;         // 0-based record number in the .bim (0 for PED input)
  bool haploid = false;          // on a chromosome declared haploid

  // Genome order: chromosome, then position. Strict; other fields play no part.
  bool operator<(const SNPInfo& other) const {
    return chromosome < other.chromosome ||
           (chromosome == other.chromosome && position < other.position);
  }
};

// One individual of the data set.
struct IndInfo {
  bool haploid = false;  // its sex code is one of haploid_sexes
};

// The description of one data set: rows and columns of its genotype matrix.
struct DatasetMetadata {
  std::vector<IndInfo> indInfo;  // one per individual, genotype-matrix row order
  std::vector<SNPInfo> snpInfo;  // one per SNP, genotype-matrix column order
};

// ---- Run state -------------------------------------------------------------
//
// One entry per process-wide variable: its kind, type, name and initial
// value, then what it holds and who writes it. The kind says who frees what
// it holds: `value` (nothing to free), `owned` (a heap object, delete) or
// `owned_array` (a heap array, delete[]). The list gives the declarations
// below, the definitions in utils.cpp and the tests' save and restore of
// the whole state (tests/run_state_guard.h), so none of them can miss a
// variable.
#define KELVANORE_RUN_STATE(X)                                                                                  \
  X(value, int, I, 0) /* individuals (rows of N); set by the genotype reader */                                 \
  X(value, int, L, 0) /* SNPs (columns of N); set by the genotype reader */                                     \
  X(value, int, K, 0) /* ancestral populations; set by Options::parseOptions */                                 \
  X(value, double, currentLoglike, 0.0) /* log-likelihood of the last point estimate; main */                   \
  X(value, double, currentObj, 0.0)     /* objective of the last point estimate; main */                        \
  X(value, double, cvIndex, 0.0)        /* last cross-validation error; compute_crossvalidation_index */        \
  /* I x L genotypes 0/1/2, 9 missing; genotype reader; never changed after */                                  \
  X(owned, GMatrix*, N, nullptr)                                                                                \
  /* K x I current ancestry fractions; readInputFiles or initializeQP, then every estimation */                 \
  X(owned, DMatrix*, Qt, nullptr)                                                                               \
  /* K x I starting point of the next estimation; with Qt, then main */                                         \
  X(owned, DMatrix*, Qt_old, nullptr)                                                                           \
  /* K x L current allele frequencies; readInputFiles or initializeQP, then every estimation */                 \
  X(owned, DMatrix*, P, nullptr)                                                                                \
  /* K x L starting point of the next estimation; with P, then main */                                          \
  X(owned, DMatrix*, P_old, nullptr)                                                                            \
  /* L entries: 1 all 2s, 0 all 0s, 255 otherwise; preprocessData, rebuilt by the analyses */                   \
  X(owned, BVector*, monomorphics, nullptr)                                                                     \
  /* I entries: population index or -1; readPopFile (supervised only) */                                        \
  X(owned_array, int*, reference_pop, nullptr)                                                                  \
  X(owned, DMatrix*, Qt_truth, nullptr) /* true Q as read (transposed like Qt); readInputFiles when it exists */ \
  X(owned, DMatrix*, P_truth, nullptr)  /* true P as read; readInputFiles when the file exists */                \
  X(owned, DMatrix*, Qt_se, nullptr)    /* K x I bootstrap standard errors; main, filled by the bootstrap */     \
  X(owned, DMatrix*, Qt_bias, nullptr)  /* K x I bootstrap biases; main, filled by the bootstrap */              \
  X(value, bool, haploidModeEnabled, false) /* haploid option given; Options::parseOptions */                   \
  /* sex codes haploid at haploid SNPs; Options::parseOptions */                                                \
  X(value, std::vector<int>, haploid_sexes, {})                                                                 \
  /* haploid chromosome tokens, or ALLCHRS_PROXY first; Options::parseOptions */                                \
  X(value, std::vector<std::string>, haploid_chrs, {})

#define KELVANORE_DECLARE_RUN_STATE(kind, type, name, initial) extern type name;
KELVANORE_RUN_STATE(KELVANORE_DECLARE_RUN_STATE)
#undef KELVANORE_DECLARE_RUN_STATE

extern const std::string ALLCHRS_PROXY;  // "ALL_CHROMOSOMES": every chromosome is haploid; a constant

// ---- Stops -----------------------------------------------------------------
// Every end of the run but a normal return from main goes through these.

// Flushes standard output and standard error and exits with the status: for
// a stop whose text is already written (the help and version texts).
[[noreturn]] void stopAfterOutput(int status);
// Prints the message and a line end on standard output, then stops with the
// status.
[[noreturn]] void stopWithMessage(const std::string& message, int status = kExitError);
// The same on standard error, after what standard output already holds.
[[noreturn]] void stopWithError(const std::string& message, int status = kExitError);
// "Unimplemented()" / "ShouldNotReachHere()" on standard output, status 255.
[[noreturn]] void Unimplemented();
[[noreturn]] void ShouldNotReachHere();
// The run could not obtain memory for the named object: one line, status 255.
[[noreturn]] void stopOutOfMemory(const std::string& what);
// The stop for any thread, a worker thread of a parallel region too, where
// exit would run the exit handlers under the other threads: the line (a
// constant such as "ShouldNotReachHere()", without its line end) on standard
// output, status 255, through the once-only path of the out-of-memory stop
// below. Nothing here allocates.
[[noreturn]] void stopFromAnyThread(const char* line);

// ---- Memory --------------------------------------------------------------------
//
// One way to stop when memory runs out: main installs, before anything else,
// a handler for operator new that ends the run with one line and status 255
// (also inside the engine's worker threads, where no exception could reach a
// caller). While an AllocationName lives, that line names what was being
// allocated, "Out of memory: cannot allocate " and the name; otherwise it
// says "Out of memory: the run needs more memory than the system can give".
// The first thread that runs out writes the line with write(2) and ends the
// process with _Exit, without exit handlers, while others may still run; a
// thread that runs out after it waits for that end and prints nothing.
// Names are set on the main thread only, outside the parallel regions: the
// line is formatted then, so the handler needs no memory. A stop from any
// thread (stopFromAnyThread) takes the same once-only path: of all the
// threads that stop the run, one writes its line.
void installOutOfMemoryStop();
// The handler itself, for memory obtained without operator new (the
// quadratic-programming solver's work arrays, from malloc).
[[noreturn]] void stopOutOfMemoryFromAnyThread();
class AllocationName {
 public:
  explicit AllocationName(const std::string& what);
  ~AllocationName();
  AllocationName(const AllocationName&) = delete;
  AllocationName& operator=(const AllocationName&) = delete;

 private:
  std::string line_;  // the stop's whole line, line end included
  const std::string* enclosing_;
};
// Starts the team of the engine's parallel regions (the thread count that
// the option parser set) now, while the run holds little memory: a
// shortage later then meets operator new and its line, not the OpenMP
// runtime's thread creation, which ends the process itself (status 1, its
// own line on standard error). A team whose stacks cannot be had stops with
// "Out of memory: cannot allocate the stacks of N threads", unless
// OMP_STACKSIZE or GOMP_STACKSIZE gives the runtime stacks of another size
// than the probe's. Every worker of the team blocks heldInWorkers (the
// ending signals, which only the main thread takes). Called by main once,
// after the options are parsed.
void reserveThreads(const sigset_t& heldInWorkers);
// A new copy of M, for the named run-state matrix.
DMatrix* copyMatrix(const DMatrix& M, const std::string& what);

// ---- 32-bit platform layer ---------------------------------------------------

// strtol in base 10 as a 32-bit long reads it: leading blanks and a sign,
// digits up to the first non-digit, 0 without digits, saturation at the
// 32-bit limits with errno = ERANGE. end (when not null) receives the first
// character not consumed (the start of the text when no digits were read).
int32_t strtol32(const char* text, char** end);
// The last component of a copy of path, as POSIX basename(3) gives it.
std::string posixBasename(const std::string& path);

// ---- Random generator --------------------------------------------------------

void seedRand(unsigned int seed);
double randUnif();                       // [0, 1]
void randShuffle(std::vector<int>& x);   // forward Fisher-Yates
int randInt(int a, int b);               // [a, b] for 0 <= a <= b
double randExp(double rate);
int randBernoulli(double p);
int randBinom(int n, double p);
void randUnifOnSimplex(DVector& v, int K_);
int randDraw(const std::vector<double>& p);
// The generator's current state, for tests.
uint64_t randState();
// Replaces the state (the generator counts as seeded), for tests that need
// a chosen next output.
void setRandState(uint64_t state);

// ---- Numeric helpers ---------------------------------------------------------

// Row-major flattening: entry (r, c) <-> position r * cols + c.
void matrix_to_vector(const DMatrix& M, DVector& v);
void vector_to_matrix(const DVector& v, DMatrix& M);
void matrix_to_vector_range(const DMatrix& M, DVector& v, const Range& g);
void vector_range_to_matrix(const DVector& v, DMatrix& M, const Range& g);
double mean(const DVector& x);
double stddev(const DVector& x);            // divisor n - 1
double rmse(const DMatrix& A, const DMatrix& B);  // over the shape of A
std::string to_string(int value);

// Wall-clock seconds with millisecond resolution since start().
class Timer {
 public:
  void start();
  double stop() const;  // does not reset the start

 private:
  int64_t startMicros_ = 0;
};

// ---- Data checks and starting values -----------------------------------------

void preprocessData();
void buildMonomorphicsTable(const GMatrix& G, BVector& table);
bool isMonomorphic(int l);
bool initializeQP();
bool areEqual(const BVector& a, const BVector& b);
double safeRandUnif(double eps);
void safeRandUnifOnSimplex(DVector& x, int K_, double eps);

// ---- Fst divergences -----------------------------------------------------------

DMatrix* calculate_Fsts_weighted(const DMatrix& P_);
DMatrix* calculate_Fsts_unweighted(const DMatrix& P_);
void print_Fst_matrix();

// ---- Penalty weight list -------------------------------------------------------

// The numbers of a penalty weight list such as "[0, 10, 100]" or "0,10" (an
// empty list for a text of separators only); a token that is not a number
// ends the run with "Invalid penalty weight: " and the token.
std::vector<double> readList(std::string text);

#endif
