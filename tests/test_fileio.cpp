#include "dir_util.h"
#include "e2e_util.h"
#include "fileio.h"
#include "fileset_util.h"
#include "genotypes.h"
#include "matrix_files.h"
#include "matrix_util.h"
#include "options.h"
#include "reader_fixture.h"
#include "result_files.h"
#include "run_state.h"
#include "text_input.h"
#include "types.h"
#include "utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>


namespace {

// The readers and writers of files; the guard puts back the run state and
// configuration the tests touch.
class FileIoTest : public ReaderFixture {
 protected:
  // The three name parts the option parser derives from an input path,
  // kept in static buffers so that nothing is left to free.
  static void setInput(const std::string& path) {
    static char storage[4][4096];
    const auto keep = [](int slot, const std::string& text) {
      std::snprintf(storage[slot], sizeof storage[slot], "%s", text.c_str());
      return storage[slot];
    };
    const std::string name = posixBasename(path);
    const size_t dot = name.rfind('.');
    Options::inputFile = keep(0, path);
    Options::inputFilePrefix = keep(1, name.substr(0, dot));
    Options::inputFileSuffix = keep(2, dot == std::string::npos ? "" : name.substr(dot + 1));
    Options::inputFileBase = keep(3, path.substr(0, path.rfind('.')));
  }

  // A bed fileset of 2 individuals x 3 SNPs at dir/data/set.
  std::string writeTinyBedSet() {
    mkdir(dir.file("data").c_str(), 0755);
    const std::string base = dir.file("data/set");
    // SNP a: 0, 1; b: 2, 9; c: 1, 2.
    writeBedFileset(base, "1 a 0 1 A G\n1 b 0 2 A G\n1 c 0 3 A G\n", "f i 0 0 1 1\nf j 0 0 2 1\n",
                    snpMajorBed({{0, 2, 1}, {1, 9, 2}}));
    return base;
  }

  TempDir dir;
  DatasetMetadata meta;
};

// ---- TextInput ------------------------------------------------------------

// What a reader sees of a file through TextInput, and why the input ended;
// a second pass sees the same.
TEST_F(FileIoTest, TextInputHandsOnTheRecords) {
  struct Case {
    const char* name;
    std::string text;
    std::string seen;
    TextInput::Ending ending;
    int64_t endingLine;
    bool blankLinesHandedOn = false;  // as the .pop reader asks
  };
  const std::string bom = "\xEF\xBB\xBF";
  using namespace std::string_literals;
  const Case cases[] = {
      {"plain", "a b\nc d\n", "a b\nc d\n", TextInput::kEnd, 0},
      {"no final line feed", "a\nb", "a\nb", TextInput::kEnd, 0},
      {"carriage returns kept", "a\r\nb\r\n", "a\r\nb\r\n", TextInput::kEnd, 0},
      {"empty", "", "", TextInput::kEnd, 0},
      {"blank tail", "a\n\n \t\r\n\n", "a\n", TextInput::kEnd, 0},
      {"white space after the last line end", "a\n \t", "a\n", TextInput::kEnd, 0},
      {"only blank lines", "\n  \n", "", TextInput::kEnd, 0},
      {"byte-order mark", bom + "a\nb\n", "a\nb\n", TextInput::kEnd, 0},
      {"byte-order mark alone", bom, "", TextInput::kEnd, 0},
      {"byte-order mark after the start is data", "a\n" + bom + "b\n", "a\n" + bom + "b\n",
       TextInput::kEnd, 0},
      {"blank line between records", "a\nb\n\nc\n\n", "a\nb\n", TextInput::kBlankLine, 3},
      {"white-space line between records", "a\n \r\n\t\nb", "a\n", TextInput::kBlankLine, 2},
      {"blank first line", "\na\n", "", TextInput::kBlankLine, 1},
      {"byte-order mark on a line of its own", bom + "\na\n", "", TextInput::kBlankLine, 1},
      // Text these readers cannot parse ends the input at its line.
      {"UTF-16 little-endian", "\xFF\xFE" "a\0\n\0b\0\n\0"s, "", TextInput::kUtf16Mark, 1},
      {"UTF-16 big-endian", "\xFE\xFF\0a\0\n\0b\0\n"s, "", TextInput::kUtf16Mark, 1},
      {"UTF-32 little-endian", "\xFF\xFE\0\0a\0\0\0\n\0\0\0"s, "", TextInput::kUtf32Mark, 1},
      {"UTF-32 big-endian", "\0\0\xFE\xFF\0\0\0a\0\0\0\n"s, "", TextInput::kUtf32Mark, 1},
      {"UTF-16 without a mark", "a\0 \0b\0\n\0"s, "", TextInput::kNulByte, 1},
      {"NUL byte", "a\nb\0c\nd\n"s, "a\n", TextInput::kNulByte, 2},
      {"NUL byte after a byte-order mark", bom + "\0\n"s, "", TextInput::kNulByte, 1},
      {"carriage returns only", "a\rb\rc\r", "", TextInput::kLoneCarriageReturn, 1},
      {"lone carriage return inside a line", "a\r\nb\rc\r\n", "a\r\n", TextInput::kLoneCarriageReturn, 2},
      {"two carriage returns before a line feed", "a\r\r\nb\n", "", TextInput::kLoneCarriageReturn, 1},
      {"carriage return ending the file", "a\r\nb\r", "a\r\nb\r", TextInput::kEnd, 0},
      {"carriage returns in the blank tail", "a\n\r\r \n\r", "a\n", TextInput::kEnd, 0},
      {"a blank line comes before a later NUL", "a\n\nb\0\n"s, "a\n", TextInput::kBlankLine, 2},
      // Where blank lines are records (the .pop), they are handed on as any
      // line; the other endings are as before.
      {"blank lines inside and at the end, handed on", "a\n\n \t\nb\n\n", "a\n\n \t\nb\n\n", TextInput::kEnd, 0,
       true},
      {"blank last line without a line feed, handed on", "a\n  ", "a\n  ", TextInput::kEnd, 0, true},
      {"byte-order mark alone, blank lines handed on", bom, "", TextInput::kEnd, 0, true},
      {"byte-order mark on a line of its own, handed on", bom + "\na\n", "\na\n", TextInput::kEnd, 0, true},
      {"lone carriage return in a blank line handed on", "a\n\r \nb\n", "a\n", TextInput::kLoneCarriageReturn, 2,
       true},
      {"NUL after a blank line handed on", "a\n\nb\0\n"s, "a\n\n", TextInput::kNulByte, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.file("t.txt");
    writeFile(name, c.text);
    TextInput text(name, c.blankLinesHandedOn ? TextInput::kBlankLinesHandedOn : TextInput::kBlankLinesEnd);
    ASSERT_TRUE(text.is_open());
    std::istream in(&text);
    const std::string seen{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(text.ending(), c.ending);
    EXPECT_EQ(text.endingLine(), c.endingLine);

    // A second pass sees the same.
    text.rewind();
    in.clear();
    const std::string again{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(again, c.seen);
    EXPECT_EQ(text.ending(), c.ending);
  }
}

TEST_F(FileIoTest, TextInputStops) {
  const std::string blank = dir.file("blank.txt");
  writeFile(blank, "a\n\nb\n");
  struct Case {
    const char* name;
    std::function<void()> body;
    std::string out;
  };
  const Case cases[] = {
      {"blank line between records",
       [&] {
         TextInput text(blank);
         std::istream in(&text);
         std::string line;
         while (std::getline(in, line)) {
         }
         text.checkEnd();
       },
       "Blank line in " + blank + ", line 2\n"},
      // A directory opens, and its first read fails.
      {"read error",
       [&] {
         TextInput text(dir.path());
         std::istream in(&text);
         std::string line;
         std::getline(in, line);
         text.checkEnd();
       },
       "Error reading " + dir.path() + "\n"},
      {"a pipe cannot be rewound",
       [] {
         int ends[2];
         if (pipe(ends) != 0 || write(ends[1], "a\nb\n", 4) != 4) _exit(3);
         close(ends[1]);
         TextInput text("/dev/fd/" + std::to_string(ends[0]));
         std::istream in(&text);
         std::string line;
         while (std::getline(in, line)) {
         }
         text.checkEnd();
         text.rewind();
       },
       "Cannot rewind /dev/fd/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = runInChild(c.body);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(splitLines(r.out).size(), 1u) << r.out;
  }
}

// ---- inputMatrix ----------------------------------------------------------

TEST_F(FileIoTest, InputMatrixCases) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    std::vector<std::vector<double>> transposed;  // what a successful read gives
  };
  const Case cases[] = {
      {"three lines of two", "0.1 0.9\n0.1 0.9\n0.1 0.9\n", 0, {{0.1, 0.1, 0.1}, {0.9, 0.9, 0.9}}},
      {"no final line feed, tabs, exponents", "1\t-2.5e-1\n3 +4", 0, {{1, 3}, {-0.25, 4}}},
      {"carriage returns", "0.5 0.25\r\n1 2\r\n", 0, {{0.5, 1}, {0.25, 2}}},
      {"empty file", "", 0, {}},
      {"blank lines at the end", "0.1 0.9\n0.1 0.9\n\n \t\r\n", 0, {{0.1, 0.1}, {0.9, 0.9}}},
      {"white space after the last line end", "0.1 0.9\n0.1 0.9\n  ", 0, {{0.1, 0.1}, {0.9, 0.9}}},
      {"byte-order mark", "\xEF\xBB\xBF" "0.1 0.9\n", 0, {{0.1}, {0.9}}},
      {"underflow reads as the nearest double", "1e-999 1\n", 0, {{0}, {1}}},
      {"blank line between lines", "0.1 0.9\n\n0.1 0.9\n", 1, {}},
      {"blank first line", "\n0.1 0.9\n", 1, {}},
      {"a word inside a line", "0.5 0.5\n0.5 x 0.5\n", 1, {}},
      {"a word after the values", "0.5 0.5 x\n0.5 0.5 y\n", 1, {}},
      {"a number glued to a word", "0.5 0.5cM\n0.5 0.5\n", 1, {}},
      {"header line", "Q values\n0.1 0.9\n", 1, {}},
      {"nan", "0.5 nan\n", 1, {}},
      {"inf", "inf 0.5\n", 1, {}},
      {"overflow", "0.5 1e999\n", 1, {}},
      {"hexadecimal", "0x1p-1 0.5\n", 1, {}},
      {"unequal counts", "1 2 3\n1 2\n", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.file("m.txt");
    writeFile(name, c.text);
    DMatrix before(1, 1);
    DMatrix* M = &before;
    ASSERT_EQ(inputMatrix(name, &M, true), c.result);
    if (c.result != 0) {
      EXPECT_EQ(M, &before);
      continue;
    }
    ASSERT_NE(M, &before);
    if (c.transposed.empty()) {
      EXPECT_EQ(M->size1(), 0u);
      EXPECT_EQ(M->size2(), 0u);
    } else {
      EXPECT_EQ(rowsOf(*M), c.transposed);
    }
    delete M;
  }
}

TEST_F(FileIoTest, InputMatrixOrientationAndMissingFile) {
  writeFile(dir.file("m.txt"), "1 2 3\n4 5 6\n");
  DMatrix* M = nullptr;
  ASSERT_EQ(inputMatrix(dir.file("m.txt"), &M, false), 0);
  EXPECT_EQ(rowsOf(*M), (std::vector<std::vector<double>>{{1, 2, 3}, {4, 5, 6}}));
  delete M;

  M = nullptr;
  EXPECT_EQ(inputMatrix(dir.file("absent.txt"), &M, true), 1);
  EXPECT_EQ(M, nullptr);
}

// ---- outputMatrix ---------------------------------------------------------

TEST_F(FileIoTest, OutputMatrixWrittenForm) {
  const DMatrix m = matrixOf({{0.5, 1e-5, -1e-9}, {0.99999, -0.25, 1234.5678915}});
  std::ostringstream out;
  out.precision(6);
  const std::ios::fmtflags flags = out.flags();
  outputMatrix(out, &m, true, " ");
  EXPECT_EQ(out.str(),
            "0.500000 0.999990\n"
            "0.000010 -0.250000\n"
            "-0.000000 1234.567892\n");
  EXPECT_EQ(out.flags(), flags);

  std::ostringstream rows;
  outputMatrix(rows, &m, false, ",");
  EXPECT_EQ(splitLines(rows.str())[0], "0.500000,0.000010,-0.000000");

  // One value per line has no separator; a matrix of no rows writes nothing.
  const DMatrix one = matrixOf({{0.1, 0.2}});
  std::ostringstream single;
  outputMatrix(single, &one, true, " ");
  EXPECT_EQ(single.str(), "0.100000\n0.200000\n");
  const DMatrix none(0, 3);
  std::ostringstream empty;
  outputMatrix(empty, &none, true, " ");
  EXPECT_EQ(empty.str(), "");
}

// The stream form hands its lines on through the stream's buffer: a flush
// per line would be a write call per SNP. It leaves the one flush to the
// file form, when the file is complete.
TEST_F(FileIoTest, OutputMatrixDoesNotFlushPerLine) {
  struct CountingBuffer : std::stringbuf {
    int syncs = 0;
    int sync() override {
      ++syncs;
      return std::stringbuf::sync();
    }
  };
  const DMatrix m(2, 1000, 0.5);
  CountingBuffer buffer;
  std::ostream out(&buffer);
  outputMatrix(out, &m, true, " ");
  EXPECT_EQ(buffer.syncs, 0);
  EXPECT_EQ(splitLines(buffer.str()).size(), 1000u);
}

// ---- writeOutputFiles -----------------------------------------------------

TEST_F(FileIoTest, ResultFileNames) {
  struct Case {
    double lambda;
    int B;
    std::vector<std::string> names;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {0.0, 0, {"set1.3.Q", "set1.3.P"}},
      {0.5, 0, {"set1.3.Q.lambda.0", "set1.3.P.lambda.0"}},
      {10.0, 0, {"set1.3.Q.lambda.10", "set1.3.P.lambda.10"}},
      {-1.5, 0, {"set1.3.Q.lambda.-1", "set1.3.P.lambda.-1"}},
      {nan, 0, {"set1.3.Q.lambda.nan", "set1.3.P.lambda.nan"}},
      {1e10, 0, {"set1.3.Q.lambda.10000000000", "set1.3.P.lambda.10000000000"}},
      {0.0, 2, {"set1.3.Q", "set1.3.P", "set1.3.Q_se", "set1.3.Q_bias"}},
      {100.0, 2,
       {"set1.3.Q.lambda.100", "set1.3.P.lambda.100", "set1.3.Q_se.lambda.100",
        "set1.3.Q_bias.lambda.100"}},
  };
  setInput("data/set1.bed");
  K = 3;
  Qt = new DMatrix(3, 2, 0.25);
  P = new DMatrix(3, 4, 0.5);
  Qt_se = new DMatrix(3, 2, 0.01);
  Qt_bias = new DMatrix(3, 2, -0.01);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names[0]);
    TempDir out;
    Options::penaltyfunction.lambda = c.lambda;
    Options::B = c.B;
    {
      CwdGuard cwd(out.path());
      EXPECT_EQ(writeOutputFiles(), 0);
    }
    for (const std::string& name : c.names) EXPECT_TRUE(fileExists(out.file(name))) << name;
    EXPECT_EQ(namesIn(out.path()).size(), c.names.size());
  }
}

TEST_F(FileIoTest, WrittenQReadsBackToSixDecimals) {
  setInput("set1.bed");
  K = 2;
  Qt = new DMatrix(matrixOf({{0.123456789, 1e-5, 0.5}, {0.876543211, 0.99999, 0.5}}));
  P = new DMatrix(matrixOf({{0.3}, {0.7}}));
  {
    CwdGuard cwd(dir.path());
    ASSERT_EQ(writeOutputFiles(), 0);
  }
  EXPECT_EQ(readFile(dir.file("set1.2.Q")), "0.123457 0.876543\n0.000010 0.999990\n0.500000 0.500000\n");
  EXPECT_EQ(readFile(dir.file("set1.2.P")), "0.300000 0.700000\n");
  DMatrix* back = nullptr;
  ASSERT_EQ(inputMatrix(dir.file("set1.2.Q"), &back, true), 0);
  ASSERT_EQ(back->size1(), 2u);
  ASSERT_EQ(back->size2(), 3u);
  for (size_t k = 0; k < 2; ++k)
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR((*back)(k, i), (*Qt)(k, i), 5e-7);
  delete back;
}

TEST_F(FileIoTest, UnwritableResultEndsTheRun) {
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  // The P file cannot be put in place after the Q file has been: the Q
  // file goes back to what it was, the old one or none.
  for (const bool oldQ : {false, true}) {
    SCOPED_TRACE(oldQ ? "an old Q" : "no old Q");
    TempDir out;
    if (oldQ) writeFile(out.file("set1.1.Q"), "old Q\n");
    // A directory in the place of the P file cannot be replaced by a file,
    // as root too.
    mkdir(out.file("set1.1.P").c_str(), 0755);
    const std::string where = out.path();
    const RunResult r = runInChild([where] {
      if (chdir(where.c_str()) != 0) _exit(3);
      writeOutputFiles();
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error writing output file set1.1.P\n");
    if (oldQ) {
      EXPECT_EQ(readFile(out.file("set1.1.Q")), "old Q\n");
    } else {
      EXPECT_FALSE(fileExists(out.file("set1.1.Q")));
    }
    // No temporary file is left behind.
    EXPECT_EQ(namesIn(out.path()).size(), oldQ ? 2u : 1u);
  }
}

// A disk that fills while a result is written (here a file size limit, as
// `ulimit -f 40` sets) must leave the set as it was: not a new Q beside the
// old P, nor a file cut at a line end where it looks complete. With SIGXFSZ
// ignored the write fails and the run ends with its line; with its default
// action the signal ends the run, and no temporary is left either way.
TEST_F(FileIoTest, ResultSetIsWholeOrAsBefore) {
  struct Case {
    bool ignoreSignal;
    int status;
    const char* out;
  };
  const Case cases[] = {
      {true, 255, "Error writing output file set1.2.P\n"},
      {false, 128 + SIGXFSZ, ""},
  };
  setInput("set1.bed");
  K = 2;
  Qt = new DMatrix(2, 3, 0.5);
  // 90 KB, the limit is 40 KiB; the new Q file fits under it.
  P = new DMatrix(2, 5000, 0.25);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ignoreSignal ? "SIGXFSZ ignored" : "SIGXFSZ by default");
    TempDir out;
    const std::string oldQ = "old Q\n", oldP = "old P\n";
    writeFile(out.file("set1.2.Q"), oldQ);
    writeFile(out.file("set1.2.P"), oldP);
    const std::string where = out.path();
    const bool ignore = c.ignoreSignal;
    const RunResult r = runInChild([where, ignore] {
      if (chdir(where.c_str()) != 0 || (ignore && signal(SIGXFSZ, SIG_IGN) == SIG_ERR)) _exit(3);
      limitThisProcess(RLIMIT_FSIZE, 40 * 1024);
      writeOutputFiles();
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(readFile(out.file("set1.2.Q")), oldQ);
    EXPECT_EQ(readFile(out.file("set1.2.P")), oldP);
    EXPECT_EQ(namesIn(out.path()).size(), 2u);
  }
}

// A link planted under a name that a run's temporary file could take (the
// result's name, a dot, the process id, ".tmp") must not be followed: its
// target stays as it is, or absent, and the link itself is not touched.
TEST_F(FileIoTest, PlantedLinksAreNotFollowed) {
  setInput("set1.bed");
  K = 1;
  Options::B = 2;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  Qt_se = new DMatrix(1, 2, 0.25);
  Qt_bias = new DMatrix(1, 2, -0.25);
  const char* const results[] = {"set1.1.Q", "set1.1.P", "set1.1.Q_se", "set1.1.Q_bias"};
  const std::string victim = dir.file("victim"), absent = dir.file("absent");
  writeFile(victim, "precious\n");
  const std::string where = dir.path();
  const RunResult r = runInChild([where, &results, victim, absent] {
    if (chdir(where.c_str()) != 0) _exit(3);
    // Links to a file that exists and dangling ones, in turn.
    for (int f = 0; f < 4; ++f) {
      const std::string planted = std::string(results[f]) + "." + std::to_string(getpid()) + ".tmp";
      if (symlink((f % 2 == 0 ? victim : absent).c_str(), planted.c_str()) != 0) _exit(4);
    }
    writeOutputFiles();
  });
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(victim), "precious\n");
  EXPECT_FALSE(fileExists(absent));
  const char* const contents[] = {"1.000000\n1.000000\n", "0.500000\n0.500000\n", "0.250000\n0.250000\n",
                                  "-0.250000\n-0.250000\n"};
  for (int f = 0; f < 4; ++f) {
    struct stat st;
    ASSERT_EQ(lstat(dir.file(results[f]).c_str(), &st), 0) << results[f];
    EXPECT_TRUE(S_ISREG(st.st_mode)) << results[f];
    EXPECT_EQ(readFile(dir.file(results[f])), contents[f]) << results[f];
  }
  // The victim, the four links and the four results.
  EXPECT_EQ(namesIn(dir.path()).size(), 9u);
}

// A result name near the 255 bytes of a directory entry is a name the run
// can write; its temporary's name must not pass the limit.
TEST_F(FileIoTest, LongResultNames) {
  const std::string prefix(243, 'x');
  setInput(prefix + ".bed");
  K = 3;
  Options::B = 2;
  Qt = new DMatrix(3, 2, 0.25);
  P = new DMatrix(3, 2, 0.5);
  Qt_se = new DMatrix(3, 2, 0.01);
  Qt_bias = new DMatrix(3, 2, -0.01);
  const std::string where = dir.path();
  const RunResult r = runInChild([where] {
    if (chdir(where.c_str()) != 0) _exit(3);
    writeOutputFiles();
  });
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* kind : {".3.Q", ".3.P", ".3.Q_se", ".3.Q_bias"})
    EXPECT_EQ(splitLines(readFile(dir.file(prefix + kind))).size(), 2u) << kind;
  EXPECT_EQ(namesIn(dir.path()).size(), 4u);
}

// The standard errors and biases of a bootstrap describe the estimate they
// were made for: a run removes the old ones of its names when it puts its
// new Q and P in place, so that a run without a bootstrap, or one whose
// bootstrap fails or is interrupted, leaves none beside them (read with
// them, an earlier run's gave negative means). A directory of such a name
// is no result and stays.
TEST_F(FileIoTest, StaleBootstrapFilesAreRemoved) {
  struct Case {
    int B;
    double lambda;
    std::vector<std::string> kept;  // of the four old files
  };
  const std::vector<std::string> old = {"set1.1.Q_se", "set1.1.Q_bias", "set1.1.Q_se.lambda.10",
                                        "set1.1.Q_bias.lambda.10"};
  const Case cases[] = {
      {2, 0.0, {"set1.1.Q_se.lambda.10", "set1.1.Q_bias.lambda.10"}},
      {2, 10.0, {"set1.1.Q_se", "set1.1.Q_bias"}},
      {0, 0.0, {"set1.1.Q_se.lambda.10", "set1.1.Q_bias.lambda.10"}},
      {0, 10.0, {"set1.1.Q_se", "set1.1.Q_bias"}},
  };
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE("B = " + std::to_string(c.B) + ", lambda " + std::to_string(c.lambda));
    TempDir out;
    for (const std::string& name : old) writeFile(out.file(name), "old\n");
    Options::B = c.B;
    Options::penaltyfunction.lambda = c.lambda;
    {
      CwdGuard cwd(out.path());
      // The point estimate's files alone: the bootstrap did not end.
      EXPECT_EQ(writeEstimateFiles(), 0);
    }
    for (const std::string& name : old) {
      const bool kept = std::find(c.kept.begin(), c.kept.end(), name) != c.kept.end();
      EXPECT_EQ(fileExists(out.file(name)), kept) << name;
      if (kept) {
        EXPECT_EQ(readFile(out.file(name)), "old\n") << name;
      }
    }
    EXPECT_EQ(namesIn(out.path()).size(), c.kept.size() + 2);
  }

  // A link of such a name goes, not the file it points to.
  TempDir out;
  ASSERT_EQ(mkdir(out.file("set1.1.Q_se").c_str(), 0755), 0);
  writeFile(out.file("target"), "kept\n");
  ASSERT_EQ(symlink("target", out.file("set1.1.Q_bias").c_str()), 0);
  Options::B = 0;
  Options::penaltyfunction.lambda = 0;
  {
    CwdGuard cwd(out.path());
    EXPECT_EQ(writeEstimateFiles(), 0);
  }
  struct stat st;
  EXPECT_EQ(stat(out.file("set1.1.Q_se").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(lstat(out.file("set1.1.Q_bias").c_str(), &st), 0);
  EXPECT_EQ(readFile(out.file("target")), "kept\n");
  EXPECT_EQ(namesIn(out.path()).size(), 4u);
}

namespace {

// Holds the lock on a directory that a run takes to put a result set in
// place.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) ADD_FAILURE() << "cannot lock " << path;
  }
  ~DirectoryLock() { release(); }
  // The lock belongs to the open directory, which a forked child shares:
  // the child lets go of its copy so that the lock is the parent's alone.
  void forget() { close(fd_); }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

// A run puts its set in place under a lock on the directory: while another
// holds it, the run waits with both temporaries written and the old set in
// place, so that two runs cannot interleave their renames. Ended there by
// SIGINT or SIGTERM, it removes its temporaries; a signal that was ignored
// when it started stays ignored.
TEST_F(FileIoTest, SetIsPutInPlaceUnderTheDirectoryLock) {
  struct Case {
    int sig;  // sent while the run waits; 0: none
    bool ignored;
    int status;
  };
  const Case cases[] = {
      {0, false, 0},
      {SIGTERM, false, 128 + SIGTERM},
      {SIGINT, false, 128 + SIGINT},
      {SIGTERM, true, 0},
  };
  setInput("set1.bed");
  K = 1;
  Qt = new DMatrix(1, 2, 1.0);
  P = new DMatrix(1, 2, 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE("signal " + std::to_string(c.sig) + (c.ignored ? " ignored" : ""));
    TempDir out;
    writeFile(out.file("set1.1.Q"), "old Q\n");
    writeFile(out.file("set1.1.P"), "old P\n");
    DirectoryLock lock(out.path());
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(60);
      lock.forget();
      if (chdir(out.path().c_str()) != 0) _exit(3);
      if (c.ignored) signal(c.sig, SIG_IGN);
      writeOutputFiles();
      _exit(0);
    }
    EXPECT_TRUE(waitFor([&] { return temporariesIn(out.path()) == 2; }));
    // Long enough for a run that takes no lock to rename both files.
    usleep(200000);
    EXPECT_EQ(readFile(out.file("set1.1.Q")), "old Q\n");
    EXPECT_EQ(readFile(out.file("set1.1.P")), "old P\n");
    if (c.sig != 0) kill(pid, c.sig);
    if (c.status != 0) {
      EXPECT_TRUE(waitFor([&] { return temporariesIn(out.path()) == 0; }));
    }
    lock.release();
    EXPECT_EQ(statusOf(pid), c.status);
    const bool replaced = c.status == 0;
    EXPECT_EQ(readFile(out.file("set1.1.Q")), replaced ? "1.000000\n1.000000\n" : "old Q\n");
    EXPECT_EQ(readFile(out.file("set1.1.P")), replaced ? "0.500000\n0.500000\n" : "old P\n");
    EXPECT_EQ(namesIn(out.path()).size(), 2u);
  }
}

TEST_F(FileIoTest, WriteErrorIsReported) {
  const DMatrix m = matrixOf({{0.5}});
  EXPECT_EQ(outputMatrix(dir.file("no/such/dir"), &m, true, " "), 1);
  EXPECT_EQ(outputMatrix(dir.file("ok"), &m, true, " "), 0);
  EXPECT_EQ(readFile(dir.file("ok")), "0.500000\n");
  EXPECT_EQ(namesIn(dir.path()).size(), 1u);
}

// ---- readInputFiles -------------------------------------------------------

TEST_F(FileIoTest, SuffixChoosesTheReader) {
  const std::string base = writeTinyBedSet();
  struct Case {
    std::string input;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {base + ".geno", "EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.\n", "",
       255},
      {base + ".GeNo", "EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.\n", "",
       255},
      {base + ".txt", "Input file extension not recognized.\n", "", 255},
      {base + ".", "Input file extension not recognized.\n", "", 255},
      // The PED reader opens the lower-case name, which does not exist.
      {base + ".PED", "", "Error opening file\n", 255},
      {base + ".BED", "", "", 0},
  };
  writeFile(base + ".PED", "F1 I1 0 0 1 -9 1 1\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string input = c.input;
    const RunResult r = runInChild([input] {
      K = 2;
      setInput(input);
      DatasetMetadata m;
      readInputFiles(0, m);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(FileIoTest, StartingAndTrueValues) {
  const std::string base = writeTinyBedSet();
  setInput(base + ".bed");
  K = 3;
  // Starting values in the current directory, true values beside the input.
  writeFile(dir.file("set.3.Q.in"), "0.2 0.3 0.5\n7 -1 0\n");
  writeFile(dir.file("set.3.P.in"), "0.1 0.2 0.3\n0.4 0.5 0.6\n0.7 0.8 0.9\n");
  writeFile(base + ".3.Q.truth", "1 0 0\n0 1 0\n");
  writeFile(base + ".3.P.truth", "0.5 0.5 0.5\n0.5 0.5 0.5\n0.5 0.5 0.5\n");
  testing::internal::CaptureStdout();
  int result;
  {
    CwdGuard cwd(dir.path());
    result = readInputFiles(1, meta);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out,
            "Initializing parameter matrices from input files:\n"
            "  Read Q input from set.3.Q.in\n"
            "  Read P input from set.3.P.in\n"
            "Read \"true\" Q/P values from file.\n");
  ASSERT_EQ(I, 2);
  ASSERT_EQ(L, 3);
  ASSERT_TRUE(Qt && Qt_old && P && P_old && Qt_truth && P_truth);
  EXPECT_NE(Qt, Qt_old);
  EXPECT_NE(P, P_old);
  EXPECT_EQ(rowsOf(*Qt), (std::vector<std::vector<double>>{{0.2, 7}, {0.3, -1}, {0.5, 0}}));
  EXPECT_EQ(rowsOf(*Qt_old), rowsOf(*Qt));
  EXPECT_DOUBLE_EQ((*P)(1, 2), 0.8);
  EXPECT_EQ(rowsOf(*P_old), rowsOf(*P));
  EXPECT_EQ(Qt_truth->size2(), 2u);
  EXPECT_EQ(rowsOf(*N), (std::vector<std::vector<int>>{{0, 2, 1}, {1, 9, 2}}));
}

TEST_F(FileIoTest, StartingValueCases) {
  const std::string base = writeTinyBedSet();
  const std::string goodQ = "0.5 0.5\n0.5 0.5\n";
  const std::string goodP = "0.1 0.9\n0.2 0.8\n0.3 0.7\n";
  struct Case {
    const char* name;
    int flag;
    const char* qin;  // null: absent
    const char* pin;
    const char* qtruth;
    const char* ptruth;
    int result;
    std::string out;
    bool hasQ, hasP, hasQTruth, hasPTruth;
  };
  const std::string in = "Initializing parameter matrices from input files:\n";
  const std::string readP = "  Read P input from set.2.P.in\n";
  const std::string readTrue = "Read \"true\" Q/P values from file.\n";
  const Case cases[] = {
      {"without the flag the .in files are not looked at", 0, "garbage x\n1 2 3\n", goodP.c_str(),
       nullptr, nullptr, 0, "", false, false, false, false},
      {"only P", 1, nullptr, goodP.c_str(), nullptr, nullptr, 0, in + readP, false, true, false, false},
      {"blank tail and byte-order mark", 1, "\xEF\xBB\xBF" "0.5 0.5\n0.5 0.5\n\n",
       "0.1 0.9\n0.2 0.8\n0.3 0.7\n \n", nullptr, nullptr, 0, in + "  Read Q input from set.2.Q.in\n" + readP,
       true, true, false, false},
      {"true file with a blank line inside is skipped silently", 0, nullptr, nullptr, "0.5 0.5\n\n0.5 0.5\n",
       nullptr, 0, "", false, false, false, false},
      {"neither", 1, nullptr, nullptr, goodQ.c_str(), nullptr, -1,
       in + "  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.\n",
       false, false, false, false},
      {"true values without the flag", 0, nullptr, nullptr, goodQ.c_str(), goodP.c_str(), 0, readTrue,
       false, false, true, true},
      {"true Q of the wrong shape is ignored", 0, nullptr, nullptr, "0.5 0.5\n0.5 0.5\n0.5 0.5\n",
       goodP.c_str(), 0, "Ignoring " + base + ".2.Q.truth: wrong size\n" + readTrue, false, false,
       false, true},
      {"both true files of the wrong shape", 0, nullptr, nullptr, "1 2 3\n", "1\n", 0,
       "Ignoring " + base + ".2.P.truth: wrong size\nIgnoring " + base + ".2.Q.truth: wrong size\n",
       false, false, false, false},
      {"malformed true file is skipped silently", 0, nullptr, nullptr, "1 2\n3\n", nullptr, 0, "",
       false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runState_.releaseObjects();
    DatasetMetadata m;
    TempDir cwdDir;
    setInput(base + ".bed");
    K = 2;
    std::vector<std::pair<const char*, std::string>> files = {
        {c.qin, cwdDir.file("set.2.Q.in")},
        {c.pin, cwdDir.file("set.2.P.in")},
        {c.qtruth, base + ".2.Q.truth"},
        {c.ptruth, base + ".2.P.truth"}};
    for (const auto& f : files) {
      unlink(f.second.c_str());
      if (f.first) writeFile(f.second, f.first);
    }
    testing::internal::CaptureStdout();
    int result;
    {
      CwdGuard cwd(cwdDir.path());
      result = readInputFiles(c.flag, m);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Qt != nullptr, c.hasQ);
    EXPECT_EQ(Qt_old != nullptr, c.hasQ);
    EXPECT_EQ(P != nullptr, c.hasP);
    EXPECT_EQ(P_old != nullptr, c.hasP);
    EXPECT_EQ(Qt_truth != nullptr, c.hasQTruth);
    EXPECT_EQ(P_truth != nullptr, c.hasPTruth);
  }
}

// A starting file that is there is read or refused, never replaced by
// random values; so is a name that is there but cannot be opened or read.
TEST_F(FileIoTest, StartingValueRefusals) {
  const std::string base = writeTinyBedSet();
  struct Case {
    const char* name;
    const char* qin;  // null: absent; or one of the two names below
    const char* pin;
    std::string out;
    bool fixQ = false, fixP = false;
  };
  // A Q.in that is a link to nothing, or a directory (which opens, and its
  // first read fails).
  const char* const danglingLink = "\x01<link to nothing>";
  const char* const directory = "\x01<directory>";
  const std::string in = "Initializing parameter matrices from input files:\n";
  const std::string readQ = "  Read Q input from set.2.Q.in\n";
  const std::string parseQ = "  Could not parse set.2.Q.in, ";
  const std::string goodQ = "0.5 0.5\n0.5 0.5\n";
  const std::string longToken = "0.5 " + std::string(50, '7') + "x\n";
  const Case cases[] = {
      {"header line", "Q1 Q2\n0.5 0.5\n0.5 0.5\n", nullptr,
       in + parseQ + "line 1: value 1, 'Q1', is not a number\n"},
      {"nan", "0.5 0.5\n0.5 nan\n", nullptr, in + parseQ + "line 2: value 2, 'nan', is not a number\n"},
      {"overflow", "1e999 0.5\n0.5 0.5\n", nullptr, in + parseQ + "line 1: value 1, '1e999', is not a finite number\n"},
      {"a letter", "0.44 0.55\n0.44 x\n", nullptr, in + parseQ + "line 2: value 2, 'x', is not a number\n"},
      {"a long token", longToken.c_str(), nullptr,
       in + parseQ + "line 1: value 2, '" + std::string(40, '7') + "...', is not a number\n"},
      {"unequal counts", "0.5 0.5\n0.5\n", nullptr,
       in + parseQ + "line 2: wrong number of values (found 1, expecting 2)\n"},
      {"blank line between lines", "0.5 0.5\n\n0.5 0.5\n", nullptr, in + "Blank line in set.2.Q.in, line 2\n"},
      {"P after a good Q", goodQ.c_str(), "0.1 0.9\n0.2\n0.3 0.7\n",
       in + readQ + "  Could not parse set.2.P.in, line 2: wrong number of values (found 1, expecting 2)\n"},
      {"fixed Q above 1", "0.5 0.5\n1.5 -0.5\n", nullptr,
       in + readQ + "  Fixed values outside [0, 1] in set.2.Q.in, line 2\n", true, false},
      {"fixed P below 0", nullptr, "0.1 0.9\n0.2 0.8\n-0.001 0.7\n",
       in + "  Read P input from set.2.P.in\n  Fixed values outside [0, 1] in set.2.P.in, line 3\n", false, true},
      {"Q of K + 1 values per line", "0.2 0.3 0.5\n0.2 0.3 0.5\n", nullptr,
       in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  3 2\n"},
      {"Q of too many lines", "0.5 0.5\n0.5 0.5\n0.5 0.5\n", nullptr,
       in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  2 3\n"},
      {"empty Q", "", nullptr, in + "  Read Q input from set.2.Q.in\n  Incorrect Q input file size\n  0 0\n"},
      {"P of too few lines", "0.5 0.5\n0.5 0.5\n", "0.5 0.5\n",
       in + "  Read Q input from set.2.Q.in\n  Read P input from set.2.P.in\n  Incorrect P input file size\n"},
      {"link to nothing", danglingLink, nullptr, in + "  Could not open set.2.Q.in\n"},
      {"directory", directory, nullptr, in + "Error reading set.2.Q.in\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir cwdDir;
    const std::string qin = cwdDir.file("set.2.Q.in");
    if (c.qin == danglingLink) {
      ASSERT_EQ(symlink("nowhere", qin.c_str()), 0);
    } else if (c.qin == directory) {
      ASSERT_EQ(mkdir(qin.c_str(), 0755), 0);
    } else if (c.qin) {
      writeFile(qin, c.qin);
    }
    if (c.pin) writeFile(cwdDir.file("set.2.P.in"), c.pin);
    const std::string where = cwdDir.path(), input = base + ".bed";
    const bool fixQ = c.fixQ, fixP = c.fixP;
    const RunResult r = runInChild([where, input, fixQ, fixP] {
      if (chdir(where.c_str()) != 0) _exit(3);
      K = 2;
      setInput(input);
      Options::estimateQ = !fixQ;
      Options::estimateP = !fixP;
      DatasetMetadata m;
      readInputFiles(1, m);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(FileIoTest, SupervisedReadsPopFile) {
  const std::string base = writeTinyBedSet();
  const std::string head = "Supervised analysis mode.  Examining .pop file...\n";
  struct Case {
    const char* name;
    const char* pop;  // null: absent
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"good", "EUR\nAFR\n", 0, head},
      {"absent", nullptr, 255, head + "Error reading .pop file!\n"},
      {"short", "EUR\n", 255,
       head + "Wrong number of lines in " + base + ".pop (found 1, expecting 2).\nError reading .pop file!\n"},
      {"one label", "EUR\nEUR\n", 255,
       head + "Expected 2 populations, but found reference individuals for 1.\nError reading .pop file!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((base + ".pop").c_str());
    if (c.pop) writeFile(base + ".pop", c.pop);
    const std::string input = base + ".bed";
    const RunResult r = runInChild([input] {
      K = 2;
      setInput(input);
      Options::supervised = true;
      DatasetMetadata m;
      readInputFiles(0, m);
      if (reference_pop[0] != 0 || reference_pop[1] != 1) _exit(4);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

// ---- validateInput --------------------------------------------------------

TEST_F(FileIoTest, HemizygousGenotypes) {
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
