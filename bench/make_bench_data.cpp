// make_bench_data: writes the seeded benchmark data set of I individuals of
// mixed ancestry genotyped at L SNPs, drawn from K ancestral populations.
//
//   make_bench_data OUTDIR I L K [SEED]
//
// OUTDIR (made when missing) receives bench.bed, bench.bim and bench.fam, a
// SNP-major PLINK bed fileset, and bench.K.Q.truth and bench.K.P.truth (K as
// its decimal number), the true Q and P as text matrices. SEED is 1 when not
// given.
//
// The model:
// - individual i: ancestry fractions Q(i, .) ~ Dirichlet(0.5, ..., 0.5), and
//   sex 1 or 2 with equal chances;
// - SNP l: an ancestral frequency p ~ Uniform(0.05, 0.95) and, in population
//   k, P(k, l) ~ Beta(p (1 - F) / F, (1 - p) (1 - F) / F) with F = 0.1
//   (Balding-Nichols);
// - Q and P are rounded to the six decimals of the truth files (each Q row
//   still sums to exactly 1), and those values generate the genotypes: the
//   copies of the .bim's second allele ~ Binomial(2, sum_k Q(i, k) P(k, l));
// - each genotype is missing with probability 0.01, except individual
//   l mod I at SNP l and SNP i mod L of individual i, so that every SNP and
//   every individual keeps an observed genotype;
// - the SNPs lie on chromosomes 1 to 22 in proportion to their lengths, on a
//   jittered even grid, at 1 cM per Mb; alleles are two distinct bases.
//
// The same arguments give the same bytes on any machine and with any number
// of threads: every individual and every SNP draws from a stream of its own,
// of a generator defined here; the only real functions used are the IEEE
// operations (+ - * / and sqrt, rounded alike everywhere and, as in the
// whole build, never contracted into multiply-adds) and a log and an exp
// written here, because the C library's may differ in their last bits; and
// the six-decimal values are written from their exact integer counts of
// millionths.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "result_files.h"
#include "stops.h"
#include "types.h"

namespace {

constexpr double kAlpha = 0.5;         // Dirichlet parameter of every Q row
constexpr double kFst = 0.1;           // Balding-Nichols divergence F
constexpr double kMissing = 0.01;      // chance that a genotype is missing
constexpr double kMillionths = 1e6;    // the truth files' six decimals
constexpr double kLn2 = 0.69314718055994530942;
constexpr double kSqrtHalf = 0.70710678118654752440;

// GRCh37 lengths of chromosomes 1 to 22: the SNPs of a chromosome are in
// proportion to its length, as in real genotyping arrays.
constexpr int64_t kChromosomeLength[22] = {
    249250621, 243199373, 198022430, 191154276, 180915260, 171115067, 159138663, 146364022,
    141213431, 135534747, 135006516, 133851895, 115169878, 107349540, 102531392, 90354753,
    81195210,  78077248,  59128983,  63025520,  48129895,  51304566};

constexpr char kBases[4] = {'A', 'C', 'G', 'T'};

// Kinds of draw stream: one per individual, one per SNP.
enum StreamKind : uint64_t { kIndividualStream = 1, kSnpStream = 2 };

// SplitMix64's finaliser: a bijection of 64-bit words that spreads every
// input bit over the output.
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// xoshiro256**, its state drawn by SplitMix64 from a key made of the seed,
// the kind of stream and the individual's or SNP's index.
class Stream {
 public:
  Stream(uint64_t seed, StreamKind kind, uint64_t index) {
    uint64_t x = mix(mix(mix(seed) ^ kind) ^ index);
    for (uint64_t& w : s_) w = mix(x += 0x9E3779B97F4A7C15ULL);
  }

  // Uniform on [0, 1), in steps of 2^-53.
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform on (0, 1], for logarithms.
  double open() { return 1.0 - unit(); }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  uint64_t s_[4];
};

// log x for finite x > 0: x = m 2^e with m in [sqrt(1/2), sqrt(2)), and
// log m = 2 atanh s with s = (m - 1) / (m + 1), |s| < 0.172, whose series
// is below double precision after the s^25 term.
double logOf(double x) {
  int e = 0;
  double m = std::frexp(x, &e);
  if (m < kSqrtHalf) {
    m *= 2;
    --e;
  }
  const double s = (m - 1) / (m + 1), s2 = s * s;
  double term = s, sum = s;
  for (int n = 3; n <= 25; n += 2) {
    term *= s2;
    sum += term / n;
  }
  return e * kLn2 + 2 * sum;
}

// exp x: x = n ln 2 + r with |r| <= ln 2 / 2, whose series is below double
// precision after the r^20 term.
double expOf(double x) {
  if (x < -746.0) return 0.0;  // below half the least subnormal
  if (x > 710.0) return HUGE_VAL;
  const double n = std::floor(x / kLn2 + 0.5);
  const double r = x - n * kLn2;
  double term = 1, sum = 1;
  for (int j = 1; j <= 20; ++j) {
    term *= r / j;
    sum += term;
  }
  return std::ldexp(sum, static_cast<int>(n));
}

// Standard normal (Marsaglia's polar method; the second value is dropped).
double normal(Stream& s) {
  for (;;) {
    const double u = 2 * s.unit() - 1, v = 2 * s.unit() - 1, q = u * u + v * v;
    if (q > 0 && q < 1) return u * std::sqrt(-2 * logOf(q) / q);
  }
}

// Gamma(a, 1) for a > 0 (Marsaglia and Tsang; below 1 through
// Gamma(a) = Gamma(a + 1) U^(1/a)).
double gammaDraw(Stream& s, double a) {
  const double b = a < 1 ? a + 1 : a;
  const double d = b - 1.0 / 3, c = 1 / std::sqrt(9 * d);
  double g = 0;
  for (;;) {
    double x = 0, v = 0;
    do {
      x = normal(s);
      v = 1 + c * x;
    } while (v <= 0);
    v = v * v * v;
    if (logOf(s.open()) < 0.5 * x * x + d - d * v + d * logOf(v)) {
      g = d * v;
      break;
    }
  }
  return a < 1 ? g * expOf(logOf(s.open()) / a) : g;
}

// One Q row as millionths that sum to exactly one million: each fraction
// rounded down, then one more millionth to each of the fractions with the
// largest remainders (the first of equal ones) until the sum is reached.
void roundRow(const double* q, int K_, int64_t* units, double* remainder) {
  int64_t total = 0;
  for (int k = 0; k < K_; ++k) {
    const double scaled = q[k] * kMillionths;
    units[k] = static_cast<int64_t>(std::floor(scaled));
    remainder[k] = scaled - static_cast<double>(units[k]);
    total += units[k];
  }
  for (int64_t left = static_cast<int64_t>(kMillionths) - total; left > 0; --left) {
    int best = 0;
    for (int k = 1; k < K_; ++k)
      if (remainder[k] > remainder[best]) best = k;
    ++units[best];
    remainder[best] = -1;  // at most one more per fraction
  }
}

// The whole of a decimal argument, within [low, high].
int64_t argument(const char* text, int64_t low, int64_t high, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value < low || value > high)
    stopWithError(std::string("make_bench_data: bad ") + what + ": " + text);
  return value;
}

void writeBytes(const std::string& name, const char* bytes, std::size_t size) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes, static_cast<std::streamsize>(size));
  out.close();
  if (!out) stopWithError("make_bench_data: cannot write " + name);
}

struct SnpSite {
  int chromosome = 0;
  int64_t position = 0;
  char alleles[2] = {0, 0};
};

void makeDataSet(const std::string& dir, int64_t I64, int64_t L64, int K_, uint64_t seed) {
  const std::size_t nI = static_cast<std::size_t>(I64), nL = static_cast<std::size_t>(L64);
  std::error_code failed;
  std::filesystem::create_directories(dir, failed);
  if (failed) stopWithError("make_bench_data: cannot make the directory " + dir);
  const std::string base = dir + "/bench";

  // Q, with each individual's sex.
  DMatrix Qt_(K_, nI);
  std::vector<int> sex(nI);
  {
    std::vector<double> g(K_), remainder(K_);
    std::vector<int64_t> units(K_);
    for (std::size_t i = 0; i < nI; ++i) {
      Stream s(seed, kIndividualStream, i);
      double sum = 0;
      for (int k = 0; k < K_; ++k) sum += (g[k] = gammaDraw(s, kAlpha));
      for (int k = 0; k < K_; ++k) g[k] = sum > 0 ? g[k] / sum : 1.0 / K_;
      roundRow(g.data(), K_, units.data(), remainder.data());
      for (int k = 0; k < K_; ++k) Qt_(k, i) = static_cast<double>(units[k]) / kMillionths;
      sex[i] = s.unit() < 0.5 ? 1 : 2;
    }
  }

  // P, the map and the genotypes, SNP by SNP on the threads.
  DMatrix P_(K_, nL);
  std::vector<SnpSite> sites(nL);
  const std::size_t bytesPerSnp = (nI + 3) / 4;
  std::vector<unsigned char> bed(3 + nL * bytesPerSnp, 0);
  bed[0] = 0x6C;  // PLINK's magic number,
  bed[1] = 0x1B;
  bed[2] = 0x01;  // then SNP-major blocks
  int64_t genome = 0;
  int64_t chromosomeStart[23] = {0};
  for (int c = 0; c < 22; ++c) chromosomeStart[c + 1] = genome += kChromosomeLength[c];
  const double spacing = static_cast<double>(genome) / static_cast<double>(nL);
  const double shape = (1 - kFst) / kFst;
  // Two-bit .bed field of a genotype value: 0 -> 00, 1 -> 10, 2 -> 11, missing -> 01.
  static const unsigned char kField[3] = {0, 2, 3};
  const double* q = &Qt_(0, 0);
  double* pAll = &P_(0, 0);

#pragma omp parallel for schedule(static)
  for (int64_t l = 0; l < L64; ++l) {
    Stream s(seed, kSnpStream, static_cast<uint64_t>(l));
    double* p = pAll + K_ * l;
    const double ancestral = 0.05 + 0.9 * s.unit();
    for (int k = 0; k < K_; ++k) {
      const double x = gammaDraw(s, ancestral * shape), y = gammaDraw(s, (1 - ancestral) * shape);
      const double f = x + y > 0 ? x / (x + y) : ancestral;
      p[k] = std::floor(f * kMillionths + 0.5) / kMillionths;
    }

    SnpSite& site = sites[l];
    const int64_t at = static_cast<int64_t>(std::floor((static_cast<double>(l) + s.unit()) * spacing));
    int c = 0;
    while (c < 21 && at >= chromosomeStart[c + 1]) ++c;
    site.chromosome = c + 1;
    site.position = at - chromosomeStart[c] + 1;
    const int first = static_cast<int>(s.unit() * 4);
    site.alleles[0] = kBases[first];
    site.alleles[1] = kBases[(first + 1 + static_cast<int>(s.unit() * 3)) % 4];

    unsigned char* block = &bed[3 + static_cast<std::size_t>(l) * bytesPerSnp];
    const int64_t keptIndividual = l % I64;
    for (int64_t i = 0; i < I64; ++i) {
      double f = 0;
      for (int k = 0; k < K_; ++k) f += q[k + K_ * i] * p[k];
      int genotype = s.unit() < f;
      genotype += s.unit() < f;
      const bool missing = s.unit() < kMissing && i != keptIndividual && i % L64 != l;
      const unsigned field = missing ? 1u : kField[genotype];
      block[i / 4] |= static_cast<unsigned char>(field << (2 * (i % 4)));
    }
  }

  std::string text;
  char line[128];
  for (std::size_t l = 0; l < nL; ++l) {
    const SnpSite& site = sites[l];
    std::snprintf(line, sizeof line, "%d\tsnp%zu\t%" PRId64 ".%06" PRId64 "\t%" PRId64 "\t%c\t%c\n",
                  site.chromosome, l + 1, site.position / 1000000, site.position % 1000000,
                  site.position, site.alleles[0], site.alleles[1]);
    text += line;
  }
  writeBytes(base + ".bim", text.data(), text.size());
  text.clear();
  for (std::size_t i = 0; i < nI; ++i) {
    std::snprintf(line, sizeof line, "ind%zu ind%zu 0 0 %d -9\n", i + 1, i + 1, sex[i]);
    text += line;
  }
  writeBytes(base + ".fam", text.data(), text.size());
  writeBytes(base + ".bed", reinterpret_cast<const char*>(bed.data()), bed.size());

  const std::string k = std::to_string(K_);
  if (outputMatrix(base + "." + k + ".Q.truth", &Qt_, true, " ") != 0)
    stopWithError("make_bench_data: cannot write " + base + "." + k + ".Q.truth");
  if (outputMatrix(base + "." + k + ".P.truth", &P_, true, " ") != 0)
    stopWithError("make_bench_data: cannot write " + base + "." + k + ".P.truth");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) stopWithError("usage: make_bench_data OUTDIR I L K [SEED]");
  // The program reads at most INT_MAX individuals and SNPs.
  const int64_t I64 = argument(argv[2], 1, INT32_MAX, "I");
  const int64_t L64 = argument(argv[3], 1, INT32_MAX, "L");
  const int64_t K64 = argument(argv[4], 1, INT32_MAX, "K");
  const int64_t seed = argc == 6 ? argument(argv[5], 0, INT64_MAX, "SEED") : 1;
  try {
    makeDataSet(argv[1], I64, L64, static_cast<int>(K64), static_cast<uint64_t>(seed));
  } catch (const std::bad_alloc&) {
    stopWithError("make_bench_data: not enough memory for the data set");
  } catch (const std::length_error&) {
    stopWithError("make_bench_data: not enough memory for the data set");
  }
  return kExitOk;
}
