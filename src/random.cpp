#include "random.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "stops.h"

namespace {

// Generator constants: xorshift triple, output multiplier, seeding constant.
constexpr uint64_t kOutputMultiplier = 2685821657736338717ULL;
constexpr uint64_t kSeedConstant = 4101842887655102017ULL;
constexpr double kTwoToMinus64 = 0x1p-64;

uint64_t rng = 0;
bool rngSeeded = false;

inline uint64_t xorshiftStep(uint64_t v) {
  v ^= v >> 21;
  v ^= v << 35;
  v ^= v >> 4;
  return v;
}

// One uniform draw's raw output: advance the state, return it multiplied.
inline uint64_t nextOutput() {
  // Drawing from an unseeded generator is a bug of the caller: the run seeds
  // inside the option parser before anything draws.
  if (!rngSeeded) ShouldNotReachHere();
  rng = xorshiftStep(rng);
  return rng * kOutputMultiplier;
}

// A uniform strictly below 1.0, for the index draws.
inline double randUnifBelowOne() {
  double u;
  do {
    u = randUnif();
  } while (u == 1.0);
  return u;
}

}  // namespace

void seedRand(unsigned int seed) {
  uint64_t v = kSeedConstant ^ static_cast<uint64_t>(static_cast<uint32_t>(seed));
  rng = xorshiftStep(v) * kOutputMultiplier;
  rngSeeded = true;
}

uint64_t randState() { return rng; }

void setRandState(uint64_t state) {
  rng = state;
  rngSeeded = true;
}

double randUnif() {
  // The conversion rounds to nearest, so outputs within 1024 of 2^64 give
  // exactly 1.0; the callers that need a value below 1 draw again.
  return static_cast<double>(nextOutput()) * kTwoToMinus64;
}

void randShuffle(std::vector<int>& x) {
  const size_t n = x.size();
  for (size_t i = 0; i < n; ++i) {
    const double u = randUnifBelowOne();
    const size_t j = i + static_cast<size_t>(u * static_cast<double>(n - i));
    if (j != i) std::swap(x[i], x[j]);
  }
}

int randInt(int a, int b) {
  const double u = randUnifBelowOne();
  // The width in double: b - a + 1 overflows int for the widest ranges.
  return static_cast<int>(u * (static_cast<double>(b) - a + 1.0) + a);
}

double randExp(double rate) { return -std::log(randUnif()) / rate; }

int randBernoulli(double p) { return p > randUnif() ? 1 : 0; }

// Always two trials: the count is not read, and nothing in the run draws
// binomials, so the established draw sequence is kept as it is.
int randBinom(int /*n*/, double p) {
  int successes = 0;
  for (int t = 0; t < 2; ++t)
    if (p > randUnif()) ++successes;
  return successes;
}

void randUnifOnSimplex(DVector& v, int K_) {
  if (K_ < 1) return;
  double s = 0.0;
  for (int k = 0; k < K_; ++k) {
    v[k] = -std::log(randUnif());
    s += v[k];
  }
  for (int k = 0; k < K_; ++k) v[k] /= s;
}

int randDraw(const std::vector<double>& p) {
  if (p.empty()) ShouldNotReachHere();
  std::vector<double> c(p.size());
  double sum = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    sum += p[i];
    c[i] = sum;
  }
  // The last index takes whatever mass the weights leave below 1.
  c.back() = 1.0;
  const double u = randUnif();
  for (size_t i = 0; i < c.size(); ++i)
    if (c[i] >= u) return static_cast<int>(i);
  ShouldNotReachHere();
}
