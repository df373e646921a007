// The run driver: reads the configuration and the data set, prepares the
// starting values, then makes one pass per penalty weight (point estimation,
// cross-validation, bootstrap, result files), printing the run's progress.
#include <iomanip>
#include <iostream>
#include <vector>

#include "algorithms.h"
#include "bootstrap.h"
#include "convergence.h"
#include "cv.h"
#include "fileio.h"
#include "fst.h"
#include "kernel_level.h"
#include "options.h"
#include "raw_algorithms.h"
#include "result_files.h"
#include "run_state.h"
#include "starting_values.h"
#include "stops.h"
#include "utils.h"

namespace {

// The estimation objects live until the process ends; holding them here
// keeps them reachable for leak checkers. The list itself is never
// destroyed: a static vector would be gone before the exit-time leak check.
std::vector<Algorithm*>* const keptAlgorithms = new std::vector<Algorithm*>;

Algorithm* keep(Algorithm* a) {
  keptAlgorithms->push_back(a);
  return a;
}

void printSummary(int iterations, double seconds, double lambda) {
  std::cout << "Summary: " << std::endl;
  std::cout << "Converged in " << iterations << " iterations (" << seconds << " sec)" << std::endl;
  // A NaN weight counts as not 0: != is true for it.
  if (lambda != 0) {
    std::cout << "Lambda: " << std::fixed << lambda << std::endl;
    std::cout << "Objective function: " << std::fixed << currentObj << std::endl;
  }
  std::cout << "Loglikelihood: " << std::fixed << currentLoglike << std::endl;
  if (Qt_truth) std::cout << "RMSE(Q): " << std::fixed << rmse(*Qt, *Qt_truth) << std::endl;
  if (P_truth) std::cout << "RMSE(P): " << std::fixed << rmse(*P, *P_truth) << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  installOutOfMemoryStop();
  print_banner();
  Options::parseOptions(argc, argv);
  // A KELVANORE_ISA that cannot be had is refused before any input is read.
  activeKernels();
  // A result name that cannot be written is refused before the estimation,
  // not after it.
  checkResultNames();
  installTemporaryCleanup();
  {
    // Before the data take memory: the team's stacks are had now or never.
    // The workers start with the ending signals held and keep them so: a
    // handler run by a worker while the main thread puts a set in place
    // would remove the set's temporaries under it.
    const EndingSignalsHeld held;
    reserveThreads(EndingSignalsHeld::signals());
  }

  DatasetMetadata description;
  if (readInputFiles(Options::initializeFromFilesFlag, description) != 0)
    stopWithMessage("Error reading input files.");

  preprocessData();
  std::cout << "Size of G: " << I << "x" << L << std::endl;
  if (Options::cvFolds > 0) check_crossvalidation_folds(Options::cvFolds);

  if (Options::B > 0) {
    if (Options::blockSize == 0)
      calculate_block_size(description.snpInfo);
    else
      check_block_size();
  }

  Timer timer;
  timer.start();

  bool drew = initializeQP();
  if (drew) {
    std::cout << "Performing five EM steps to prime main algorithm" << std::endl;
    ConvergenceChecker priming(5);
    Algorithm* em = keep(new EmAlgorithm());
    em->iterate_until_convergence(*N, *Qt_old, *P_old, *Qt, *P, priming, description);
  }

  for (double w : Options::lambdas) {
    Algorithm* algorithm = nullptr;
    if (!Options::skipPointEstimation) {
      Options::penaltyfunction.lambda = w;

      std::cout << "Initial loglikelihood: " << loglike(*N, *Qt, *P, description);
      if (w != 0)
        std::cout << "; Objective: " << objective(*N, *Qt, *P, Options::penaltyfunction, description);
      std::cout << std::endl;

      *Qt_old = *Qt;
      *P_old = *P;

      std::cout << "Starting main algorithm" << std::endl;
      algorithm = keep(Algorithm::buildAlgorithm(Options::method, Options::acceleration, Options::penaltyfunction));
      algorithm->iterate_until_convergence(*N, *Qt_old, *P_old, *Qt, *P, Options::majorConvergenceCriterion,
                                           description);

      int iterations = algorithm->getIterationsPerformed();
      double seconds = timer.stop();
      // The run evaluated its result already; without a penalty the
      // objective is the log-likelihood itself.
      currentObj = algorithm->getResultObjective();
      currentLoglike = algorithm->penalized() ? algorithm->loglike(*N, *Qt, *P, description) : currentObj;

      printSummary(iterations, seconds, w);
      print_Fst_matrix();
    }

    // The estimate goes to disk before the analyses, which can fail (out of
    // memory) long after it was found; they leave Qt and P as they are.
    writeEstimateFiles();

    if (Options::cvFolds > 0) {
      compute_crossvalidation_index(Options::cvFolds, description);
      std::cout << "CV error (K=" << K << "): " << std::setprecision(5) << cvIndex << std::endl;
    }

    if (Options::B > 0) {
      delete Qt_se;
      delete Qt_bias;
      Qt_se = new DMatrix(K, I);
      Qt_bias = new DMatrix(K, I);
      if (!algorithm)
        algorithm = keep(Algorithm::buildAlgorithm(Options::method, Options::acceleration, Options::penaltyfunction));
      compute_bootstrap_variances_and_biases(algorithm, *Qt, *P, *Qt_se, *Qt_bias, description);
    }

    std::cout << "Writing output files." << std::endl;
    writeBootstrapFiles();
  }

  return 0;
}
