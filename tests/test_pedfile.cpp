#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bedfile.h"
#include "e2e_util.h"
#include "fileset_util.h"
#include "matrix_util.h"
#include "options.h"
#include "pedfile.h"
#include "reader_fixture.h"
#include "run_state.h"
#include "types.h"

namespace {

const std::string kThreeLines =
    "F1 I1 0 0 1 -9 1 1 1 2\n"
    "F2 I2 0 0 2 -9 2 2 0 0\n"
    "F3 I3 0 0 0 -9 2 1 1 1\n";

const std::vector<std::vector<int>> kThreeLinesGenotypes = {{2, 1}, {0, 9}, {1, 2}};

class PedReaderTest : public ReaderFixture {
 protected:
  std::string base() const { return dir.file("set"); }

  void writePed(const std::string& text) { writeFile(dir.file("set.ped"), text); }
  void writeMap(const std::string& text) { writeFile(dir.file("set.map"), text); }

  // Runs the reader in a child (it may end the process).
  RunResult readInChild() {
    const std::string b = base();
    return runInChild([b] {
      DatasetMetadata m;
      readPlinkFiles(b, m);
    });
  }

  TempDir dir;
  DatasetMetadata meta;
};

TEST_F(PedReaderTest, ThreeLineExampleAndItsVariants) {
  std::string noFinalLineFeed = kThreeLines;
  noFinalLineFeed.pop_back();
  std::string crlf;
  for (const std::string& line : splitLines(kThreeLines)) crlf += line + "\r\n";
  const std::string firstLineTrailingBlank = "F1 I1 0 0 1 -9 1 1 1 2 \n" + kThreeLines.substr(23);
  const std::string firstLineCr = "F1 I1 0 0 1 -9 1 1 1 2\r\n" + kThreeLines.substr(23);
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"as given", kThreeLines},
      {"no final line feed", noFinalLineFeed},
      {"carriage returns", crlf},
      {"trailing blank on the first line", firstLineTrailingBlank},
      {"carriage return on the first line", firstLineCr},
      {"blank lines at the end", kThreeLines + "\n\r\n \n"},
      {"white space after the last line end", kThreeLines + " \t"},
      {"byte-order mark", "\xEF\xBB\xBF" + kThreeLines},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runState_.releaseObjects();
    DatasetMetadata m;
    writePed(c.text);
    readPlinkFiles(base(), m);
    ASSERT_EQ(I, 3);
    ASSERT_EQ(L, 2);
    EXPECT_EQ(rowsOf(*N), kThreeLinesGenotypes);
    EXPECT_EQ(m.indInfo.size(), 3u);
    ASSERT_EQ(m.snpInfo.size(), 2u);
    EXPECT_EQ(m.snpInfo[1].name, "");  // no .map needed, none read
    EXPECT_EQ(m.snpInfo[1].fileIndex, 0);
  }
}

// Every refusal of the reader ends the run with its lines and status 255,
// whether found in the .ped or, when the .map is read (here in haploid
// mode), in the .map after its name.
TEST_F(PedReaderTest, RefusalsStopWithTheirLines) {
  struct Case {
    const char* name;
    std::string ped;  // kNoFile: none
    const char* map;  // null: the .map is not read
    std::string out;
    std::string err;
  };
  const std::string kNoFile = "\x01<none>";
  const std::string ped = base() + ".ped", map = base() + ".map";
  const std::string mapLine = map + "\n";
  const std::string inputError = "PLINK Input file error\n";
  const std::string first = "F1 I1 0 0 1 -9 1 1 1 2 2 2\n";
  const std::string separator = "Invalid separator between genotype pairs in " + ped + ", line ";
  const std::string fields = "Wrong number of fields in " + map + ", line ";
  const std::string position = "Invalid base-pair position in " + map + ", line ";
  const std::string genetic = "Invalid genetic position in " + map + ", line ";
  const Case cases[] = {
      {"no .ped", kNoFile, nullptr, "", "Error opening file\n"},
      // Malformed lines are input errors.
      {"empty file", "", nullptr, inputError, ""},
      {"eight blanks on the first line", "F1 I1 0 0 1 -9 1 1 1\n", nullptr, inputError, ""},
      {"one blank", "F1 I1\n", nullptr, inputError, ""},
      {"three blanks", "F1 I1 0 0\n", nullptr, inputError, ""},
      {"one allele 0", "F1 I1 0 0 1 -9 0 1 1 2\n", nullptr, inputError, ""},
      {"allele 3", "F1 I1 0 0 1 -9 1 3 1 2\n", nullptr, inputError, ""},
      {"tab inside a pair", "F1 I1 0 0 1 -9 1\t2 1 2\n", nullptr, inputError, ""},
      {"second line with fewer pairs", "F1 I1 0 0 1 -9 1 1 1 2\nF2 I2 0 0 1 -9 1 1\n", nullptr, inputError, ""},
      {"second line with more pairs", "F1 I1 0 0 1 -9 1 1 1 2\nF2 I2 0 0 1 -9 1 1 1 2 2 2\n", nullptr, inputError,
       ""},
      {"line of fewer than six fields", "F1 I1 0 0 1 -9 1 1 1 2\nF2 I2 0 0\n", nullptr, inputError, ""},
      {"line ending early", "F1 I1 0 0 1 -9 1 1 1 2\nF2 I2 0 0 1 -9 1 1 1", nullptr, inputError, ""},
      {"tab between header fields", "F1 I1 0 0 1 -9 1 1 1 2\nF2\tI2 0 0 1 -9 1 1 1 2\n", nullptr, inputError, ""},
      // Blank lines may only end a file: one between records is a lost
      // record or a phantom one, wherever it stands.
      {"blank .ped line, second line", "F1 I1 0 0 1 -9 1 1 1 2\n\nF3 I3 0 0 1 -9 1 1 1 2\n", nullptr,
       "Blank line in " + ped + ", line 2\n", ""},
      {"blank .ped line, first line", "  \nF1 I1 0 0 1 -9 1 1 1 2\n", nullptr, "Blank line in " + ped + ", line 1\n",
       ""},
      {"blank .ped line before a last record without a line feed", kThreeLines + "\t\nF4 I4 0 0 1 -9 1 1 1 2",
       nullptr, "Blank line in " + ped + ", line 4\n", ""},
      {"blank .map line", kThreeLines, "1 a 0 1\n\n1 b 0 2\n", mapLine + "Blank line in " + map + ", line 2\n", ""},
      // The one character between two pairs must be a blank too, like the
      // one inside a pair; the refusal names the file and line.
      {"X between the first two pairs", first + "F2 I2 0 0 1 -9 1 1X2 2 1 2\n", nullptr, separator + "2\n", ""},
      {"tab between the last two pairs", first + "F2 I2 0 0 1 -9 1 1 2 2\t1 2\n", nullptr, separator + "2\n", ""},
      {"carriage return between pairs", first + first + "F3 I3 0 0 1 -9 1 1 2 2\r1 2\r\n", nullptr,
       "Carriage return without line feed in " + ped + ", line 3\n", ""},
      // Two replaced separators keep the first line's count of blanks even.
      {"first line", "F1 I1 0 0 1 -9 1 1X1 2X2 2 1 1\n", nullptr, separator + "1\n", ""},
      // A lone character where the first line's parity catches it stays the old error.
      {"first line, one replaced", "F1 I1 0 0 1 -9 1 1X1 2 2 2\n", nullptr, inputError, ""},
      // The .map.
      {"chromosome X", kThreeLines, "X a 0 1\n1 b 0 2\n", mapLine + "Invalid chromosome code!  Use integers.\n", ""},
      {"chromosome chr1", kThreeLines, "chr1 a 0 1\n1 b 0 2\n", mapLine + "Invalid chromosome code!  Use integers.\n",
       ""},
      {"chromosome 1.0", kThreeLines, "1.0 a 0 1\n1 b 0 2\n", mapLine + "Invalid chromosome code!  Use integers.\n",
       ""},
      // These ended with "ShouldNotReachHere()".
      {"three tokens", kThreeLines, "1 a 0 1\n1 b 0\n", mapLine + fields + "2 (found 3, expecting 4)\n", ""},
      {"five tokens", kThreeLines, "1 a 0 1 x\n1 b 0 2\n", mapLine + fields + "1 (found 5, expecting 4)\n", ""},
      {"one token", kThreeLines, "1\n1 b 0 2\n", mapLine + fields + "1 (found 1, expecting 4)\n", ""},
      {"one record short", kThreeLines, "1 a 0 1\n", mapLine + "Map file length incorrect\n", ""},
      {"one record long", kThreeLines, "1 a 0 1\n1 b 0 2\n1 c 0 3\n", mapLine + "Map file length incorrect\n", ""},
      {"empty .map", kThreeLines, "", mapLine + "Map file length incorrect\n", ""},
      // Read by their leading numbers, these were 1, 12 and 0 (the last
      // ending a bootstrap run with "map file not in genome order").
      {"position in exponent form", kThreeLines, "1 a 0 1\n1 b 0 1.5e+07\n", mapLine + position + "2\n", ""},
      {"position with text after it", kThreeLines, "1 a 0 12x\n1 b 0 20\n", mapLine + position + "1\n", ""},
      {"position of letters", kThreeLines, "1 a 0 1\n1 b 0 abc\n", mapLine + position + "2\n", ""},
      {"position beyond 64 bits", kThreeLines, "1 a 0 99999999999999999999\n1 b 0 2\n", mapLine + position + "1\n",
       ""},
      {"genetic position with a unit", kThreeLines, "1 a 1.25cM 1\n1 b 0 2\n", mapLine + genetic + "1\n", ""},
      {"genetic position nan", kThreeLines, "1 a 0 1\n1 b nan 2\n", mapLine + genetic + "2\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(ped.c_str());
    unlink(map.c_str());
    if (c.ped != kNoFile) writePed(c.ped);
    if (c.map) writeMap(c.map);
    haploidModeEnabled = c.map != nullptr;
    const RunResult r = readInChild();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(PedReaderTest, SexFieldSetsHaploidIndividuals) {
  writePed(kThreeLines);
  haploid_sexes = {1};
  readPlinkFiles(base(), meta);
  EXPECT_TRUE(meta.indInfo[0].haploid);
  EXPECT_FALSE(meta.indInfo[1].haploid);
  EXPECT_FALSE(meta.indInfo[2].haploid);

  runState_.releaseObjects();
  DatasetMetadata every;
  haploid_sexes = {1, 2, -9};
  readPlinkFiles(base(), every);
  EXPECT_TRUE(every.indInfo[0].haploid);
  EXPECT_TRUE(every.indInfo[1].haploid);
  EXPECT_FALSE(every.indInfo[2].haploid);
}

// The whole sex field is the code, read as the .fam's is: the PED and BED
// twins of one data set give every individual the same haploid flag.
TEST_F(PedReaderTest, SexFieldIsReadAsTheFamsIs) {
  struct Case {
    const char* code;
    bool haploid;  // with the wildcard's sexes 1, 2 and -9
  };
  const Case cases[] = {{"-9", true}, {"1", true}, {"2", true}, {"0", false}, {"1x", true},
                        {"12", false}, {"01", true}, {"9", false}, {"x", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    runState_.releaseObjects();
    haploid_sexes = {1, 2, -9};
    writePed(std::string("F1 I1 0 0 ") + c.code + " -9 1 1\n");
    DatasetMetadata ped;
    readPlinkFiles(base(), ped);
    ASSERT_EQ(ped.indInfo.size(), 1u);
    EXPECT_EQ(ped.indInfo[0].haploid, c.haploid);

    runState_.releaseObjects();
    haploid_sexes = {1, 2, -9};
    writeBedFileset(base(), "1 a 0 1 A G\n", std::string("F1 I1 0 0 ") + c.code + " -9\n",
                    kSnpMajorBedHeader + std::string(1, '\0'));
    DatasetMetadata bed;
    readPlinkBedFiles(base(), bed);
    ASSERT_EQ(bed.indInfo.size(), 1u);
    EXPECT_EQ(bed.indInfo[0].haploid, c.haploid);
  }
}

TEST_F(PedReaderTest, MapIsReadOnlyWhenNeeded) {
  writePed(kThreeLines);  // no .map at all
  Options::B = 10;
  Options::blockSize = 5;
  const RunResult r = readInChild();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  struct Case {
    const char* name;
    int B, blockSize;
    bool haploid;
  };
  const Case needed[] = {{"bootstrap derives its block size", 1, 0, false},
                         {"haploid mode", 0, 0, true}};
  for (const Case& c : needed) {
    SCOPED_TRACE(c.name);
    Options::B = c.B;
    Options::blockSize = c.blockSize;
    haploidModeEnabled = c.haploid;
    const RunResult missing = readInChild();
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, base() + ".map\n");
    EXPECT_EQ(missing.err, "Error opening .map file\n");
  }
}

TEST_F(PedReaderTest, MapRecords) {
  writePed(kThreeLines);
  // Tabs separate like blanks, a byte-order mark and blank lines at the
  // end are not records, a line longer than 255 characters is one record,
  // and the genetic position is kept as read.
  const std::string longName(300, 'n');
  writeMap("\xEF\xBB\xBF+3\t" + longName + "\t0.5\t1200\n023 rs2 1.25e0 +77\n\n  \t\n");
  haploidModeEnabled = true;
  haploid_chrs = {"023"};
  readPlinkFiles(base(), meta);
  ASSERT_EQ(meta.snpInfo.size(), 2u);
  EXPECT_EQ(meta.snpInfo[0].chromosome, 3);
  EXPECT_EQ(meta.snpInfo[0].name, longName);
  EXPECT_DOUBLE_EQ(meta.snpInfo[0].geneticPosition, 0.5);
  EXPECT_EQ(meta.snpInfo[0].position, 1200);
  EXPECT_FALSE(meta.snpInfo[0].haploid);
  EXPECT_EQ(meta.snpInfo[1].chromosome, 23);
  EXPECT_DOUBLE_EQ(meta.snpInfo[1].geneticPosition, 1.25);
  EXPECT_EQ(meta.snpInfo[1].position, 77);
  EXPECT_TRUE(meta.snpInfo[1].haploid);  // token 023 as typed
  EXPECT_EQ(meta.snpInfo[1].fileIndex, 0);
}

TEST_F(PedReaderTest, MapHaploidListFirstEntryAllChromosomes) {
  writePed(kThreeLines);
  writeMap("1 a 0 1\n2 b 0 2\n");
  haploidModeEnabled = true;
  haploid_chrs = {ALLCHRS_PROXY};
  readPlinkFiles(base(), meta);
  EXPECT_TRUE(meta.snpInfo[0].haploid);
  EXPECT_TRUE(meta.snpInfo[1].haploid);

  runState_.releaseObjects();
  DatasetMetadata second;
  haploidModeEnabled = true;
  haploid_chrs = {"2", ALLCHRS_PROXY};
  readPlinkFiles(base(), second);
  EXPECT_FALSE(second.snpInfo[0].haploid);
  EXPECT_TRUE(second.snpInfo[1].haploid);
}

TEST_F(PedReaderTest, GarbageNeverCrashes) {
  std::string noise;
  unsigned x = 987;
  for (int n = 0; n < 8192; ++n) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>(x >> 16));
  }
  haploidModeEnabled = true;
  const std::string peds[] = {noise, kThreeLines, std::string("F1 I1 0 0 1 -9 1 1\0 2\n", 22),
                              "F1 I1 0 0 1 -9 " + std::string(100000, '1') + "\n"};
  for (const std::string& ped : peds) {
    writePed(ped);
    writeMap(noise);
    const RunResult r = readInChild();
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.out.empty());
  }
}

// The first 12 individuals of a PLINK-written "12"-coded twin of the bed
// fileset: the .ped counts the allele coded 1 (the .bim's first), the bed
// reader the .bim's second.
TEST_F(PedReaderTest, TwinOfBedFilesetGivesComplementaryGenotypes) {
  readPlinkBedFiles(testData("forex250"), meta);
  const GMatrix bed = *N;
  const std::vector<SNPInfo> bedSnps = meta.snpInfo;

  runState_.releaseObjects();
  DatasetMetadata pedMeta;
  Options::B = 1;  // the derived block size needs the .map
  readPlinkFiles(testData("forex250_12_first12"), pedMeta);
  ASSERT_EQ(I, 12);
  ASSERT_EQ(L, 3001);
  ASSERT_EQ(pedMeta.snpInfo.size(), bedSnps.size());

  int missing = 0;
  for (int j = 0; j < L; ++j) {
    // Match the SNP orders by name.
    const auto at = std::find_if(bedSnps.begin(), bedSnps.end(),
                                 [&](const SNPInfo& s) { return s.name == pedMeta.snpInfo[j].name; });
    ASSERT_NE(at, bedSnps.end()) << pedMeta.snpInfo[j].name;
    const size_t c = static_cast<size_t>(at - bedSnps.begin());
    EXPECT_EQ(pedMeta.snpInfo[j].position, at->position);
    for (int i = 0; i < I; ++i) {
      const int fromBed = bed(i, c);
      const int fromPed = (*N)(i, j);
      if (fromBed == 9) {
        ASSERT_EQ(fromPed, 9) << i << " " << j;
        ++missing;
      } else {
        ASSERT_EQ(fromPed, 2 - fromBed) << i << " " << j;
      }
    }
  }
  EXPECT_GT(missing, 0);
}

}  // namespace
