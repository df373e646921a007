// The configuration that the option parser leaves behind, and its small text splitters.
#include "e2e_util.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "version.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- The configuration the parser leaves behind --------------------------------

// Parses in a child and prints the configuration as key=value lines after a
// marker line. The child starts from this process's configuration, which is
// the static defaults a fresh process has: every test that changes run
// state puts it back.
RunResult parseAndDump(const std::vector<std::string>& args) {
  return runInChild([&] {
    std::vector<std::string> store{"kelvanore"};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : store) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    omp_set_num_threads(5);  // the parser's own defaults must win
    omp_set_dynamic(1);
    Options::parseOptions(static_cast<int>(store.size()), argv.data());
    std::ostringstream d;
    d.precision(17);
    d << "@@\n";
    d << "threads=" << omp_get_max_threads() << "\n";
    d << "dynamic=" << omp_get_dynamic() << "\n";
    d << "K=" << K << "\n";
    d << "seedval=" << Options::seedval << "\n";
    d << "rngState=" << randState() << "\n";
    d << "method=" << Options::method << "\n";
    d << "acceleration=" << Options::acceleration.type << "," << Options::acceleration.R << "\n";
    d << "major=" << Options::majorConvergenceCriterion.tolerance << ","
      << Options::majorConvergenceCriterion.maxIterations << "\n";
    d << "minor=" << Options::minorConvergenceCriterion.tolerance << ","
      << Options::minorConvergenceCriterion.maxIterations << "\n";
    d << "B=" << Options::B << "\n";
    d << "blockSize=" << Options::blockSize << "\n";
    d << "cvFolds=" << Options::cvFolds << "\n";
    d << "verbosity=" << Options::verbosity << "\n";
    d << "estimate=" << Options::estimateQ << "," << Options::estimateP << "\n";
    d << "flag=" << Options::initializeFromFilesFlag << "\n";
    d << "skip=" << Options::skipPointEstimation << "\n";
    d << "supervised=" << Options::supervised << "\n";
    d << "epsilon=" << Options::penaltyfunction.epsilon << "\n";
    d << "lambda=" << Options::penaltyfunction.lambda << "\n";
    d << "lambdas=";
    for (double l : Options::lambdas) d << l << ";";
    d << "\n";
    d << "haploid=" << haploidModeEnabled << "\n";
    d << "sexes=";
    for (int s : haploid_sexes) d << s << ";";
    d << "\n";
    d << "chrs=";
    for (const std::string& c : haploid_chrs) d << "<" << c << ">";
    d << "\n";
    d << "names=" << Options::inputFile << "|" << Options::inputFileBase << "|"
      << Options::inputFilePrefix << "|" << Options::inputFileSuffix << "\n";
    std::cout << d.str() << std::flush;
  });
}

std::map<std::string, std::string> dumpedState(const RunResult& r) {
  std::map<std::string, std::string> state;
  const size_t at = r.out.find("@@\n");
  if (at == std::string::npos) return state;
  for (const std::string& line : splitLines(r.out.substr(at + 3))) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return state;
}

uint64_t stateAfterSeed(unsigned seed) {
  RunStateGuard generator;
  seedRand(seed);
  return randState();
}

TEST(OptionsParse, ConfigurationAfterParsing) {
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {{"x.bed", "3"},
       {{"threads", "1"},
        {"dynamic", "0"},
        {"K", "3"},
        {"seedval", "43"},
        {"rngState", "3449484669957604764"},
        {"method", "1"},
        {"acceleration", "1,3"},
        {"major", "0.0001,2147483647"},
        {"minor", "0,3"},
        {"B", "0"},
        {"blockSize", "0"},
        {"cvFolds", "0"},
        {"verbosity", "0"},
        {"estimate", "1,1"},
        {"flag", "0"},
        {"skip", "0"},
        {"supervised", "0"},
        {"epsilon", "0.10000000000000001"},
        {"lambda", "0"},
        {"lambdas", "0;"},
        {"haploid", "0"},
        {"sexes", ""},
        {"chrs", ""},
        {"names", "x.bed|x|x|bed"}}},
      {{"-j4", "x.bed", "3"}, {{"threads", "4"}, {"dynamic", "0"}}},
      {{"-j", "x.bed", "3"}, {{"threads", "2"}}},
      {{"--parallel=7", "x.bed", "3"}, {{"threads", "7"}}},
      {{"run/set1.final.bed", "2"}, {{"names", "run/set1.final.bed|run/set1.final|set1.final|bed"}}},
      {{"dir.x/y.ped", "2"}, {{"names", "dir.x/y.ped|dir.x/y|y|ped"}}},
      {{"x.", "2"}, {{"names", "x.|x|x|"}}},
      {{"x.bed", "3x"}, {{"K", "3"}}},
      {{"x.bed", "2147483647"}, {{"K", "2147483647"}}},
      {{"x.bed", "  +4"}, {{"K", "4"}}},
      {{"-x", "male:23,X", "-x", "female:X", "x.bed", "3"},
       {{"haploid", "1"}, {"sexes", "1;2;"}, {"chrs", "<23><X><X>"}}},
      {{"-x", "*", "x.bed", "3"},
       {{"haploid", "1"}, {"sexes", "1;2;-9;"}, {"chrs", "<ALL_CHROMOSOMES>"}}},
      {{"-x", "male:23", "-x", "*", "x.bed", "3"},
       {{"sexes", "1;1;2;-9;"}, {"chrs", "<23><ALL_CHROMOSOMES>"}}},
      {{"-x", "*:*", "x.bed", "3"}, {{"sexes", "1;2;-9;"}, {"chrs", "<ALL_CHROMOSOMES>"}}},
      {{"-x", "female:23,,X", "x.bed", "3"}, {{"sexes", "2;"}, {"chrs", "<23><><X>"}}},
      {{"-s", "-1", "x.bed", "3"},
       {{"seedval", "4294967295"}, {"rngState", std::to_string(stateAfterSeed(4294967295u))}}},
      {{"-s", "99999999999", "x.bed", "3"}, {{"seedval", "2147483647"}}},
      {{"-s7x", "x.bed", "3"}, {{"seedval", "7"}, {"rngState", std::to_string(stateAfterSeed(7))}}},
      {{"-l", "[0, 10, 100]", "x.bed", "3"}, {{"lambdas", "0;10;100;"}, {"lambda", "0"}}},
      {{"-l", "1", "-l", "2,3", "x.bed", "3"}, {{"lambdas", "2;3;"}}},
      {{"-C=5", "x.bed", "3"}, {{"major", "0,5"}}},
      {{"-C", "1e-6", "-c", "0.5", "x.bed", "3"},
       {{"major", "9.9999999999999995e-07,2147483647"}, {"minor", "0.5,2147483647"}}},
      {{"-v", "x.bed", "3"}, {{"verbosity", "1"}}},
      {{"--verbose=3", "x.bed", "3"}, {{"verbosity", "1"}}},
      {{"--supervised", "x.bed", "3"}, {{"supervised", "1"}}},
      {{"-f", "pq", "-i", "x.bed", "3"}, {{"estimate", "0,0"}, {"flag", "1"}}},
      {{"-f", "Q", "-i", "x.bed", "3"}, {{"estimate", "0,1"}}},
      {{"-P", "x.bed", "3"}, {{"estimate", "1,0"}, {"flag", "1"}}},
      {{"-Q", "-Q", "x.bed", "3"}, {{"estimate", "1,1"}, {"flag", "1"}}},
      {{"-P", "-Q", "x.bed", "3"}, {{"flag", "2"}}},
      {{"-i", "-Q", "-P", "x.bed", "3"}, {{"flag", "2"}}},
      {{"-z", "-i", "x.bed", "3"}, {{"skip", "1"}, {"flag", "1"}}},
      {{"-e", "0.5", "x.bed", "3"}, {{"epsilon", "0.5"}}},
      {{"-e", "abc", "x.bed", "3"}, {{"epsilon", "0"}}},
      {{"-h", "100", "x.bed", "3"}, {{"blockSize", "100"}}},
      {{"-hx", "x.bed", "3"}, {{"blockSize", "0"}}},
      {{"-B", "x.bed", "3"}, {{"B", "200"}}},
      {{"-B2", "x.bed", "3"}, {{"B", "2"}}},
      {{"-B0", "x.bed", "3"}, {{"B", "0"}}},
      {{"--cv", "x.bed", "3"}, {{"cvFolds", "5"}}},
      {{"-R2", "x.bed", "3"}, {{"cvFolds", "2"}}},
      {{"-a", "qn99", "x.bed", "3"}, {{"acceleration", "1,99"}}},
      {{"-a", "sqs2", "x.bed", "3"}, {{"acceleration", "2,2"}}},
      {{"-a", "none", "x.bed", "3"}, {{"acceleration", "0,0"}}},
      {{"-a", "QN3", "x.bed", "3"}, {{"acceleration", "1,3"}}},
      {{"-a", "qn 12", "x.bed", "3"}, {{"acceleration", "1,12"}}},
      {{"-m", "em", "x.bed", "3"}, {{"method", "0"}}},
      {{"-m", "block", "-m", "MM", "x.bed", "3"}, {{"method", "0"}}},
      {{"-m=em", "x.bed", "3"}, {{"method", "0"}}},
      {{"-m", "=em", "x.bed", "3"}, {{"method", "1"}}},
      {{"-im=mm", "x.bed", "3"}, {{"method", "0"}, {"flag", "1"}}},
      {{"-s=5", "x.bed", "3"}, {{"seedval", "5"}}},
      {{"-e=0.5", "x.bed", "3"}, {{"epsilon", "0.5"}}},
      {{"-x=male:1", "x.bed", "3"}, {{"sexes", "1;"}, {"chrs", "<1>"}}},
      {{"-l=1,2", "x.bed", "3"}, {{"lambdas", "1;2;"}}},
      {{"-f=q", "-i", "x.bed", "3"}, {{"estimate", "0,1"}}},
      {{"-j=3", "x.bed", "3"}, {{"threads", "3"}}},
      {{"-c=7", "x.bed", "3"}, {{"minor", "0,7"}}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += "[" + a + "] ";
    SCOPED_TRACE(line);
    RunResult r = parseAndDump(c.args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::map<std::string, std::string> state = dumpedState(r);
    for (const auto& kv : c.expected) {
      auto it = state.find(kv.first);
      ASSERT_NE(it, state.end()) << kv.first;
      EXPECT_EQ(it->second, kv.second) << kv.first;
    }
  }
}

TEST(OptionsParse, OnlyTheHaploidErrorsEndWithTheirOwnMessages) {
  // The haploid errors are failures: they must not report success.
  for (const char* value : {"23", "male:", "Male:23"}) {
    RunResult r = parseAndDump({"-x", value, "x.bed", "3"});
    EXPECT_EQ(r.status, 255) << value;
    EXPECT_EQ(r.out.find("@@"), std::string::npos) << value;
  }
}

// ---- Penalty weight list and haploid chromosome splitting ---------------------

TEST(OptionsReadList, SeparatorsAndNumbers) {
  struct Case {
    const char* text;
    std::vector<double> expected;
  } cases[] = {
      {"[0, 10, 100]", {0, 10, 100}},
      {"0,10,100", {0, 10, 100}},
      {"0 10 100", {0, 10, 100}},
      {"", {}},
      {"[]", {}},
      {"[ , ,]", {}},
      {"-1.5e2,+3", {-150, 3}},
      {"[[7]]", {7}},
  };
  for (const Case& c : cases) EXPECT_EQ(readList(c.text), c.expected) << c.text;
}

TEST(OptionsReadList, TokenThatIsNotANumberStops) {
  const std::pair<std::string, std::string> cases[] = {
      {"[0, ten]", "ten"},
      {"1x", "1x"},
      {"1\t2", "1\t2"},  // a tab separates nothing
      {"0;1", "0;1"},
  };
  for (const auto& c : cases) {
    RunResult r = runInChild([&] { readList(c.first); });
    EXPECT_EQ(r.out, "Invalid penalty weight: " + c.second + "\n") << c.first;
    EXPECT_EQ(r.status, 255) << c.first;
  }
}

TEST(OptionsUpdateVector, KeepsEmptyPiecesAndExistingEntries) {
  struct Case {
    const char* text;
    std::vector<std::string> expected;
  } cases[] = {
      {"23", {"old", "23"}},
      {"23,,X", {"old", "23", "", "X"}},
      {"23,", {"old", "23", ""}},
      {",", {"old", "", ""}},
      {"", {"old", ""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> out{"old"};
    update_vector(c.text, ',', out);
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

}  // namespace
