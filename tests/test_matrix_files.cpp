// Text matrices: reading them, and their written form.
#include "dir_util.h"
#include "e2e_util.h"
#include "fileio.h"
#include "file_fixture.h"
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

using MatrixFiles = FileFixture;

// ---- inputMatrix ----------------------------------------------------------

TEST_F(MatrixFiles, InputMatrixCases) {
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

TEST_F(MatrixFiles, InputMatrixOrientationAndMissingFile) {
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

TEST_F(MatrixFiles, OutputMatrixWrittenForm) {
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
TEST_F(MatrixFiles, OutputMatrixDoesNotFlushPerLine) {
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

}  // namespace
