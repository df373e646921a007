// The command line: the input is the argument list, arguments separated by
// NUL bytes (argv[0] is supplied). The parser must return a complete
// configuration or end the run with one of its messages.
#include <getopt.h>
#include <omp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "options.h"
#include "options_snapshot.h"
#include "result_names.h"
#include "run_state.h"
#include "utils.h"
#include "version.h"

namespace {

// A message that names a value ends the output with its prefix and that
// value, which may hold line ends of its own: it must be a piece of one of
// the arguments.
bool endsWithEcho(const std::string& out, const std::vector<std::string>& prefixes,
                  const std::vector<std::string>& args) {
  if (out.empty() || out.back() != '\n') return false;
  for (const std::string& prefix : prefixes) {
    for (std::size_t at = out.rfind(prefix); at != std::string::npos;
         at = at == 0 ? std::string::npos : out.rfind(prefix, at - 1)) {
      if (at != 0 && out[at - 1] != '\n') continue;
      const std::string value = out.substr(at + prefix.size(), out.size() - 1 - at - prefix.size());
      for (const std::string& arg : args)
        if (arg.find(value) != std::string::npos) return true;
    }
  }
  return false;
}

std::string basenameOf(const std::string& path) { return posixBasename(path); }

// Two penalty weights of one result name: the weights as the stream prints
// them (six digits, so their integer parts cannot be checked) and the
// suffix that names both (none for two weights of 0).
bool sameResultName(const std::string& line) {
  static const std::regex form(
      "Penalty weights [-+0-9.e]+ and [-+0-9.e]+ give the same result file name( \\(\\.lambda\\.-?[0-9]+\\))?");
  return std::regex_match(line, form);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The defaults of static initialisation, put back before each input.
  static const OptionsSnapshot defaults;
  static const std::string helpText = runReader([] { print_help(); }).out;
  // 64 arguments are plenty for every combination of the options.
  if (size > 4096) return 0;
  std::vector<std::string> args = {"kelvanore"};
  std::string current;
  for (std::size_t n = 0; n < size; ++n) {
    if (data[n] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[n]));
    }
  }
  args.push_back(current);
  if (args.size() > 64) return 0;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  resetRunState();
  defaults.restore();
  optind = 0;  // a full re-initialisation of getopt_long
  opterr = 0;  // its own diagnostics are not the program's

  const Outcome o = runReader([&] { Options::parseOptions(static_cast<int>(args.size()), argv.data()); });
  if (o.exited) {
    static const std::vector<std::string> kMessages = {
        "Incorrect format for haploid chromosomes",
        "Incorrect sex specification for haploid option",
        "Incorrect chromosome specification for haploid option",
        "Unknown acceleration method",
        "Error specifying number of threads.",
        "Can only skip point estimation if Q/P input provided with -i option",
        "Can only skip Q/P updates if values provided with -i option",
        "Input data file argument must have extension .geno, .ped, or .bed",
        "Invalid convergence criterion string, aborting",
        "Error specifying number of folds.",
    };
    static const std::vector<std::string> kPrefixes = {
        "Invalid Squarem style: ", "Invalid number of secant conditions: ", "Invalid epsilon: ",
        "Invalid K value: ", "Invalid penalty weight: ", "Invalid number of bootstrap replicates: ",
        "Empty penalty weight list: "};
    if (o.status == 0) {
      const std::string version = KELVANORE_VERSION "\n";
      const bool help = o.out.size() >= helpText.size() &&
                        o.out.compare(o.out.size() - helpText.size(), helpText.size(), helpText) == 0;
      const bool ver = o.out.size() >= version.size() &&
                       o.out.compare(o.out.size() - version.size(), version.size(), version) == 0;
      if (!help && !ver) finding("status 0 without the help or version text", o);
    } else if (o.status == 255) {
      const bool usage = o.err == "Usage: kelvanore <input file> <K>\nSee --help or manual for more advanced usage.\n";
      // A refused penalty weight is shown as the number it read as.
      if (!usage && !(o.err.empty() && (isOneOf(lastLine(o.out), kMessages,
                                                 {"Invalid penalty weight: ",
                                                  "Can only skip point estimation with one penalty weight ("}) ||
                                         sameResultName(lastLine(o.out)) ||
                                         endsWithEcho(o.out, kPrefixes, args))))
        finding("unexpected message", o);
    } else {
      finding("exit status other than 0 and 255", o);
    }
  } else {
    if (K < 1) finding("K below 1 accepted", o);
    if (!Options::inputFile || !Options::inputFileBase || !Options::inputFilePrefix || !Options::inputFileSuffix)
      finding("input names missing", o);
    const std::string name = basenameOf(Options::inputFile);
    if (std::string(Options::inputFilePrefix) + "." + Options::inputFileSuffix != name)
      finding("prefix and suffix do not make up the base name", o);
    const std::string path = Options::inputFile;
    if (path.compare(0, std::strlen(Options::inputFileBase), Options::inputFileBase) != 0)
      finding("base is not a prefix of the path", o);
    if (Options::majorConvergenceCriterion.maxIterations < 0 || Options::minorConvergenceCriterion.maxIterations < 0)
      finding("negative iteration count accepted", o);
    std::set<std::string> names;
    for (double lambda : Options::lambdas)
      if (!names.insert(resultSuffix(lambda)).second) finding("two penalty weights of one result name accepted", o);
    if (Options::skipPointEstimation && Options::lambdas.size() > 1)
      finding("several penalty weights accepted without the point estimation", o);
    if (Options::cvFolds < 0 || Options::cvFolds == 1) finding("a fold count of 1 or below 0 accepted", o);
    if (omp_get_dynamic()) finding("dynamic thread teams left on", o);
  }
  // The names are copies the parser made with strdup (the base name and the
  // suffix share one), also when K was refused after them.
  std::free(Options::inputFilePrefix);
  std::free(Options::inputFileBase);
  defaults.restore();
  resetRunState();
  return 0;
}
