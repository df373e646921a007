// matrix_files: the text matrix, the one numeric text format (starting, true
// and result matrices): one line per individual or SNP, K values separated
// by white space; the file is the transpose of the K-row matrix in memory.
#ifndef KELVANORE_MATRIX_FILES_H
#define KELVANORE_MATRIX_FILES_H

#include <cstddef>
#include <ostream>
#include <string>

#include "types.h"

// Text matrix reader: 0 on success (*M set to a new matrix), 1 on failure.
int inputMatrix(const std::string& filename, DMatrix** M, bool transpose);
// Text matrix writer, stream form: six decimals in fixed notation, sep
// between values, a line feed after each line; it does not flush.
template <typename T>
void outputMatrix(std::ostream& out, const ublas::matrix<T, ublas::column_major>* M, bool transpose,
                  std::string sep);

// A starting-value file, transposed: the matrix, or null when there is no
// such file (the values are then drawn). A file that is there is read or
// refused with one line: random values in its place would be held fixed
// with -f or -P and written as the result.
DMatrix* readStartingMatrix(const std::string& name);
// The values of a matrix held fixed must lie in [0, 1]; ends the run with
// one line naming the file's line otherwise.
void checkFixedValues(const DMatrix& M, const std::string& name);
// A true-value file, transposed, when it exists and is rows x cols; null
// otherwise (a file of another shape is ignored with a line). One that is
// not plain text ends the run.
DMatrix* readTruthMatrix(const std::string& name, std::size_t rows, std::size_t cols);

#endif
