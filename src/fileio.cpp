#include "fileio.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "bedfile.h"
#include "options.h"

namespace {

// Blanks separate the fields of a .ped line; no other white space does.
constexpr char kPedSeparator = ' ';

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAllele(char c) { return c == '0' || c == '1' || c == '2'; }

bool containsSex(int sex) {
  return std::find(haploid_sexes.begin(), haploid_sexes.end(), sex) != haploid_sexes.end();
}

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

// Decodes one .ped line into row i of N (L columns at the given stride).
void decodePedLine(const std::string& line, int i, IndInfo& ind) {
  const std::size_t len = line.size();
  std::size_t p = 0;
  int blanks = 0;
  while (p < len && blanks < 6) {
    const char c = line[p];
    if (c == kPedSeparator)
      ++blanks;
    else if (blanks == 4)
      ind.haploid = containsSex(c - '0');
    ++p;
  }
  // Six fields are five blanks; pairs need the sixth.
  if (blanks < 5) pedError();

  const std::size_t rows = static_cast<std::size_t>(I);
  // A matrix of no SNPs has no storage to point into.
  unsigned char* cell = L > 0 ? N->data().begin() + static_cast<std::size_t>(i) : nullptr;
  int j = 0;
  for (; p + 2 < len; p += 4) {
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

// Value list of a text matrix, in reading order; 0 when every line held the
// same number of values (at least one), else 1.
int readMatrixValues(std::istream& in, std::vector<double>& values, std::size_t& rows,
                     std::size_t& cols) {
  rows = 0;
  cols = 0;
  std::string line;
  std::istringstream fields;
  while (std::getline(in, line)) {
    ++rows;
    fields.clear();
    fields.str(line);
    std::size_t count = 0;
    double value;
    while (fields >> value) {
      values.push_back(value);
      ++count;
    }
    // A line without a number cannot be a row of values, wherever it is.
    if (count == 0 || (cols != 0 && count != cols)) return 1;
    cols = count;
  }
  return 0;
}

// Reads a starting-value file. Returns the matrix, or null when the file is
// absent; a file that is there but is not a matrix is reported and null.
DMatrix* readStartingMatrix(const std::string& name) {
  DMatrix* M = nullptr;
  if (inputMatrix(name, &M, true) == 0) return M;
  std::ifstream probe(name.c_str());
  if (probe.is_open()) printLine("  Could not parse " + name);
  return nullptr;
}

// A true matrix of any shape other than rows x cols is dropped.
DMatrix* readTruthMatrix(const std::string& name, std::size_t rows, std::size_t cols) {
  DMatrix* M = nullptr;
  if (inputMatrix(name, &M, true) != 0) return nullptr;
  if (M->size1() != rows || M->size2() != cols) {
    printLine("Ignoring " + name + ": wrong size");
    delete M;
    return nullptr;
  }
  return M;
}

DMatrix* copyMatrix(const DMatrix& M, const std::string& what) {
  try {
    return new DMatrix(M);
  } catch (const std::bad_alloc&) {
    stopOutOfMemory(what);
  }
}

// The text of the penalty weight in result names: its integer part.
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

void writeResult(const std::string& name, const DMatrix* M) {
  if (outputMatrix(name, M, true, " ") != 0) stopWithMessage("Error writing output file " + name);
}

}  // namespace

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
    if (Qin) {
      printLine("  Read Q input from " + qName);
      if (Qin->size1() != static_cast<std::size_t>(K) || Qin->size2() != static_cast<std::size_t>(I)) {
        printLine("  Incorrect Q input file size");
        const std::string sizes = "  " + std::to_string(Qin->size1()) + " " + std::to_string(Qin->size2());
        // Only this frame holds the matrix: freed, it is not reported as leaked at exit.
        delete Qin;
        stopWithMessage(sizes);
      }
      Qt_old = copyMatrix(*Qin, "the starting Q (" + k + " x " + to_string(I) + ")");
      Qt = copyMatrix(*Qt_old, "the starting Q (" + k + " x " + to_string(I) + ")");
      delete Qin;
    }

    const std::string pName = prefix + "." + k + ".P.in";
    DMatrix* Pin = readStartingMatrix(pName);
    if (Pin) {
      printLine("  Read P input from " + pName);
      if (Pin->size1() != static_cast<std::size_t>(K) || Pin->size2() != static_cast<std::size_t>(L)) {
        delete Pin;
        stopWithMessage("  Incorrect P input file size");
      }
      P_old = copyMatrix(*Pin, "the starting P (" + k + " x " + to_string(L) + ")");
      P = copyMatrix(*P_old, "the starting P (" + k + " x " + to_string(L) + ")");
      delete Pin;
    }

    if (!Qin && !Pin) {
      printLine("  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.");
      return -1;
    }
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

void readPlinkFiles(const std::string& base, DatasetMetadata& meta) {
  std::ifstream ped((base + ".ped").c_str(), std::ios::in | std::ios::binary);
  if (!ped.is_open()) stopWithError("Error opening file");

  std::string line;
  std::getline(ped, line);
  std::size_t first = 0, last = line.size();
  while (first < last && isWhite(line[first])) ++first;
  while (last > first && isWhite(line[last - 1])) --last;
  const int64_t blanks = std::count(line.begin() + static_cast<std::ptrdiff_t>(first),
                                    line.begin() + static_cast<std::ptrdiff_t>(last), kPedSeparator);

  ped.clear();
  ped.seekg(0);
  int64_t lines = 0;
  std::size_t longest = 0;
  countPedLines(ped, lines, longest);

  // Six header fields and 2L alleles have 5 + 2L separators.
  if ((blanks - 5) % 2 != 0 || blanks < 5) pedError();
  const int64_t pairs = (blanks - 5) / 2;
  if (lines > std::numeric_limits<int>::max() || pairs > std::numeric_limits<int>::max())
    stopOutOfMemory("the genotype matrix (" + std::to_string(lines) + " x " +
                    std::to_string(pairs) + ")");
  I = static_cast<int>(lines);
  L = static_cast<int>(pairs);

  N = createGenotypeMatrix(I, L);
  try {
    meta.indInfo.resize(static_cast<std::size_t>(I));
    meta.snpInfo.resize(static_cast<std::size_t>(L));
    line.reserve(longest);
  } catch (const std::bad_alloc&) {
    stopOutOfMemory("the dataset description (" + to_string(I) + " x " + to_string(L) + ")");
  }

  ped.clear();
  ped.seekg(0);
  for (int i = 0; i < I; ++i) {
    if (!std::getline(ped, line)) pedError();
    decodePedLine(line, i, meta.indInfo[static_cast<std::size_t>(i)]);
  }

  if ((Options::B > 0 && Options::blockSize == 0) || haploidModeEnabled) readMapFile(base, meta);
}

void readMapFile(const std::string& base, DatasetMetadata& meta) {
  const std::string name = base + ".map";
  printLine(name);
  std::ifstream map(name.c_str());
  if (!map.is_open()) stopWithError("Error opening .map file");

  int64_t count = 0;
  std::string line;
  std::string tokens[4];
  while (std::getline(map, line)) {
    // Count every token, keep the first four.
    std::size_t found = 0;
    std::size_t p = 0;
    const std::size_t len = line.size();
    while (p < len) {
      while (p < len && isWhite(line[p])) ++p;
      if (p == len) break;
      const std::size_t start = p;
      while (p < len && !isWhite(line[p])) ++p;
      if (found < 4) tokens[found].assign(line, start, p - start);
      ++found;
    }
    if (found == 0) continue;
    if (found != 4) ShouldNotReachHere();

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
      snp.geneticPosition = std::strtod(tokens[2].c_str(), nullptr);
      snp.position = std::strtoll(tokens[3].c_str(), nullptr, 10);
      snp.haploid = isHaploidChromosome(tokens[0]);
    }
    ++count;
  }
  if (count != L) stopWithMessage("Map file length incorrect");
}

int readPopFile(const std::string& base) {
  const std::string name = base + ".pop";
  std::ifstream pop(name.c_str());
  if (!pop.is_open()) return 1;

  try {
    reference_pop = new int[static_cast<std::size_t>(std::max(I, 0))];
  } catch (const std::bad_alloc&) {
    stopOutOfMemory("the reference populations (" + to_string(I) + ")");
  }

  std::unordered_map<std::string, int> indexOf;
  int64_t n = 0;
  std::string line;
  while (std::getline(pop, line)) {
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
  std::ifstream in(filename.c_str());
  if (!in.is_open()) return 1;

  std::vector<double> values;
  std::size_t rows = 0, cols = 0;
  try {
    if (readMatrixValues(in, values, rows, cols) != 0) return 1;
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
  } catch (const std::bad_alloc&) {
    stopOutOfMemory("the matrix of " + filename);
  }
  return 0;
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
    out << std::endl;
  }
  out.flags(saved);
}

template void outputMatrix<double>(std::ostream& out, const ublas::matrix<double, ublas::column_major>* M,
                                   bool transpose, std::string sep);

int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep) {
  std::ofstream out(filename.c_str());
  // A file that cannot be created is a lost result, as much as a failed write.
  if (!out.is_open()) return 1;
  outputMatrix(out, M, transpose, sep);
  out.close();
  return out.fail() ? 1 : 0;
}

int writeOutputFiles() {
  const std::string stem = nameOf(Options::inputFilePrefix) + "." + to_string(K);
  const double lambda = Options::penaltyfunction.lambda;
  // A NaN weight is not 0 either.
  const std::string suffix = lambda == 0 ? std::string() : ".lambda." + lambdaText(lambda);

  writeResult(stem + ".Q" + suffix, Qt);
  writeResult(stem + ".P" + suffix, P);
  if (Options::B > 0) {
    if (Qt_se) writeResult(stem + ".Q_se" + suffix, Qt_se);
    if (Qt_bias) writeResult(stem + ".Q_bias" + suffix, Qt_bias);
  }
  return 0;
}
