#include "text_input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stops.h"

namespace {

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

}  // namespace

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Empty, or white space only: not a record in any text input.
bool isBlank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), isWhite);
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
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E')) {
      value = 0.0;
      return false;
    }
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
