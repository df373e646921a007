#include "secant.h"

#include <string>

#include <boost/numeric/ublas/matrix_proxy.hpp>

#include "stops.h"
#include "utils.h"

namespace {

bool sameShape(const DMatrix& a, const DMatrix& b) { return a.size1() == b.size1() && a.size2() == b.size2(); }

// out = (Qt_to - Qt_from, P_to - P_from), each flattened row by row: the Q
// part in the first qLength positions, the P part after it.
void fillDifference(const DMatrix& Qt_from, const DMatrix& P_from, const DMatrix& Qt_to, const DMatrix& P_to,
                    size_t qLength, DVector& out) {
  DMatrix dQ = Qt_to - Qt_from;
  matrix_to_vector_range(dQ, out, Range(0, qLength));
  DMatrix dP = P_to - P_from;
  matrix_to_vector_range(dP, out, Range(qLength, out.size()));
}

}  // namespace

SecantCondition::SecantCondition(const DMatrix* Qt0, const DMatrix* P0, const DMatrix* Qt1, const DMatrix* P1,
                                 const DMatrix* Qt2, const DMatrix* P2) {
  // The differences are taken entry by entry, and every pair of a queue
  // must have one layout: the three points share their shapes, and Q and P
  // their number of populations.
  if (!sameShape(*Qt0, *Qt1) || !sameShape(*Qt0, *Qt2) || !sameShape(*P0, *P1) || !sameShape(*P0, *P2) ||
      Qt0->size1() != P0->size1())
    stopWithMessage("Error: the points of a secant pair do not have the same shapes of Q and P.");
  const size_t qLength = Qt0->size1() * Qt0->size2();
  const size_t total = qLength + P0->size1() * P0->size2();
  u = new DVector(total);
  v = new DVector(total);
  fillDifference(*Qt0, *P0, *Qt1, *P1, qLength, *u);
  fillDifference(*Qt1, *P1, *Qt2, *P2, qLength, *v);
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

SecantQueue::SecantQueue(std::size_t dimension_, int capacity_) : dimension(dimension_), capacity(capacity_) {}

SecantQueue::~SecantQueue() {
  for (SecantCondition* c : conditions) delete c;
  conditions.clear();
}

bool SecantQueue::addSecantCondition(SecantCondition* c) {
  // U and V take one column per pair, each of the queue's dimension.
  if (c->u->size() != dimension)
    stopWithMessage("Error: a secant pair of " + std::to_string(c->u->size()) +
                    " parameters does not fit a queue of dimension " + std::to_string(dimension) + ".");
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
  if (U.size1() != dimension || V.size1() != dimension)
    stopWithMessage("Error: U and V do not have the secant queue's " + std::to_string(dimension) + " rows.");
  size_t j = 0;
  for (SecantCondition* c : conditions) {
    if (j >= U.size2() || j >= V.size2()) break;
    ublas::noalias(ublas::column(U, j)) = *c->u;
    ublas::noalias(ublas::column(V, j)) = *c->v;
    ++j;
  }
  return true;
}
