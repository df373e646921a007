// result_files: the result files of a run (data.K.Q and data.K.P; with a
// bootstrap, data.K.Q_se and data.K.Q_bias), written as sets that are
// replaced whole. The protocol, for every set:
//   1. each file is written to a temporary in the directory, created
//      exclusively (O_EXCL|O_NOFOLLOW: no existing file or link is opened),
//      given the permission bits of the file it replaces, and fsynced; then
//      the directory is fsynced;
//   2. the renames follow under flock on the directory itself, with the
//      ending signals held back;
//   3. each new file is exchanged with the old one (renameat2 with
//      RENAME_EXCHANGE), or, where the file system cannot exchange, the old
//      one is kept under a hard link before the rename; a file the set
//      removes (the old standard errors) is moved to a temporary name;
//   4. a failure puts every old file back (rollback); once the whole set is
//      in place, the temporaries, which now hold the old files, are removed;
//      an old file that the rollback cannot put back stays under its
//      temporary name, which the error line gives;
//   5. every stop (an ending signal, taken by the main thread only, between
//      the steps; the exit; a stop from any thread, out of memory included)
//      removes every temporary that holds a new file, and none that holds
//      an old one.
#ifndef KELVANORE_RESULT_FILES_H
#define KELVANORE_RESULT_FILES_H

#include <signal.h>

#include <string>

#include "types.h"

// Text matrix writer, file form: a set of one file (the protocol above).
// 1 on any failure (every temporary is then removed), else 0.
int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep);

// The result files of the current pass, in two sets: Q and P as soon as
// the point estimate is there, so that a failure in the analyses after it
// cannot take the estimate with it, and the bootstrap's standard errors and
// biases (when Options::B > 0) once they are there. writeOutputFiles writes
// both sets (its result is always 0). The old standard errors and biases of
// the pass's names are removed when the new Q and P are put in place, with
// or without a bootstrap. The standard errors and biases are put in place
// beside the Q and P that this run placed: where another run has replaced
// those since, they are placed again with them, as one set. A failure ends
// the run with one line; no stop leaves a new file under a temporary name.
void writeEstimateFiles();
void writeBootstrapFiles();
int writeOutputFiles();

// Every result file name of the run (each penalty weight's Q and P, and
// with a bootstrap its standard errors and biases) must be one the current
// directory can hold: not longer than a directory entry allows and not the
// name of a directory. Ends the run with one line otherwise; main calls it
// right after the options are read, before the estimation.
void checkResultNames();

// The ending signals (every catchable signal whose default action ends the
// process, but for the faults of a crash) held back on the calling thread
// for the object's lifetime: the steps that it covers happen whole or not
// at all. Held by main while the worker threads start, they stay held in
// every worker, so that only the main thread takes them.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
  static const sigset_t& signals();

 private:
  sigset_t saved_;
};
// Once per run, before the first temporary (main calls it at the start;
// the writers again): every ending signal, the exit and every stop from any
// thread remove the temporary files that hold new files. A signal that the
// run was started with ignored stays ignored.
void installTemporaryCleanup();

#endif
