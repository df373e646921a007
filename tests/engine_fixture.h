// Test support for the engine's kernels: a fixture whose tests start from an
// unsupervised, diploid, unpenalised run that estimates both matrices, with
// the monomorphic table in the fixture's own storage. The run state is put
// back afterwards by the guard.
#ifndef KELVANORE_TESTS_ENGINE_FIXTURE_H
#define KELVANORE_TESTS_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include "kernel_level.h"
#include "options.h"
#include "run_state.h"
#include "run_state_guard.h"
#include "types.h"

// Keeps the copy of the kernels in use when it was made and puts it back, for
// tests that choose another.
class KernelChoiceGuard {
 public:
  KernelChoiceGuard() : before_(activeKernels()) {}
  ~KernelChoiceGuard() { useKernels(before_); }
  KernelChoiceGuard(const KernelChoiceGuard&) = delete;
  KernelChoiceGuard& operator=(const KernelChoiceGuard&) = delete;

 private:
  const KernelSet& before_;
};

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    haploidModeEnabled = false;
    Options::estimateP = true;
    Options::estimateQ = true;
    Options::supervised = false;
    Options::penaltyfunction = PenaltyFunction{0.0, 0.1};
    runState_.lend(monomorphics, &mono_);
  }

  RunStateGuard runState_;
  BVector mono_;
};

#endif
