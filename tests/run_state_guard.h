// Test support: one guard for the whole process-wide run state, so that a
// test leaves the process as it found it, whatever suites ran before it in
// the same executable.
//
// On construction the guard saves every run-state global of run_state.h and
// every member of Options (both taken from their lists there,
// KELVANORE_RUN_STATE and KELVANORE_OPTIONS, so a new one cannot slip
// past), the OpenMP thread count and the random generator's state; the
// test then starts with the same values, but with every run-state pointer
// null, because the objects behind the saved pointers belong to
// whoever set them and code under test may replace or delete what a pointer
// holds. On destruction it frees the objects the test left behind the
// pointers and puts every saved value back.
//
// Ownership: the run state owns what its pointers hold (run_state.h), so the
// guard deletes whatever a pointer holds at the end unless the test lent it
// storage of its own with lend(). A test that frees such an object itself
// must set the pointer to null, as the program would. The input-name
// pointers of Options are the exception: the option parser never frees them,
// so the guard only puts them back and frees nothing of theirs.
//
// One mark cannot be put back: setRandState() also marks the generator
// seeded, so after a test that moved a generator nobody had seeded, the
// generator is back at its state but counts as seeded. (An untouched
// generator is left alone.) Options::longopts is a constant table, outside
// the list, and is not saved.
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
#include "options_snapshot.h"
#include "random.h"
#include "run_state.h"

class RunStateGuard {
 public:
  RunStateGuard() : threads_(omp_get_max_threads()), randState_(randState()) {
#define KELVANORE_START_EMPTY(kind, type, name, initial) startEmpty_##kind(name);
    KELVANORE_RUN_STATE(KELVANORE_START_EMPTY)
#undef KELVANORE_START_EMPTY
  }

  ~RunStateGuard() {
    releaseObjects();
#define KELVANORE_RESTORE(kind, type, name, initial) name = saved_.name;
    KELVANORE_RUN_STATE(KELVANORE_RESTORE)
#undef KELVANORE_RESTORE
    options_.restore();

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
#define KELVANORE_RELEASE(kind, type, name, initial) release_##kind(name);
    KELVANORE_RUN_STATE(KELVANORE_RELEASE)
#undef KELVANORE_RELEASE
  }

 private:
  // The run state's values when the guard was made, one member per entry of
  // its list (the configuration's are kept by options_).
  struct SavedRunState {
#define KELVANORE_MEMBER(kind, type, name, initial) type name = ::name;
    KELVANORE_RUN_STATE(KELVANORE_MEMBER)
#undef KELVANORE_MEMBER
  };

  // What a test starts with: values as they are, pointers null.
  template <typename T>
  static void startEmpty_value(T&) {}
  template <typename T>
  static void startEmpty_owned(T*& p) {
    p = nullptr;
  }
  template <typename T>
  static void startEmpty_owned_array(T*& p) {
    p = nullptr;
  }

  bool isLent(const void* p) const { return std::find(lent_.begin(), lent_.end(), p) != lent_.end(); }

  template <typename T>
  void release_value(T&) {}
  template <typename T>
  void release_owned(T*& p) {
    if (!isLent(p)) delete p;
    p = nullptr;
  }
  template <typename T>
  void release_owned_array(T*& p) {
    if (!isLent(p)) delete[] p;
    p = nullptr;
  }

  SavedRunState saved_;
  OptionsSnapshot options_;
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
