// fileio: the input dispatch. readInputFiles picks the fileset reader by
// the input's suffix, checks the haploid genotypes, and loads the starting,
// true and reference values that the configuration asks for.
#ifndef KELVANORE_FILEIO_H
#define KELVANORE_FILEIO_H

#include "types.h"

// Loads the data set, the starting, true and reference values. 0 on success,
// -1 when starting values were asked for and neither file could be read;
// every other failure ends the run with its reader's line.
int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta);

#endif
