#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "algorithms.h"
#include "bootstrap.h"
#include "e2e_util.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "starting_values.h"
#include "types.h"

namespace {

// Sets up a run state of I x L genotypes whose column j holds the value
// j % 3 in every row, so that a resampled column names its source
// through P, which carries j in row 0.
void setUpRunState(int individuals, int snps, int populations) {
  I = individuals;
  L = snps;
  K = populations;
  delete N;
  delete monomorphics;
  N = new GMatrix(I, L);
  for (int j = 0; j < L; ++j)
    for (int i = 0; i < I; ++i) (*N)(i, j) = static_cast<unsigned char>((i + j) % 3);
  monomorphics = new BVector(L);
  buildMonomorphicsTable(*N, *monomorphics);
}

DatasetMetadata metadataFor(int individuals, int snps) {
  DatasetMetadata meta;
  meta.indInfo.resize(individuals);
  meta.snpInfo.resize(snps);
  for (int j = 0; j < snps; ++j) {
    meta.snpInfo[j].name = "snp" + std::to_string(j);
    meta.snpInfo[j].chromosome = 1;
    meta.snpInfo[j].position = 1000 * (j + 1);
  }
  return meta;
}

// Markers at the given (chromosome, position) pairs, in that order.
std::vector<SNPInfo> markersAt(const std::vector<std::pair<int, int64_t>>& at) {
  std::vector<SNPInfo> snps(at.size());
  for (size_t j = 0; j < snps.size(); ++j) {
    snps[j].chromosome = at[j].first;
    snps[j].position = at[j].second;
  }
  return snps;
}

// Settles the block size of a run over these markers as the program does:
// derived from their spacing when none is given (0), else the given one
// checked against the markers' count.
void settleBlockSize(const std::vector<SNPInfo>& snps, int given) {
  L = static_cast<int>(snps.size());
  Options::blockSize = given;
  if (given == 0)
    calculate_block_size(snps);
  else
    check_block_size();
}

// A method whose step leaves its point unchanged, so a re-fit returns its
// starting point and the bootstrap's arithmetic can be checked exactly.
class StandStill : public Algorithm {
 public:
  void iterate_once(const GMatrix&, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out,
                    const DatasetMetadata&) override {
    Qt_out = Qt_in;
    P_out = P_in;
  }
  double objective(const GMatrix&, const DMatrix&, const DMatrix&, const DatasetMetadata&) override { return 0; }
  const char* getName() override { return "stand still"; }
  const char* getShortName() override { return "Still"; }
};

// The resampling and the bootstrap read the run state that setUpRunState
// builds; the guard frees it and puts back what was there.
using MovingBlock = RunStateTest;
using Bootstrap = RunStateTest;

}  // namespace

TEST(BlockSize, DerivedFromTheMeanSpacingWithinChromosomes) {
  // Three pairs of 200 bp on chromosome 1 and 2 (the change of chromosome
  // forms no pair); 60000 SNPs so that the derived 50000 fits.
  RunResult r = runInChild([] {
    std::vector<SNPInfo> snps(60000);
    for (int j = 0; j < 60000; ++j) {
      snps[j].chromosome = j < 30000 ? 1 : 2;
      snps[j].position = 50 + 200 * (j % 30000);
    }
    L = 60000;
    Options::blockSize = 0;
    calculate_block_size(snps);
    std::cout << "size " << Options::blockSize << std::endl;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Average base pair separation between consecutive markers: 200\n"
            "Block size that will be used for block bootstrap: 50000\n"
            "size 50000\n");
}

TEST(BlockSize, RefusalsTable) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int64_t>> snps;  // chromosome, position
    int given;                                  // 0: derive
    std::string lastLine;
  };
  const std::string hint = "; give a block size of 1 to ";
  std::vector<Case> cases = {
      {"decreasing positions", {{1, 100}, {1, 90}}, 0, "Error: map file not in genome order."},
      // Spacings of 64-bit positions that 32 bits took for 0 and 1.
      {"a fall of 2^32", {{1, 4294967396}, {1, 100}, {1, 300}}, 0, "Error: map file not in genome order."},
      {"a fall across the 64-bit range", {{1, INT64_MAX}, {1, INT64_MIN}}, 0, "Error: map file not in genome order."},
      {"spacings past 2^64 in all", {{1, INT64_MIN}, {1, INT64_MAX}, {2, INT64_MIN}, {2, INT64_MAX}}, 0,
       "Cannot derive a bootstrap block size: the marker spacings add up to more than 2^64 base pairs" + hint +
           "4 SNPs with --blockSize (-h)"},
      {"no pair on one chromosome", {{1, 100}, {2, 90}, {3, 80}}, 0,
       "Cannot derive a bootstrap block size from the marker positions" + hint + "3 SNPs with --blockSize (-h)"},
      {"all at one position", {{1, 100}, {1, 100}}, 0,
       "Cannot derive a bootstrap block size from the marker positions" + hint + "2 SNPs with --blockSize (-h)"},
      {"derived larger than the data", {{1, 100}, {1, 300}, {1, 500}}, 0,
       "Derived block size 50000 is too large" + hint + "3 SNPs with --blockSize (-h)"},
      // A mean spacing a third of a base pair under 2.5 Mb: 1e7 / mean is
      // just over 4, which rounds up to a block of L + 1 SNPs.
      {"derived one above the data", {{1, 0}, {1, 2500000}, {1, 5000000}, {1, 7499999}}, 0,
       "Derived block size 5 is too large" + hint + "4 SNPs with --blockSize (-h)"},
      {"given zero is derived, given negative refused", {{1, 100}, {1, 300}}, -4,
       "Invalid block size -4" + hint + "2 SNPs with --blockSize (-h)"},
      {"given above L", {{1, 100}, {1, 300}}, 3, "Invalid block size 3" + hint + "2 SNPs with --blockSize (-h)"},
  };
  for (const Case& c : cases) {
    RunResult r = runInChild([&] { settleBlockSize(markersAt(c.snps), c.given); });
    EXPECT_EQ(r.status, 255) << c.name;
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines.back(), c.lastLine) << c.name;
  }
}

// A block may span the whole data, and a given one may be a single SNP.
TEST(BlockSize, AcceptedAtTheBounds) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int64_t>> snps;  // chromosome, position
    int given;                                  // 0: derive
    int size;
  };
  // Four SNPs, so L = 4; spacings of 2.5 Mb give 1e7 / mean = 4 exactly.
  const std::vector<std::pair<int, int64_t>> even = {{1, 0}, {1, 2500000}, {1, 5000000}, {1, 7500000}};
  const Case cases[] = {
      {"given one SNP", even, 1, 1},
      {"given all L SNPs", even, 4, 4},
      {"given one SNP of one", {{1, 100}}, 1, 1},
      {"derived exactly L", even, 0, 4},
      // A mean a third of a base pair over 2.5 Mb: 1e7 / mean is just under
      // 4, which rounds up to L.
      {"derived just under L", {{1, 0}, {1, 2500000}, {1, 5000000}, {1, 7500001}}, 0, 4},
  };
  for (const Case& c : cases) {
    RunResult r = runInChild([&] {
      settleBlockSize(markersAt(c.snps), c.given);
      std::cout << "size " << Options::blockSize << std::endl;
    });
    EXPECT_EQ(r.status, 0) << c.name << ": " << r.out;
    EXPECT_EQ(lastLine(r.out), "size " + std::to_string(c.size)) << c.name;
  }
}

// Positions and their spacings are 64-bit: spacings of 2^31 and more (which
// 32 bits took for falls) are averaged as they are.
TEST(BlockSize, SpacingsPast32Bits) {
  struct Case {
    std::vector<int64_t> positions;  // all on chromosome 1
    const char* average;
    int size;
  };
  const Case cases[] = {
      {{100, 100 + (int64_t{1} << 31)}, "2.14748e+09", 1},
      {{0, int64_t{1} << 32, (int64_t{1} << 32) + 400}, "2.14748e+09", 1},
      {{INT64_MIN, INT64_MAX}, "1.84467e+19", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.average);
    RunResult r = runInChild([&] {
      std::vector<SNPInfo> snps(c.positions.size());
      for (size_t j = 0; j < snps.size(); ++j) {
        snps[j].chromosome = 1;
        snps[j].position = c.positions[j];
      }
      L = static_cast<int>(snps.size());
      Options::blockSize = 0;
      calculate_block_size(snps);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Average base pair separation between consecutive markers: " + std::string(c.average) +
                         "\nBlock size that will be used for block bootstrap: " + std::to_string(c.size) + "\n");
  }
}

TEST(BlockSize, ChromosomeChangeIsNotAnError) {
  RunResult r = runInChild([] {
    std::vector<SNPInfo> snps(4);
    int64_t pos[] = {100, 5000100, 90, 5000090};
    int chr[] = {1, 1, 2, 2};
    for (int j = 0; j < 4; ++j) {
      snps[j].chromosome = chr[j];
      snps[j].position = pos[j];
    }
    L = 4;
    Options::blockSize = 0;
    calculate_block_size(snps);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(splitLines(r.out).back(), "Block size that will be used for block bootstrap: 2");
}

TEST_F(MovingBlock, BlocksOfConsecutiveSourceColumns) {
  // L = 10, S = 4: blocks fill columns 0-3, 4-7 and 8-9, each copying
  // consecutive source SNPs from a start in 0 .. 6.
  setUpRunState(5, 10, 2);
  DatasetMetadata meta = metadataFor(5, 10);
  DMatrix P_in(2, 10);
  for (int j = 0; j < 10; ++j) {
    P_in(0, j) = j;
    P_in(1, j) = 100 + j;
  }
  Options::blockSize = 4;
  seedRand(7);
  std::vector<int> starts;
  for (int b = 0; b < 3; ++b) {
    double u = randUnif();
    while (u == 1.0) u = randUnif();
    starts.push_back(static_cast<int>(u * 7));
  }
  seedRand(7);
  GMatrix G(5, 10);
  DMatrix P_out(2, 10);
  DatasetMetadata out = meta;
  resample_under_moving_block_model(G, P_in, P_out, meta, out);
  for (int d = 0; d < 10; ++d) {
    int b = d / 4;
    int source = starts[b] + d % 4;
    ASSERT_GE(starts[b], 0);
    ASSERT_LE(starts[b], 6);
    EXPECT_EQ(P_out(0, d), source) << "column " << d;
    EXPECT_EQ(P_out(1, d), 100 + source);
    EXPECT_EQ(out.snpInfo[d].name, "snp" + std::to_string(source));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(G(i, d), (*N)(i, source));
  }
}

TEST_F(MovingBlock, BlockOfTheWholeDataCopiesIt) {
  setUpRunState(3, 6, 1);
  DatasetMetadata meta = metadataFor(3, 6);
  DMatrix P_in(1, 6);
  for (int j = 0; j < 6; ++j) P_in(0, j) = 0.1 * (j + 1);
  Options::blockSize = 6;
  seedRand(99);
  for (int rep = 0; rep < 5; ++rep) {
    GMatrix G(3, 6);
    DMatrix P_out(1, 6);
    DatasetMetadata out = meta;
    resample_under_moving_block_model(G, P_in, P_out, meta, out);
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(P_out(0, j), P_in(0, j));
      for (int i = 0; i < 3; ++i) EXPECT_EQ(G(i, j), (*N)(i, j));
    }
  }
}

TEST_F(Bootstrap, StandardErrorsAndBiasesOfReplicates) {
  setUpRunState(4, 8, 2);
  DatasetMetadata meta = metadataFor(4, 8);
  DMatrix Qt0(2, 4), P0(2, 8);
  for (int i = 0; i < 4; ++i) {
    Qt0(0, i) = 0.25 + 0.1 * i;
    Qt0(1, i) = 1 - Qt0(0, i);
  }
  for (int j = 0; j < 8; ++j) P0(0, j) = P0(1, j) = 0.5;
  Options::blockSize = 3;
  seedRand(1);
  StandStill still;
  still.printStatus = false;

  // Replicates that return their start give bias 0 and standard error 0;
  // a single replicate gives 0/0.
  for (int B : {1, 4}) {
    Options::B = B;
    DMatrix se(2, 4), bias(2, 4);
    testing::internal::CaptureStdout();
    compute_bootstrap_variances_and_biases(&still, Qt0, P0, se, bias, meta);
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected;
    for (int b = 0; b < B; ++b) expected += "Bootstrap replicate #" + std::to_string(b) + "\n";
    EXPECT_EQ(out, expected);
    for (int k = 0; k < 2; ++k)
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(bias(k, i), 0.0);
        if (B == 1)
          EXPECT_TRUE(std::isnan(se(k, i)));
        else
          EXPECT_EQ(se(k, i), 0.0);
      }
  }
  // The table describes the input data again afterwards.
  BVector expected(L);
  buildMonomorphicsTable(*N, expected);
  for (int j = 0; j < L; ++j) EXPECT_EQ((*monomorphics)(j), expected(j));
}
