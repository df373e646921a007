// cv: the cross-validation error that helps to choose K.
#ifndef KELVANORE_CV_H
#define KELVANORE_CV_H

#include "types.h"

// Sets cvIndex. The re-fits use an object built from the configuration,
// released when the folds are done.
void compute_crossvalidation_index(int folds, const DatasetMetadata& meta);

// Ends the run with one line when N holds fewer observed genotypes than
// folds: some folds would be empty, and the run would spend its time on
// that many re-fits. Called once the data are read, before any estimation.
void check_crossvalidation_folds(int folds);

#endif
