#include "fileio.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "options.h"

namespace {

// Blanks separate the fields of a .ped line; no other white space does.
constexpr char kPedSeparator = ' ';

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Empty, or white space only: not a record in any text input.
bool isBlank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), isWhite);
}

// The UTF-8 byte-order mark that some editors put at the start of a text file.
const char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkSize = 3;
// The byte-order marks of UTF-16 and UTF-32, which these readers do not
// decode. The UTF-32 little-endian mark begins with the UTF-16 one, so it
// is looked for first.
const char kUtf16LeMark[] = "\xFF\xFE";
const char kUtf16BeMark[] = "\xFE\xFF";
constexpr std::size_t kUtf16MarkSize = 2;
const char kUtf32LeMark[] = "\xFF\xFE\x00\x00";
constexpr std::size_t kUtf32LeMarkSize = 4;
const char kUtf32BeMark[] = "\x00\x00\xFE\xFF";
constexpr std::size_t kUtf32BeMarkSize = 4;

bool isAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAllele(char c) { return c == '0' || c == '1' || c == '2'; }

void printLine(const std::string& text) { std::cout << text << std::endl; }

std::string nameOf(const char* text) { return text ? std::string(text) : std::string(); }

[[noreturn]] void pedError() { stopWithMessage("PLINK Input file error"); }

// Counts the lines of the .ped (a last line without a line feed counts)
// and the longest line, its line feed included.
void countPedLines(std::istream& in, int64_t& lines, std::size_t& longest) {
  lines = 0;
  longest = 0;
  std::size_t current = 0;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    for (std::streamsize c = 0; c < got; ++c) {
      ++current;
      if (chunk[c] == '\n') {
        ++lines;
        longest = std::max(longest, current);
        current = 0;
      }
    }
  }
  if (current > 0) {
    ++lines;
    longest = std::max(longest, current);
  }
}

// Decodes line i + 1 of the .ped `name` into row i of N (L columns at the
// given stride).
void decodePedLine(const std::string& name, const std::string& line, int i, IndInfo& ind) {
  const std::size_t len = line.size();
  std::size_t p = 0;
  int blanks = 0;
  std::size_t sexStart = 0, sexEnd = 0;
  while (p < len && blanks < 6) {
    if (line[p] == kPedSeparator) {
      ++blanks;
      if (blanks == 4) sexStart = p + 1;
      if (blanks == 5) sexEnd = p;
    }
    ++p;
  }
  // Six fields are five blanks; pairs need the sixth.
  if (blanks < 5) pedError();
  // The whole field, as the .fam's is read: looked up a character at a
  // time, the code -9 was 9 and never matched the wildcard.
  ind.haploid = isHaploidSex(line.substr(sexStart, sexEnd - sexStart));

  const std::size_t rows = static_cast<std::size_t>(I);
  // A matrix of no SNPs has no storage to point into.
  unsigned char* cell = L > 0 ? N->data().begin() + static_cast<std::size_t>(i) : nullptr;
  int j = 0;
  for (; p + 2 < len; p += 4) {
    // The character between two pairs: unchecked, 1 1X2 2 read as two
    // good pairs.
    if (j > 0 && line[p - 1] != kPedSeparator)
      stopWithMessage("Invalid separator between genotype pairs in " + name + ", line " + std::to_string(i + 1));
    const char a = line[p];
    const char b = line[p + 2];
    if (line[p + 1] != kPedSeparator || !isAllele(a) || !isAllele(b)) pedError();
    if ((a == '0') != (b == '0')) pedError();
    if (j >= L) pedError();
    unsigned char g = kMissing;
    if (a != '0') g = static_cast<unsigned char>((a == '1') + (b == '1'));
    cell[static_cast<std::size_t>(j) * rows] = g;
    ++j;
  }
  if (j != L) pedError();
  // After the last pair only line-end white space may follow (a carriage
  // return, blanks): a lone allele or glued text there is data, not padding.
  for (std::size_t q = j > 0 ? p - 1 : p; q < len; ++q)
    if (!isWhite(line[q])) pedError();
}

// A value of a text matrix: the whole token is a decimal number (optional
// sign, digits, optional point and fraction, optional exponent) and finite.
// No nan, inf or hexadecimal form: a value the run cannot use is refused
// where it is read.
bool readMatrixValue(const char* begin, const char* end, double& value) {
  for (const char* c = begin; c != end; ++c)
    if (!((*c >= '0' && *c <= '9') || *c == '+' || *c == '-' || *c == '.' || *c == 'e' || *c == 'E'))
      return false;
  // The token ends at white space or at the line's terminating zero, where
  // strtod stops too.
  char* stop = nullptr;
  value = std::strtod(begin, &stop);
  return stop == end && std::isfinite(value);
}

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
  while (std::getline(in, line)) {
    ++rows;
    std::size_t count = 0;
    const char* const text = line.c_str();
    const std::size_t len = line.size();
    std::size_t p = 0;
    while (p < len) {
      while (p < len && isWhite(text[p])) ++p;
      if (p == len) break;
      const std::size_t start = p;
      while (p < len && !isWhite(text[p])) ++p;
      ++count;
      double value = 0.0;
      if (!readMatrixValue(text + start, text + p, value)) {
        problem.line = static_cast<int64_t>(rows);
        problem.value = count;
        problem.text.assign(text + start, p - start);
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

}  // namespace

std::string lambdaText(double lambda) {
  if (std::isnan(lambda)) return "nan";
  if (std::isinf(lambda)) return lambda > 0 ? "inf" : "-inf";
  const double whole = std::trunc(lambda);
  if (whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max())
    return to_string(static_cast<int>(whole));
  // Beyond int, the whole integer part keeps distinct weights apart.
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", whole);
  return text;
}

std::string resultSuffix(double lambda) {
  // A NaN weight is not 0 either.
  return lambda == 0 ? std::string() : ".lambda." + lambdaText(lambda);
}


TextInput::TextInput(const std::string& name, BlankLines blankLines)
    : file_(name.c_str(), std::ios::in | std::ios::binary), name_(name), blankLines_(blankLines) {}

bool TextInput::endsAt(Ending why) {
  ending_ = why;
  endingLine_ = lineNumber_;
  return false;
}

bool TextInput::endedAtEncoding() const {
  return ending_ == kUtf16Mark || ending_ == kUtf32Mark || ending_ == kNulByte ||
         ending_ == kLoneCarriageReturn;
}

// Hands on the next record line; false when the records have ended, with
// the reason in ending_.
bool TextInput::nextRecord() {
  if (!std::getline(file_, line_)) {
    if (file_.bad()) ending_ = kReadError;
    return false;
  }
  ++lineNumber_;
  if (lineNumber_ == 1) {
    // Read byte by byte, UTF-16 and UTF-32 text is mostly NUL bytes and
    // splits into lines wherever a code unit holds 0x0A: name the encoding
    // rather than the first symptom.
    if (line_.compare(0, kUtf32LeMarkSize, kUtf32LeMark, kUtf32LeMarkSize) == 0 ||
        line_.compare(0, kUtf32BeMarkSize, kUtf32BeMark, kUtf32BeMarkSize) == 0)
      return endsAt(kUtf32Mark);
    if (line_.compare(0, kUtf16MarkSize, kUtf16LeMark) == 0 ||
        line_.compare(0, kUtf16MarkSize, kUtf16BeMark) == 0)
      return endsAt(kUtf16Mark);
    if (line_.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0) line_.erase(0, kByteOrderMarkSize);
    // A file of a byte-order mark alone holds no line.
    if (line_.empty() && file_.eof()) return false;
  }
  if (blankLines_ == kBlankLinesEnd && isBlank(line_)) {
    // The records end here unless one follows: blank lines may only end a
    // file (a trailing empty line is a common editor habit; one between
    // records is a record lost, or found where none is).
    const int64_t blank = lineNumber_;
    while (std::getline(file_, line_)) {
      ++lineNumber_;
      if (!isBlank(line_)) {
        ending_ = kBlankLine;
        endingLine_ = blank;
        return false;
      }
    }
    if (file_.bad()) ending_ = kReadError;
    return false;
  }
  // A NUL ends the C strings that numbers are parsed from, and no text
  // format of this system holds one.
  if (line_.find('\0') != std::string::npos) return endsAt(kNulByte);
  // A carriage return ends a line only before a line feed: alone, as the
  // old Macintosh line end, it would run every record into one line. The
  // last byte of the file may be one, as it may be any white space.
  const std::size_t cr = line_.find('\r');
  if (cr != std::string::npos && cr + 1 < line_.size()) return endsAt(kLoneCarriageReturn);
  // getline stops before a line feed, or at the end of a last line that
  // has none.
  if (!file_.eof()) line_.push_back('\n');
  return true;
}

TextInput::int_type TextInput::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (ended_ || !nextRecord()) {
    ended_ = true;
    return traits_type::eof();
  }
  // A line handed on is never empty: a blank one keeps its line end.
  if (line_.empty()) line_.push_back('\n');
  char* begin = &line_[0];
  setg(begin, begin, begin + line_.size());
  return traits_type::to_int_type(*begin);
}

void TextInput::checkEnd() const {
  const std::string where = name_ + ", line " + std::to_string(endingLine_);
  switch (ending_) {
    case kEnd:
      return;
    case kBlankLine:
      stopWithMessage("Blank line in " + where);
    case kUtf16Mark:
      stopWithMessage("Unsupported text encoding (UTF-16 byte-order mark) in " + where);
    case kUtf32Mark:
      stopWithMessage("Unsupported text encoding (UTF-32 byte-order mark) in " + where);
    case kNulByte:
      stopWithMessage("NUL byte in " + where);
    case kLoneCarriageReturn:
      stopWithMessage("Carriage return without line feed in " + where);
    case kReadError:
      stopWithMessage("Error reading " + name_);
  }
}

void TextInput::rewind() {
  file_.clear();
  file_.seekg(0);
  if (!file_) stopWithMessage("Cannot rewind " + name_ + " to read it again: give a regular file, not a pipe");
  setg(nullptr, nullptr, nullptr);
  lineNumber_ = 0;
  endingLine_ = 0;
  ending_ = kEnd;
  ended_ = false;
}

std::size_t splitFields(const std::string& line, std::string fields[], std::size_t keep) {
  std::size_t found = 0;
  std::size_t p = 0;
  const std::size_t len = line.size();
  while (p < len) {
    while (p < len && isWhite(line[p])) ++p;
    if (p == len) break;
    const std::size_t start = p;
    while (p < len && !isWhite(line[p])) ++p;
    if (found < keep) fields[found].assign(line, start, p - start);
    ++found;
  }
  return found;
}

bool readWholeDecimal(const std::string& field, double& value) {
  for (const char c : field)
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E')) return false;
  char* end = nullptr;
  value = std::strtod(field.c_str(), &end);
  return !field.empty() && end == field.c_str() + field.size() && std::isfinite(value);
}

bool readWholeInteger(const std::string& field, int64_t& value) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(field.c_str(), &end, 10);
  if (field.empty() || end != field.c_str() + field.size() || errno == ERANGE) return false;
  value = static_cast<int64_t>(v);
  return true;
}

int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta) {
  const std::string suffix = nameOf(Options::inputFileSuffix);
  const std::string base = nameOf(Options::inputFileBase);
  const std::string prefix = nameOf(Options::inputFilePrefix);
  const std::string k = to_string(K);

  if (strcasecmp(suffix.c_str(), "geno") == 0)
    stopWithMessage("EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.");
  else if (strcasecmp(suffix.c_str(), "ped") == 0)
    readPlinkFiles(base, meta);
  else if (strcasecmp(suffix.c_str(), "bed") == 0)
    readPlinkBedFiles(base, meta);
  else
    stopWithMessage("Input file extension not recognized.");

  validateInput(*N, meta);

  if (initializeFromFilesFlag != 0) {
    printLine("Initializing parameter matrices from input files:");

    const std::string qName = prefix + "." + k + ".Q.in";
    DMatrix* Qin = readStartingMatrix(qName);
    const bool qRead = Qin != nullptr;
    if (Qin) {
      printLine("  Read Q input from " + qName);
      if (Qin->size1() != static_cast<std::size_t>(K) || Qin->size2() != static_cast<std::size_t>(I)) {
        printLine("  Incorrect Q input file size");
        const std::string sizes = "  " + std::to_string(Qin->size1()) + " " + std::to_string(Qin->size2());
        // Only this frame holds the matrix: freed, it is not reported as leaked at exit.
        delete Qin;
        stopWithMessage(sizes);
      }
      if (!Options::estimateQ) checkFixedValues(*Qin, qName);
      Qt_old = copyMatrix(*Qin, "the starting Q (" + k + " x " + to_string(I) + ")");
      Qt = copyMatrix(*Qt_old, "the starting Q (" + k + " x " + to_string(I) + ")");
      delete Qin;
    }

    const std::string pName = prefix + "." + k + ".P.in";
    DMatrix* Pin = readStartingMatrix(pName);
    const bool pRead = Pin != nullptr;
    if (Pin) {
      printLine("  Read P input from " + pName);
      if (Pin->size1() != static_cast<std::size_t>(K) || Pin->size2() != static_cast<std::size_t>(L)) {
        delete Pin;
        stopWithMessage("  Incorrect P input file size");
      }
      if (!Options::estimateP) checkFixedValues(*Pin, pName);
      P_old = copyMatrix(*Pin, "the starting P (" + k + " x " + to_string(L) + ")");
      P = copyMatrix(*P_old, "the starting P (" + k + " x " + to_string(L) + ")");
      delete Pin;
    }

    if (!qRead && !pRead) {
      printLine("  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.");
      return -1;
    }
    // The other one would be drawn at random: held fixed, or with the point
    // estimation skipped, the random values would be written (and
    // bootstrapped) as the estimate.
    if (!qRead && !Options::estimateQ) stopWithMessage("  Could not read fixed Q from " + qName);
    if (!pRead && !Options::estimateP) stopWithMessage("  Could not read fixed P from " + pName);
    if (!qRead && Options::skipPointEstimation)
      stopWithMessage("  Could not read Q from " + qName + ", needed to skip point estimation");
    if (!pRead && Options::skipPointEstimation)
      stopWithMessage("  Could not read P from " + pName + ", needed to skip point estimation");
  }

  P_truth = nullptr;
  Qt_truth = nullptr;
  const std::size_t kRows = static_cast<std::size_t>(K);
  P_truth = readTruthMatrix(base + "." + k + ".P.truth", kRows, static_cast<std::size_t>(L));
  Qt_truth = readTruthMatrix(base + "." + k + ".Q.truth", kRows, static_cast<std::size_t>(I));
  if (P_truth || Qt_truth) printLine("Read \"true\" Q/P values from file.");

  if (Options::supervised) {
    printLine("Supervised analysis mode.  Examining .pop file...");
    if (readPopFile(base) != 0) stopWithMessage("Error reading .pop file!");
  }
  return 0;
}

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

void readPlinkFiles(const std::string& base, DatasetMetadata& meta) {
  TextInput text(base + ".ped");
  if (!text.is_open()) stopWithError("Error opening file");
  std::istream ped(&text);

  std::string line;
  std::getline(ped, line);
  text.checkEnd();
  std::size_t first = 0, last = line.size();
  while (first < last && isWhite(line[first])) ++first;
  while (last > first && isWhite(line[last - 1])) --last;
  const int64_t blanks = std::count(line.begin() + static_cast<std::ptrdiff_t>(first),
                                    line.begin() + static_cast<std::ptrdiff_t>(last), kPedSeparator);

  text.rewind();
  ped.clear();
  int64_t lines = 0;
  std::size_t longest = 0;
  countPedLines(ped, lines, longest);
  text.checkEnd();

  // Six header fields and 2L alleles have 5 + 2L separators.
  if ((blanks - 5) % 2 != 0 || blanks < 5) pedError();
  const int64_t pairs = (blanks - 5) / 2;
  if (lines > std::numeric_limits<int>::max() || pairs > std::numeric_limits<int>::max())
    stopOutOfMemory("the genotype matrix (" + std::to_string(lines) + " x " +
                    std::to_string(pairs) + ")");
  I = static_cast<int>(lines);
  L = static_cast<int>(pairs);

  N = createGenotypeMatrix(I, L);
  {
    const AllocationName allocating("the dataset description (" + to_string(I) + " x " + to_string(L) + ")");
    meta.indInfo.resize(static_cast<std::size_t>(I));
    meta.snpInfo.resize(static_cast<std::size_t>(L));
    line.reserve(longest);
  }

  text.rewind();
  ped.clear();
  for (int i = 0; i < I; ++i) {
    if (!std::getline(ped, line)) pedError();
    decodePedLine(text.name(), line, i, meta.indInfo[static_cast<std::size_t>(i)]);
  }

  if ((Options::B > 0 && Options::blockSize == 0) || haploidModeEnabled) readMapFile(base, meta);
}

void readMapFile(const std::string& base, DatasetMetadata& meta) {
  const std::string name = base + ".map";
  printLine(name);
  TextInput text(name);
  if (!text.is_open()) stopWithError("Error opening .map file");
  std::istream map(&text);

  // Chromosome, SNP name, genetic position, base-pair position.
  constexpr std::size_t kMapFields = 4;
  int64_t count = 0;
  std::string line;
  std::string tokens[kMapFields];
  while (std::getline(map, line)) {
    // Blank lines never get here: record count + 1 is the line's number.
    const std::size_t found = splitFields(line, tokens, kMapFields);
    if (found != kMapFields)
      stopWithMessage("Wrong number of fields in " + name + ", line " + std::to_string(count + 1) + " (found " +
                      std::to_string(found) + ", expecting " + std::to_string(kMapFields) + ")");

    int32_t chromosome = 0;
    try {
      chromosome = boost::lexical_cast<int32_t>(tokens[0]);
    } catch (const boost::bad_lexical_cast&) {
      stopWithMessage("Invalid chromosome code!  Use integers.");
    }
    if (count < L && static_cast<std::size_t>(count) < meta.snpInfo.size()) {
      SNPInfo& snp = meta.snpInfo[static_cast<std::size_t>(count)];
      snp.chromosome = chromosome;
      snp.name = tokens[1];
      snp.haploid = isHaploidChromosome(tokens[0]);
    }
    // Read to their ends: a leading number alone took 1.5e+07 as 1, 12x as
    // 12 and abc as 0.
    double distance = 0.0;
    int64_t position = 0;
    if (!readWholeDecimal(tokens[2], distance))
      stopWithMessage("Invalid genetic position in " + name + ", line " + std::to_string(count + 1));
    if (!readWholeInteger(tokens[3], position))
      stopWithMessage("Invalid base-pair position in " + name + ", line " + std::to_string(count + 1));
    if (count < L && static_cast<std::size_t>(count) < meta.snpInfo.size()) {
      SNPInfo& snp = meta.snpInfo[static_cast<std::size_t>(count)];
      snp.geneticPosition = distance;
      snp.position = position;
    }
    ++count;
  }
  text.checkEnd();
  if (count != L) stopWithMessage("Map file length incorrect");
}

int readPopFile(const std::string& base) {
  const std::string name = base + ".pop";
  TextInput text(name, TextInput::kBlankLinesHandedOn);
  if (!text.is_open()) return 1;
  std::istream pop(&text);

  {
    const AllocationName allocating("the reference populations (" + to_string(I) + ")");
    reference_pop = new int[static_cast<std::size_t>(std::max(I, 0))];
  }

  std::unordered_map<std::string, int> indexOf;
  int64_t n = 0;
  std::string line;
  while (std::getline(pop, line)) {
    // A blank line is an individual without a label; past the I-th line it
    // is the end of the file that an editor left, not an individual more.
    if (n >= I && isBlank(line)) continue;
    ++n;
    std::size_t p = 0;
    while (p < line.size() && isWhite(line[p])) ++p;
    std::size_t end = p;
    while (end < line.size() && !isWhite(line[end])) ++end;
    int population = -1;
    if (end > p && isAsciiAlnum(line[p])) {
      const auto inserted =
          indexOf.emplace(line.substr(p, end - p), static_cast<int>(indexOf.size()));
      population = inserted.first->second;
    }
    if (n <= I) reference_pop[n - 1] = population;
  }
  text.checkEnd();

  if (n != I) {
    printLine("Wrong number of lines in " + name + " (found " + std::to_string(n) +
              ", expecting " + to_string(I) + ").");
    return 1;
  }
  if (static_cast<int64_t>(indexOf.size()) != K) {
    printLine("Expected " + to_string(K) + " populations, but found reference individuals for " +
              std::to_string(indexOf.size()) + ".");
    return 1;
  }
  return 0;
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

namespace {

// ---- Result sets ------------------------------------------------------------
//
// The files of a set (Q and P; the standard errors and biases) must describe
// one estimate, so none of them is replaced until all are written: each goes
// to a temporary file in its directory first, and the renames follow one
// another under a lock on the directory, with the ending signals held back.
// Every step of the renames can be undone until the last: a replaced file
// is kept under a temporary name (exchanged with the new one, or a hard
// link to it), and so is a file the set removes, until the whole set is in
// place.

// The temporaries that may exist at once: a new file and a kept old one
// for each file of a set (two at most), and a kept old one for each file
// that the set removes (two).
constexpr int kMostTemporaries = 6;
// "kelvanore-" + six random characters + ".tmp" and its terminating zero:
// short, whatever the length of the result's name (a name near the 255
// bytes that a directory entry allows must still work).
constexpr std::size_t kTemporaryNameSize = 24;
// Attempts at a free temporary name; another file takes one only by chance.
constexpr int kNameAttempts = 100;
// Buffer of a result file's writes: a few hundred write calls for a P of a
// million SNPs. On the heap: a run under a small stack limit (ulimit -s)
// must not crash here after the whole estimation.
constexpr std::size_t kWriteBufferSize = 1 << 16;

// The temporaries that exist now, for the signal handler and the exit
// handler: plain storage, read by an async-signal-safe handler.
struct Temporary {
  int directory;
  char name[kTemporaryNameSize];
};
Temporary temporaries[kMostTemporaries];
volatile sig_atomic_t temporaryInUse[kMostTemporaries];

// Every catchable signal whose default action ends the process, but for the
// faults that only a crash raises (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
// SIGTRAP, SIGSYS): a closed terminal (SIGHUP), Ctrl-C and Ctrl-\, kill, a
// closed pipe, the timers, the CPU and file size limits, the user and
// real-time signals.
const sigset_t& endingSignalSet() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
                    SIGVTALRM, SIGPROF, SIGPOLL, SIGSTKFLT, SIGPWR})
      sigaddset(&s, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&s, sig);
    return s;
  }();
  return set;
}

void removeTemporaries() {
  for (int t = 0; t < kMostTemporaries; ++t)
    if (temporaryInUse[t]) {
      unlinkat(temporaries[t].directory, temporaries[t].name, 0);
      temporaryInUse[t] = 0;
    }
}

extern "C" void removeTemporariesAndRaise(int sig) {
  removeTemporaries();
  // The signal is held back until the handler returns; it then ends the
  // run as it would have without the handler.
  signal(sig, SIG_DFL);
  raise(sig);
}

extern "C" void removeTemporariesAtExit() { removeTemporaries(); }

// Random characters for a temporary name. Safety does not rest on them (the
// name is created exclusively); they only keep other files' names apart.
void randomName(char* name) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
  static uint64_t counter = 0;
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
           (static_cast<uint64_t>(getpid()) << 40);
  }
  // splitmix64's finaliser: the clock's fallback bits spread over the word.
  bits += 0x9E3779B97F4A7C15ULL * ++counter;
  bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ULL;
  bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBULL;
  bits ^= bits >> 31;
  char random[7];
  for (int c = 0; c < 6; ++c) {
    random[c] = kAlphabet[bits % kAlphabetSize];
    bits /= kAlphabetSize;
  }
  random[6] = '\0';
  std::snprintf(name, kTemporaryNameSize, "kelvanore-%s.tmp", random);
}

// A free slot of the list, or -1. Called with the ending signals held.
int freeSlot() {
  for (int t = 0; t < kMostTemporaries; ++t)
    if (!temporaryInUse[t]) return t;
  return -1;
}

// Makes a new name in the directory by `make` (which gets the candidate
// name and returns 0, or -1 with errno), never one that is already there,
// and lists it. The slot, or -1 with errno set.
template <typename Make>
int newTemporary(int directory, Make make) {
  const EndingSignalsHeld held;
  const int t = freeSlot();
  if (t < 0) {
    errno = EMFILE;
    return -1;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    randomName(temporaries[t].name);
    if (make(temporaries[t].name) == 0) {
      temporaries[t].directory = directory;
      temporaryInUse[t] = 1;
      return t;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Creates a new temporary file in the directory (a link planted under its
// name is not followed). Its descriptor is left in fd.
int createTemporary(int directory, int& fd) {
  return newTemporary(directory, [&](const char* name) {
    fd = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd >= 0 ? 0 : -1;
  });
}

// A second name (a hard link) for the directory's entry `name`.
int linkTemporary(int directory, const char* name) {
  return newTemporary(directory,
                      [&](const char* link) { return linkat(directory, name, directory, link, 0); });
}

// The entry `name` moved to a temporary name; nothing takes the new name's
// place.
int moveToTemporary(int directory, const char* name) {
  return newTemporary(directory, [&](const char* moved) {
    return renameat2(directory, name, directory, moved, RENAME_NOREPLACE);
  });
}

void forgetTemporary(int t) { temporaryInUse[t] = 0; }

void removeTemporary(int t) {
  unlinkat(temporaries[t].directory, temporaries[t].name, 0);
  temporaryInUse[t] = 0;
}

// A file system that lacks an operation says so with one of these.
bool unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM; }

// A stream buffer on a file descriptor: the bytes go out in large writes,
// and the first failure is kept.
class FileOutput : public std::streambuf {
 public:
  explicit FileOutput(int fd) : fd_(fd), buffer_(new char[kWriteBufferSize]) {
    setp(buffer_.get(), buffer_.get() + kWriteBufferSize);
  }
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return drain() ? 0 : -1; }

 private:
  bool drain() {
    if (failed_) return false;
    const char* p = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      // A full disk or a file size limit; 0 bytes is a write that cannot go on.
      if (n <= 0) {
        failed_ = true;
        return false;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    setp(buffer_.get(), buffer_.get() + kWriteBufferSize);
    return true;
  }

  int fd_;
  bool failed_ = false;
  std::unique_ptr<char[]> buffer_;
};

// fsync where the file system can sync; one that cannot (EINVAL) is not a
// lost write.
bool synced(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

// Writes the matrix to the open temporary and closes it; false on any
// failure. A file that the temporary will replace gives it its permission
// bits: a result kept private (0600) stays so.
bool writeTemporary(int directory, const std::string& replaced, int fd, const DMatrix* M, bool transpose,
                    const std::string& sep) {
  bool ok = true;
  struct stat st;
  if (fstatat(directory, replaced.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
    ok = fchmod(fd, st.st_mode & 0777) == 0;
  {
    FileOutput buffer(fd);
    std::ostream out(&buffer);
    outputMatrix(out, M, transpose, sep);
    out.flush();
    ok = ok && !out.fail();
  }
  ok = synced(fd) && ok;
  return close(fd) == 0 && ok;
}

struct SetFile {
  std::string name;  // within the directory
  const DMatrix* matrix;
};

// How a file of the set came into place, or how a file that the set
// removes went, so that a later failure can put the old one back.
enum Placing {
  kUntouched,
  kExchanged,   // the old file is under its temporary's name
  kCreated,     // there was none
  kKeptAside,   // the old file is under a temporary name of its own
  kReplaced,    // renamed over the old file, which is gone
  kRemoved,     // a file the set removes, gone
};

struct Placed {
  Placing how = kUntouched;
  int temporary = -1;  // the new file's temporary, while it exists
  int kept = -1;       // the temporary that keeps the old file, if any
};

// Puts the new file of temporary t in place of `name`: exchanged with the
// old file where the file system can exchange two names; elsewhere the old
// file is kept under a hard link first, or, where the file system has no
// hard links either, replaced for good. False on failure, with what was
// done in `placed`.
bool placeFile(int directory, const char* name, int t, Placed& placed) {
  placed.temporary = t;
  const char* temporary = temporaries[t].name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st;
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return false;
      if (renameat2(directory, temporary, directory, name, RENAME_NOREPLACE) == 0 ||
          (unsupported(errno) && renameat(directory, temporary, directory, name) == 0)) {
        forgetTemporary(t);
        placed = {kCreated, -1, -1};
        return true;
      }
      if (errno == EEXIST) continue;
      return false;
    }
    // A directory in the result's place would be exchanged as any file.
    if (S_ISDIR(st.st_mode)) return false;
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) == 0) {
      // The temporary now holds the old file.
      placed = {kExchanged, -1, t};
      return true;
    }
    if (errno == ENOENT) continue;
    if (!unsupported(errno)) return false;
    const int kept = linkTemporary(directory, name);
    if (kept < 0 && !unsupported(errno)) return false;
    if (renameat(directory, temporary, directory, name) != 0) {
      if (kept >= 0) removeTemporary(kept);
      return false;
    }
    forgetTemporary(t);
    placed = {kept >= 0 ? kKeptAside : kReplaced, -1, kept};
    return true;
  }
  return false;
}

// Removes `name`, a file that described the old set, keeping it under a
// temporary name until the set is in place where the file system allows.
// A directory is not such a file and stays. False on failure.
bool removeStaleFile(int directory, const char* name, Placed& placed) {
  struct stat st;
  if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT || errno == ENAMETOOLONG;
  if (S_ISDIR(st.st_mode)) return true;
  int kept = moveToTemporary(directory, name);
  if (kept >= 0) {
    placed = {kKeptAside, -1, kept};
    return true;
  }
  if (errno == ENOENT) return true;
  if (!unsupported(errno)) return false;
  kept = linkTemporary(directory, name);
  if (kept < 0 && !unsupported(errno)) return false;
  if (unlinkat(directory, name, 0) != 0) {
    const bool gone = errno == ENOENT;
    if (kept >= 0) removeTemporary(kept);
    return gone;
  }
  placed = {kept >= 0 ? kKeptAside : kRemoved, -1, kept};
  return true;
}

// Puts back what placeFile or removeStaleFile did.
void unplace(int directory, const char* name, Placed& placed) {
  switch (placed.how) {
    case kExchanged:
      // The temporary holds the new file again.
      renameat2(directory, temporaries[placed.kept].name, directory, name, RENAME_EXCHANGE);
      break;
    case kCreated:
      unlinkat(directory, name, 0);
      break;
    case kKeptAside:
      if (renameat(directory, temporaries[placed.kept].name, directory, name) == 0) forgetTemporary(placed.kept);
      break;
    case kUntouched:
    case kReplaced:
    case kRemoved:
      break;
  }
  placed.how = kUntouched;
}

// The directory of a path and the name within it.
void splitPath(const std::string& path, std::string& directory, std::string& name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory = ".";
    name = path;
  } else {
    directory = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Why a set was not put in place: the file that failed and what failed.
struct SetFailure {
  bool failed = false;
  bool removing = false;  // a file that the set removes could not be removed
  std::string name;
};

// Writes a set of files into one directory: every file is replaced, and
// the files in `stale` (which described the old set) are removed, or
// nothing changes. On a failure no temporary is left.
SetFailure writeSet(const std::string& path, const std::vector<SetFile>& files,
                    const std::vector<std::string>& stale, bool transpose, const std::string& sep) {
  installTemporaryCleanup();
  SetFailure failure;
  // Read access lets the directory be synced and locked; a directory that
  // may be written but not read is still one that results may go to.
  int directory = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool readable = directory >= 0;
  if (!readable) directory = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 || files.empty()) {
    if (directory >= 0) close(directory);
    failure = {!files.empty(), false, files.empty() ? std::string() : files[0].name};
    return failure;
  }

  std::vector<Placed> placed(files.size());
  for (std::size_t f = 0; f < files.size() && !failure.failed; ++f) {
    int fd = -1;
    const int t = createTemporary(directory, fd);
    placed[f].temporary = t;
    if (t < 0 || !writeTemporary(directory, files[f].name, fd, files[f].matrix, transpose, sep))
      failure = {true, false, files[f].name};
  }
  if (!failure.failed && readable && !synced(directory)) failure = {true, false, files[0].name};
  if (failure.failed) {
    const EndingSignalsHeld held;
    removeTemporaries();
    close(directory);
    return failure;
  }

  // Two runs in one directory would otherwise interleave their renames.
  // The lock is the directory's own: no file is made for it. Where the
  // file system has no such locks the set is still whole for this run.
  if (readable)
    while (flock(directory, LOCK_EX) != 0 && errno == EINTR) continue;
  {
    const EndingSignalsHeld held;
    std::vector<Placed> removed(stale.size());
    std::size_t f = 0, s = 0;
    for (; f < files.size(); ++f)
      if (!placeFile(directory, files[f].name.c_str(), placed[f].temporary, placed[f])) {
        failure = {true, false, files[f].name};
        break;
      }
    if (!failure.failed)
      for (; s < stale.size(); ++s)
        if (!removeStaleFile(directory, stale[s].c_str(), removed[s])) {
          failure = {true, true, stale[s]};
          break;
        }
    if (failure.failed) {
      while (s > 0) --s, unplace(directory, stale[s].c_str(), removed[s]);
      while (f > 0) --f, unplace(directory, files[f].name.c_str(), placed[f]);
    } else if (readable) {
      // The renames themselves last only once the directory is synced;
      // the files are in place either way.
      fsync(directory);
    }
    // What is left under temporary names is the old files kept until now,
    // or, after a failure, the new ones.
    removeTemporaries();
  }
  // Closing releases the lock.
  close(directory);
  return failure;
}

// The result files of a set of the current pass; a failure ends the run.
void writeResults(const std::vector<SetFile>& files, const std::vector<std::string>& stale) {
  const SetFailure failure = writeSet(".", files, stale, true, " ");
  if (!failure.failed) return;
  stopWithMessage((failure.removing ? "Error removing old file " : "Error writing output file ") + failure.name);
}

// Name of a result file of a pass: prefix.K, the kind (".Q", ".P", ...)
// and the suffix of the pass's penalty weight.
std::string resultName(const std::string& kind, double lambda) {
  return nameOf(Options::inputFilePrefix) + "." + to_string(K) + kind + resultSuffix(lambda);
}

}  // namespace

EndingSignalsHeld::EndingSignalsHeld() { pthread_sigmask(SIG_BLOCK, &endingSignalSet(), &saved_); }

EndingSignalsHeld::~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

const sigset_t& EndingSignalsHeld::signals() { return endingSignalSet(); }

void installTemporaryCleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(removeTemporariesAtExit);
  struct sigaction cleanup;
  std::memset(&cleanup, 0, sizeof cleanup);
  cleanup.sa_handler = removeTemporariesAndRaise;
  cleanup.sa_mask = endingSignalSet();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!sigismember(&endingSignalSet(), sig)) continue;
    // A signal that the run was started with ignored (nohup, a shell's
    // background job) stays ignored, and one that something else handles
    // keeps its handler.
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    sigaction(sig, &cleanup, nullptr);
  }
}

void checkResultNames() {
  long longest = pathconf(".", _PC_NAME_MAX);
  if (longest <= 0) longest = NAME_MAX;
  std::vector<std::string> kinds = {".Q", ".P"};
  if (Options::B > 0) kinds.insert(kinds.end(), {".Q_se", ".Q_bias"});
  for (double lambda : Options::lambdas)
    for (const std::string& kind : kinds) {
      const std::string name = resultName(kind, lambda);
      if (name.size() > static_cast<std::size_t>(longest))
        stopWithMessage("Cannot write result file " + name + ": its name is longer than " + std::to_string(longest) +
                        " bytes");
      struct stat st;
      if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        stopWithMessage("Cannot write result file " + name + ": a directory has that name");
    }
}

int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep) {
  std::string directory, name;
  splitPath(filename, directory, name);
  if (name.empty()) return 1;
  return writeSet(directory, {SetFile{name, M}}, {}, transpose, sep).failed ? 1 : 0;
}

int writeEstimateFiles() {
  // A bootstrap's standard errors and biases describe the estimate they
  // were made for: once the new one is in place the old ones go, so that a
  // run without a bootstrap, or one whose bootstrap fails or is interrupted,
  // leaves none beside it.
  const double lambda = Options::penaltyfunction.lambda;
  writeResults({SetFile{resultName(".Q", lambda), Qt}, SetFile{resultName(".P", lambda), P}},
               {resultName(".Q_se", lambda), resultName(".Q_bias", lambda)});
  return 0;
}

int writeBootstrapFiles() {
  if (Options::B > 0) {
    const double lambda = Options::penaltyfunction.lambda;
    std::vector<SetFile> results;
    if (Qt_se) results.push_back(SetFile{resultName(".Q_se", lambda), Qt_se});
    if (Qt_bias) results.push_back(SetFile{resultName(".Q_bias", lambda), Qt_bias});
    if (!results.empty()) writeResults(results, {});
  }
  return 0;
}

int writeOutputFiles() {
  writeEstimateFiles();
  return writeBootstrapFiles();
}
