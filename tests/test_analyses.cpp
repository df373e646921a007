// End-to-end runs of the analyses that follow a point estimation (the
// cross-validation error and the bootstrap), of the PED input against its
// bed twin, and of the haploid mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "fileset_util.h"

namespace {

double cvError(const std::string& out, int k) {
  std::string key = "CV error (K=" + std::to_string(k) + "): ";
  size_t at = out.find(key);
  EXPECT_NE(at, std::string::npos) << key;
  return at == std::string::npos ? NAN : std::stod(out.substr(at + key.size()));
}

// Writes a SNP-major bed fileset for the genotypes g[i][l] (0, 1, 2 copies
// of the second allele, 9 missing), SNP l on the given chromosome and
// individual i of the given sex.
void writeGenotypeFileset(const std::string& base, const std::vector<std::vector<int>>& g,
                          const std::vector<int>& chromosome, const std::vector<int>& sex) {
  std::string bim, fam;
  for (size_t l = 0; l < chromosome.size(); ++l)
    bim += std::to_string(chromosome[l]) + " snp" + std::to_string(l) + " 0 " + std::to_string(1000 * (l + 1)) +
           " A G\n";
  for (size_t i = 0; i < g.size(); ++i)
    fam += "f" + std::to_string(i) + " i" + std::to_string(i) + " 0 0 " + std::to_string(sex[i]) + " -9\n";
  writeBedFileset(base, bim, fam, snpMajorBed(g));
}

}  // namespace

TEST(Analyses, CrossValidationChoosesTheTrueK) {
  // The simulated data have three populations.
  std::vector<double> errors;
  for (int k = 1; k <= 5; ++k) {
    TempDir dir;
    RunResult r = runKelvanore({testData("sim3.bed"), std::to_string(k), "--cv", "-j4"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Cross-validation will be performed.  Folds=5.\n"), std::string::npos);
    errors.push_back(cvError(r.out, k));
  }
  size_t best = std::min_element(errors.begin(), errors.end()) - errors.begin();
  EXPECT_EQ(best + 1, 3u) << errors[0] << " " << errors[1] << " " << errors[2] << " " << errors[3] << " "
                          << errors[4];
}

TEST(Analyses, BootstrapWritesStandardErrorsAndBiases) {
  TempDir dir;
  RunResult r = runKelvanore({testData("sim3.bed"), "3", "-B10", "-j4"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Average base pair separation between consecutive markers: 20371.5\n"
                       "Block size that will be used for block bootstrap: 491\n"),
            std::string::npos);
  for (int b = 0; b < 10; ++b)
    EXPECT_NE(r.out.find("Bootstrap replicate #" + std::to_string(b) + "\n"), std::string::npos);
  Table se = readTable(dir.file("sim3.3.Q_se"));
  Table bias = readTable(dir.file("sim3.3.Q_bias"));
  ASSERT_EQ(se.size(), 302u);
  ASSERT_EQ(bias.size(), 302u);
  std::vector<double> all;
  for (const auto& row : se)
    for (double v : row) {
      EXPECT_GE(v, 0);
      all.push_back(v);
    }
  std::sort(all.begin(), all.end());
  double median = all[all.size() / 2];
  EXPECT_GT(median, 0.001);
  EXPECT_LT(median, 0.1);
  EXPECT_LT(all.back(), 0.3);
}

TEST(Analyses, CrossValidationAndBootstrapDoNotDependOnTheThreadCount) {
  // Caps decide every stop (10 iterations for the point estimation, the
  // minor criterion's default 3 for each re-fit), never the log-likelihood,
  // whose last bits depend on how the SNPs are split among threads.
  const std::vector<std::string> common = {testData("sim3.bed"), "3", "--cv=5", "-B5", "-C", "10"};
  TempDir one, four;
  std::vector<std::string> args = common;
  args.push_back("-j1");
  RunResult a = runKelvanore(args, one.path());
  args.back() = "-j4";
  RunResult b = runKelvanore(args, four.path());
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(b.status, 0) << b.out;
  for (const char* name : {"sim3.3.Q", "sim3.3.P", "sim3.3.Q_se", "sim3.3.Q_bias"})
    EXPECT_EQ(readFile(one.file(name)), readFile(four.file(name))) << name;
  // The console from "Random seed:" on (the thread count is printed before
  // it), times aside. The deltas of the last iterations (below 1e-5) print
  // the log-likelihoods' last bits in their sixth digit, so they may differ
  // by a few units in the last place of a log-likelihood near 1.3e6
  // (2.3e-10 each); every other number must print the same.
  const NumberTolerance lastBits = {1e-8};
  const std::vector<std::string> console = consoleDifferences(a.out, b.out, lastBits);
  EXPECT_TRUE(console.empty()) << describeDifferences(console);
  EXPECT_NE(a.out.find("CV error (K=3): "), std::string::npos);
  EXPECT_NE(a.out.find("Bootstrap replicate #4\n"), std::string::npos);
}

TEST(Analyses, LaterPassesFitTheInputDataAfterTheAnalyses) {
  // The analyses rebuild the monomorphic table for their own data sets; a
  // second point estimation must pin the monomorphic SNPs of the input
  // again, not those of the last bootstrap replicate. Every fourth SNP here
  // is monomorphic, and blocks of one SNP scatter them over other columns.
  TempDir dir;
  const int individuals = 40, snps = 60;
  std::vector<int> chromosome(snps, 1), sex(individuals, 1);
  std::vector<std::vector<int>> g(individuals, std::vector<int>(snps));
  for (int i = 0; i < individuals; ++i)
    for (int l = 0; l < snps; ++l) g[i][l] = l % 4 == 0 ? (l % 8 ? 2 : 0) : (i * 5 + l * 3 + (i < 20 ? l : 0)) % 3;
  std::string base = dir.file("mono");
  writeGenotypeFileset(base, g, chromosome, sex);
  TempDir plain, analysed;
  std::vector<std::string> common = {base + ".bed", "2", "-l", "0,1", "-C", "3", "-a", "none"};
  std::vector<std::string> withAnalyses = common;
  for (const char* a : {"-B2", "-h", "1", "--cv=2"}) withAnalyses.push_back(a);
  RunResult a = runKelvanore(common, plain.path());
  RunResult b = runKelvanore(withAnalyses, analysed.path());
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(readFile(plain.file("mono.2.P.lambda.1")), readFile(analysed.file("mono.2.P.lambda.1")));
  EXPECT_EQ(readFile(plain.file("mono.2.Q.lambda.1")), readFile(analysed.file("mono.2.Q.lambda.1")));
}

TEST(Analyses, PedTwinGivesTheSameEstimate) {
  // Convert the bed fileset to its "12"-coded PED twin: the PED counts the
  // allele coded 1 (the .bim's first), so a bed genotype g becomes 2 - g.
  TempDir dir;
  std::string bed = readFile(testData("sim3.bed"));
  std::vector<std::string> fam = splitLines(readFile(testData("sim3.fam")));
  const size_t individuals = fam.size(), snps = splitLines(readFile(testData("sim3.bim"))).size();
  const size_t block = (individuals + 3) / 4;
  std::string ped;
  for (size_t i = 0; i < individuals; ++i) {
    ped += fam[i];
    for (size_t l = 0; l < snps; ++l) {
      int field = (static_cast<unsigned char>(bed[3 + l * block + i / 4]) >> (2 * (i % 4))) & 3;
      static const char* pair[] = {" 1 1", " 0 0", " 1 2", " 2 2"};
      ped += pair[field];
    }
    ped += "\n";
  }
  writeFile(dir.file("twin.ped"), ped);
  TempDir bedRun, pedRun;
  RunResult a = runKelvanore({testData("sim3.bed"), "3", "-j4"}, bedRun.path());
  RunResult b = runKelvanore({dir.file("twin.ped"), "3", "-j4"}, pedRun.path());
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(b.status, 0) << b.out;
  EXPECT_LT(matchedMaxDiff(readTable(bedRun.file("sim3.3.Q")), readTable(pedRun.file("twin.3.Q"))), 2e-3);
}

TEST(Analyses, HaploidModeEndToEnd) {
  // 40 individuals, alternately male (1) and female (2); SNPs 0-29 on
  // chromosome 1 and 30-39 on chromosome 23, where males are hemizygous.
  TempDir dir;
  const int individuals = 40, snps = 40;
  std::vector<int> chromosome(snps), sex(individuals);
  std::vector<std::vector<int>> g(individuals, std::vector<int>(snps));
  for (int l = 0; l < snps; ++l) chromosome[l] = l < 30 ? 1 : 23;
  for (int i = 0; i < individuals; ++i) {
    sex[i] = i % 2 ? 2 : 1;
    for (int l = 0; l < snps; ++l) {
      int v = (i * 7 + l * 13 + i * l) % 3;
      if (chromosome[l] == 23 && sex[i] == 1 && v == 1) v = (i + l) % 2 ? 2 : 0;
      g[i][l] = v;
    }
  }
  std::string base = dir.file("hap");
  writeGenotypeFileset(base, g, chromosome, sex);
  RunResult ok = runKelvanore({base + ".bed", "2", "-x", "male:23", "-C", "5"}, dir.path());
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("Will treat specified (gender * chr) markers as haploid\n"), std::string::npos);
  EXPECT_TRUE(fileExists(dir.file("hap.2.Q")));

  // With one population the estimate of P is the allele count over the
  // chromosomes that carry it: a male's call on chromosome 23 counts one
  // allele of one in haploid mode (his 0 or 2 is 0 or 1 copy), two of two
  // otherwise. One EM step reaches it. Every third SNP is monomorphic, and
  // its estimate the bound of the feasible region.
  for (bool haploid : {true, false}) {
    SCOPED_TRACE(haploid ? "haploid" : "diploid");
    TempDir run;
    std::vector<std::string> args = {base + ".bed", "1", "-m", "em", "-a", "none"};
    if (haploid) args.insert(args.end(), {"-x", "male:23"});
    const RunResult r = runKelvanore(args, run.path());
    ASSERT_EQ(r.status, 0) << r.out;
    const Table p = readTable(run.file("hap.1.P"));
    ASSERT_EQ(p.size(), static_cast<size_t>(snps));
    int differing = 0;
    for (int l = 0; l < snps; ++l) {
      double copies = 0, chromosomes = 0, diploidCopies = 0;
      for (int i = 0; i < individuals; ++i) {
        const bool hemizygous = haploid && chromosome[l] == 23 && sex[i] == 1;
        copies += hemizygous ? g[i][l] / 2 : g[i][l];
        chromosomes += hemizygous ? 1 : 2;
        diploidCopies += g[i][l];
      }
      ASSERT_EQ(p[l].size(), 1u);
      const double expected = std::min(std::max(copies / chromosomes, 1e-5), 0.99999);
      EXPECT_NEAR(p[l][0], expected, 5e-7) << "SNP " << l;  // 6 decimals written
      differing += std::fabs(copies / chromosomes - diploidCopies / (2.0 * individuals)) > 0.01;
    }
    // The haploid estimate departs from the diploid one at chromosome 23.
    EXPECT_EQ(differing > 0, haploid);
  }

  // Individual 5 (counted from 1, a male) with a heterozygous call at snp33.
  g[4][33] = 1;
  writeGenotypeFileset(base, g, chromosome, sex);
  RunResult bad = runKelvanore({base + ".bed", "2", "-x", "male:23"}, dir.path());
  EXPECT_EQ(bad.status, 255);
  std::vector<std::string> lines = splitLines(bad.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Hemizygous genotypes must be coded as homozgyous for the observed allele");
  EXPECT_EQ(lines.back(), "Error for individual number 5 at SNP snp33");
  // Without the haploid option the same data are diploid and run.
  RunResult diploid = runKelvanore({base + ".bed", "2", "-C", "2"}, dir.path());
  EXPECT_EQ(diploid.status, 0);
}

// With the point estimation skipped, the bootstrap re-fits with a method
// built from the configuration around the starting values read from files,
// and the result files hold those values unchanged.
TEST(Analyses, BootstrapAfterSkippedPointEstimation) {
  TempDir dir;
  RunResult first = runKelvanore({testData("sim3.bed"), "3", "-C", "3"}, dir.path());
  ASSERT_EQ(first.status, 0) << first.out;
  copyFile(dir.file("sim3.3.Q"), dir.file("sim3.3.Q.in"));
  copyFile(dir.file("sim3.3.P"), dir.file("sim3.3.P.in"));

  RunResult r = runKelvanore({"-z", "-i", "-B2", testData("sim3.bed"), "3"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Will skip point estimation.\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Starting main algorithm"), std::string::npos);
  EXPECT_NE(r.out.find("Bootstrap replicate #1\n"), std::string::npos);
  // Each replicate is re-fitted for the minor criterion's 3 iterations.
  EXPECT_NE(r.out.find("3 (QN/Block) \tElapsed: "), std::string::npos);
  EXPECT_EQ(readFile(dir.file("sim3.3.Q")), readFile(dir.file("sim3.3.Q.in")));
  EXPECT_EQ(readFile(dir.file("sim3.3.P")), readFile(dir.file("sim3.3.P.in")));
  for (const char* name : {"sim3.3.Q_se", "sim3.3.Q_bias"}) {
    SCOPED_TRACE(name);
    Table t = readTable(dir.file(name));
    ASSERT_EQ(t.size(), 302u);
    for (const auto& row : t) {
      ASSERT_EQ(row.size(), 3u);
      for (double v : row) EXPECT_TRUE(std::isfinite(v));
    }
  }
}
