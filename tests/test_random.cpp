// The random generator: its stream from a seed and the draws made from it.
#include "dir_util.h"
#include "e2e_util.h"
#include "feasible.h"
#include "fst.h"
#include "options.h"
#include "random.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "starting_values.h"
#include "stops.h"
#include "types.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- Generator helpers: choose the next raw output of the stream -------------

constexpr uint64_t kMult = 2685821657736338717ULL;

uint64_t inverseOfOdd(uint64_t m) {
  uint64_t x = m;  // Newton's iteration doubles the correct low bits each time
  for (int i = 0; i < 6; ++i) x *= 2 - m * x;
  return x;
}

uint64_t undoRightXor(uint64_t v, int s) {
  uint64_t r = v;
  for (int i = 0; i < 64 / s + 1; ++i) r = v ^ (r >> s);
  return r;
}

uint64_t undoLeftXor(uint64_t v, int s) {
  uint64_t r = v;
  for (int i = 0; i < 64 / s + 1; ++i) r = v ^ (r << s);
  return r;
}

// The state from which the next draw's raw output is `output`.
uint64_t stateBeforeOutput(uint64_t output) {
  uint64_t v = output * inverseOfOdd(kMult);
  v = undoRightXor(v, 4);
  v = undoLeftXor(v, 35);
  v = undoRightXor(v, 21);
  return v;
}

constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();

// Generator states after given draws, computed by python3 outside the suite
// from the generator's definition (step: xor-shifts right 21, left 35,
// right 4; output: the state times 2685821657736338717 mod 2^64; seeding:
// 4101842887655102017 xor the seed, one step, its output).
constexpr uint64_t kSeed43AfterOne = 4155263980246471151ULL;
constexpr uint64_t kSeed43AfterTwo = 3715011531863740908ULL;
constexpr uint64_t kSeed7AfterThree = 5379443748220731623ULL;
// The state whose output is 2^64 - 1 (that output times the multiplier's
// inverse mod 2^64), and the state one step after it.
constexpr uint64_t kOutputsTop = 12031615345788793547ULL;
constexpr uint64_t kAfterOutputsTop = 12357186270273559627ULL;

// ---- Generator --------------------------------------------------------------

// The generator is run state: the guard puts back the state each test found.
using Random = RunStateTest;

TEST_F(Random, SeedFortyThreeGivesKnownStateAndFirstUniform) {
  seedRand(43);
  EXPECT_EQ(randState(), 3449484669957604764ULL);
  EXPECT_DOUBLE_EQ(randUnif(), 0.2622215625967725);
  EXPECT_EQ(randState(), kSeed43AfterOne);
}

TEST_F(Random, SeedUsesLowThirtyTwoBitsOnly) {
  seedRand(0);
  const uint64_t s0 = randState();
  seedRand(1);
  EXPECT_NE(randState(), s0);
  seedRand(4294967295u);
  const uint64_t sMax = randState();
  seedRand(static_cast<unsigned int>(-1));
  EXPECT_EQ(randState(), sMax);
}

TEST_F(Random, OutputsNearTwoToTheSixtyFourRoundToExactlyOne) {
  struct Case {
    uint64_t output;
    bool isOne;
  } cases[] = {
      {kTop, true},
      {kTop - 1023, true},  // 2^64 - 1024: tie, rounds to the even 2^64
      {kTop - 1024, false},
      {0, false},
  };
  for (const Case& c : cases) {
    setRandState(stateBeforeOutput(c.output));
    const double u = randUnif();
    EXPECT_EQ(u == 1.0, c.isOne) << c.output;
    EXPECT_LE(u, 1.0);
  }
  setRandState(stateBeforeOutput(0));
  EXPECT_EQ(randUnif(), 0.0);
}

TEST_F(Random, IndexDrawsRedrawOnOneWhileOthersUseIt) {
  // randShuffle and randInt draw again on 1.0, so they consume two steps.
  const uint64_t start = stateBeforeOutput(kTop);
  const uint64_t twoSteps = kAfterOutputsTop;

  setRandState(start);
  std::vector<int> one{7};
  randShuffle(one);
  EXPECT_EQ(one, std::vector<int>{7});
  EXPECT_EQ(randState(), twoSteps);

  setRandState(start);
  const int r = randInt(3, 5);
  EXPECT_GE(r, 3);
  EXPECT_LE(r, 5);
  EXPECT_EQ(randState(), twoSteps);

  // randBernoulli uses the 1.0 unchanged: p = 1 is not greater than it.
  setRandState(start);
  EXPECT_EQ(randBernoulli(1.0), 0);
  EXPECT_EQ(randState(), kOutputsTop);

  setRandState(start);
  EXPECT_EQ(randDraw({0.2, 0.3}), 1);

  // A uniform of 0 gives an infinite exponential draw, without a redraw.
  setRandState(stateBeforeOutput(0));
  EXPECT_TRUE(std::isinf(randExp(1.0)));
}

TEST_F(Random, ShuffleIsAReproduciblePermutation) {
  std::vector<int> base(50);
  std::iota(base.begin(), base.end(), 0);
  seedRand(7);
  std::vector<int> a = base;
  randShuffle(a);
  seedRand(7);
  std::vector<int> b = base;
  randShuffle(b);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, base);
  std::vector<int> sorted = a;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, base);

  // One uniform per element, the last position included.
  seedRand(7);
  std::vector<int> three{1, 2, 3};
  randShuffle(three);
  EXPECT_EQ(randState(), kSeed7AfterThree);

  std::vector<int> empty;
  randShuffle(empty);
  EXPECT_EQ(randState(), kSeed7AfterThree);
}

TEST_F(Random, DrawPicksFirstCumulativeSumReachingTheUniform) {
  // The last cumulative sum counts as 1.0, not 0.5.
  for (unsigned seed = 1; seed <= 40; ++seed) {
    seedRand(seed);
    const double u = randUnif();
    seedRand(seed);
    EXPECT_EQ(randDraw({0.2, 0.3}), u <= 0.2 ? 0 : 1) << "u = " << u;
  }
  seedRand(1);
  EXPECT_EQ(randDraw({0.0, 0.0, 0.0}), 2);
}

TEST_F(Random, DrawFromAnEmptyDistributionStops) {
  RunResult r = runInChild([] {
    seedRand(43);
    randDraw({});
  });
  EXPECT_EQ(r.out, "ShouldNotReachHere()\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Random, SimplexAndSmallDraws) {
  DVector v(3);
  v[0] = v[1] = v[2] = -1.0;
  seedRand(43);
  const uint64_t before = randState();
  randUnifOnSimplex(v, 0);
  EXPECT_EQ(randState(), before);
  EXPECT_EQ(v[0], -1.0);

  randUnifOnSimplex(v, 1);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], -1.0);

  randUnifOnSimplex(v, 3);
  EXPECT_NEAR(v[0] + v[1] + v[2], 1.0, 1e-15);

  // Two trials however many are asked for.
  seedRand(43);
  const int successes = randBinom(10, 1.0);
  EXPECT_EQ(successes, 2);
  EXPECT_EQ(randState(), kSeed43AfterTwo);
  EXPECT_EQ(randBinom(10, 0.0), 0);
}

}  // namespace
