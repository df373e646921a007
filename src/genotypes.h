// genotypes: what the two fileset readers share (the genotype matrix they
// fill and the haploid flags they set), and the check of the haploid
// genotypes that the input dispatch makes once a fileset is read.
#ifndef KELVANORE_GENOTYPES_H
#define KELVANORE_GENOTYPES_H

#include <cstdint>
#include <string>

#include "types.h"

// A new rows x cols genotype matrix; ends the run (out of memory, one line)
// when the product cannot be addressed or the memory cannot be had.
GMatrix* createGenotypeMatrix(int64_t rows, int64_t cols);
// Whether a sex code (a .fam's or a .ped's whole field) is in haploid_sexes,
// read by strtol32: its leading decimal digits with an optional sign, 0
// without any (so 1x is 1, and -9 matches the wildcard).
bool isHaploidSex(const std::string& code);
// Whether a chromosome token, as text, names a chromosome of haploid_chrs.
bool isHaploidChromosome(const std::string& token);

// Hemizygous calls must be coded homozygous; ends the run otherwise.
void validateInput(const GMatrix& G, const DatasetMetadata& meta);

#endif
