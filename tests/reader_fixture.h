// Test support for the readers: a fixture that frees the run state the
// readers create and resets the settings they read, before and after each
// test, so every test starts from a fresh process's state.
#ifndef KELVANORE_TESTS_READER_FIXTURE_H
#define KELVANORE_TESTS_READER_FIXTURE_H

#include <gtest/gtest.h>

#include "options.h"
#include "utils.h"

class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    for (DMatrix** m : {&Qt, &Qt_old, &P, &P_old, &Qt_truth, &P_truth, &Qt_se, &Qt_bias}) {
      delete *m;
      *m = nullptr;
    }
    delete N;
    N = nullptr;
    delete[] reference_pop;
    reference_pop = nullptr;
    I = L = K = 0;
    haploid_chrs.clear();
    haploid_sexes.clear();
    haploidModeEnabled = false;
    Options::supervised = false;
    Options::B = 0;
    Options::blockSize = 0;
    Options::penaltyfunction.lambda = 0.0;
  }
};

#endif
