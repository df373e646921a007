// bootstrap: the moving-block bootstrap of Q (standard errors and biases),
// the block size derived from the marker positions, and a parametric
// resampler.
#ifndef KELVANORE_BOOTSTRAP_H
#define KELVANORE_BOOTSTRAP_H

#include <vector>

#include "types.h"

class Algorithm;

// Refuses a given block size outside 1 to L SNPs (one line, status 255).
void check_block_size();
// Derives Options::blockSize from the mean spacing of neighbouring SNPs of
// one chromosome; refuses spacings that give no usable size.
void calculate_block_size(const std::vector<SNPInfo>& snps);
void resample_under_moving_block_model(GMatrix& G_out, const DMatrix& P_in, DMatrix& P_out,
                                       const DatasetMetadata& meta_in, DatasetMetadata& meta_out);
void compute_bootstrap_variances_and_biases(Algorithm* alg, const DMatrix& Qt_, const DMatrix& P_,
                                            DMatrix& Qt_se_, DMatrix& Qt_bias_, const DatasetMetadata& meta);
void resample_under_independence_model(GMatrix& G_out, const DMatrix& Qt_, const DMatrix& P_);

#endif
