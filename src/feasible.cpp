#include "feasible.h"

#include <iostream>
#include <vector>

#include <boost/numeric/ublas/io.hpp>

namespace {

// Projects the n entries at w onto the truncated simplex in place. isFixed
// (n entries) is scratch.
void projectInPlace(double* w, size_t n, double eps, unsigned char* isFixed) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) isFixed[i] = 0;
  size_t nFree = n;
  for (;;) {
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s += w[i];
    // The shift is fixed for the whole pass, from the free count at its start.
    const double shift = (s - 1.0) / static_cast<double>(nFree);
    bool fixedAny = false;
    for (size_t i = 0; i < n; ++i) {
      if (isFixed[i]) continue;
      w[i] = w[i] - shift;
      if (w[i] < eps) {
        w[i] = eps;
        isFixed[i] = 1;
        --nFree;
        fixedAny = true;
      }
    }
    if (!fixedAny || nFree == 0) return;
  }
}

}  // namespace

void project_onto_truncated_simplex(const DVector& y, double eps, DVector& out) {
  const size_t n = y.size();
  if (&out != &y) {
    out.resize(n, false);
    for (size_t i = 0; i < n; ++i) out(i) = y(i);
  }
  std::vector<unsigned char> isFixed(n);
  projectInPlace(out.data().begin(), n, eps, isFixed.data());
}

void fix_infeasibility_problem(DMatrix& Qt_, DMatrix& P_) {
  const size_t pSize = P_.size1() * P_.size2();
  double* p = P_.data().begin();
  for (size_t e = 0; e < pSize; ++e) {
    if (p[e] < kFeasibleLow)
      p[e] = kFeasibleLow;
    else if (p[e] > kFeasibleHigh)
      p[e] = kFeasibleHigh;
  }

  // Column-major: one individual's fractions are contiguous and are
  // projected where they lie, with one flag buffer for all columns.
  const size_t K_ = Qt_.size1();
  const size_t cols = Qt_.size2();
  if (K_ == 0) return;
  std::vector<unsigned char> isFixed(K_);
  double* q = Qt_.data().begin();
  for (size_t i = 0; i < cols; ++i) projectInPlace(q + i * K_, K_, kFeasibleLow, isFixed.data());
}

void test_feasible_region_projection() {
  const double eps = 0.1;
  DVector ten(10);
  for (size_t i = 0; i < ten.size(); ++i) ten(i) = 0.0;
  ten(0) = 1.0;
  DVector inputs[5] = {DVector(2), DVector(2), DVector(2), DVector(3), ten};
  inputs[0](0) = 1.1;
  inputs[0](1) = 0.0;
  inputs[1](0) = 1.1;
  inputs[1](1) = 1.1;
  inputs[2](0) = 0.7;
  inputs[2](1) = 1.0;
  for (size_t i = 0; i < 3; ++i) inputs[3](i) = 0.0;
  for (const DVector& y : inputs) {
    DVector out;
    project_onto_truncated_simplex(y, eps, out);
    std::cout << out << std::endl << std::endl;
  }
}
