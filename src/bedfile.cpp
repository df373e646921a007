#include "bedfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/unordered_map.hpp>

#include "genotypes.h"
#include "run_state.h"
#include "stops.h"
#include "text_input.h"

namespace {

// The .bed header: two magic bytes, then the layout byte.
constexpr unsigned char kBedMagic0 = 0x6C;
constexpr unsigned char kBedMagic1 = 0x1B;
constexpr unsigned char kBedSnpMajor = 0x01;

// Genotype values of the four 2-bit fields of every possible byte, so that
// decoding a byte is one table load instead of four shifts and branches.
struct DecodeTable {
  std::array<std::array<unsigned char, 4>, 256> fields;
  DecodeTable() {
    for (int byte = 0; byte < 256; ++byte)
      for (int k = 0; k < 4; ++k) {
        const int field = (byte >> (2 * k)) & 3;
        fields[byte][k] = static_cast<unsigned char>(plinkDecodeBits(field & 1, field & 2));
      }
  }
};

const DecodeTable& decodeTable() {
  static const DecodeTable table;
  return table;
}

// Fields of one .bim line: chromosome, SNP name, genetic distance,
// base-pair position and the two alleles; of one .fam line: family,
// individual, father, mother, sex code and phenotype.
constexpr std::size_t kBimFields = 6;
constexpr std::size_t kFamFields = 6;
constexpr std::size_t kFamSexField = 4;

// Reads the .bim into snps, in file order: one record of six fields per
// line. Ends the run on every failure.
void readBim(const std::string& name, std::vector<SNPInfo>& snps) {
  TextInput text(name);
  if (!text.is_open()) stopWithMessage("Error opening .bim file!");
  std::istream bim(&text);

  const AllocationName allocating("the SNP list of " + name);
  std::string line;
  std::string fields[kBimFields];
  int64_t lineNumber = 0;
  while (std::getline(bim, line)) {
    ++lineNumber;
    // Each line is one record: a line of five fields or seven is refused,
    // not read across into the next record.
    const std::size_t found = splitFields(line, fields, kBimFields);
    if (found != kBimFields)
      stopWithMessage("Wrong number of fields in " + name + ", line " + std::to_string(lineNumber) + " (found " +
                      std::to_string(found) + ", expecting " + std::to_string(kBimFields) + ")");

    SNPInfo snp;
    try {
      snp.chromosome = boost::lexical_cast<int32_t>(fields[0]);
    } catch (const boost::bad_lexical_cast&) {
      stopWithMessage("Invalid chromosome code!  Use integers.");
    }
    snp.haploid = isHaploidChromosome(fields[0]);
    snp.name = fields[1];
    double distance = 0.0;
    if (!readWholeDecimal(fields[2], distance))
      stopWithMessage("Problem reading BIM file, line " + std::to_string(lineNumber));
    snp.geneticPosition = distance / 100.0;
    if (!readWholeInteger(fields[3], snp.position))
      stopWithMessage("Invalid base-pair position in " + name + ", line " + std::to_string(lineNumber));

    // L is an int: a longer SNP list cannot be described.
    if (snps.size() >= static_cast<std::size_t>(std::numeric_limits<int>::max()))
      stopOutOfMemory("the SNP list (more than " +
                      std::to_string(std::numeric_limits<int>::max()) + " SNPs)");
    snp.fileIndex = static_cast<int64_t>(snps.size());
    snps.push_back(snp);
  }
  text.checkEnd();
  if (snps.empty()) stopWithMessage("No SNPs!");
}

// The sex code of a .fam line; ends the run unless the line holds six
// fields, so that a line of five or seven cannot shift the later lines'
// fields.
std::string famSexCode(const std::string& name, const std::string& line, int64_t lineNumber) {
  std::string fields[kFamFields];
  const std::size_t found = splitFields(line, fields, kFamFields);
  if (found != kFamFields)
    stopWithMessage("Wrong number of fields in " + name + ", line " + std::to_string(lineNumber) + " (found " +
                    std::to_string(found) + ", expecting " + std::to_string(kFamFields) + ")");
  return fields[kFamSexField];
}

// Counts the .fam's individuals and sets their haploid flags. A last line
// without a line feed is still an individual; blank lines at the end are
// none (the .bed's padding bits would fill them).
void readFam(const std::string& name, DatasetMetadata& meta, int snpCount) {
  TextInput text(name);
  if (!text.is_open()) stopWithMessage("Error opening .fam file!");
  std::istream fam(&text);

  // Every line is checked before the genotype matrix is allocated.
  int64_t lines = 0;
  std::string line;
  while (std::getline(fam, line)) famSexCode(name, line, ++lines);
  text.checkEnd();
  if (lines > std::numeric_limits<int>::max())
    stopOutOfMemory("the genotype matrix (" + std::to_string(lines) + " x " +
                    std::to_string(snpCount) + ")");
  I = static_cast<int>(lines);
  L = snpCount;

  N = createGenotypeMatrix(I, L);
  {
    const AllocationName allocating("the dataset description (" + std::to_string(I) + " x " +
                                    std::to_string(L) + ")");
    meta.indInfo.assign(static_cast<std::size_t>(I), IndInfo());
    meta.snpInfo.assign(static_cast<std::size_t>(L), SNPInfo());
  }

  text.rewind();
  fam.clear();
  for (int i = 0; i < I && std::getline(fam, line); ++i)
    meta.indInfo[static_cast<std::size_t>(i)].haploid = isHaploidSex(famSexCode(name, line, i + 1));
}

[[noreturn]] void bedReadError() { stopWithMessage("Error reading .bed file"); }

// Fills N from the .bed that follows the three header bytes.
void readBedBlocks(std::ifstream& bed, bool snpMajor,
                   const boost::unordered_map<int, int>& columnOf) {
  const auto& table = decodeTable().fields;
  const std::size_t rows = static_cast<std::size_t>(I);
  unsigned char* cells = N->data().begin();

  if (snpMajor) {
    const std::size_t blockBytes = (rows + 3) / 4;
    const std::size_t fullBytes = rows / 4;
    const std::size_t tail = rows % 4;
    std::vector<unsigned char> block(blockBytes);
    for (int j = 0; j < L; ++j) {
      if (blockBytes > 0 &&
          !bed.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(blockBytes)))
        bedReadError();
      unsigned char* column = cells + static_cast<std::size_t>(columnOf.at(j)) * rows;
      for (std::size_t b = 0; b < fullBytes; ++b) std::memcpy(column + 4 * b, table[block[b]].data(), 4);
      if (tail > 0) std::memcpy(column + 4 * fullBytes, table[block[fullBytes]].data(), tail);
    }
  } else {
    // The map is a permutation of 0..L-1; an array of it keeps the
    // per-genotype lookup out of the hash table.
    std::vector<std::size_t> offsetOf(static_cast<std::size_t>(L));
    for (int j = 0; j < L; ++j) offsetOf[j] = static_cast<std::size_t>(columnOf.at(j)) * rows;
    const std::size_t snps = static_cast<std::size_t>(L);
    const std::size_t blockBytes = (snps + 3) / 4;
    std::vector<unsigned char> block(blockBytes);
    for (std::size_t i = 0; i < rows; ++i) {
      if (!bed.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(blockBytes)))
        bedReadError();
      for (std::size_t b = 0; b < blockBytes; ++b) {
        const unsigned char* values = table[block[b]].data();
        for (std::size_t k = 0; k < 4 && 4 * b + k < snps; ++k) cells[offsetOf[4 * b + k] + i] = values[k];
      }
    }
  }
}

}  // namespace

int plinkDecodeBits(int lowBit, int highBit) {
  const bool low = lowBit != 0;
  const bool high = highBit != 0;
  if (!high) return low ? kMissing : 0;
  return low ? 2 : 1;
}

void readPlinkBedFiles(const std::string& base, DatasetMetadata& meta) {
  std::vector<SNPInfo> snps;
  readBim(base + ".bim", snps);

  std::stable_sort(snps.begin(), snps.end());
  boost::unordered_map<int, int> columnOf;
  {
    const AllocationName allocating("the SNP column map (" + std::to_string(snps.size()) + " SNPs)");
    columnOf.reserve(snps.size());
    for (std::size_t p = 0; p < snps.size(); ++p)
      columnOf[static_cast<int>(snps[p].fileIndex)] = static_cast<int>(p);
  }

  readFam(base + ".fam", meta, static_cast<int>(snps.size()));

  std::ifstream bed((base + ".bed").c_str(), std::ios::in | std::ios::binary);
  if (!bed.is_open()) stopWithMessage("Error opening .bed file!");

  unsigned char header[3] = {0, 0, 0};
  bed.read(reinterpret_cast<char*>(header), 3);
  const std::streamsize got = bed.gcount();
  if ((got >= 1 && header[0] != kBedMagic0) || (got >= 2 && header[1] != kBedMagic1))
    stopWithMessage("Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)");
  if (got < 3) bedReadError();

  {
    const AllocationName allocating("the .bed read buffers (" + std::to_string(I) + " x " + std::to_string(L) + ")");
    readBedBlocks(bed, header[2] == kBedSnpMajor, columnOf);
  }

  if (bed.get() != std::char_traits<char>::eof()) bedReadError();
  bed.close();

  std::copy(snps.begin(), snps.end(), meta.snpInfo.begin());
}
