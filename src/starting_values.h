// starting_values: the checks of a genotype matrix before the estimation
// (no SNP or individual with every genotype missing; the table of
// monomorphic SNPs) and the starting Q and P that were not read from files.
#ifndef KELVANORE_STARTING_VALUES_H
#define KELVANORE_STARTING_VALUES_H

#include "types.h"

void preprocessData();
void buildMonomorphicsTable(const GMatrix& G, BVector& table);
bool isMonomorphic(int l);
bool initializeQP();
bool areEqual(const BVector& a, const BVector& b);
double safeRandUnif(double eps);
void safeRandUnifOnSimplex(DVector& x, int K_, double eps);

#endif
