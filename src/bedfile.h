// bedfile: the PLINK bed fileset reader (.bim, .fam, .bed). Writes I, L, N
// and fills a DatasetMetadata, with the SNPs in genome order; reads the
// haploid settings.
//
// The reader is built on fileio (TextInput, splitFields, the genotype
// matrix and the haploid tests that the PED reader shares), and fileio's
// input dispatch calls the reader back. So that the two modules depend on
// each other in one direction only, bedfile includes fileio and never the
// other way round: the reader's entry point, readPlinkBedFiles, is declared
// in fileio.h beside the PED reader's, and defined in bedfile.cpp. This
// header holds only what is the bed reader's own.
#ifndef KELVANORE_BEDFILE_H
#define KELVANORE_BEDFILE_H

// Genotype value of one 2-bit field: (0,0) 0, (1,0) 9, (0,1) 1, (1,1) 2.
int plinkDecodeBits(int lowBit, int highBit);

#endif
