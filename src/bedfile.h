// bedfile: the PLINK bed fileset reader (.bim, .fam, .bed). Writes I, L, N
// and fills a DatasetMetadata, with the SNPs in genome order; reads the
// haploid settings.
#ifndef KELVANORE_BEDFILE_H
#define KELVANORE_BEDFILE_H

#include <cstdint>
#include <string>

#include "utils.h"

// base: the input path without its last extension. Ends the run on failure.
void readPlinkBedFiles(const std::string& base, DatasetMetadata& meta);

// Genotype value of one 2-bit field: (0,0) 0, (1,0) 9, (0,1) 1, (1,1) 2.
int plinkDecodeBits(int lowBit, int highBit);

// Helpers shared with the PED reader.
// A new rows x cols genotype matrix; ends the run (out of memory, one line)
// when the product cannot be addressed or the memory cannot be had.
GMatrix* createGenotypeMatrix(int64_t rows, int64_t cols);
// Whether a sex code (a .fam's or a .ped's whole field) is in haploid_sexes,
// read by strtol32: its leading decimal digits with an optional sign, 0
// without any (so 1x is 1, and -9 matches the wildcard).
bool isHaploidSex(const std::string& code);
// Whether a chromosome token, as text, names a chromosome of haploid_chrs.
bool isHaploidChromosome(const std::string& token);

#endif
