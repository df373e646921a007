#include "kernel_level.h"

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "stops.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

struct Level {
  const char* name;
  const KernelSet* kernels;
  bool (*supported)();
};

#if defined(__x86_64__)

// The processor's feature bits, read with cpuid; the vector registers'
// state must also be saved by the operating system (XCR0), or the
// instructions that use them fault.
struct CpuFeatures {
  unsigned leaf1c = 0, leaf1d = 0, leaf7b = 0, ext1c = 0;
  unsigned long long xcr0 = 0;
  CpuFeatures() {
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
      leaf1c = c;
      leaf1d = d;
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) leaf7b = b;
    if (__get_cpuid(0x80000001u, &a, &b, &c, &d)) ext1c = c;
    if (leaf1c & (1u << 27)) {  // OSXSAVE: xgetbv may be executed
      unsigned lo, hi;
      __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
    }
  }
};

const CpuFeatures& cpu() {
  static const CpuFeatures features;
  return features;
}

bool all(unsigned word, std::initializer_list<int> bits) {
  for (int bit : bits)
    if ((word & (1u << bit)) == 0) return false;
  return true;
}

bool baseline() { return true; }

// sse3, ssse3, sse4.1, sse4.2, popcnt, cx16 and lahf/sahf.
bool v2() {
  const CpuFeatures& f = cpu();
  return all(f.leaf1c, {0, 9, 13, 19, 20, 23}) && all(f.ext1c, {0});
}

// v2 and avx, avx2, bmi1, bmi2, f16c, fma, lzcnt, movbe and xsave, with the
// SSE and AVX register state enabled by the system.
bool v3() {
  const CpuFeatures& f = cpu();
  return v2() && all(f.leaf1c, {12, 22, 26, 27, 28, 29}) && all(f.leaf7b, {3, 5, 8}) &&
         all(f.ext1c, {5}) && (f.xcr0 & 0x6) == 0x6;
}

// v3 and avx512f, avx512bw, avx512cd, avx512dq and avx512vl, with the mask
// and 512-bit register state enabled by the system.
bool v4() {
  const CpuFeatures& f = cpu();
  return v3() && all(f.leaf7b, {16, 17, 28, 30, 31}) && (f.xcr0 & 0xe6) == 0xe6;
}

const Level kLevels[] = {
    {"x86-64", &kKernels_x86_64, baseline},
    {"x86-64-v2", &kKernels_x86_64_v2, v2},
    {"x86-64-v3", &kKernels_x86_64_v3, v3},
    {"x86-64-v4", &kKernels_x86_64_v4, v4},
};

#else

bool never() { return false; }

// The levels can be named anywhere but run only on x86-64; elsewhere the one
// generic copy runs.
const Level kLevels[] = {
    {"x86-64", nullptr, never},
    {"x86-64-v2", nullptr, never},
    {"x86-64-v3", nullptr, never},
    {"x86-64-v4", nullptr, never},
};

#endif

// The number of levels above the baseline that this CPU supports.
int levelsAboveBaseline() {
  int highest = 0;
  for (int n = 0; n < static_cast<int>(sizeof kLevels / sizeof kLevels[0]); ++n)
    if (kLevels[n].supported()) highest = n;
  return highest;
}

const KernelSet* gActive = nullptr;

}  // namespace

const KernelSet& chooseKernels(const char* forced, int highestSupported) {
  // Set to nothing (KELVANORE_ISA= in a script that clears it) is not set.
  if (forced == nullptr || *forced == '\0') {
#if defined(__x86_64__)
    return *kLevels[highestSupported].kernels;
#else
    return kKernels_generic;
#endif
  }
  const std::string name(forced);
  for (int n = 0; n < static_cast<int>(sizeof kLevels / sizeof kLevels[0]); ++n) {
    if (name != kLevels[n].name) continue;
    if (n > highestSupported || kLevels[n].kernels == nullptr)
      stopWithMessage("KELVANORE_ISA=" + name + ": this CPU does not support it");
    return *kLevels[n].kernels;
  }
  stopWithMessage("KELVANORE_ISA=" + name + " is not one of x86-64, x86-64-v2, x86-64-v3, x86-64-v4");
}

const KernelSet& activeKernels() {
  if (gActive == nullptr) gActive = &chooseKernels(std::getenv("KELVANORE_ISA"), levelsAboveBaseline());
  return *gActive;
}

std::vector<const KernelSet*> supportedKernels() {
  std::vector<const KernelSet*> sets;
#if defined(__x86_64__)
  for (const Level& level : kLevels)
    if (level.supported()) sets.push_back(level.kernels);
#else
  sets.push_back(&kKernels_generic);
#endif
  return sets;
}

void useKernels(const KernelSet& set) { gActive = &set; }
