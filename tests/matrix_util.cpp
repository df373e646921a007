#include "matrix_util.h"

DMatrix matrixOf(size_t rows, size_t cols, const std::vector<double>& rowMajor) {
  DMatrix M(rows, cols);
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < cols; ++c) M(r, c) = rowMajor[r * cols + c];
  return M;
}

DMatrix matrixOf(const std::vector<std::vector<double>>& rows) {
  DMatrix M(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c) M(r, c) = rows[r][c];
  return M;
}

DMatrix matrixOfColumns(size_t rows, size_t cols, const std::vector<double>& columnMajor) {
  DMatrix M(rows, cols);
  for (size_t c = 0; c < cols; ++c)
    for (size_t r = 0; r < rows; ++r) M(r, c) = columnMajor[r + rows * c];
  return M;
}

DVector vectorOf(const std::vector<double>& values) {
  DVector v(values.size());
  for (size_t i = 0; i < values.size(); ++i) v(i) = values[i];
  return v;
}

namespace {

template <typename Value, typename Matrix>
std::vector<std::vector<Value>> rowsAs(const Matrix& m) {
  std::vector<std::vector<Value>> rows(m.size1());
  for (size_t r = 0; r < m.size1(); ++r)
    for (size_t c = 0; c < m.size2(); ++c) rows[r].push_back(m(r, c));
  return rows;
}

}  // namespace

std::vector<std::vector<double>> rowsOf(const DMatrix& m) { return rowsAs<double>(m); }
std::vector<std::vector<int>> rowsOf(const GMatrix& m) { return rowsAs<int>(m); }
