// Times readPlinkBedFiles on a bed fileset: bench_read <base> [repeats],
// where base is the path without ".bed".
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bedfile.h"
#include "run_state.h"
#include "types.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: bench_read <fileset base> [repeats]\n";
    return 2;
  }
  const std::string base = argv[1];
  const int repeats = argc == 3 ? std::atoi(argv[2]) : 3;
  double best = 0.0;
  for (int r = 0; r < repeats; ++r) {
    delete N;
    N = nullptr;
    DatasetMetadata meta;
    const auto start = std::chrono::steady_clock::now();
    readPlinkBedFiles(base, meta);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r == 0 || seconds < best) best = seconds;
    std::cout << "read " << I << " x " << L << " in " << seconds << " s" << std::endl;
  }
  std::cout << "best " << best << " s" << std::endl;
  return 0;
}
