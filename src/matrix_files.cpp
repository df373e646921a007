#include "matrix_files.h"

#include <sys/stat.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "stops.h"
#include "text_input.h"
#include "utils.h"

namespace {

// Where a text matrix stops being one: the 1-based line and, there, the
// 1-based value that is not a finite number, or the count of values that
// differs from line 1's.
struct MatrixProblem {
  int64_t line = 0;
  std::size_t value = 0;
  std::string text;  // the value's text
  bool number = false;  // a number, but not a finite one
  std::size_t count = 0;
  std::size_t expected = 0;
};

// Value list of a text matrix, in reading order; 0 when every line holds
// the same number of values, all finite numbers, else 1 and the problem.
int readMatrixValues(std::istream& in, std::vector<double>& values, std::size_t& rows,
                     std::size_t& cols, MatrixProblem& problem) {
  rows = 0;
  cols = 0;
  std::string line;
  std::string token;
  while (std::getline(in, line)) {
    ++rows;
    std::size_t count = 0;
    const std::size_t len = line.size();
    std::size_t p = 0;
    while (p < len) {
      while (p < len && isWhite(line[p])) ++p;
      if (p == len) break;
      const std::size_t start = p;
      while (p < len && !isWhite(line[p])) ++p;
      ++count;
      // A value the run cannot use (nan, inf, a hexadecimal form, an
      // overflow) is refused where it is read.
      token.assign(line, start, p - start);
      double value = 0.0;
      if (!readWholeDecimal(token, value)) {
        problem.line = static_cast<int64_t>(rows);
        problem.value = count;
        problem.text = token;
        problem.number = !std::isfinite(value);
        return 1;
      }
      values.push_back(value);
    }
    if (rows > 1 && count != cols) {
      problem.line = static_cast<int64_t>(rows);
      problem.count = count;
      problem.expected = cols;
      return 1;
    }
    cols = count;
  }
  return 0;
}

// inputMatrix on an open text input; the problem tells why it gave 1 when
// the matrix was to blame (else the input ended early: text.ending()).
int readMatrixFile(TextInput& text, DMatrix** M, bool transpose, MatrixProblem& problem) {
  std::istream in(&text);
  std::vector<double> values;
  std::size_t rows = 0, cols = 0;
  const AllocationName allocating("the matrix of " + text.name());
  if (readMatrixValues(in, values, rows, cols, problem) != 0) return 1;
  if (text.ending() != TextInput::kEnd) return 1;
  DMatrix* result = transpose ? new DMatrix(cols, rows) : new DMatrix(rows, cols);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) {
      const double v = values[r * cols + c];
      if (transpose)
        (*result)(c, r) = v;
      else
        (*result)(r, c) = v;
    }
  *M = result;
  return 0;
}

}  // namespace

// Reads a starting-value file: the matrix, or null when there is no such
// file (the values are then drawn). A file that is there is read or
// refused: random values in its place would be held fixed with -f or -P
// and written as the result.
DMatrix* readStartingMatrix(const std::string& name) {
  TextInput text(name);
  if (!text.is_open()) {
    // lstat: a link to nothing is a name the user gave, not a missing file.
    struct stat st;
    if (lstat(name.c_str(), &st) == 0) stopWithMessage("  Could not open " + name);
    return nullptr;
  }
  DMatrix* M = nullptr;
  MatrixProblem problem;
  if (readMatrixFile(text, &M, true, problem) == 0) return M;
  text.checkEnd();
  const std::string where = "  Could not parse " + name + ", line " + std::to_string(problem.line);
  if (problem.value > 0) {
    // The text as found, but for a token so long that it is no value at all.
    constexpr std::size_t kShown = 40;
    const std::string shown =
        problem.text.size() <= kShown ? problem.text : problem.text.substr(0, kShown) + "...";
    stopWithMessage(where + ": value " + std::to_string(problem.value) + ", '" + shown + "', is not a " +
                    (problem.number ? "finite number" : "number"));
  }
  stopWithMessage(where + ": wrong number of values (found " + std::to_string(problem.count) + ", expecting " +
                  std::to_string(problem.expected) + ")");
}

// The values of a matrix held fixed are used as read: no update step
// repairs them, so one outside [0, 1] is refused here. Line c of the file
// is column c of the matrix.
void checkFixedValues(const DMatrix& M, const std::string& name) {
  for (std::size_t c = 0; c < M.size2(); ++c)
    for (std::size_t r = 0; r < M.size1(); ++r)
      if (!(M(r, c) >= 0.0 && M(r, c) <= 1.0))
        stopWithMessage("  Fixed values outside [0, 1] in " + name + ", line " + std::to_string(c + 1));
}

// A true matrix of any shape other than rows x cols is dropped, as is one
// that cannot be parsed. A file in an encoding that no reader takes (a
// UTF-16 mark, a NUL byte, a lone carriage return) is refused as every
// other text input is: dropping it would hide a file written by the wrong
// tool, whose fix is the same as for the data set's own files.
DMatrix* readTruthMatrix(const std::string& name, std::size_t rows, std::size_t cols) {
  TextInput text(name);
  if (!text.is_open()) return nullptr;
  DMatrix* M = nullptr;
  MatrixProblem problem;
  if (readMatrixFile(text, &M, true, problem) != 0) {
    if (text.endedAtEncoding()) text.checkEnd();
    return nullptr;
  }
  if (M->size1() != rows || M->size2() != cols) {
    printLine("Ignoring " + name + ": wrong size");
    delete M;
    return nullptr;
  }
  return M;
}

int inputMatrix(const std::string& filename, DMatrix** M, bool transpose) {
  TextInput text(filename);
  if (!text.is_open()) return 1;
  MatrixProblem problem;
  return readMatrixFile(text, M, transpose, problem);
}

template <typename T>
void outputMatrix(std::ostream& out, const ublas::matrix<T, ublas::column_major>* M, bool transpose,
                  std::string sep) {
  if (!M) return;
  const std::ios::fmtflags saved = out.flags();
  out.setf(std::ios::fixed, std::ios::floatfield);
  const std::size_t lines = transpose ? M->size2() : M->size1();
  const std::size_t perLine = transpose ? M->size1() : M->size2();
  for (std::size_t r = 0; r < lines; ++r) {
    if (perLine == 0) continue;
    for (std::size_t c = 0; c < perLine; ++c) {
      if (c > 0) out << sep;
      out << (transpose ? (*M)(c, r) : (*M)(r, c));
    }
    // A flush per line is a write call per SNP; the file form flushes once
    // when the file is complete.
    out << '\n';
  }
  out.flags(saved);
}

template void outputMatrix<double>(std::ostream& out, const ublas::matrix<double, ublas::column_major>* M,
                                   bool transpose, std::string sep);
