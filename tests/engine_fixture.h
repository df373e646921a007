// Test support for the engine's kernels: a fixture that saves the run state
// and options that the kernels read and puts them back, so each test starts
// from an unsupervised, diploid, unpenalised run that estimates both
// matrices.
#ifndef KELVANORE_TESTS_ENGINE_FIXTURE_H
#define KELVANORE_TESTS_ENGINE_FIXTURE_H

#include <gtest/gtest.h>
#include <omp.h>

#include "options.h"
#include "utils.h"

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedThreads_ = omp_get_max_threads();
    savedMono_ = monomorphics;
    savedRef_ = reference_pop;
    savedHaploid_ = haploidModeEnabled;
    savedEstimateP_ = Options::estimateP;
    savedEstimateQ_ = Options::estimateQ;
    savedSupervised_ = Options::supervised;
    savedPenalty_ = Options::penaltyfunction;
    haploidModeEnabled = false;
    Options::estimateP = true;
    Options::estimateQ = true;
    Options::supervised = false;
    Options::penaltyfunction = PenaltyFunction{0.0, 0.1};
    reference_pop = nullptr;
    monomorphics = &mono_;
  }
  void TearDown() override {
    omp_set_num_threads(savedThreads_);
    monomorphics = savedMono_;
    reference_pop = savedRef_;
    haploidModeEnabled = savedHaploid_;
    Options::estimateP = savedEstimateP_;
    Options::estimateQ = savedEstimateQ_;
    Options::supervised = savedSupervised_;
    Options::penaltyfunction = savedPenalty_;
  }

  BVector mono_;

 private:
  int savedThreads_ = 1;
  BVector* savedMono_ = nullptr;
  int* savedRef_ = nullptr;
  bool savedHaploid_ = false;
  bool savedEstimateP_ = true;
  bool savedEstimateQ_ = true;
  bool savedSupervised_ = false;
  PenaltyFunction savedPenalty_{0.0, 0.1};
};

#endif
