// Test support: what the engine writes to std::cout, caught in the test's
// own process, and a number in the console's default format.
#ifndef KELVANORE_TESTS_CONSOLE_CAPTURE_H
#define KELVANORE_TESTS_CONSOLE_CAPTURE_H

#include <ios>
#include <iostream>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>

// Collects what is written to std::cout and restores the stream (buffer and
// number format) when it goes out of scope.
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())), flags_(std::cout.flags()),
                  precision_(std::cout.precision()) {}
  ~CoutCapture() {
    std::cout.rdbuf(saved_);
    std::cout.flags(flags_);
    std::cout.precision(precision_);
  }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
  std::ios::fmtflags flags_;
  std::streamsize precision_;
};

// x as a fresh stream prints it: six significant digits, general notation.
inline std::string defaultFormat(double x) {
  std::ostringstream s;
  s << x;
  return s.str();
}

// A status line, its pieces captured: iteration, short name, seconds, label,
// objective, delta.
inline const std::regex kStatusLine(
    "([0-9]+) \\(([^)]*)\\) \\tElapsed: ([^\\t]+)\\t(Loglikelihood|Objective): ([^\\t]+)\\t\\(delta\\): ([^\\t]+)");

#endif
