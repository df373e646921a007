// cv: the cross-validation error that helps to choose K.
#ifndef KELVANORE_CV_H
#define KELVANORE_CV_H

#include "utils.h"

// Sets cvIndex. The re-fits use an object built from the configuration,
// released when the folds are done.
void compute_crossvalidation_index(int folds, const DatasetMetadata& meta);

#endif
