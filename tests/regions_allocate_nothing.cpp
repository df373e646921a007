// Worker threads of the engine's parallel regions never allocate: a thread
// that ran out of memory could not stop the run cleanly, so every region's
// work space is made on the calling thread before the region. This file is
// an executable of its own because it replaces the global operator new and
// delete with ones that count the allocations made inside a parallel region.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "engine_fixture.h"
#include "kernel_level.h"
#include "raw_algorithms.h"
#include "run_state.h"
#include "starting_values.h"
#include "types.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gInRegion{0};

void count() {
  if (gCounting.load(std::memory_order_relaxed) && omp_in_parallel()) gInRegion.fetch_add(1);
}

void* allocate(std::size_t size, std::size_t alignment) {
  count();
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

class RegionAllocations : public EngineFixture {
 protected:
  void TearDown() override { gCounting = false; }
  KernelChoiceGuard kernels_;
};

// The counter sees an allocation made inside a region, so that a count of
// zero below means something.
TEST_F(RegionAllocations, TheCounterSeesAnAllocationInARegion) {
  omp_set_num_threads(4);
  gInRegion = 0;
  gCounting = true;
#pragma omp parallel
  {
    std::vector<double> scratch(16 + omp_get_thread_num());
    scratch[0] = 1;
  }
  gCounting = false;
  EXPECT_GT(gInRegion.load(), 0);
}

TEST_F(RegionAllocations, NoStepAllocatesInsideItsRegions) {
  const int I = 70, L = 45, K = 3;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  GMatrix G(I, L);
  DMatrix Qt(K, I), P(K, L);
  for (int i = 0; i < I; ++i) {
    double s = 0;
    for (int k = 0; k < K; ++k) s += (Qt(k, i) = 0.05 + u(rng));
    for (int k = 0; k < K; ++k) Qt(k, i) /= s;
  }
  for (int l = 0; l < L; ++l) {
    for (int k = 0; k < K; ++k) P(k, l) = 0.01 + 0.98 * u(rng);
    for (int i = 0; i < I; ++i) G(i, l) = u(rng) < 0.1 ? kMissing : static_cast<unsigned char>(rng() % 3);
  }
  DatasetMetadata meta;
  meta.indInfo.resize(I);
  meta.snpInfo.resize(L);
  for (int i = 0; i < I; i += 5) meta.indInfo[i].haploid = true;
  for (int l = 0; l < L; l += 3) {
    meta.snpInfo[l].haploid = true;
    for (int i = 0; i < I; i += 5)
      if (G(i, l) == 1) G(i, l) = 2;
  }
  haploidModeEnabled = true;
  Options::penaltyfunction = PenaltyFunction{1.5, 0.1};
  mono_.resize(L);
  buildMonomorphicsTable(G, mono_);
  std::vector<int> ref(I, -1);
  for (int i = 0; i < I; i += 7) ref[i] = i % K;
  Options::supervised = true;
  runState_.lend(reference_pop, ref.data());
  omp_set_num_threads(4);
  for (const KernelSet* set : supportedKernels()) {
    SCOPED_TRACE(set->name);
    useKernels(*set);
    DMatrix q, p;
    gInRegion = 0;
    gCounting = true;
    mm_iterate(G, Qt, P, q, p, meta);
    block_iterate(G, Qt, P, q, p, Options::penaltyfunction, meta);
    objective(G, Qt, P, Options::penaltyfunction, meta);
    gCounting = false;
    EXPECT_EQ(gInRegion.load(), 0);
  }
}

}  // namespace
