// Test support: one guard for the whole process-wide run state, so that a
// test leaves the process as it found it, whatever suites ran before it in
// the same executable.
//
// On construction the guard saves every run-state global of utils.h, every
// member of Options, the OpenMP thread count and the random generator's
// state; the test then starts with the same values, but with every run-state
// pointer null, because the objects behind the saved pointers belong to
// whoever set them and code under test may replace or delete what a pointer
// holds. On destruction it frees the objects the test left behind the
// pointers and puts every saved value back.
//
// Ownership: the run state owns what its pointers hold (utils.h), so the
// guard deletes whatever a pointer holds at the end unless the test lent it
// storage of its own with lend(). A test that frees such an object itself
// must set the pointer to null, as the program would. The input-name
// pointers of Options are the exception: the option parser never frees them,
// so the guard only puts them back and frees nothing of theirs.
//
// One mark cannot be put back: setRandState() also marks the generator
// seeded, so after a test that moved a generator nobody had seeded, the
// generator is back at its state but counts as seeded. (An untouched
// generator is left alone.) Options::longopts is a constant table and is not
// saved.
//
// A fixture holds the guard as a member (or derives from RunStateTest), so
// that it saves the state before SetUp() and restores it after TearDown();
// a helper that sets run state for a while holds one of its own.
#ifndef KELVANORE_TESTS_RUN_STATE_GUARD_H
#define KELVANORE_TESTS_RUN_STATE_GUARD_H

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "utils.h"

class RunStateGuard {
 public:
  RunStateGuard()
      : I_(I), L_(L), K_(K),
        currentLoglike_(currentLoglike), currentObj_(currentObj), cvIndex_(cvIndex),
        N_(N), Qt_(Qt), Qt_old_(Qt_old), P_(P), P_old_(P_old), monomorphics_(monomorphics),
        reference_pop_(reference_pop), Qt_truth_(Qt_truth), P_truth_(P_truth), Qt_se_(Qt_se), Qt_bias_(Qt_bias),
        haploidModeEnabled_(haploidModeEnabled), haploid_sexes_(haploid_sexes), haploid_chrs_(haploid_chrs),
        estimateQ_(Options::estimateQ), estimateP_(Options::estimateP), seedval_(Options::seedval),
        acceleration_(Options::acceleration), method_(Options::method),
        penaltyfunction_(Options::penaltyfunction), B_(Options::B), blockSize_(Options::blockSize),
        minorConvergenceCriterion_(Options::minorConvergenceCriterion),
        majorConvergenceCriterion_(Options::majorConvergenceCriterion),
        skipPointEstimation_(Options::skipPointEstimation), supervised_(Options::supervised),
        initializeFromFilesFlag_(Options::initializeFromFilesFlag), inputFile_(Options::inputFile),
        inputFileBase_(Options::inputFileBase), inputFilePrefix_(Options::inputFilePrefix),
        inputFileSuffix_(Options::inputFileSuffix), cvFolds_(Options::cvFolds), verbosity_(Options::verbosity),
        lambdas_(Options::lambdas), threads_(omp_get_max_threads()), randState_(randState()) {
    N = nullptr;
    Qt = Qt_old = P = P_old = Qt_truth = P_truth = Qt_se = Qt_bias = nullptr;
    monomorphics = nullptr;
    reference_pop = nullptr;
  }

  ~RunStateGuard() {
    releaseObjects();

    I = I_;
    L = L_;
    K = K_;
    currentLoglike = currentLoglike_;
    currentObj = currentObj_;
    cvIndex = cvIndex_;
    N = N_;
    Qt = Qt_;
    Qt_old = Qt_old_;
    P = P_;
    P_old = P_old_;
    monomorphics = monomorphics_;
    reference_pop = reference_pop_;
    Qt_truth = Qt_truth_;
    P_truth = P_truth_;
    Qt_se = Qt_se_;
    Qt_bias = Qt_bias_;
    haploidModeEnabled = haploidModeEnabled_;
    haploid_sexes = haploid_sexes_;
    haploid_chrs = haploid_chrs_;

    Options::estimateQ = estimateQ_;
    Options::estimateP = estimateP_;
    Options::seedval = seedval_;
    Options::acceleration = acceleration_;
    Options::method = method_;
    Options::penaltyfunction = penaltyfunction_;
    Options::B = B_;
    Options::blockSize = blockSize_;
    Options::minorConvergenceCriterion = minorConvergenceCriterion_;
    Options::majorConvergenceCriterion = majorConvergenceCriterion_;
    Options::skipPointEstimation = skipPointEstimation_;
    Options::supervised = supervised_;
    Options::initializeFromFilesFlag = initializeFromFilesFlag_;
    Options::inputFile = inputFile_;
    Options::inputFileBase = inputFileBase_;
    Options::inputFilePrefix = inputFilePrefix_;
    Options::inputFileSuffix = inputFileSuffix_;
    Options::cvFolds = cvFolds_;
    Options::verbosity = verbosity_;
    Options::lambdas = lambdas_;

    omp_set_num_threads(threads_);
    // Setting the state also marks the generator seeded; leaving an untouched
    // generator alone keeps an unseeded one unseeded.
    if (randState() != randState_) setRandState(randState_);
  }

  RunStateGuard(const RunStateGuard&) = delete;
  RunStateGuard& operator=(const RunStateGuard&) = delete;

  // Points a run-state pointer at storage the test keeps (a member, a local,
  // a vector's data): the guard will not free it.
  template <typename T>
  void lend(T*& global, T* storage) {
    global = storage;
    lent_.push_back(storage);
  }

  // Frees what the run-state pointers hold, lent storage aside, and sets
  // them null: the start of a second read within one test, as the first
  // had it. The other values stay as the test set them.
  void releaseObjects() {
    release(N);
    for (DMatrix** m : {&Qt, &Qt_old, &P, &P_old, &Qt_truth, &P_truth, &Qt_se, &Qt_bias}) release(*m);
    release(monomorphics);
    if (reference_pop != nullptr && !isLent(reference_pop)) delete[] reference_pop;
    reference_pop = nullptr;
  }

 private:
  bool isLent(const void* p) const { return std::find(lent_.begin(), lent_.end(), p) != lent_.end(); }

  template <typename T>
  void release(T*& p) {
    if (!isLent(p)) delete p;
    p = nullptr;
  }

  int I_, L_, K_;
  double currentLoglike_, currentObj_, cvIndex_;
  GMatrix* N_;
  DMatrix *Qt_, *Qt_old_, *P_, *P_old_;
  BVector* monomorphics_;
  int* reference_pop_;
  DMatrix *Qt_truth_, *P_truth_, *Qt_se_, *Qt_bias_;
  bool haploidModeEnabled_;
  std::vector<int> haploid_sexes_;
  std::vector<std::string> haploid_chrs_;

  bool estimateQ_, estimateP_;
  unsigned int seedval_;
  AccelerationScheme acceleration_;
  MethodType method_;
  PenaltyFunction penaltyfunction_;
  int B_, blockSize_;
  ConvergenceChecker minorConvergenceCriterion_, majorConvergenceCriterion_;
  bool skipPointEstimation_, supervised_;
  int initializeFromFilesFlag_;
  char *inputFile_, *inputFileBase_, *inputFilePrefix_, *inputFileSuffix_;
  int cvFolds_, verbosity_;
  std::vector<double> lambdas_;

  int threads_;
  uint64_t randState_;

  std::vector<const void*> lent_;
};

// A fixture whose tests need nothing but the guard.
class RunStateTest : public ::testing::Test {
 protected:
  RunStateGuard runState_;
};

#endif
