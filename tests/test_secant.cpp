#include "e2e_util.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "secant.h"
#include "types.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// The pairs are made from 2 x 2 Q and 2 x 3 P matrices. The run's sizes are
// set to others: the layout must come from the matrices alone.
class SecantTest : public ::testing::Test {
 protected:
  static constexpr int kI = 2, kL = 3, kK = 2;

  void SetUp() override {
    I = 7;
    L = 1;
    K = 5;
  }

  // A K x n matrix whose entries are base + 10 * row + column.
  static DMatrix coded(size_t rows, size_t cols, double base) {
    DMatrix m(rows, cols);
    for (size_t r = 0; r < rows; ++r)
      for (size_t c = 0; c < cols; ++c) m(r, c) = base + 10.0 * r + c;
    return m;
  }

  // A pair whose u is filled with tag and whose v with -tag.
  SecantCondition* tagged(double tag) {
    DMatrix q0(kK, kI), p0(kK, kL);
    q0.clear();
    p0.clear();
    DMatrix q1 = q0, p1 = p0;
    for (auto& x : q1.data()) x = tag;
    for (auto& x : p1.data()) x = tag;
    DMatrix q2 = q0, p2 = p0;  // back to 0: v = -tag
    return new SecantCondition(&q0, &p0, &q1, &p1, &q2, &p2);
  }

  RunStateGuard runState_;
};

TEST_F(SecantTest, PairLaysOutQtThenPRowByRow) {
  const DMatrix q0 = coded(2, 2, 0.0), p0 = coded(2, 3, 0.0);
  const DMatrix q1 = coded(2, 2, 100.0), p1 = coded(2, 3, 200.0);
  const DMatrix q2 = coded(2, 2, 150.0), p2 = coded(2, 3, 500.0);
  SecantCondition c(&q0, &p0, &q1, &p1, &q2, &p2);

  ASSERT_EQ(c.u->size(), 10u);  // (I + L) * K
  ASSERT_EQ(c.v->size(), 10u);
  // Qt(1, 0) is the third Q entry in row-major order, P(0, 2) the third P
  // entry.
  DMatrix zq(2, 2), zp(2, 3);
  zq.clear();
  zp.clear();
  DMatrix marker_q = zq, marker_p = zp;
  marker_q(1, 0) = 7.0;
  marker_p(0, 2) = 9.0;
  SecantCondition where(&zq, &zp, &marker_q, &marker_p, &marker_q, &marker_p);
  for (size_t pos = 0; pos < 10; ++pos) {
    EXPECT_EQ((*where.u)(pos), pos == 2 ? 7.0 : pos == 6 ? 9.0 : 0.0) << "position " << pos;
    EXPECT_EQ((*where.v)(pos), 0.0) << "position " << pos;
  }

  // u = x1 - x0 and v = x2 - x1 throughout.
  for (size_t pos = 0; pos < 4; ++pos) {
    EXPECT_EQ((*c.u)(pos), 100.0);
    EXPECT_EQ((*c.v)(pos), 50.0);
  }
  for (size_t pos = 4; pos < 10; ++pos) {
    EXPECT_EQ((*c.u)(pos), 200.0);
    EXPECT_EQ((*c.v)(pos), 300.0);
  }

  DVector* u = nullptr;
  DVector* v = nullptr;
  EXPECT_TRUE(c.getUV(&u, &v));
  EXPECT_EQ(u, c.u);
  EXPECT_EQ(v, c.v);
}

TEST_F(SecantTest, StillQPartGivesExactZeros) {
  // Values whose differences would round if they were formed carelessly.
  DMatrix q(2, 2);
  q(0, 0) = 0.1;
  q(1, 0) = 0.9;
  q(0, 1) = 1.0 / 3.0;
  q(1, 1) = 2.0 / 3.0;
  const DMatrix p0 = coded(2, 3, 0.01), p1 = coded(2, 3, 0.02), p2 = coded(2, 3, 0.07);
  SecantCondition c(&q, &p0, &q, &p1, &q, &p2);
  for (size_t pos = 0; pos < 4; ++pos) {
    EXPECT_EQ((*c.u)(pos), 0.0);
    EXPECT_EQ((*c.v)(pos), 0.0);
  }
  EXPECT_NE((*c.u)(4), 0.0);
}

TEST_F(SecantTest, QueueKeepsNewestPairsOldestFirst) {
  const int n = (kI + kL) * kK;
  struct Case {
    int capacity;
    int additions;
    std::vector<double> expectedTags;  // oldest first
  };
  const Case cases[] = {
      {3, 5, {3, 4, 5}},
      {3, 2, {1, 2}},
      {1, 4, {4}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << tc.capacity << ", additions " << tc.additions);
    SecantQueue queue(n, tc.capacity);
    std::vector<SecantCondition*> added;
    for (int a = 1; a <= tc.additions; ++a) {
      SecantCondition* c = tagged(a);
      added.push_back(c);
      EXPECT_TRUE(queue.addSecantCondition(c));
      EXPECT_EQ(queue.isFull(), a >= tc.capacity) << "after addition " << a;
      EXPECT_LE(static_cast<int>(queue.conditions.size()), tc.capacity);
    }
    ASSERT_EQ(queue.conditions.size(), tc.expectedTags.size());
    // The held pairs are the very objects added last, in order.
    auto it = queue.conditions.begin();
    for (size_t j = 0; j < tc.expectedTags.size(); ++j, ++it)
      EXPECT_EQ(*it, added[static_cast<size_t>(tc.expectedTags[j]) - 1]);

    // Columns past the pairs held keep what the caller put there.
    DMatrix U(n, tc.capacity), V(n, tc.capacity);
    for (auto& x : U.data()) x = -99.0;
    for (auto& x : V.data()) x = -99.0;
    EXPECT_TRUE(queue.getUV(U, V));
    for (int j = 0; j < tc.capacity; ++j) {
      const bool held = j < static_cast<int>(tc.expectedTags.size());
      const double tag = held ? tc.expectedTags[j] : 0.0;
      for (int r = 0; r < n; ++r) {
        EXPECT_EQ(U(r, j), held ? tag : -99.0) << "U(" << r << ", " << j << ")";
        EXPECT_EQ(V(r, j), held ? -tag : -99.0) << "V(" << r << ", " << j << ")";
      }
    }
    // Reading U and V leaves the pairs in the queue.
    EXPECT_EQ(queue.conditions.size(), tc.expectedTags.size());
  }
}

// Shapes that do not agree would index past a vector or a matrix: each
// stops with its line.
TEST_F(SecantTest, ShapesThatDoNotAgreeStop) {
  const DMatrix q = coded(2, 2, 0.0), p = coded(2, 3, 0.0);
  const DMatrix wideQ = coded(2, 3, 0.0), tallP = coded(3, 3, 0.0), longP = coded(2, 4, 0.0);
  const std::string points = "Error: the points of a secant pair do not have the same shapes of Q and P.\n";
  struct Case {
    const char* what;
    std::function<void()> body;
    std::string out;
  } cases[] = {
      {"Q of the second point", [&] { SecantCondition c(&q, &p, &wideQ, &p, &q, &p); }, points},
      {"Q of the third point", [&] { SecantCondition c(&q, &p, &q, &p, &wideQ, &p); }, points},
      {"P of the second point", [&] { SecantCondition c(&q, &p, &q, &longP, &q, &p); }, points},
      {"P of the third point", [&] { SecantCondition c(&q, &p, &q, &p, &q, &longP); }, points},
      {"populations of Q and P", [&] { SecantCondition c(&q, &tallP, &q, &tallP, &q, &tallP); }, points},
      {"a pair longer than the queue's vectors",
       [&] {
         SecantQueue queue(9, 2);
         queue.addSecantCondition(new SecantCondition(&q, &p, &q, &p, &q, &p));
       },
       "Error: a secant pair of 10 parameters does not fit a queue of dimension 9.\n"},
      {"U of other rows",
       [&] {
         SecantQueue queue(10, 2);
         queue.addSecantCondition(new SecantCondition(&q, &p, &q, &p, &q, &p));
         DMatrix U(9, 2), V(10, 2);
         queue.getUV(U, V);
       },
       "Error: U and V do not have the secant queue's 10 rows.\n"},
      {"V of other rows",
       [&] {
         SecantQueue queue(10, 2);
         DMatrix U(10, 2), V(11, 2);
         queue.getUV(U, V);
       },
       "Error: U and V do not have the secant queue's 10 rows.\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = runInChild(c.body);
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.status, 255) << c.what;
  }
}

}  // namespace
