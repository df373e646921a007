// Test support: matrices and vectors written as literal values, and
// matrices read back as rows to compare with them.
#ifndef KELVANORE_TESTS_MATRIX_UTIL_H
#define KELVANORE_TESTS_MATRIX_UTIL_H

#include <cstddef>
#include <vector>

#include "types.h"

// A rows x cols matrix of values given row by row.
DMatrix matrixOf(size_t rows, size_t cols, const std::vector<double>& rowMajor);
// The same given as nested rows (no rows: a 0 x 0 matrix).
DMatrix matrixOf(const std::vector<std::vector<double>>& rows);
// A rows x cols matrix of values given column by column: a Q or P matrix
// written one individual's or one SNP's column at a time.
DMatrix matrixOfColumns(size_t rows, size_t cols, const std::vector<double>& columnMajor);

DVector vectorOf(const std::vector<double>& values);

// The entries of a matrix row by row; genotypes as the numbers they are.
std::vector<std::vector<double>> rowsOf(const DMatrix& m);
std::vector<std::vector<int>> rowsOf(const GMatrix& m);

#endif
