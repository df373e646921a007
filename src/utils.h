// utils: small helpers of every subsystem: the 32-bit platform layer that
// the command line and the readers read numbers and names with, the console
// line and the input names of the readers and writers, the flattening of
// matrices, mean, standard deviation and RMSE, and the timer.
#ifndef KELVANORE_UTILS_H
#define KELVANORE_UTILS_H

#include <cstdint>
#include <string>

#include "types.h"

// ---- 32-bit platform layer ---------------------------------------------------

// strtol in base 10 as a 32-bit long reads it: leading blanks and a sign,
// digits up to the first non-digit, 0 without digits, saturation at the
// 32-bit limits with errno = ERANGE. end (when not null) receives the first
// character not consumed (the start of the text when no digits were read).
int32_t strtol32(const char* text, char** end);
// The last component of a copy of path, as POSIX basename(3) gives it.
std::string posixBasename(const std::string& path);

// ---- Console line and input names --------------------------------------------

// A name part of the input path that the option parser may leave null, as
// a string: empty for null.
std::string nameOf(const char* text);
// The text and a line end on standard output, flushed: the line is on the
// console before the work it announces, and before anything the run then
// writes to standard error.
void printLine(const std::string& text);

// ---- Numeric helpers ---------------------------------------------------------

// Row-major flattening: entry (r, c) <-> position r * cols + c.
void matrix_to_vector(const DMatrix& M, DVector& v);
void vector_to_matrix(const DVector& v, DMatrix& M);
void matrix_to_vector_range(const DMatrix& M, DVector& v, const Range& g);
void vector_range_to_matrix(const DVector& v, DMatrix& M, const Range& g);
double mean(const DVector& x);
double stddev(const DVector& x);            // divisor n - 1
double rmse(const DMatrix& A, const DMatrix& B);  // over the shape of A
std::string to_string(int value);

// Wall-clock seconds with millisecond resolution since start().
class Timer {
 public:
  void start();
  double stop() const;  // does not reset the start

 private:
  int64_t startMicros_ = 0;
};

#endif
