#include "fileset_util.h"

#include "e2e_util.h"

namespace {

// The 2-bit field of a genotype value, the inverse of the reader's decoding.
unsigned fieldOf(int g) {
  switch (g) {
    case 0: return 0;
    case 9: return 1;
    case 1: return 2;
    default: return 3;
  }
}

}  // namespace

std::string packGenotypes(const std::vector<int>& values, unsigned pad) {
  std::string bytes;
  for (size_t b = 0; b < (values.size() + 3) / 4; ++b) {
    unsigned byte = 0;
    for (size_t k = 0; k < 4; ++k) {
      const size_t v = 4 * b + k;
      byte |= (v < values.size() ? fieldOf(values[v]) : pad) << (2 * k);
    }
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

std::string snpMajorBed(const std::vector<std::vector<int>>& genotypes, unsigned pad) {
  std::string bed = kSnpMajorBedHeader;
  for (size_t j = 0; j < genotypes[0].size(); ++j) {
    std::vector<int> column;
    for (const auto& row : genotypes) column.push_back(row[j]);
    bed += packGenotypes(column, pad);
  }
  return bed;
}

std::string individualMajorBed(const std::vector<std::vector<int>>& genotypes, char mode, unsigned pad) {
  std::string bed = std::string("\x6C\x1B", 2) + mode;
  for (const auto& row : genotypes) bed += packGenotypes(row, pad);
  return bed;
}

void writeBedFileset(const std::string& base, const std::string& bim, const std::string& fam,
                     const std::string& bed) {
  writeFile(base + ".bim", bim);
  writeFile(base + ".fam", fam);
  writeFile(base + ".bed", bed);
}
