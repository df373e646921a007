// options: the run configuration (static members of Options, given their
// defaults by static initialisation and filled once by parseOptions before
// any input is read; afterwards only main writes the penalty weight of each
// pass and the bootstrap a derived block size), the command-line parser, and
// the banner, help and version texts.
#ifndef KELVANORE_OPTIONS_H
#define KELVANORE_OPTIONS_H

#include <string>
#include <vector>

#include "convergence.h"
#include "penalty.h"

// getopt.h's long-option entry; only options.cpp, which parses, needs its
// members.
struct option;

// Estimation method, held as an int.
enum MethodType { EM = 0, BLOCK = 1 };

// Acceleration types.
enum { NONE = 0, QUASI_NEWTON = 1, SQS = 2 };

struct AccelerationScheme {
  int type;  // NONE, QUASI_NEWTON or SQS
  int R;     // secant conditions for QUASI_NEWTON, style for SQS, 0 for NONE
};

// The run configuration's members, one entry each: type, name, and what it
// holds. The class declares them from this list and the test support saves
// and restores them from it, so that no member is left out of either; each
// is defined with its default in options.cpp.
#define KELVANORE_OPTIONS(X)                                                                          \
  /* Q is estimated; false when the -f value holds a q (either case): Q is held as read */            \
  X(bool, estimateQ)                                                                                  \
  /* P is estimated; false with -P or when the -f value holds a p: P is held as read */               \
  X(bool, estimateP)                                                                                  \
  /* -s: the random generator's seed, the value as strtol32 reads it or the time; 43 by default */    \
  X(unsigned int, seedval)                                                                            \
  X(AccelerationScheme, acceleration) /* quasi-Newton R within 1 .. kMaxSecantConditions */            \
  X(MethodType, method)               /* EM with -m em or mm, else block relaxation */                \
  X(PenaltyFunction, penaltyfunction) /* lambda set by main before each point estimation */           \
  X(int, B)                           /* bootstrap replicates: 0 = off, else at least 2 */            \
  X(int, blockSize)                   /* bootstrap block size in SNPs; 0 = derive */                  \
  /* -c: when the re-fits of the bootstrap and cross-validation stop; 3 iterations by default */      \
  X(ConvergenceChecker, minorConvergenceCriterion)                                                    \
  /* -C: when the point estimation stops; an objective rise below 1e-4 by default */                  \
  X(ConvergenceChecker, majorConvergenceCriterion)                                                    \
  /* -z: no point estimation; the Q and P read from files are the estimate */                         \
  X(bool, skipPointEstimation)                                                                        \
  /* --supervised: labelled individuals (.pop) keep their starting Q, drawn at their population */    \
  X(bool, supervised)                                                                                 \
  X(int, initializeFromFilesFlag) /* 0 none, else starting values are read */                         \
  X(char*, inputFile)             /* the input path as given */                                       \
  X(char*, inputFileBase)         /* input path up to its last "." */                                 \
  X(char*, inputFilePrefix)       /* base name before its last "." */                                 \
  X(char*, inputFileSuffix)       /* base name after its last "." */                                  \
  X(int, cvFolds)                 /* cross-validation folds: 0 = off, else at least 2 */              \
  X(int, verbosity)               /* 0, or 1 with the verbose option */                               \
  X(std::vector<double>, lambdas) /* penalty weights, one pass each; never empty */

class Options {
 public:
#define KELVANORE_DECLARE_OPTION(type, name) static type name;
  KELVANORE_OPTIONS(KELVANORE_DECLARE_OPTION)
#undef KELVANORE_DECLARE_OPTION

  // The long options for getopt_long: a constant table, not configuration.
  static struct option longopts[];

  // Reads the command line, prints the configuration summary, sets the
  // thread count, seeds the random generator and reads K. Returns only with
  // a complete configuration: every refusal ends the run inside, with its
  // message and status 255; --help and --version end it with status 0.
  static void parseOptions(int argc, char** argv);
  // The usage text on standard error, then status 255.
  [[noreturn]] static void usage();
};

// The numbers of a penalty weight list such as "[0, 10, 100]" or "0,10" (an
// empty list for a text of separators only); a token that is not a number
// ends the run with "Invalid penalty weight: " and the token.
std::vector<double> readList(std::string text);

// Appends the pieces of text between separators to out (empty pieces kept).
void update_vector(std::string text, char separator, std::vector<std::string>& out);

// The start-up banner, the version string and the help text, on standard
// output.
void print_banner();
void print_version();
void print_help();

#endif
