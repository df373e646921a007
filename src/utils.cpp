#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

// ---- 32-bit platform layer ---------------------------------------------------

int32_t strtol32(const char* text, char** end) {
  // strtoll's range holds the 32-bit one: clamping its result gives the
  // saturation of a 32-bit long, and its own range errors lie outside it.
  const long long v = std::strtoll(text, end, 10);
  if (v > INT32_MAX) {
    errno = ERANGE;
    return INT32_MAX;
  }
  if (v < INT32_MIN) {
    errno = ERANGE;
    return INT32_MIN;
  }
  return static_cast<int32_t>(v);
}

std::string posixBasename(const std::string& path) {
  if (path.empty()) return ".";
  size_t last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";  // only slashes
  size_t slash = path.find_last_of('/', last);
  size_t first = (slash == std::string::npos) ? 0 : slash + 1;
  return path.substr(first, last - first + 1);
}

// ---- Console line and input names --------------------------------------------

std::string nameOf(const char* text) { return text ? std::string(text) : std::string(); }

void printLine(const std::string& text) { std::cout << text << std::endl; }

// ---- Numeric helpers ---------------------------------------------------------

void matrix_to_vector(const DMatrix& M, DVector& v) {
  const size_t cols = M.size2();
  for (size_t r = 0; r < M.size1(); ++r)
    for (size_t c = 0; c < cols; ++c) v[r * cols + c] = M(r, c);
}

void vector_to_matrix(const DVector& v, DMatrix& M) {
  const size_t cols = M.size2();
  for (size_t r = 0; r < M.size1(); ++r)
    for (size_t c = 0; c < cols; ++c) M(r, c) = v[r * cols + c];
}

void matrix_to_vector_range(const DMatrix& M, DVector& v, const Range& g) {
  const size_t count = std::min(g.size(), M.size1() * M.size2());
  const size_t cols = M.size2();
  for (size_t f = 0; f < count; ++f) v[g.start() + f] = M(f / cols, f % cols);
}

void vector_range_to_matrix(const DVector& v, DMatrix& M, const Range& g) {
  const size_t count = std::min(g.size(), M.size1() * M.size2());
  const size_t cols = M.size2();
  for (size_t f = 0; f < count; ++f) M(f / cols, f % cols) = v[g.start() + f];
}

double mean(const DVector& x) {
  double s = 0.0;
  for (size_t i = 0; i < x.size(); ++i) s += x[i];
  return s / static_cast<double>(x.size());
}

double stddev(const DVector& x) {
  // Welford's update: no cancellation between a large sum and its square.
  double m = 0.0, S = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - m;
    m += d / static_cast<double>(i + 1);
    S += d * (x[i] - m);
  }
  return std::sqrt(S / (static_cast<double>(x.size()) - 1.0));
}

double rmse(const DMatrix& A, const DMatrix& B) {
  double s = 0.0;
  for (size_t r = 0; r < A.size1(); ++r)
    for (size_t c = 0; c < A.size2(); ++c) {
      const double d = A(r, c) - B(r, c);
      s += d * d;
    }
  return std::sqrt(s / static_cast<double>(A.size1() * A.size2()));
}

std::string to_string(int value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

namespace {

int64_t nowMicros() {
  using namespace boost::posix_time;
  static const ptime epoch(boost::gregorian::date(1970, 1, 1));
  return (microsec_clock::local_time() - epoch).total_microseconds();
}

}  // namespace

void Timer::start() { startMicros_ = nowMicros(); }

double Timer::stop() const {
  const int64_t elapsed = nowMicros() - startMicros_;
  // Whole milliseconds, truncated toward zero.
  return static_cast<double>(elapsed / 1000) / 1000.0;
}
