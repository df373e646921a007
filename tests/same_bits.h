// Test support: bit-for-bit equality of numbers, for results that must be
// reproduced exactly (another thread count, another code path, a repeated
// run). 0 differs from -0, which operator== would not tell, and a NaN
// equals any NaN: IEEE arithmetic leaves the sign and payload of a NaN
// result open (on x86 they follow which operand the compiler put first), so
// they carry nothing that two exact computations must share.
#ifndef KELVANORE_TESTS_SAME_BITS_H
#define KELVANORE_TESTS_SAME_BITS_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "types.h"

namespace same_bits_detail {

inline bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The first of n entries whose bits differ, named by describe(index).
template <typename Describe>
::testing::AssertionResult compare(const double* a, const double* b, size_t n, Describe describe) {
  for (size_t e = 0; e < n; ++e)
    if (!same(a[e], b[e]))
      return ::testing::AssertionFailure() << "entry " << describe(e) << ": " << a[e] << " vs " << b[e];
  return ::testing::AssertionSuccess();
}

}  // namespace same_bits_detail

// The same bits.
inline ::testing::AssertionResult sameBits(double a, double b) {
  if (!same_bits_detail::same(a, b)) return ::testing::AssertionFailure() << a << " vs " << b;
  return ::testing::AssertionSuccess();
}

// Same shape and the same bits in every entry; a failure names the first
// differing entry as (row, column).
inline ::testing::AssertionResult sameBits(const DMatrix& a, const DMatrix& b) {
  if (a.size1() != b.size1() || a.size2() != b.size2())
    return ::testing::AssertionFailure() << "shapes differ: " << a.size1() << " x " << a.size2() << " vs "
                                         << b.size1() << " x " << b.size2();
  // Column-major storage: entry e is (e % rows, e / rows).
  const size_t rows = a.size1();
  return same_bits_detail::compare(a.data().begin(), b.data().begin(), a.data().size(), [rows](size_t e) {
    return "(" + std::to_string(e % rows) + ", " + std::to_string(e / rows) + ")";
  });
}

// Same length and the same bits in every entry; a failure names the first
// differing index.
inline ::testing::AssertionResult sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "lengths differ: " << a.size() << " vs " << b.size();
  return same_bits_detail::compare(a.data(), b.data(), a.size(), [](size_t e) { return std::to_string(e); });
}

#endif
