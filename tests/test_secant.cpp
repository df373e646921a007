#include "secant.h"

#include <gtest/gtest.h>

#include <vector>

#include "run_state_guard.h"

namespace {

// Sets the run's sizes, which fix the parameter-vector layout; the guard
// puts the previous ones back afterwards.
class SecantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    I = 2;
    L = 3;
    K = 2;
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
    DMatrix q0(K, I), p0(K, L);
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
  const int n = (I + L) * K;
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

}  // namespace
