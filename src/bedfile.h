// bedfile: the PLINK bed fileset reader (.bim, .fam, .bed). Writes I, L, N
// and fills a DatasetMetadata, with the SNPs in genome order; reads the
// haploid settings.
#ifndef KELVANORE_BEDFILE_H
#define KELVANORE_BEDFILE_H

#include <string>

#include "types.h"

// base is the input path without its extension; every failure ends the run.
void readPlinkBedFiles(const std::string& base, DatasetMetadata& meta);

// Genotype value of one 2-bit field: (0,0) 0, (1,0) 9, (0,1) 1, (1,1) 2.
int plinkDecodeBits(int lowBit, int highBit);

#endif
