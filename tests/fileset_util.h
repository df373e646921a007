// Test support: small genotype filesets written from literal values, and
// one tiny fileset that runs to the end in each input format.
#ifndef KELVANORE_TESTS_FILESET_UTIL_H
#define KELVANORE_TESTS_FILESET_UTIL_H

#include <string>
#include <vector>

// The three bytes that open a SNP-major .bed file.
inline const std::string kSnpMajorBedHeader("\x6C\x1B\x01", 3);

// Genotype values (0, 1, 2 copies of the .bim's second allele, 9 missing)
// packed four to a byte, value k in bits 2k and 2k+1; the padding fields of
// the last byte get `pad` (0 to 3).
std::string packGenotypes(const std::vector<int>& values, unsigned pad = 0);

// A .bed file of genotypes[i][j] (individual i, .bim record j), one block a
// record after the SNP-major header, or one block an individual after a
// header whose third byte is mode.
std::string snpMajorBed(const std::vector<std::vector<int>>& genotypes, unsigned pad = 0);
std::string individualMajorBed(const std::vector<std::vector<int>>& genotypes, char mode, unsigned pad = 0);

// Writes base + ".bim", ".fam" and ".bed".
void writeBedFileset(const std::string& base, const std::string& bim, const std::string& fam,
                     const std::string& bed);

// A 4 x 3 fileset that runs to the end: every SNP and every individual has
// observed genotypes, individual 0 is the only male. Genotypes (individual x
// .bim record): 0 1 2 / 1 2 0 / 2 0 1 / 9 1 2; the PED twin codes the same,
// and the .pop labels the first two individuals for K = 2.
inline const std::string kTinyBim = "1 rs1 0 100 A G\n1 rs2 0 200 A G\n2 rs3 0 150 A G\n";
inline const std::string kTinyFam = "f0 i0 0 0 1 -9\nf1 i1 0 0 2 -9\nf2 i2 0 0 2 -9\nf3 i3 0 0 2 -9\n";
inline const std::string kTinyBed = kSnpMajorBedHeader + "\x78\x8E\xE3";
inline const std::string kTinyPed =
    "f0 i0 0 0 1 -9 2 2 1 2 1 1\n"
    "f1 i1 0 0 2 -9 1 2 1 1 2 2\n"
    "f2 i2 0 0 2 -9 1 1 2 2 1 2\n"
    "f3 i3 0 0 2 -9 0 0 1 2 1 1\n";
inline const std::string kTinyMap = "1 rs1 0 100\n1 rs2 0 200\n2 rs3 0 150\n";
inline const std::string kTinyPop = "A\nB\n-\n-\n";

#endif
