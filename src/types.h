// types: the dense matrices and vectors of all numeric storage and the
// records that describe a data set. Every module builds on these.
#ifndef KELVANORE_TYPES_H
#define KELVANORE_TYPES_H

#include <cstdint>
#include <string>
#include <vector>

#include <boost/numeric/ublas/matrix.hpp>
#include <boost/numeric/ublas/vector.hpp>

namespace ublas = boost::numeric::ublas;

// Dense numeric storage. Column-major throughout, so one SNP's genotypes (a
// column of the genotype matrix) and one SNP's K frequencies (a column of P)
// are contiguous.
typedef ublas::matrix<double, ublas::column_major> DMatrix;
typedef ublas::matrix<unsigned char, ublas::column_major> GMatrix;
typedef ublas::vector<double> DVector;
typedef ublas::vector<unsigned char> BVector;
typedef ublas::range Range;

// Genotype code of a missing call.
constexpr unsigned char kMissing = 9;

// One SNP of the data set.
struct SNPInfo {
  int32_t chromosome = 0;
  std::string name;
  double geneticPosition = 0.0;  // .bim value / 100, .map value as read
  int64_t position = 0;          // base-pair position
  int64_t fileIndex = 0;         // 0-based record number in the .bim (0 for PED input)
  bool haploid = false;          // on a chromosome declared haploid

  // Genome order: chromosome, then position. Strict; other fields play no part.
  bool operator<(const SNPInfo& other) const {
    return chromosome < other.chromosome ||
           (chromosome == other.chromosome && position < other.position);
  }
};

// One individual of the data set.
struct IndInfo {
  bool haploid = false;  // its sex code is one of haploid_sexes
};

// The description of one data set: rows and columns of its genotype matrix.
struct DatasetMetadata {
  std::vector<IndInfo> indInfo;  // one per individual, genotype-matrix row order
  std::vector<SNPInfo> snpInfo;  // one per SNP, genotype-matrix column order
};

#endif
