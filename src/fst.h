// fst: the Fst divergences between the estimated populations, and their
// table on the console after each point estimation.
#ifndef KELVANORE_FST_H
#define KELVANORE_FST_H

#include "types.h"

DMatrix* calculate_Fsts_weighted(const DMatrix& P_);
DMatrix* calculate_Fsts_unweighted(const DMatrix& P_);
void print_Fst_matrix();

#endif
