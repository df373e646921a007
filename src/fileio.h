// fileio: input dispatch and genotype checks, the PED/MAP reader, the
// population label file, text matrices and the result files.
#ifndef KELVANORE_FILEIO_H
#define KELVANORE_FILEIO_H

#include <ostream>
#include <string>

#include "utils.h"

// Loads the data set, the starting, true and reference values. 0 on success,
// -1 when starting values were asked for and neither file could be read.
int readInputFiles(int initializeFromFilesFlag, DatasetMetadata& meta);
// Hemizygous calls must be coded homozygous; ends the run otherwise.
void validateInput(const GMatrix& G, const DatasetMetadata& meta);

// "12"-coded PED fileset; base is the input path without its extension.
void readPlinkFiles(const std::string& base, DatasetMetadata& meta);
void readMapFile(const std::string& base, DatasetMetadata& meta);

// base + ".pop"; 0 on success, 1 on failure. Writes reference_pop.
int readPopFile(const std::string& base);

// Text matrix reader: 0 on success (*M set to a new matrix), 1 on failure.
int inputMatrix(const std::string& filename, DMatrix** M, bool transpose);
// Text matrix writer, file form: 1 on a write error, else 0.
int outputMatrix(const std::string& filename, const DMatrix* M, bool transpose, std::string sep);
// Text matrix writer, stream form.
template <typename T>
void outputMatrix(std::ostream& out, const ublas::matrix<T, ublas::column_major>* M, bool transpose,
                  std::string sep);

// Writes the result files of the current pass; 0 on success, -1 on error.
int writeOutputFiles();

#endif
