// kernel_level: which copy of the fast kernels (kernels.h) a run uses. The
// build holds one copy per x86-64 level; the run takes the highest level
// that the CPU supports, or the level that the environment variable
// KELVANORE_ISA names (x86-64, x86-64-v2, x86-64-v3 or x86-64-v4). Every
// level gives the same results bit for bit; only the speed differs.
#ifndef KELVANORE_KERNEL_LEVEL_H
#define KELVANORE_KERNEL_LEVEL_H

#include <vector>

#include "kernels.h"

// The copy in use. The first call chooses it, reading KELVANORE_ISA; a value
// that names no level, or a level that the CPU lacks, stops the run with one
// line and status 255. Call it on the main thread, outside parallel regions
// (the engine's entry points do, before their regions).
const KernelSet& activeKernels();

// The choice itself: the copy that a KELVANORE_ISA value (null when the
// variable is not set) picks on a CPU whose highest level is
// highestSupported (0 x86-64, 1 x86-64-v2, 2 x86-64-v3, 3 x86-64-v4), with
// the same stops.
const KernelSet& chooseKernels(const char* forced, int highestSupported);

// The copies that this CPU runs, lowest level first, for tests and
// benchmarks that compare or time the levels.
std::vector<const KernelSet*> supportedKernels();
// Makes set the copy in use (tests and benchmarks; main thread only).
void useKernels(const KernelSet& set);

#endif
