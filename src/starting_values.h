// starting_values: the checks of a genotype matrix before the estimation
// (no SNP or individual with every genotype missing; the table of
// monomorphic SNPs) and the starting Q and P that were not read from files.
#ifndef KELVANORE_STARTING_VALUES_H
#define KELVANORE_STARTING_VALUES_H

#include "types.h"

// Ends the run on a SNP or an individual whose genotypes are all missing;
// then builds monomorphics for N.
void preprocessData();
// table[l]: 0 when every genotype of SNP l is 0, 1 when every one is 2,
// 255 otherwise.
void buildMonomorphicsTable(const GMatrix& G, BVector& table);
bool isMonomorphic(int l);
// Draws the starting Q (but for supervised reference individuals, placed in
// their population) and P that were not read; true when it drew any.
bool initializeQP();
bool areEqual(const BVector& a, const BVector& b);
// A uniform draw in [eps, 1 - eps], and a uniform point of the simplex with
// every component at least eps.
double safeRandUnif(double eps);
void safeRandUnifOnSimplex(DVector& x, int K_, double eps);

#endif
