// The check of the haploid genotypes that the input dispatch makes once a
// fileset is read.
#include "e2e_util.h"
#include "genotypes.h"
#include "types.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Genotypes, HemizygousGenotypesMustBeHomozygous) {
  // 6 individuals x 10 SNPs, all heterozygous.
  GMatrix g(6, 10, 1);
  DatasetMetadata m;
  m.indInfo.resize(6);
  m.snpInfo.resize(10);
  for (int l = 0; l < 10; ++l) m.snpInfo[l].name = "rs" + std::to_string(l);
  const auto check = [&] { return runInChild([&] { validateInput(g, m); }); };

  // No flags: nothing is looked at.
  RunResult r = check();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  // Haploid individuals 4 and 5, haploid SNPs 7 and 9: individual 4 (the
  // fifth) at SNP 7 comes first.
  m.indInfo[4].haploid = m.indInfo[5].haploid = true;
  m.snpInfo[7].haploid = m.snpInfo[9].haploid = true;
  r = check();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out,
            "Hemizygous genotypes must be coded as homozgyous for the observed allele\n"
            "Error for individual number 5 at SNP rs7\n");

  // Homozygous and missing calls pass.
  for (int i = 4; i < 6; ++i) {
    g(i, 7) = 0;
    g(i, 9) = (i == 4) ? 2 : 9;
  }
  r = check();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
