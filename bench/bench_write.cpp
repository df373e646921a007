// Times the writing of a result file: bench_write <directory> [SNPs] [K]
// [repeats] writes a K x SNPs frequency matrix (1,000,000 x 3 by default) as
// <directory>/bench.K.P through outputMatrix, the way a run writes its .P,
// and prints the time of each write and the fastest.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "result_files.h"
#include "types.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) {
    std::cerr << "usage: bench_write <directory> [SNPs] [K] [repeats]\n";
    return 2;
  }
  const std::string dir = argv[1];
  const long snps = argc > 2 ? std::atol(argv[2]) : 1000000;
  const long k = argc > 3 ? std::atol(argv[3]) : 3;
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;
  if (snps < 1 || k < 1 || repeats < 1) {
    std::cerr << "bench_write: SNPs, K and repeats must be positive\n";
    return 2;
  }
  // Frequencies of every magnitude the written form meets, from a fixed
  // sequence so that every build writes the same bytes.
  DMatrix freq(static_cast<std::size_t>(k), static_cast<std::size_t>(snps));
  unsigned long state = 12345;
  for (std::size_t l = 0; l < freq.size2(); ++l)
    for (std::size_t r = 0; r < freq.size1(); ++r) {
      state = state * 6364136223846793005UL + 1442695040888963407UL;
      freq(r, l) = 1e-5 + 0.99998 * static_cast<double>(state >> 11) / 9007199254740992.0;
    }
  const std::string name = dir + "/bench." + std::to_string(k) + ".P";
  double best = 0.0;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    if (outputMatrix(name, &freq, true, " ") != 0) {
      std::cerr << "bench_write: could not write " << name << "\n";
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r == 0 || seconds < best) best = seconds;
    std::cout << "wrote " << snps << " x " << k << " in " << seconds << " s" << std::endl;
  }
  std::cout << "best " << best << " s" << std::endl;
  std::remove(name.c_str());
  return 0;
}
