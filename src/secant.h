// secant: the secant pairs (u, v) = (x1 - x0, x2 - x1) of the quasi-Newton
// acceleration and the first-in first-out queue of the last q of them. The
// parameter vector is Qt then P, each flattened row by row; its length is
// that of the matrices a pair is made from, (columns of Qt + columns of P)
// x their rows. Shapes that do not agree (the three points among
// themselves, a pair with its queue, U and V with the queue) stop the run
// with a line that says so.
#ifndef KELVANORE_SECANT_H
#define KELVANORE_SECANT_H

#include <cstddef>
#include <list>

#include "types.h"

// The most secant conditions the acceleration takes: it inverts a matrix of
// that order once the queue is full (invert_matrix serves up to 99).
constexpr int kMaxSecantConditions = 99;

class SecantCondition {
 public:
  SecantCondition(const DMatrix* Qt0, const DMatrix* P0, const DMatrix* Qt1, const DMatrix* P1,
                  const DMatrix* Qt2, const DMatrix* P2);
  ~SecantCondition();
  SecantCondition(const SecantCondition&) = delete;
  SecantCondition& operator=(const SecantCondition&) = delete;

  bool getUV(DVector** u_out, DVector** v_out);

  DVector* u;  // owned
  DVector* v;  // owned
};

class SecantQueue {
 public:
  SecantQueue(std::size_t dimension, int capacity);  // dimension: the pairs' length
  ~SecantQueue();
  SecantQueue(const SecantQueue&) = delete;
  SecantQueue& operator=(const SecantQueue&) = delete;

  bool addSecantCondition(SecantCondition* c);  // takes ownership
  bool isFull();
  bool getUV(DMatrix& U, DMatrix& V);  // U, V sized dimension x capacity

  std::list<SecantCondition*> conditions;  // oldest first, owned
  std::size_t dimension;  // (I + L) K in the acceleration: past 2^31 on large data sets
  int capacity;
};

#endif
