#include "options.h"

#include <getopt.h>
#include <omp.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

#include "random.h"
#include "result_names.h"
#include "run_state.h"
#include "secant.h"
#include "stops.h"
#include "utils.h"
#include "version.h"

bool Options::estimateQ = true;
bool Options::estimateP = true;
unsigned int Options::seedval = 43;
AccelerationScheme Options::acceleration = {QUASI_NEWTON, 3};
MethodType Options::method = BLOCK;
PenaltyFunction Options::penaltyfunction = {0.0, 0.1};
int Options::B = 0;
int Options::blockSize = 0;
ConvergenceChecker Options::minorConvergenceCriterion(3);
ConvergenceChecker Options::majorConvergenceCriterion(1e-4);
bool Options::skipPointEstimation = false;
bool Options::supervised = false;
int Options::initializeFromFilesFlag = 0;
char* Options::inputFile = nullptr;
char* Options::inputFileBase = nullptr;
char* Options::inputFilePrefix = nullptr;
char* Options::inputFileSuffix = nullptr;
int Options::cvFolds = 0;
int Options::verbosity = 0;
std::vector<double> Options::lambdas(1, 0.0);

struct option Options::longopts[] = {
    {"haploid", required_argument, nullptr, 'x'},
    {"initializeQ", no_argument, nullptr, 'Q'},
    {"fixP", no_argument, nullptr, 'P'},
    {"initialize", no_argument, nullptr, 'i'},
    {"bootstrapReplicates", optional_argument, nullptr, 'B'},
    {"majorConvergenceCriterion", required_argument, nullptr, 'C'},
    {"minorConvergenceCriterion", required_argument, nullptr, 'c'},
    {"fix", required_argument, nullptr, 'f'},
    {"seed", required_argument, nullptr, 's'},
    {"acceleration", required_argument, nullptr, 'a'},
    {"method", required_argument, nullptr, 'm'},
    {"skipPointEstimation", no_argument, nullptr, 'z'},
    {"blockSize", required_argument, nullptr, 'h'},
    {"verbose", optional_argument, nullptr, 'v'},
    {"parallel", optional_argument, nullptr, 'j'},
    {"supervised", no_argument, nullptr, 'S'},
    {"lambda", required_argument, nullptr, 'l'},
    {"delta", required_argument, nullptr, 'd'},
    {"epsilon", required_argument, nullptr, 'e'},
    {"gamma", required_argument, nullptr, 'g'},
    {"cv", optional_argument, nullptr, 'R'},
    {"help", no_argument, nullptr, 'H'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

namespace {

const char* const kVersion = KELVANORE_VERSION;
const char* const kShortOptions = "x:f:iPQzs:a:m:B::C:c:h:v::j::R::p:l:d:e:g:b:";

// Bootstrap replicates when the option carries no count.
constexpr int kDefaultReplicates = 200;
// The fewest replicates taken (0 switches the bootstrap off): a standard
// error divides by the count less one, so one replicate gives 0/0.
constexpr int kMinReplicates = 2;
// Threads when the parallel option carries no count.
constexpr int kDefaultThreads = 2;
// The largest thread count taken: the OpenMP runtime lays out a team's
// tables on the starting thread's stack, and a count of some tens of
// thousands overflows it (a crash in the first parallel region); no machine
// this runs on has anywhere near this many cores.
constexpr int kMaxThreads = 4096;
// Folds when the cv option carries no count.
constexpr int kDefaultFolds = 5;
// The fewest folds of a cross-validation: a single fold hides every
// genotype, so its re-fit sees no data and the score is the point
// estimate's own deviance. A count of 0 is no cross-validation at all.
constexpr int kMinFolds = 2;

// Integer option values: leading text read as a 32-bit long reads it, the
// rest ignored, no digits give 0.
int intValue(const char* text) { return strtol32(text, nullptr); }

// The value of the option that getopt_long has just returned. The help text
// shows short options as "-m=em": one "=" right after a short option's
// letter separates the value, as it does after a long name. getopt_long
// leaves optarg in the argument it consumed last: at its start when the
// value is a word of its own, behind the letter for "-mem" and "-m=em",
// behind the "=" for "--method=em".
const char* optionValue(char** argv) {
  if (optarg == nullptr) return nullptr;
  const char* word = argv[optind - 1];
  const bool attachedToShort = optarg != word && word[0] == '-' && word[1] != '-';
  return attachedToShort && optarg[0] == '=' ? optarg + 1 : optarg;
}

// A framed banner line: four asterisks, the text centred in 60 columns,
// four asterisks.
std::string framed(const std::string& text) {
  const size_t width = 60;
  const size_t left = (width - text.size()) / 2;
  return "****" + std::string(left, ' ') + text + std::string(width - left - text.size(), ' ') +
         "****";
}

std::string padRight(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void parseHaploid(const char* value) {
  haploidModeEnabled = true;
  const std::string text(value);
  if (text == "*") {
    std::cout << "Treating all data as haploid\n";
    haploid_sexes.push_back(1);
    haploid_sexes.push_back(2);
    haploid_sexes.push_back(-9);
    haploid_chrs.push_back(ALLCHRS_PROXY);
    return;
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    stopWithMessage("Incorrect format for haploid chromosomes");
  }
  const std::string sex = text.substr(0, colon);
  const std::string chrs = text.substr(colon + 1);
  if (sex == "male") {
    haploid_sexes.push_back(1);
  } else if (sex == "female") {
    haploid_sexes.push_back(2);
  } else if (sex == "*") {
    haploid_sexes.push_back(1);
    haploid_sexes.push_back(2);
    haploid_sexes.push_back(-9);
  } else {
    stopWithMessage("Incorrect sex specification for haploid option");
  }
  if (chrs.empty()) {
    stopWithMessage("Incorrect chromosome specification for haploid option");
  }
  if (chrs == "*")
    haploid_chrs.push_back(ALLCHRS_PROXY);
  else
    update_vector(chrs, ',', haploid_chrs);
  std::cout << "Will treat specified (gender * chr) markers as haploid\n";
}

AccelerationScheme parseAcceleration(const char* value) {
  if (strcasecmp(value, "none") == 0) return {NONE, 0};
  if (strncasecmp(value, "sqs", 3) == 0) {
    const int style = intValue(value + 3);
    if (style < 1 || style > 3)
      stopWithMessage(std::string("Invalid Squarem style: ") + value);
    return {SQS, style};
  }
  if (strncasecmp(value, "qn", 2) == 0) {
    const int r = intValue(value + 2);
    // The acceleration needs at least one secant pair to extrapolate from,
    // and inverts a matrix of the count's order once that many iterations
    // have run: refused here, not after them.
    if (r < 1 || r > kMaxSecantConditions)
      stopWithMessage(std::string("Invalid number of secant conditions: ") + value);
    return {QUASI_NEWTON, r};
  }
  stopWithMessage("Unknown acceleration method");
}

void parseThreads(const char* value) {
  std::cout << "Parallel execution requested.  ";
  int threads = kDefaultThreads;
  if (value != nullptr) {
    threads = intValue(value);
    if (threads <= 0 || threads > kMaxThreads) {
      std::cout << std::endl;
      stopWithMessage("Error specifying number of threads.");
    }
  }
  std::cout << "Will use " << threads << " threads." << std::endl;
  omp_set_num_threads(threads);
}

void parseFolds(const char* value) {
  std::cout << "Cross-validation will be performed.";
  if (value == nullptr) {
    Options::cvFolds = kDefaultFolds;
  } else {
    Options::cvFolds = intValue(value);
    if (Options::cvFolds < kMinFolds) {
      std::cout << std::endl;
      // 0 (a value without digits too) switches the cross-validation off,
      // as -B0 does the bootstrap; the message stays, the run goes on.
      if (Options::cvFolds != 0) stopWithMessage("Error specifying number of folds.");
      std::cout << "Error specifying number of folds." << std::endl;
    }
  }
  std::cout << "  Folds=" << Options::cvFolds << "." << std::endl;
}

ConvergenceChecker parseCriterion(const char* value) {
  // One leading "=" is dropped in every form of these two options, the long
  // ones too; for "-C=X" it is the separator that optionValue drops.
  if (value[0] == '=') ++value;
  return ConvergenceChecker::makeChecker(value);
}

void printSummary() {
  std::cout << "Random seed: " << Options::seedval << std::endl;
  seedRand(Options::seedval);
  std::cout << "Point estimation method: "
            << (Options::method == EM ? "EM algorithm" : "Block relaxation algorithm")
            << std::endl;
  if (!Options::estimateP) std::cout << "P parameters will be fixed at initial values." << std::endl;
  if (!Options::estimateQ) std::cout << "Q parameters will be fixed at initial values." << std::endl;
  std::cout << "Convergence acceleration algorithm: ";
  switch (Options::acceleration.type) {
    case NONE:
      std::cout << "None";
      break;
    case QUASI_NEWTON:
      std::cout << "QuasiNewton, " << Options::acceleration.R << " secant conditions";
      break;
    case SQS:
      std::cout << "SqS" << Options::acceleration.R;
      break;
  }
  std::cout << std::endl;
  std::cout << "Point estimation will terminate "
            << Options::majorConvergenceCriterion.describeCriterion() << std::endl;
  if (Options::B > 0) {
    std::cout << "Will perform " << Options::B
              << " bootstrap resamplings to estimate standard errors." << std::endl;
    std::cout << "Reestimation for each bootstrap replicate will terminate "
              << Options::minorConvergenceCriterion.describeCriterion() << std::endl;
  } else {
    std::cout << "Estimation of standard errors disabled; will compute point estimates only."
              << std::endl;
  }
}

// Prefix and suffix point into one copy of the base name, the base into a
// copy of the whole path; none of them is ever freed.
void deriveInputNames(char* path) {
  Options::inputFile = path;
  const std::string base = posixBasename(path);
  const size_t baseDot = base.rfind('.');
  const char* pathDot = std::strrchr(path, '.');
  // The empty path has the base name "." but no dot of its own to cut at.
  if (baseDot == std::string::npos || pathDot == nullptr)
    stopWithMessage("Input data file argument must have extension .geno, .ped, or .bed");
  char* nameCopy = strdup(base.c_str());
  char* fullCopy = strdup(path);
  if (nameCopy == nullptr || fullCopy == nullptr) stopOutOfMemory("the input file name");
  nameCopy[baseDot] = '\0';
  Options::inputFilePrefix = nameCopy;
  Options::inputFileSuffix = nameCopy + baseDot + 1;
  fullCopy[pathDot - path] = '\0';
  Options::inputFileBase = fullCopy;
}

void readK(const char* text) {
  errno = 0;
  const int32_t k = strtol32(text, nullptr);
  if (errno == ERANGE || k <= 0) stopWithMessage(std::string("Invalid K value: ") + text);
  K = k;
}

}  // namespace

void Options::usage() {
  stopWithError(
      "Usage: kelvanore <input file> <K>\n"
      "See --help or manual for more advanced usage.");
}

void Options::parseOptions(int argc, char** argv) {
  B = 0;
  verbosity = 0;
  if (lambdas.empty())
    lambdas.push_back(0.0);
  else
    lambdas[0] = 0.0;
  // The runtime's own environment settings have no say: one thread unless
  // asked, and every parallel region runs on the whole team (OMP_DYNAMIC
  // would let the runtime shrink it from region to region, and the team
  // size decides how the log-likelihood's sum is grouped).
  omp_set_dynamic(0);
  omp_set_num_threads(1);

  bool fixPGiven = false;
  bool initializeQGiven = false;
  const char* epsilonText = nullptr;

  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, longopts, nullptr)) != -1) {
    const char* value = optionValue(argv);
    switch (c) {
      case 'x':
        parseHaploid(value);
        break;
      case 'Q':
        initializeQGiven = true;
        break;
      case 'P':
        estimateP = false;
        fixPGiven = true;
        break;
      case 'i':
        initializeFromFilesFlag = 1;
        break;
      case 'B':
        B = value ? intValue(value) : kDefaultReplicates;
        if (B < 0 || (B > 0 && B < kMinReplicates))
          stopWithMessage(std::string("Invalid number of bootstrap replicates: ") + value);
        break;
      case 'C':
        majorConvergenceCriterion = parseCriterion(optarg);
        break;
      case 'c':
        minorConvergenceCriterion = parseCriterion(optarg);
        break;
      case 'f':
        if (strcasestr(value, "q") != nullptr) estimateQ = false;
        if (strcasestr(value, "p") != nullptr) estimateP = false;
        break;
      case 's':
        if (strcasecmp(value, "time") == 0)
          seedval = static_cast<unsigned int>(std::time(nullptr));
        else
          seedval = static_cast<uint32_t>(intValue(value));
        break;
      case 'a':
        acceleration = parseAcceleration(value);
        break;
      case 'm':
        method = (strcasecmp(value, "em") == 0 || strcasecmp(value, "mm") == 0) ? EM : BLOCK;
        break;
      case 'z':
        skipPointEstimation = true;
        std::cout << "Will skip point estimation." << std::endl;
        break;
      case 'h':
        blockSize = intValue(value);
        std::cout << "Block size set manually to " << blockSize << " SNPs" << std::endl;
        break;
      case 'v':
        verbosity = 1;
        break;
      case 'j':
        parseThreads(value);
        break;
      case 'S':
        supervised = true;
        break;
      case 'l':
        lambdas = readList(value);
        // No weight means no estimation: a run that writes nothing.
        if (lambdas.empty()) stopWithMessage(std::string("Empty penalty weight list: ") + value);
        break;
      case 'e':
        penaltyfunction.epsilon = std::strtod(value, nullptr);
        epsilonText = value;
        break;
      case 'R':
        parseFolds(value);
        break;
      case 'H':
        print_help();
        stopAfterOutput(kExitOk);
      case 'V':
        print_version();
        stopAfterOutput(kExitOk);
      default:  // '?', and the letters d, g, p and b that do nothing
        usage();
    }
  }

  if (initializeFromFilesFlag) std::cout << "Will read initial Q, P from files" << std::endl;
  if (fixPGiven) std::cout << "Will read fixed P from files" << std::endl;
  if (initializeQGiven) std::cout << "Will read initial Q from files" << std::endl;
  const int readCount = (fixPGiven ? 1 : 0) + (initializeQGiven ? 1 : 0);
  if (readCount > initializeFromFilesFlag) initializeFromFilesFlag = readCount;

  if (skipPointEstimation && initializeFromFilesFlag == 0)
    stopWithMessage("Can only skip point estimation if Q/P input provided with -i option");
  if ((!estimateQ || !estimateP) && initializeFromFilesFlag == 0)
    stopWithMessage("Can only skip Q/P updates if values provided with -i option");

  // The penalty is lambda * log(1 + q / epsilon) / log(1 + 1 / epsilon): with
  // an epsilon of 0 or less (or NaN), or one so large or so small that the
  // divisor is 0 or infinite, the objective is not a number and a tolerance
  // criterion never ends the run. So it is with a weight that is not finite
  // or so large that the penalty overflows; 1e15 also keeps the weight's
  // integer part in result names to 16 digits.
  const double kMaxPenaltyWeight = 1e15;
  bool penalised = false;
  for (double lambda : lambdas) {
    if (lambda != 0.0) penalised = true;
    if (!(std::fabs(lambda) <= kMaxPenaltyWeight)) {
      std::ostringstream text;
      text << lambda;
      stopWithMessage("Invalid penalty weight: " + text.str());
    }
  }
  // Two weights whose passes write files of one name would leave only the
  // later pass's estimate.
  std::map<std::string, double> weightOfSuffix;
  for (double lambda : lambdas) {
    const std::string suffix = resultSuffix(lambda);
    const auto seen = weightOfSuffix.emplace(suffix, lambda);
    if (!seen.second) {
      std::ostringstream text;
      text << "Penalty weights " << seen.first->second << " and " << lambda << " give the same result file name";
      if (!suffix.empty()) text << " (" << suffix << ")";
      stopWithMessage(text.str());
    }
  }
  // Skipping the point estimation, every pass would bootstrap the same
  // starting values under the weight 0 and write the same files.
  if (skipPointEstimation && lambdas.size() > 1)
    stopWithMessage("Can only skip point estimation with one penalty weight (" + std::to_string(lambdas.size()) +
                    " given)");
  const double divisor = std::log(1.0 + 1.0 / penaltyfunction.epsilon);
  if (penalised && !(penaltyfunction.epsilon > 0.0 && divisor > 0.0 && std::isfinite(divisor))) {
    std::string text = epsilonText ? epsilonText : "";
    stopWithMessage("Invalid epsilon: " + text);
  }

  if (argc - optind != 2) usage();

  printSummary();
  deriveInputNames(argv[optind]);
  readK(argv[optind + 1]);
}

void update_vector(std::string text, char separator, std::vector<std::string>& out) {
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(separator, from);
    if (at == std::string::npos) {
      out.push_back(text.substr(from));
      return;
    }
    out.push_back(text.substr(from, at - from));
    from = at + 1;
  }
}

void print_banner() {
  std::cout << "****                   KELVANORE Version " << padRight(kVersion, 23) << "****"
            << std::endl;
  std::cout << framed("Copyright (C) 2026 the KELVANORE developers") << std::endl;
  std::cout << framed("Maximum-likelihood estimation of") << std::endl;
  std::cout << framed("individual ancestries and allele frequencies") << std::endl;
  std::cout << "****                                                            ****" << std::endl;
  std::cout << "****                 Please cite our paper!                     ****" << std::endl;
  std::cout << framed("See README.md for documentation") << std::endl;
  std::cout << std::endl;
}

void print_version() { std::cout << kVersion << std::endl; }

void print_help() {
  // Every line is filled out to 78 columns but the .ped line, which is 76.
  static const char* const lines[] = {
      "",
      "  KELVANORE basic usage:  (see manual for complete reference)",
      "    % kelvanore [options] inputFile K",
      "",
      "  where:",
      "    K is the number of populations; and",
      "    inputFile may be:",
      "      - a PLINK .bed file",
      "      - a PLINK \"12\" coded .ped file",
      "",
      "  Output will be in files inputBasename.K.Q, inputBasename.K.P",
      "",
      "  General options:",
      "    -jX          : do computation on X threads",
      "    --seed=X     : use random seed X for initialization",
      "",
      "  Algorithm options:",
      "     -m=",
      "    --method=[em|block]     : set method.  block is default",
      "",
      "     -a=",
      "    --acceleration=none   |",
      "                   sqs<X> |",
      "                   qn<X>      : set acceleration",
      "",
      "  Convergence criteria:",
      "    -C=X : set major convergence criterion (for point estimation)",
      "    -c=x : set minor convergence criterion (for bootstrap and CV reestimates)",
      "",
      "  Bootstrap standard errors:",
      "    -B[X]      : do bootstrapping [with X replicates]",
      "",
      "",
  };
  const size_t kPedLine = 8;
  std::string text;
  for (size_t n = 0; n < sizeof lines / sizeof lines[0]; ++n)
    text += padRight(lines[n], n == kPedLine ? 76 : 78) + "\n";
  std::cout << text;
}

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
