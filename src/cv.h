// cv: the cross-validation error that helps to choose K.
#ifndef KELVANORE_CV_H
#define KELVANORE_CV_H

#include "utils.h"

class Algorithm;

// Sets cvIndex. The algorithm argument is not used: the re-fits use an
// object built from the configuration.
void compute_crossvalidation_index(Algorithm* alg, int folds, const DatasetMetadata& meta);

#endif
