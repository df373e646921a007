// text_input: how every text input (.bim, .fam, .ped, .map, .pop, matrices)
// is read, and the field helpers the readers share.
#ifndef KELVANORE_TEXT_INPUT_H
#define KELVANORE_TEXT_INPUT_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <streambuf>
#include <string>

// Every text input is read through one TextInput, so that each reader sees
// the same file: a byte-order mark at its start is skipped, blank lines
// (empty or white space only) at its end are not there, and the input ends
// early at a blank line that a record follows, at a line that is not text
// the readers can parse (a UTF-16 or UTF-32 byte-order mark, a NUL byte, a
// carriage return that no line feed follows), or at a read error. Lines are
// handed on as the file holds them, line ends included, so that token and
// line readers parse each record as they would parse the file itself.
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

// White space as every reader takes it: blank, tab, CR, LF, VT, FF.
bool isWhite(char c);
// Empty, or white space only: not a record in any text input but the .pop.
bool isBlank(const std::string& line);

// The white-space-separated fields of one line: their number; the first
// `keep` of them are copied into fields.
std::size_t splitFields(const std::string& line, std::string fields[], std::size_t keep);

// A number field of a marker list (.bim, .map) or a value of a text
// matrix, read whole: a decimal number in the form that the formatted input
// of a double takes (no "nan", "inf" or hexadecimal form), finite; or a
// decimal 64-bit integer. An underflow reads as the nearest double; an
// overflow, an empty field or anything after the number gives false. Fields
// hold no white space. On false, the decimal's value is infinite exactly
// when the field is made of a number's characters and the number at its
// start overflows (0 when the field holds another character), so that a
// reader can tell a number out of range from text that is none.
bool readWholeDecimal(const std::string& field, double& value);
bool readWholeInteger(const std::string& field, int64_t& value);

#endif
