// options: the run configuration (static members of Options, given their
// defaults by static initialisation and filled once by parseOptions before
// any input is read), the command-line parser, and the banner, help and
// version texts.
#ifndef KELVANORE_OPTIONS_H
#define KELVANORE_OPTIONS_H

#include <getopt.h>

#include <string>
#include <vector>

#include "convergence.h"

// Estimation method, held as an int.
enum MethodType { EM = 0, BLOCK = 1 };

// Acceleration types.
enum { NONE = 0, QUASI_NEWTON = 1, SQS = 2 };

struct AccelerationScheme {
  int type;  // NONE, QUASI_NEWTON or SQS
  int R;     // secant conditions for QUASI_NEWTON, style for SQS, 0 for NONE
};

struct PenaltyFunction {
  double lambda;   // weight of the penalty on Q; 0 switches it off
  double epsilon;  // smoothing constant
};

class Options {
 public:
  static bool estimateQ;
  static bool estimateP;
  static unsigned int seedval;
  static AccelerationScheme acceleration;
  static MethodType method;
  static PenaltyFunction penaltyfunction;  // lambda set by main before each point estimation
  static int B;                            // bootstrap replicates; 0 = off
  static int blockSize;                    // bootstrap block size in SNPs; 0 = derive
  static ConvergenceChecker minorConvergenceCriterion;
  static ConvergenceChecker majorConvergenceCriterion;
  static bool skipPointEstimation;
  static bool supervised;
  static int initializeFromFilesFlag;  // 0 none, else starting values are read
  static char* inputFile;
  static char* inputFileBase;    // input path up to its last "."
  static char* inputFilePrefix;  // base name before its last "."
  static char* inputFileSuffix;  // base name after its last "."
  static int cvFolds;
  static int verbosity;
  static std::vector<double> lambdas;

  static struct option longopts[];

  static void parseOptions(int argc, char** argv);
  [[noreturn]] static void usage();
};

// Appends the pieces of text between separators to out (empty pieces kept).
void update_vector(std::string text, char separator, std::vector<std::string>& out);

void print_banner();
void print_version();
void print_help();

#endif
