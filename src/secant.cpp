#include "secant.h"

#include <boost/numeric/ublas/matrix_proxy.hpp>

namespace {

// The parameter vector is Qt (K x I) then P (K x L), each row by row; its
// length comes from the run's sizes, so every pair of a run has the same
// layout whatever matrices it was built from.
void fillDifference(const DMatrix& Qt_from, const DMatrix& P_from, const DMatrix& Qt_to, const DMatrix& P_to,
                    DVector& out) {
  const size_t qLength = static_cast<size_t>(I) * static_cast<size_t>(K);
  const size_t total = (static_cast<size_t>(I) + static_cast<size_t>(L)) * static_cast<size_t>(K);
  DMatrix dQ = Qt_to - Qt_from;
  matrix_to_vector_range(dQ, out, Range(0, qLength));
  DMatrix dP = P_to - P_from;
  matrix_to_vector_range(dP, out, Range(qLength, total));
}

}  // namespace

SecantCondition::SecantCondition(const DMatrix* Qt0, const DMatrix* P0, const DMatrix* Qt1, const DMatrix* P1,
                                 const DMatrix* Qt2, const DMatrix* P2) {
  const size_t total = (static_cast<size_t>(I) + static_cast<size_t>(L)) * static_cast<size_t>(K);
  u = new DVector(total);
  v = new DVector(total);
  fillDifference(*Qt0, *P0, *Qt1, *P1, *u);
  fillDifference(*Qt1, *P1, *Qt2, *P2, *v);
}

SecantCondition::~SecantCondition() {
  delete u;
  delete v;
}

bool SecantCondition::getUV(DVector** u_out, DVector** v_out) {
  *u_out = u;
  *v_out = v;
  return true;
}

SecantQueue::SecantQueue(int dimension_, int capacity_) : dimension(dimension_), capacity(capacity_) {}

SecantQueue::~SecantQueue() {
  for (SecantCondition* c : conditions) delete c;
  conditions.clear();
}

bool SecantQueue::addSecantCondition(SecantCondition* c) {
  // The non-empty test keeps a capacity below 1 from dropping a pair that
  // does not exist; such a queue is never built by the acceleration.
  if (!conditions.empty() && static_cast<int>(conditions.size()) >= capacity) {
    delete conditions.front();
    conditions.pop_front();
  }
  conditions.push_back(c);
  return true;
}

bool SecantQueue::isFull() { return static_cast<int>(conditions.size()) == capacity; }

bool SecantQueue::getUV(DMatrix& U, DMatrix& V) {
  size_t j = 0;
  for (SecantCondition* c : conditions) {
    if (j >= U.size2() || j >= V.size2()) break;
    ublas::noalias(ublas::column(U, j)) = *c->u;
    ublas::noalias(ublas::column(V, j)) = *c->v;
    ++j;
  }
  return true;
}
