// Test support for the readers: their tests start with no matrices in the
// run state (the readers create them), and the guard frees what the readers
// created and puts the run state and settings back afterwards.
#ifndef KELVANORE_TESTS_READER_FIXTURE_H
#define KELVANORE_TESTS_READER_FIXTURE_H

#include "run_state_guard.h"

using ReaderFixture = RunStateTest;

#endif
