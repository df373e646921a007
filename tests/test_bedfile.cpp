#include "bedfile.h"
#include "e2e_util.h"
#include "fileset_util.h"
#include "matrix_util.h"
#include "reader_fixture.h"
#include "run_state.h"
#include "stops.h"
#include "types.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string famOf(int individuals) {
  std::string fam;
  for (int i = 0; i < individuals; ++i)
    fam += "f" + std::to_string(i) + " i" + std::to_string(i) + " 0 0 1 -9\n";
  return fam;
}

class BedReaderTest : public ReaderFixture {
 protected:
  void writeSet(const std::string& bim, const std::string& fam, const std::string& bed) {
    writeBedFileset(base(), bim, fam, bed);
  }

  std::string base() const { return dir.file("set"); }

  TempDir dir;
  DatasetMetadata meta;
};

TEST(PlinkDecode, FieldBitsGiveGenotypeValues) {
  EXPECT_EQ(plinkDecodeBits(0, 0), 0);
  EXPECT_EQ(plinkDecodeBits(1, 0), 9);
  EXPECT_EQ(plinkDecodeBits(0, 1), 1);
  EXPECT_EQ(plinkDecodeBits(1, 1), 2);
  // Any non-zero value counts as a set bit.
  EXPECT_EQ(plinkDecodeBits(4, 2), 2);
  EXPECT_EQ(plinkDecodeBits(0, -1), 1);
}

TEST_F(BedReaderTest, ByteE4DecodesFieldsInOrder) {
  writeSet("1 s1 0 1 A G\n", famOf(4), kSnpMajorBedHeader + "\xE4");
  readPlinkBedFiles(base(), meta);
  ASSERT_EQ(I, 4);
  ASSERT_EQ(L, 1);
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{0}, {9}, {1}, {2}}));
}

TEST_F(BedReaderTest, SortsSnpsIntoGenomeOrderAndPlacesBlocksByMap) {
  // Records (2, 100), (1, 500), (1, 200); each block holds its own record
  // number as the genotype of individual 0.
  const std::vector<std::vector<int>> g = {{0, 1, 2}, {9, 9, 9}};
  writeSet("2 a 0 100 A G\n1 b 0 500 A G\n1 c 0 200 A G\n", famOf(2), snpMajorBed(g));
  readPlinkBedFiles(base(), meta);

  ASSERT_EQ(meta.snpInfo.size(), 3u);
  const char* names[] = {"c", "b", "a"};
  const int64_t fileIndex[] = {2, 1, 0};
  const int64_t position[] = {200, 500, 100};
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(meta.snpInfo[c].name, names[c]);
    EXPECT_EQ(meta.snpInfo[c].fileIndex, fileIndex[c]);
    EXPECT_EQ(meta.snpInfo[c].position, position[c]);
  }
  EXPECT_EQ(meta.snpInfo[0].chromosome, 1);
  EXPECT_EQ(meta.snpInfo[2].chromosome, 2);
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{2, 1, 0}, {9, 9, 9}}));
  EXPECT_EQ(meta.indInfo.size(), 2u);
}

TEST_F(BedReaderTest, TiesKeepFileOrderAndChromosome10FollowsChromosome9) {
  writeSet("10 a 0 5 A G\n9 b 0 7 A G\n9 c 0 7 A G\n9 d 0 7 A G\n", famOf(1),
           snpMajorBed({{0, 1, 2, 9}}));
  readPlinkBedFiles(base(), meta);
  ASSERT_EQ(meta.snpInfo.size(), 4u);
  EXPECT_EQ(meta.snpInfo[0].name, "b");
  EXPECT_EQ(meta.snpInfo[1].name, "c");
  EXPECT_EQ(meta.snpInfo[2].name, "d");
  EXPECT_EQ(meta.snpInfo[3].name, "a");
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{1, 2, 9, 0}}));
}

TEST_F(BedReaderTest, BimFieldsAsStored) {
  // Distance in cM is stored divided by 100; +3 and 03 are chromosome 3; a
  // 64-bit position survives; tabs separate fields as blanks do; the last
  // record keeps its SNP although no line break follows it; a byte-order
  // mark is not part of the first chromosome code.
  writeSet("\xEF\xBB\xBF+3 a 50 8000000000 A G\n03\tb\t1.5\t+9\tA\tG\n4 c 0 1 A G", famOf(1),
           snpMajorBed({{0, 1, 2}}));
  readPlinkBedFiles(base(), meta);
  ASSERT_EQ(L, 3);
  EXPECT_EQ(meta.snpInfo[0].name, "b");  // position 9 before 8000000000
  EXPECT_EQ(meta.snpInfo[0].chromosome, 3);
  EXPECT_DOUBLE_EQ(meta.snpInfo[0].geneticPosition, 0.015);
  EXPECT_EQ(meta.snpInfo[1].name, "a");
  EXPECT_EQ(meta.snpInfo[1].position, 8000000000LL);
  EXPECT_DOUBLE_EQ(meta.snpInfo[1].geneticPosition, 0.5);
  EXPECT_EQ(meta.snpInfo[2].name, "c");
  EXPECT_EQ(meta.snpInfo[2].fileIndex, 2);
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{1, 0, 2}}));
}

TEST_F(BedReaderTest, IndividualMajorModesMatchSnpMajor) {
  // Five SNPs, out of genome order, and five individuals: every block has
  // a second byte of which only field 0 is used; the padding is set to
  // non-zero bits that must be ignored.
  const std::string bim = "1 a 0 50 A G\n1 b 0 10 A G\n2 c 0 1 A G\n1 d 0 30 A G\n1 e 0 20 A G\n";
  const std::vector<std::vector<int>> g = {
      {0, 1, 2, 9, 0}, {1, 1, 0, 2, 9}, {2, 9, 1, 0, 0}, {9, 0, 0, 1, 2}, {2, 2, 1, 1, 0}};
  writeSet(bim, famOf(5), snpMajorBed(g, 3));
  readPlinkBedFiles(base(), meta);
  const auto expected = rowsOf(*N);
  // Genome order b, e, d, a, c: record columns 1, 4, 3, 0, 2.
  EXPECT_EQ(expected[0], (std::vector<int>{1, 0, 9, 0, 2}));

  for (char mode : {'\x00', '\x02', '\xFF'}) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(mode)));
    runState_.releaseObjects();
    DatasetMetadata other;
    writeSet(bim, famOf(5), individualMajorBed(g, mode, 2));
    readPlinkBedFiles(base(), other);
    EXPECT_EQ(rowsOf(*N), expected);
    ASSERT_EQ(other.snpInfo.size(), 5u);
    EXPECT_EQ(other.snpInfo[0].name, "b");
    EXPECT_EQ(other.snpInfo[4].name, "c");
  }
}

TEST_F(BedReaderTest, FamLinesCountIndividuals) {
  // Three individuals fill one .bed byte per SNP, as four would: a blank
  // line at the end counted as an individual was decoded from the padding.
  haploid_sexes = {1};
  const std::string bed = kSnpMajorBedHeader + packGenotypes({2, 0, 1}, 3);
  const std::string fam = "f i 0 0 1 -9\nf j 0 0 2 -9\nf k 0 0 1 -9";
  for (const std::string& tail : {std::string(), std::string("\n"), std::string("\n\n"),
                                  std::string("\n \t\r\n"), std::string("\n  ")}) {
    SCOPED_TRACE("tail of " + std::to_string(tail.size()) + " characters");
    runState_.releaseObjects();
    haploid_sexes = {1};
    DatasetMetadata m;
    writeSet("1 a 0 1 A G\n", "\xEF\xBB\xBF" + fam + tail, bed);
    readPlinkBedFiles(base(), m);
    ASSERT_EQ(I, 3);
    EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{2}, {0}, {1}}));
    ASSERT_EQ(m.indInfo.size(), 3u);
    EXPECT_TRUE(m.indInfo[0].haploid);
    EXPECT_FALSE(m.indInfo[1].haploid);
    EXPECT_TRUE(m.indInfo[2].haploid);
  }
}

TEST_F(BedReaderTest, SixFamLinesWithoutFinalLineFeedAreSixIndividuals) {
  std::string fam = famOf(6);
  fam.pop_back();
  writeSet("1 a 0 1 A G\n", fam, kSnpMajorBedHeader + packGenotypes({0, 1, 2, 9, 2, 1}));
  readPlinkBedFiles(base(), meta);
  ASSERT_EQ(I, 6);
  EXPECT_EQ((*N)(5, 0), 1);
}

TEST_F(BedReaderTest, EmptyFamGivesNoRows) {
  writeSet("1 a 0 1 A G\n", "", kSnpMajorBedHeader);
  readPlinkBedFiles(base(), meta);
  EXPECT_EQ(I, 0);
  EXPECT_EQ(L, 1);
  EXPECT_EQ(N->size1(), 0u);
  EXPECT_EQ(meta.snpInfo.size(), 1u);
}

TEST_F(BedReaderTest, HaploidFlags) {
  const std::string bim = "23 a 0 1 A G\n023 b 0 2 A G\n1 c 0 3 A G\n";
  const std::string fam = "f a 0 0 1 1\nf b 0 0 2 1\nf c 0 0 0 1\nf d 0 0 1x 1\n";
  struct Case {
    const char* name;
    std::vector<std::string> chrs;
    std::vector<int> sexes;
    std::vector<bool> snpHaploid;  // in genome order: 1 (c), 23 (a), 023 (b)
    std::vector<bool> indHaploid;
  };
  const Case cases[] = {
      {"none", {}, {}, {false, false, false}, {false, false, false, false}},
      {"chr 23 male", {"23"}, {1}, {false, true, false}, {true, false, false, true}},
      {"all chromosomes, every sex", {ALLCHRS_PROXY}, {1, 2, -9}, {true, true, true},
       {true, true, false, true}},
      {"all-chromosomes entry second matches nothing", {"23", ALLCHRS_PROXY}, {2},
       {false, true, false}, {false, true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runState_.releaseObjects();
    haploid_chrs = c.chrs;
    haploid_sexes = c.sexes;
    DatasetMetadata m;
    writeSet(bim, fam, kSnpMajorBedHeader + std::string(3, '\0'));
    readPlinkBedFiles(base(), m);
    ASSERT_EQ(m.snpInfo.size(), 3u);
    for (size_t l = 0; l < 3; ++l) EXPECT_EQ(m.snpInfo[l].haploid, c.snpHaploid[l]) << l;
    ASSERT_EQ(m.indInfo.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(m.indInfo[i].haploid, c.indHaploid[i]) << i;
  }
}

// A PLINK-written fileset: 250 individuals x 3001 SNPs, SNP-major.
TEST_F(BedReaderTest, RealFilesetMatchesItsBytes) {
  readPlinkBedFiles(testData("forex250"), meta);
  ASSERT_EQ(I, 250);
  ASSERT_EQ(L, 3001);
  ASSERT_EQ(meta.snpInfo.size(), 3001u);
  EXPECT_EQ(meta.snpInfo[0].name, "rs7475011");
  EXPECT_EQ(meta.snpInfo[0].position, 133076);
  EXPECT_EQ(meta.snpInfo[0].chromosome, 10);
  for (int l = 0; l < L; ++l) ASSERT_EQ(meta.snpInfo[l].fileIndex, l);
  for (int l = 1; l < L; ++l) ASSERT_LT(meta.snpInfo[l - 1].position, meta.snpInfo[l].position);

  // Every genotype straight from its two bits: block of 63 bytes per SNP.
  const std::string bytes = readFile(testData("forex250.bed"));
  ASSERT_EQ(bytes.size(), 3u + 3001u * 63u);
  const int value[4] = {0, 9, 1, 2};
  int counts[10] = {0};
  for (int l = 0; l < L; ++l)
    for (int i = 0; i < I; ++i) {
      const unsigned char byte = static_cast<unsigned char>(bytes[3 + 63 * l + i / 4]);
      const int g = value[(byte >> (2 * (i % 4))) & 3];
      ASSERT_EQ((*N)(i, l), g) << i << " " << l;
      ++counts[g];
    }
  EXPECT_GT(counts[1], 0);
  EXPECT_GT(counts[9], 0);
  // The one monomorphic SNP is all copies of its second allele (value 2).
  int monomorphic = 0;
  for (int l = 0; l < L; ++l) {
    if (meta.snpInfo[l].name != "rs11256421") continue;
    ++monomorphic;
    for (int i = 0; i < I; ++i) EXPECT_TRUE((*N)(i, l) == 2 || (*N)(i, l) == 9);
  }
  EXPECT_EQ(monomorphic, 1);
}

TEST_F(BedReaderTest, ReversedRealFilesetReadsTheSame) {
  readPlinkBedFiles(testData("forex250"), meta);
  const GMatrix original = *N;

  // The records and their blocks in reverse order: the sort and the map
  // must put every block back into its genome-order column.
  std::vector<std::string> records = splitLines(readFile(testData("forex250.bim")));
  const std::string bytes = readFile(testData("forex250.bed"));
  std::string bim, bed = bytes.substr(0, 3);
  for (size_t j = records.size(); j-- > 0;) {
    bim += records[j] + "\n";
    bed += bytes.substr(3 + 63 * j, 63);
  }
  writeSet(bim, readFile(testData("forex250.fam")), bed);
  runState_.releaseObjects();
  DatasetMetadata reversed;
  readPlinkBedFiles(base(), reversed);
  ASSERT_EQ(reversed.snpInfo.size(), 3001u);
  EXPECT_EQ(reversed.snpInfo[0].name, "rs7475011");
  EXPECT_EQ(reversed.snpInfo[0].fileIndex, 3000);
  EXPECT_EQ(reversed.snpInfo[3000].fileIndex, 0);
  ASSERT_EQ(N->size1(), original.size1());
  ASSERT_EQ(N->size2(), original.size2());
  EXPECT_TRUE(std::equal(N->data().begin(), N->data().end(), original.data().begin()));
}

// Every refusal of the reader ends the run with one line and status 255,
// whichever of the three files it is found in. One record per line, its
// fields whole: read as a stream of tokens, a .fam line of five fields gave
// every later individual the next one's family ID as its sex code, and a
// .bim line of seven fields or a position such as 1e5 shifted every later
// record.
TEST_F(BedReaderTest, RefusalsStopWithOneLine) {
  struct Case {
    const char* name;
    const char* bim;  // null: no file
    const char* fam;
    std::string bed;
    bool bedPresent;
    std::string line;  // "@" stands for the path of the fileset without its extension
  };
  const std::string good = kSnpMajorBedHeader + packGenotypes({0, 1});
  const std::string threeSnps = kSnpMajorBedHeader + std::string(3, '\0');
  const char* const bim = "1 a 0 1 A G\n1 b 0 2 A G\n1 c 0 3 A G\n";
  const char* const fam = "a a 0 0 1 1\nb b 0 0 2 1\nc c 0 0 1 1\n";
  const std::string famFields = "Wrong number of fields in @.fam, line ";
  const std::string bimFields = "Wrong number of fields in @.bim, line ";
  const std::string position = "Invalid base-pair position in @.bim, line ";
  const Case cases[] = {
      // .bim
      {"no .bim", nullptr, "a a 0 0 1 1\n", good, true, "Error opening .bim file!"},
      {"chromosome X", "X s 0 1 A G\n", "", "", false, "Invalid chromosome code!  Use integers."},
      {"chromosome chr1", "chr1 s 0 1 A G\n", "", "", false, "Invalid chromosome code!  Use integers."},
      {"chromosome 1.0", "1.0 s 0 1 A G\n", "", "", false, "Invalid chromosome code!  Use integers."},
      {"chromosome beyond int", "2147483648 s 0 1 A G\n", "", "", false,
       "Invalid chromosome code!  Use integers."},
      {"bad distance, third record", "1 a 0 1 A G\n1 b 0 2 A G\n1 c abc 3 A G\n1 d 0 4 A G\n", "",
       "", false, "Problem reading BIM file, line 3"},
      // A distance that is not a number whole keeps its message.
      {"distance abc", "1 a 0 1 A G\n1 b abc 2 A G\n", fam, "", false, "Problem reading BIM file, line 2"},
      {"distance 1.5cM", "1 a 0 1 A G\n1 b 1.5cM 2 A G\n", fam, "", false, "Problem reading BIM file, line 2"},
      {"distance nan", "1 a 0 1 A G\n1 b nan 2 A G\n", fam, "", false, "Problem reading BIM file, line 2"},
      {"distance 1e999", "1 a 0 1 A G\n1 b 1e999 2 A G\n", fam, "", false, "Problem reading BIM file, line 2"},
      {"empty .bim", "", "", "", false, "No SNPs!"},
      {".bim line of five fields", "1 a 0 1 A G\n1 b 0 2 A\n1 c 0 3 A G\n", fam, threeSnps, true,
       bimFields + "2 (found 5, expecting 6)"},
      {".bim line of seven fields", "1 a 0 1 A G\n1 b 0 2 A G 7\n1 c 0 3 A G\n", fam, threeSnps, true,
       bimFields + "2 (found 7, expecting 6)"},
      {".bim record over two lines", "1 a 0\n1 A G\n", fam, threeSnps, true, bimFields + "1 (found 3, expecting 6)"},
      {".bim last record cut short", "1 a 0 1 A G\n1 b 0 2", fam, threeSnps, true,
       bimFields + "2 (found 4, expecting 6)"},
      {".bim of one cut record", "1 a 0 1", fam, threeSnps, true, bimFields + "1 (found 4, expecting 6)"},
      {"position abc", "1 a 0 1 A G\n1 b 0 abc A G\n", fam, threeSnps, true, position + "2"},
      {"position 1e5", "1 a 0 1e5 A G\n", fam, threeSnps, true, position + "1"},
      {"position 100x", "1 a 0 1 A G\n1 b 0 2 A G\n1 c 0 100x A G\n", fam, threeSnps, true, position + "3"},
      {"position 2.5", "1 a 0 2.5 A G\n", fam, threeSnps, true, position + "1"},
      {"position beyond 64 bits", "1 a 0 99999999999999999999 A G\n1 b 0 2 A G\n", fam, threeSnps, true,
       position + "1"},
      // .fam
      {"no .fam", "1 a 0 1 A G\n", nullptr, good, true, "Error opening .fam file!"},
      {".fam line of five fields", bim, "a a 0 0 1 1\nb b 0 1 1\nc c 0 0 1 1\n", threeSnps, true,
       famFields + "2 (found 5, expecting 6)"},
      {".fam line of seven fields", bim, "a a 0 0 1 1\nb b 0 0 2 1\nc c 0 0 1 1 x\n", threeSnps, true,
       famFields + "3 (found 7, expecting 6)"},
      {".fam of one field per line", bim, "a\nb\nc\n", threeSnps, true, famFields + "1 (found 1, expecting 6)"},
      {".fam record over two lines", bim, "a a 0\n0 1 1\nb b 0 0 2 1\n", threeSnps, true,
       famFields + "1 (found 3, expecting 6)"},
      // .bed
      {"no .bed", "1 a 0 1 A G\n", "a a 0 0 1 1\nb b 0 0 1 1\n", "", false, "Error opening .bed file!"},
      {"bad magic", "1 a 0 1 A G\n", "a a 0 0 1 1\n", std::string("\x6C\x1C\x01\x00", 4), true,
       "Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)"},
      {"one wrong byte only", "1 a 0 1 A G\n", "a a 0 0 1 1\n", "\x01", true,
       "Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)"},
      {"empty .bed", "1 a 0 1 A G\n", "a a 0 0 1 1\n", "", true, "Error reading .bed file"},
      {"two header bytes", "1 a 0 1 A G\n", "a a 0 0 1 1\n", "\x6C\x1B", true,
       "Error reading .bed file"},
      {"one byte short", "1 a 0 1 A G\n2 b 0 1 A G\n", "a a 0 0 1 1\n", good.substr(0, 4),
       true, "Error reading .bed file"},
      {"one byte long", "1 a 0 1 A G\n", "a a 0 0 1 1\n", kSnpMajorBedHeader + std::string(2, '\0'), true,
       "Error reading .bed file"},
      {"individual-major one byte short", "1 a 0 1 A G\n", "a a 0 0 1 1\nb b 0 0 1 1\n",
       std::string("\x6C\x1B\x00\x00", 4), true, "Error reading .bed file"},
      {"empty .fam and a genotype byte", "1 a 0 1 A G\n", "", kSnpMajorBedHeader + std::string(1, '\0'), true,
       "Error reading .bed file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    if (c.bim) writeFile(d.file("set.bim"), c.bim);
    if (c.fam) writeFile(d.file("set.fam"), c.fam);
    if (c.bedPresent) writeFile(d.file("set.bed"), c.bed);
    const std::string b = d.file("set");
    const RunResult r = runInChild([&] {
      DatasetMetadata m;
      readPlinkBedFiles(b, m);
    });
    EXPECT_EQ(r.status, 255);
    std::string line = c.line;
    const size_t at = line.find('@');
    if (at != std::string::npos) line.replace(at, 1, b);
    EXPECT_EQ(r.out, line + "\n");
  }
}

TEST_F(BedReaderTest, GarbageNeverCrashes) {
  std::string noise;
  unsigned x = 12345;
  for (int n = 0; n < 4096; ++n) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>(x >> 16));
  }
  const std::string nulls("1\0 a 0 1 A G\n", 13);
  const std::string inputs[][3] = {
      {noise, noise, noise},
      {"1 a 0 1 A G\n", noise, noise},
      {"1 a 0 1 A G\n", "a a 0 0 1 1\n", noise},
      {nulls, "a\0a 0 0 1 1\n", kSnpMajorBedHeader},
  };
  for (const auto& files : inputs) {
    TempDir d;
    writeFile(d.file("set.bim"), files[0]);
    writeFile(d.file("set.fam"), files[1]);
    writeFile(d.file("set.bed"), files[2]);
    const std::string base = d.file("set");
    const RunResult r = runInChild([&] {
      DatasetMetadata m;
      readPlinkBedFiles(base, m);
    });
    EXPECT_TRUE(r.status == 0 || r.status == 255) << r.status;
    EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
}

TEST_F(BedReaderTest, UnallocatableMatrixIsOneLine) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's allocator does not honour an address-space limit";
#endif
  // 40000 individuals x 10000 SNPs need 400 MB; the child may have 64 MB more
  // address space than it uses.
  std::string bim;
  for (int l = 0; l < 10000; ++l) bim += "1 s" + std::to_string(l) + " 0 " + std::to_string(l) + " A G\n";
  std::string fam;
  for (int i = 0; i < 40000; ++i) fam += "a b 0 0 1 1\n";
  writeSet(bim, fam, kSnpMajorBedHeader);
  const std::string b = base();
  const RunResult r = runInChild([&] {
    limitThisProcess(RLIMIT_AS, addressSpaceInUse() + (64u << 20));
    installOutOfMemoryStop();  // as the program does first of all
    DatasetMetadata m;
    readPlinkBedFiles(b, m);
  });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(splitLines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find("the genotype matrix (40000 x 10000)"), std::string::npos) << r.out;
}

}  // namespace
