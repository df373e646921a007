// fileio: input dispatch and genotype checks, the PED/MAP reader, the
// population label file, text matrices and the result files. Declares the
// bed reader's entry point too (see readPlinkBedFiles below).
#ifndef KELVANORE_FILEIO_H
#define KELVANORE_FILEIO_H

#include <signal.h>

#include <cstdint>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

#include "utils.h"

// Every text input (.bim, .fam, .ped, .map, .pop, matrices) is read through
// one TextInput, so that each reader sees the same file: a byte-order mark
// at its start is skipped, blank lines (empty or white space only) at its
// end are not there, and the input ends early at a blank line that a
// record follows, at a line that is not text the readers can parse (a
// UTF-16 or UTF-32 byte-order mark, a NUL byte, a carriage return that no
// line feed follows), or at a read error. Lines are handed on as the file
// holds them, line ends included, so token and line readers parse as
// before.
//
//   TextInput text(name);
//   std::istream in(&text);
//   ... read from in to its end ...
//   text.checkEnd();
class TextInput : public std::streambuf {
 public:
  // Whether blank lines between records end the input (the rule of every
  // format but one) or are handed on as lines of their own (the .pop file,
  // where a blank line is an individual without a label).
  enum BlankLines { kBlankLinesEnd, kBlankLinesHandedOn };
  explicit TextInput(const std::string& name, BlankLines blankLines = kBlankLinesEnd);
  bool is_open() const { return file_.is_open(); }
  const std::string& name() const { return name_; }

  // Why the input ended: at the end of the file (a blank tail included),
  // at a blank line with a record after it, at a line in another encoding
  // or with a NUL byte or a lone carriage return, or at a read error.
  enum Ending { kEnd, kBlankLine, kUtf16Mark, kUtf32Mark, kNulByte, kLoneCarriageReturn, kReadError };
  Ending ending() const { return ending_; }
  // The input ended at a line that is not text in this system's encoding.
  bool endedAtEncoding() const;
  // The 1-based number of the line where the input ended early (0 when it
  // did not).
  int64_t endingLine() const { return endingLine_; }
  // Ends the run with one line unless the input ended at the end of the
  // file. The input itself ends early without a word, so that each reader
  // decides (the matrix reader reports instead of stopping): every reader
  // that reads to the end calls this after the pass.
  void checkEnd() const;
  // Back to the start for another pass; ends the run with one line when the
  // file cannot be rewound (a pipe).
  void rewind();

 protected:
  int_type underflow() override;

 private:
  bool nextRecord();
  bool endsAt(Ending why);

  std::ifstream file_;
  std::string name_;
  std::string line_;  // the record handed on, its line end included
  int64_t lineNumber_ = 0;
  int64_t endingLine_ = 0;
  Ending ending_ = kEnd;
  bool ended_ = false;
  BlankLines blankLines_;
};

// The white-space-separated fields of one line: their number; the first
// `keep` of them are copied into fields.
std::size_t splitFields(const std::string& line, std::string fields[], std::size_t keep);

// Loads the data set, the starting, true and reference values. 0 on success,
// -1 when starting values were asked for and neither file could be read.
int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta);
// Hemizygous calls must be coded homozygous; ends the run otherwise.
void validateInput(const GMatrix& G, const DatasetMetadata& meta);

// Shared by both fileset readers.
// A new rows x cols genotype matrix; ends the run (out of memory, one line)
// when the product cannot be addressed or the memory cannot be had.
GMatrix* createGenotypeMatrix(int64_t rows, int64_t cols);
// A number field of a marker list (.bim, .map), read whole: a decimal
// number in the form that the formatted input of a double takes (no "nan",
// "inf" or hexadecimal form), finite; or a decimal 64-bit integer. An
// underflow reads as the nearest double; an overflow, an empty field or
// anything after the number gives false. Fields hold no white space.
bool readWholeDecimal(const std::string& field, double& value);
bool readWholeInteger(const std::string& field, int64_t& value);
// Whether a sex code (a .fam's or a .ped's whole field) is in haploid_sexes,
// read by strtol32: its leading decimal digits with an optional sign, 0
// without any (so 1x is 1, and -9 matches the wildcard).
bool isHaploidSex(const std::string& code);
// Whether a chromosome token, as text, names a chromosome of haploid_chrs.
bool isHaploidChromosome(const std::string& token);

// The fileset readers that readInputFiles dispatches to. Each writes I, L
// and N and fills meta; base is the input path without its extension, and
// every failure ends the run.
// "12"-coded PED fileset (.ped, with the .map when it is needed).
void readPlinkFiles(const std::string& base, DatasetMetadata& meta);
void readMapFile(const std::string& base, DatasetMetadata& meta);
// PLINK bed fileset (.bim, .fam, .bed). Defined in bedfile.cpp and declared
// here rather than in bedfile.h: bedfile builds on this module (TextInput
// and the helpers above), so that this module reaches the reader without
// including bedfile.h and the two depend on each other one way only.
void readPlinkBedFiles(const std::string& base, DatasetMetadata& meta);

// base + ".pop"; 0 on success, 1 on failure. Writes reference_pop.
int readPopFile(const std::string& base);

// Text matrix reader: 0 on success (*M set to a new matrix), 1 on failure.
int inputMatrix(const std::string& filename, DMatrix** M, bool transpose);
// Text matrix writer, file form: writes to a new temporary file in the
// file's directory, syncs it and renames it over the file, so that the file
// is the old one or the new one, never a part. 1 on any failure (the
// temporary file is then removed), else 0.
int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep);
// Text matrix writer, stream form; it does not flush.
template <typename T>
void outputMatrix(std::ostream& out, const ublas::matrix<T, ublas::column_major>* M, bool transpose,
                  std::string sep);

// The text of a penalty weight in result file names (".lambda." and it):
// its integer part, so 10.9 gives "10" and 0.5 and -0.3 give "0".
std::string lambdaText(double lambda);
// What a pass of the weight adds to its result file names: nothing for the
// weight 0, else ".lambda." and lambdaText.
std::string resultSuffix(double lambda);

// The ending signals (every catchable signal whose default action ends the
// process, but for the faults of a crash) held back on the calling thread
// for the object's lifetime: the steps that it covers happen whole or not
// at all. Held by main while the worker threads start, they stay held in
// every worker, so that only the main thread takes them.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
  static const sigset_t& signals();

 private:
  sigset_t saved_;
};
// Once per run, before the first temporary (main calls it at the start;
// the writers again): every ending signal, and the exit, remove the
// temporary files that exist. A signal that the run was started with
// ignored stays ignored.
void installTemporaryCleanup();
// Every result file name of the run (each penalty weight's Q and P, and
// with a bootstrap its standard errors and biases) must be one the current
// directory can hold: not longer than a directory entry allows and not the
// name of a directory. Ends the run with one line otherwise; main calls it
// right after the options are read, before the estimation.
void checkResultNames();

// The result files of the current pass, in two sets: Q and P as soon as
// the point estimate is there, so that a failure in the analyses after it
// cannot take the estimate with it, and the bootstrap's standard errors and
// biases (when Options::B > 0) once they are there. writeOutputFiles writes
// both sets. A set is replaced whole or not at all: every file is written
// to a temporary first, and the renames follow only when all are complete.
// The old standard errors and biases of the pass's
// names are removed when the new Q and P are put in place, with or
// without a bootstrap. A failure ends the run with one line (the results
// are 0 otherwise); a run ended by an ending signal leaves no temporary
// behind.
int writeEstimateFiles();
int writeBootstrapFiles();
int writeOutputFiles();

#endif
