// fileio: input dispatch and genotype checks, the PED/MAP reader, the
// population label file, text matrices and the result files.
#ifndef KELVANORE_FILEIO_H
#define KELVANORE_FILEIO_H

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
// record follows, or at a read error. Lines are handed on as the file holds
// them, line ends included, so token and line readers parse as before.
//
//   TextInput text(name);
//   std::istream in(&text);
//   ... read from in to its end ...
//   text.checkEnd();
class TextInput : public std::streambuf {
 public:
  explicit TextInput(const std::string& name);
  bool is_open() const { return file_.is_open(); }
  const std::string& name() const { return name_; }

  // Why the input ended: at the end of the file (a blank tail included),
  // at a blank line with a record after it, or at a read error.
  enum Ending { kEnd, kBlankLine, kReadError };
  Ending ending() const { return ending_; }
  // The 1-based number of that blank line.
  int64_t blankLine() const { return blankLine_; }
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

  std::ifstream file_;
  std::string name_;
  std::string line_;  // the record handed on, its line end included
  int64_t lineNumber_ = 0;
  int64_t blankLine_ = 0;
  Ending ending_ = kEnd;
  bool ended_ = false;
};

// Loads the data set, the starting, true and reference values. 0 on success,
// -1 when starting values were asked for and neither file could be read.
int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta);
// Hemizygous calls must be coded homozygous; ends the run otherwise.
void validateInput(const GMatrix& G, const DatasetMetadata& meta);

// "12"-coded PED fileset; base is the input path without its extension.
void readPlinkFiles(const std::string& base, DatasetMetadata& meta);
void readMapFile(const std::string& base, DatasetMetadata& meta);

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

// The result files of the current pass, in two sets: Q and P as soon as
// the point estimate is there, so that a failure in the analyses after it
// cannot take the estimate with it, and the bootstrap's standard errors and
// biases (when Options::B > 0) once they are there. writeOutputFiles writes
// both sets. A set is replaced whole or not at all: every file is written
// to a temporary first, and the renames follow only when all are complete.
// With Options::B > 0 the old standard errors and biases of the pass's
// names are removed when the new Q and P are put in place. A failure ends
// the run with one line (the results are 0 otherwise); a run ended by
// SIGINT, SIGTERM or SIGXFSZ leaves no temporary behind.
int writeEstimateFiles();
int writeBootstrapFiles();
int writeOutputFiles();

#endif
