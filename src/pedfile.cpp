#include "pedfile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "genotypes.h"
#include "options.h"
#include "run_state.h"
#include "stops.h"
#include "text_input.h"
#include "utils.h"

namespace {

// Blanks separate the fields of a .ped line; no other white space does.
constexpr char kPedSeparator = ' ';

bool isAllele(char c) { return c == '0' || c == '1' || c == '2'; }

[[noreturn]] void pedError() { stopWithMessage("PLINK Input file error"); }

// Counts the lines of the .ped (a last line without a line feed counts)
// and the longest line, its line feed included.
void countPedLines(std::istream& in, int64_t& lines, std::size_t& longest) {
  lines = 0;
  longest = 0;
  std::size_t current = 0;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    for (std::streamsize c = 0; c < got; ++c) {
      ++current;
      if (chunk[c] == '\n') {
        ++lines;
        longest = std::max(longest, current);
        current = 0;
      }
    }
  }
  if (current > 0) {
    ++lines;
    longest = std::max(longest, current);
  }
}

// Decodes line i + 1 of the .ped `name`: its L genotypes into row i of N,
// whose column-major storage holds them I cells apart, and its sex code
// into the individual's haploid flag.
void decodePedLine(const std::string& name, const std::string& line, int i, IndInfo& ind) {
  const std::size_t len = line.size();
  std::size_t p = 0;
  int blanks = 0;
  std::size_t sexStart = 0, sexEnd = 0;
  while (p < len && blanks < 6) {
    if (line[p] == kPedSeparator) {
      ++blanks;
      if (blanks == 4) sexStart = p + 1;
      if (blanks == 5) sexEnd = p;
    }
    ++p;
  }
  // Six fields are five blanks; pairs need the sixth.
  if (blanks < 5) pedError();
  // The whole field, as the .fam's is read: -9 matches the wildcard.
  ind.haploid = isHaploidSex(line.substr(sexStart, sexEnd - sexStart));

  const std::size_t rows = static_cast<std::size_t>(I);
  // A matrix of no SNPs has no storage to point into.
  unsigned char* cell = L > 0 ? N->data().begin() + static_cast<std::size_t>(i) : nullptr;
  int j = 0;
  for (; p + 2 < len; p += 4) {
    // The one character between two pairs must be a blank, as within a pair.
    if (j > 0 && line[p - 1] != kPedSeparator)
      stopWithMessage("Invalid separator between genotype pairs in " + name + ", line " + std::to_string(i + 1));
    const char a = line[p];
    const char b = line[p + 2];
    if (line[p + 1] != kPedSeparator || !isAllele(a) || !isAllele(b)) pedError();
    if ((a == '0') != (b == '0')) pedError();
    if (j >= L) pedError();
    unsigned char g = kMissing;
    if (a != '0') g = static_cast<unsigned char>((a == '1') + (b == '1'));
    cell[static_cast<std::size_t>(j) * rows] = g;
    ++j;
  }
  if (j != L) pedError();
  // After the last pair only line-end white space may follow (a carriage
  // return, blanks): a lone allele or glued text there is data, not padding.
  for (std::size_t q = j > 0 ? p - 1 : p; q < len; ++q)
    if (!isWhite(line[q])) pedError();
}

}  // namespace

void readPlinkFiles(const std::string& base, DatasetMetadata& meta) {
  TextInput text(base + ".ped");
  if (!text.is_open()) stopWithError("Error opening file");
  std::istream ped(&text);

  std::string line;
  std::getline(ped, line);
  text.checkEnd();
  std::size_t first = 0, last = line.size();
  while (first < last && isWhite(line[first])) ++first;
  while (last > first && isWhite(line[last - 1])) --last;
  const int64_t blanks = std::count(line.begin() + static_cast<std::ptrdiff_t>(first),
                                    line.begin() + static_cast<std::ptrdiff_t>(last), kPedSeparator);

  text.rewind();
  ped.clear();
  int64_t lines = 0;
  std::size_t longest = 0;
  countPedLines(ped, lines, longest);
  text.checkEnd();

  // Six header fields and 2L alleles have 5 + 2L separators.
  if ((blanks - 5) % 2 != 0 || blanks < 5) pedError();
  const int64_t pairs = (blanks - 5) / 2;
  if (lines > std::numeric_limits<int>::max() || pairs > std::numeric_limits<int>::max())
    stopOutOfMemory("the genotype matrix (" + std::to_string(lines) + " x " +
                    std::to_string(pairs) + ")");
  I = static_cast<int>(lines);
  L = static_cast<int>(pairs);

  N = createGenotypeMatrix(I, L);
  {
    const AllocationName allocating("the dataset description (" + to_string(I) + " x " + to_string(L) + ")");
    meta.indInfo.resize(static_cast<std::size_t>(I));
    meta.snpInfo.resize(static_cast<std::size_t>(L));
    line.reserve(longest);
  }

  text.rewind();
  ped.clear();
  for (int i = 0; i < I; ++i) {
    if (!std::getline(ped, line)) pedError();
    decodePedLine(text.name(), line, i, meta.indInfo[static_cast<std::size_t>(i)]);
  }

  if ((Options::B > 0 && Options::blockSize == 0) || haploidModeEnabled) readMapFile(base, meta);
}

void readMapFile(const std::string& base, DatasetMetadata& meta) {
  const std::string name = base + ".map";
  printLine(name);
  TextInput text(name);
  if (!text.is_open()) stopWithError("Error opening .map file");
  std::istream map(&text);

  // Chromosome, SNP name, genetic position, base-pair position.
  constexpr std::size_t kMapFields = 4;
  int64_t count = 0;
  std::string line;
  std::string tokens[kMapFields];
  while (std::getline(map, line)) {
    // Blank lines never get here: record count + 1 is the line's number.
    const std::size_t found = splitFields(line, tokens, kMapFields);
    if (found != kMapFields)
      stopWithMessage("Wrong number of fields in " + name + ", line " + std::to_string(count + 1) + " (found " +
                      std::to_string(found) + ", expecting " + std::to_string(kMapFields) + ")");

    int32_t chromosome = 0;
    try {
      chromosome = boost::lexical_cast<int32_t>(tokens[0]);
    } catch (const boost::bad_lexical_cast&) {
      stopWithMessage("Invalid chromosome code!  Use integers.");
    }
    if (count < L && static_cast<std::size_t>(count) < meta.snpInfo.size()) {
      SNPInfo& snp = meta.snpInfo[static_cast<std::size_t>(count)];
      snp.chromosome = chromosome;
      snp.name = tokens[1];
      snp.haploid = isHaploidChromosome(tokens[0]);
    }
    // Read to their ends, as the .bim's: 1.5e+07, 12x and abc are no
    // positions.
    double distance = 0.0;
    int64_t position = 0;
    if (!readWholeDecimal(tokens[2], distance))
      stopWithMessage("Invalid genetic position in " + name + ", line " + std::to_string(count + 1));
    if (!readWholeInteger(tokens[3], position))
      stopWithMessage("Invalid base-pair position in " + name + ", line " + std::to_string(count + 1));
    if (count < L && static_cast<std::size_t>(count) < meta.snpInfo.size()) {
      SNPInfo& snp = meta.snpInfo[static_cast<std::size_t>(count)];
      snp.geneticPosition = distance;
      snp.position = position;
    }
    ++count;
  }
  text.checkEnd();
  if (count != L) stopWithMessage("Map file length incorrect");
}
