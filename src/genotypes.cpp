#include "genotypes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>

#include "run_state.h"
#include "stops.h"
#include "utils.h"

void validateInput(const GMatrix& G, const DatasetMetadata& meta) {
  const std::size_t rows = std::min(G.size1(), meta.indInfo.size());
  const std::size_t cols = std::min(G.size2(), meta.snpInfo.size());
  for (std::size_t i = 0; i < rows; ++i) {
    if (!meta.indInfo[i].haploid) continue;
    for (std::size_t l = 0; l < cols; ++l) {
      if (!meta.snpInfo[l].haploid) continue;
      const unsigned char g = G(i, l);
      if (g == 0 || g == 2 || g == kMissing) continue;
      std::cout << "Hemizygous genotypes must be coded as homozgyous for the observed allele\n"
                << std::flush;
      stopWithMessage("Error for individual number " + std::to_string(i + 1) + " at SNP " +
                      meta.snpInfo[l].name);
    }
  }
}

GMatrix* createGenotypeMatrix(int64_t rows, int64_t cols) {
  const std::string what = "the genotype matrix (" + std::to_string(rows) + " x " +
                           std::to_string(cols) + ")";
  // Both counts fit an int, so the 64-bit product cannot overflow; an
  // object larger than PTRDIFF_MAX cannot be addressed even when size_t
  // could hold its size.
  const uint64_t cells = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
  if (cells > static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) ||
      cells > std::numeric_limits<std::size_t>::max())
    stopOutOfMemory(what);
  const AllocationName allocating(what);
  return new GMatrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
}

bool isHaploidSex(const std::string& code) {
  const int sex = strtol32(code.c_str(), nullptr);
  return std::find(haploid_sexes.begin(), haploid_sexes.end(), sex) != haploid_sexes.end();
}

bool isHaploidChromosome(const std::string& token) {
  if (haploid_chrs.empty()) return false;
  if (haploid_chrs.front() == ALLCHRS_PROXY) return true;
  return std::find(haploid_chrs.begin(), haploid_chrs.end(), token) != haploid_chrs.end();
}
