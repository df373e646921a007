#include "fileio.h"

#include <strings.h>

#include <cstddef>
#include <string>

#include "bedfile.h"
#include "genotypes.h"
#include "matrix_files.h"
#include "options.h"
#include "pedfile.h"
#include "popfile.h"
#include "run_state.h"
#include "stops.h"
#include "utils.h"

int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta) {
  const std::string suffix = nameOf(Options::inputFileSuffix);
  const std::string base = nameOf(Options::inputFileBase);
  const std::string prefix = nameOf(Options::inputFilePrefix);
  const std::string k = to_string(K);

  if (strcasecmp(suffix.c_str(), "geno") == 0)
    stopWithMessage("EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.");
  else if (strcasecmp(suffix.c_str(), "ped") == 0)
    readPlinkFiles(base, meta);
  else if (strcasecmp(suffix.c_str(), "bed") == 0)
    readPlinkBedFiles(base, meta);
  else
    stopWithMessage("Input file extension not recognized.");

  validateInput(*N, meta);

  if (initializeFromFilesFlag != 0) {
    printLine("Initializing parameter matrices from input files:");

    const std::string qName = prefix + "." + k + ".Q.in";
    DMatrix* Qin = readStartingMatrix(qName);
    const bool qRead = Qin != nullptr;
    if (Qin) {
      printLine("  Read Q input from " + qName);
      if (Qin->size1() != static_cast<std::size_t>(K) || Qin->size2() != static_cast<std::size_t>(I)) {
        printLine("  Incorrect Q input file size");
        const std::string sizes = "  " + std::to_string(Qin->size1()) + " " + std::to_string(Qin->size2());
        // Only this frame holds the matrix: freed, it is not reported as leaked at exit.
        delete Qin;
        stopWithMessage(sizes);
      }
      if (!Options::estimateQ) checkFixedValues(*Qin, qName);
      Qt_old = copyMatrix(*Qin, "the starting Q (" + k + " x " + to_string(I) + ")");
      Qt = copyMatrix(*Qt_old, "the starting Q (" + k + " x " + to_string(I) + ")");
      delete Qin;
    }

    const std::string pName = prefix + "." + k + ".P.in";
    DMatrix* Pin = readStartingMatrix(pName);
    const bool pRead = Pin != nullptr;
    if (Pin) {
      printLine("  Read P input from " + pName);
      if (Pin->size1() != static_cast<std::size_t>(K) || Pin->size2() != static_cast<std::size_t>(L)) {
        delete Pin;
        stopWithMessage("  Incorrect P input file size");
      }
      if (!Options::estimateP) checkFixedValues(*Pin, pName);
      P_old = copyMatrix(*Pin, "the starting P (" + k + " x " + to_string(L) + ")");
      P = copyMatrix(*P_old, "the starting P (" + k + " x " + to_string(L) + ")");
      delete Pin;
    }

    if (!qRead && !pRead) {
      printLine("  Could read neither Q nor P input file.  Make sure they have the '.in' suffix.");
      return -1;
    }
    // The other one would be drawn at random: held fixed, or with the point
    // estimation skipped, the random values would be written (and
    // bootstrapped) as the estimate.
    if (!qRead && !Options::estimateQ) stopWithMessage("  Could not read fixed Q from " + qName);
    if (!pRead && !Options::estimateP) stopWithMessage("  Could not read fixed P from " + pName);
    if (!qRead && Options::skipPointEstimation)
      stopWithMessage("  Could not read Q from " + qName + ", needed to skip point estimation");
    if (!pRead && Options::skipPointEstimation)
      stopWithMessage("  Could not read P from " + pName + ", needed to skip point estimation");
  }

  P_truth = nullptr;
  Qt_truth = nullptr;
  const std::size_t kRows = static_cast<std::size_t>(K);
  P_truth = readTruthMatrix(base + "." + k + ".P.truth", kRows, static_cast<std::size_t>(L));
  Qt_truth = readTruthMatrix(base + "." + k + ".Q.truth", kRows, static_cast<std::size_t>(I));
  if (P_truth || Qt_truth) printLine("Read \"true\" Q/P values from file.");

  if (Options::supervised) {
    printLine("Supervised analysis mode.  Examining .pop file...");
    if (readPopFile(base) != 0) stopWithMessage("Error reading .pop file!");
  }
  return 0;
}
