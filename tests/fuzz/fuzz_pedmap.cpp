// A "12"-coded PED fileset: the input is the .ped and the .map, cut at
// "#%#\n", and an optional third part whose first byte picks haploid
// settings (which make the reader read the .map) or a derived bootstrap
// block size (which does too). A run that ends must end with one of the
// reader's messages; a run that returns must hold every line's pairs and
// every .map record as the files give them.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileio.h"
#include "fuzz_support.h"
#include "options.h"
#include "run_state.h"
#include "types.h"

namespace {

// A whole decimal integer within int, an optional sign and leading zeros.
bool wholeInt(const std::string& token, int& value) {
  if (token.empty() || isReaderWhite(token[0])) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(token.c_str(), &end, 10);
  if (errno == ERANGE || end != token.c_str() + token.size() || v < INT_MIN || v > INT_MAX) return false;
  if (token[0] != '-' && token[0] != '+' && (token[0] < '0' || token[0] > '9')) return false;
  value = static_cast<int>(v);
  return true;
}

// A whole decimal number (digits, sign, point, exponent only) that is
// finite, and a whole decimal integer of 64 bits.
bool wholeNumber(const std::string& token, double& value) {
  if (token.empty() || token.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char* end = nullptr;
  value = std::strtod(token.c_str(), &end);
  return end == token.c_str() + token.size() && value - value == 0;
}

bool wholeInteger(const std::string& token, long long& value) {
  if (token.empty() || isReaderWhite(token[0])) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(token.c_str(), &end, 10);
  return errno != ERANGE && end == token.c_str() + token.size();
}

void setOptions(const std::string& part) {
  Options::B = 0;
  Options::blockSize = 0;
  if (part.empty()) return;
  const unsigned char choice = static_cast<unsigned char>(part[0]);
  if (choice & 8) Options::B = 1;
  if (!(choice & 7)) return;
  haploidModeEnabled = true;
  if (choice & 1) haploid_sexes.push_back(1);
  if (choice & 2) haploid_sexes.push_back(2);
  if (choice & 4)
    haploid_chrs.push_back(ALLCHRS_PROXY);
  else
    haploid_chrs = {"1", "23"};
}

void checkSuccess(const std::vector<std::string>& parts, const DatasetMetadata& meta,
                  const Outcome& o) {
  EarlyEnd pedEnd, mapEnd;
  const std::vector<std::string> lines = linesOf(recordsOf(parts[0], pedEnd));
  const std::string map = recordsOf(parts[1], mapEnd);
  if (!pedEnd.what.empty()) finding("success with .ped records that end early", o);
  if (!N) finding("no genotype matrix after success", o);
  if (I != static_cast<int>(lines.size())) finding("individual count differs from the .ped's lines", o);
  if (N->size1() != static_cast<std::size_t>(I) || N->size2() != static_cast<std::size_t>(L) ||
      meta.indInfo.size() != static_cast<std::size_t>(I) ||
      meta.snpInfo.size() != static_cast<std::size_t>(L))
    finding("sizes of N and the description disagree", o);

  for (int i = 0; i < I; ++i) {
    const std::string& line = lines[i];
    std::size_t p = 0;
    int blanks = 0;
    std::size_t sexStart = 0, sexEnd = 0;
    while (p < line.size() && blanks < 6)
      if (line[p++] == ' ') {
        ++blanks;
        if (blanks == 4) sexStart = p;
        if (blanks == 5) sexEnd = p - 1;
      }
    if (blanks < 6 && L > 0) finding("a line without its six header fields accepted", o);
    if (blanks >= 5) {
      // The whole sex field, as a 32-bit strtol reads it (the .fam's rule).
      const long long v = std::strtoll(line.substr(sexStart, sexEnd - sexStart).c_str(), nullptr, 10);
      const int sex = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
      const bool haploid = std::find(haploid_sexes.begin(), haploid_sexes.end(), sex) != haploid_sexes.end();
      if (meta.indInfo[i].haploid != haploid) finding("haploid flag not from the whole sex field", o);
    }
    // The pairs, then at most white space (a carriage return, a trailing blank).
    const std::size_t pairsEnd = p + 4 * static_cast<std::size_t>(L) - 1;
    if (L > 0 && line.size() < pairsEnd) finding("a line with too few pairs accepted", o);
    for (std::size_t q = std::max(p, L > 0 ? pairsEnd : p); q < line.size(); ++q)
      if (!isReaderWhite(line[q])) finding("characters after the last pair ignored", o);
    for (int j = 0; j < L; ++j) {
      const char a = line[p + 4 * j], b = line[p + 4 * j + 2];
      if (line[p + 4 * j + 1] != ' ') finding("a pair without its blank accepted", o);
      if (j > 0 && line[p + 4 * j - 1] != ' ') finding("pairs without a blank between them accepted", o);
      int want;
      if (a == '0' && b == '0')
        want = 9;
      else if (a == '0' || b == '0' || (a != '1' && a != '2') || (b != '1' && b != '2'))
        finding("a bad pair accepted", o);
      else
        want = (a == '1') + (b == '1');
      if ((*N)(i, j) != want) finding("genotype differs from its pair", o);
    }
  }

  const bool mapRead = haploidModeEnabled || (Options::B > 0 && Options::blockSize == 0);
  if (!mapRead) return;
  if (!mapEnd.what.empty()) finding("success with .map records that end early", o);
  int count = 0;
  for (const std::string& line : linesOf(map)) {
    const std::vector<std::string> tokens = fieldsOf(line);
    if (tokens.empty()) continue;
    if (tokens.size() != 4) finding("a .map line of other than four tokens accepted", o);
    int chromosome = 0;
    if (!wholeInt(tokens[0], chromosome)) finding("a non-integer chromosome accepted", o);
    double genetic = 0;
    long long position = 0;
    if (!wholeNumber(tokens[2], genetic)) finding("a genetic position that is not a whole number accepted", o);
    if (!wholeInteger(tokens[3], position)) finding("a base-pair position that is not a whole integer accepted", o);
    if (count >= L) finding("a .map with more records than SNPs accepted", o);
    const SNPInfo& s = meta.snpInfo[count];
    if (s.chromosome != chromosome || s.name != tokens[1] || s.position != position || s.geneticPosition != genetic)
      finding(".map record stored wrongly", o);
    ++count;
  }
  if (count != L) finding("a .map with fewer records than SNPs accepted", o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = splitParts(data, size, 3);
  resetRunState();
  writeScratch("set.ped", parts[0]);
  writeScratch("set.map", parts[1]);
  setOptions(parts[2]);
  pointInputAtScratch("ped");

  DatasetMetadata meta;
  const Outcome o = runReader([&] { readInputFiles(0, meta); });
  if (o.exited) {
    static const std::vector<std::string> kMessages = {
        "PLINK Input file error",
        "Map file length incorrect",
        "Invalid chromosome code!  Use integers.",
    };
    static const std::vector<std::string> kPrefixes = withEarlyEnds(
        {"Error for individual number ", "Wrong number of fields in ", "Invalid separator between genotype pairs in ",
         "Invalid base-pair position in ", "Invalid genetic position in "});
    checkStop(o, kMessages, kPrefixes);
  } else {
    checkSuccess(parts, meta, o);
  }
  resetRunState();
  return 0;
}
