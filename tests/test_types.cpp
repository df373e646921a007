// The records that describe a data set.
#include "types.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(Types, SnpGenomeOrder) {
  auto snp = [](int chr, int64_t pos, const char* name) {
    SNPInfo s;
    s.chromosome = chr;
    s.position = pos;
    s.name = name;
    return s;
  };
  // Same chromosome and position: neither is less, so a stable sort keeps
  // their file order; a larger position on a smaller chromosome comes first.
  std::vector<SNPInfo> snps = {snp(2, 5, "a"), snp(1, 900, "b"), snp(2, 5, "c"),
                               snp(1, 10, "d"), snp(2, 1, "e")};
  EXPECT_FALSE(snps[0] < snps[2]);
  EXPECT_FALSE(snps[2] < snps[0]);
  std::stable_sort(snps.begin(), snps.end());
  std::string order;
  for (const SNPInfo& s : snps) order += s.name;
  EXPECT_EQ(order, "dbeac");
}

}  // namespace
