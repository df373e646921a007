// A PLINK bed fileset: the input is the .bim, the .fam and the .bed, cut at
// "#%#\n", and an optional fourth part whose first byte picks haploid
// settings. Read through the input dispatch, so the hemizygous check runs
// too. A run that ends must end with one of the reader's messages; a run
// that returns must have read every genotype of the .bed into its place.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileio.h"
#include "fuzz_support.h"
#include "options.h"
#include "run_state.h"
#include "types.h"

namespace {

int genotypeOfField(unsigned field) {
  static const int kValue[4] = {0, 9, 1, 2};
  return kValue[field & 3];
}

// Individuals of a .fam's records: its lines, a last one without a line end
// included.
int64_t famLines(const std::string& fam) {
  int64_t lines = std::count(fam.begin(), fam.end(), '\n');
  if (!fam.empty() && fam.back() != '\n') ++lines;
  return lines;
}

// A sex code as a 32-bit strtol reads it: leading digits, clamped.
int sexOf(const std::string& code) {
  const long long v = std::strtoll(code.c_str(), nullptr, 10);
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}

void setHaploid(const std::string& part) {
  if (part.empty()) return;
  const unsigned char choice = static_cast<unsigned char>(part[0]);
  haploidModeEnabled = true;
  if (choice & 1) haploid_sexes.push_back(1);
  if (choice & 2) haploid_sexes.push_back(2);
  if (choice & 4)
    haploid_chrs.push_back(ALLCHRS_PROXY);
  else
    haploid_chrs = {"1", "23"};
}

void checkSuccess(const std::vector<std::string>& parts, const DatasetMetadata& meta,
                  const Outcome& o) {
  EarlyEnd bimEnd, famEnd;
  const std::vector<std::string> bimLines = linesOf(recordsOf(parts[0], bimEnd));
  const std::string fam = recordsOf(parts[1], famEnd);
  const std::string& bed = parts[2];
  if (!bimEnd.what.empty() || !famEnd.what.empty()) finding("success with records that end early", o);
  if (!N) finding("no genotype matrix after success", o);
  if (L < 1) finding("success without SNPs", o);
  if (I != famLines(fam)) finding("individual count differs from the .fam's lines", o);
  if (static_cast<int64_t>(bimLines.size()) != L) finding("SNP count differs from the .bim's lines", o);
  const std::vector<std::string> famRecords = linesOf(fam);
  if (N->size1() != static_cast<std::size_t>(I) || N->size2() != static_cast<std::size_t>(L) ||
      meta.indInfo.size() != static_cast<std::size_t>(I) ||
      meta.snpInfo.size() != static_cast<std::size_t>(L))
    finding("sizes of N and the description disagree", o);

  // One record of six fields per line, each individual's haploid flag from
  // its own line's sex code.
  for (int i = 0; i < I; ++i) {
    const std::vector<std::string> fields = fieldsOf(famRecords[i]);
    if (fields.size() != 6) finding("a .fam line of other than six fields accepted", o);
    const int sex = sexOf(fields[4]);
    const bool haploid = std::find(haploid_sexes.begin(), haploid_sexes.end(), sex) != haploid_sexes.end();
    if (meta.indInfo[i].haploid != haploid) finding("haploid flag not from the individual's own sex code", o);
  }

  // The SNPs are in genome order, equal keys in .bim order, and the file
  // indices are a permutation.
  std::vector<char> seen(static_cast<std::size_t>(L), 0);
  std::vector<int> columnOf(static_cast<std::size_t>(L), -1);
  for (int c = 0; c < L; ++c) {
    const SNPInfo& s = meta.snpInfo[c];
    if (s.fileIndex < 0 || s.fileIndex >= L || seen[s.fileIndex]) finding("file indices not a permutation", o);
    seen[s.fileIndex] = 1;
    columnOf[s.fileIndex] = c;
    const std::vector<std::string> fields = fieldsOf(bimLines[s.fileIndex]);
    if (fields.size() != 6) finding("a .bim line of other than six fields accepted", o);
    if (s.name != fields[1] || s.position != std::strtoll(fields[3].c_str(), nullptr, 10))
      finding("a SNP not from its own .bim line", o);
    if (c > 0) {
      const SNPInfo& p = meta.snpInfo[c - 1];
      const bool ordered = p.chromosome < s.chromosome ||
                           (p.chromosome == s.chromosome &&
                            (p.position < s.position || (p.position == s.position && p.fileIndex < s.fileIndex)));
      if (!ordered) finding("SNPs not in stable genome order", o);
    }
  }

  // Every genotype decoded from its own bits, and no byte left over.
  if (bed.size() < 3) finding("success with a .bed shorter than its header", o);
  const bool snpMajor = static_cast<unsigned char>(bed[2]) == 0x01;
  const uint64_t rows = static_cast<uint64_t>(I), cols = static_cast<uint64_t>(L);
  const uint64_t expected = 3 + (snpMajor ? cols * ((rows + 3) / 4) : rows * ((cols + 3) / 4));
  if (bed.size() != expected) finding("success with a .bed of the wrong length", o);
  for (uint64_t j = 0; j < cols; ++j)
    for (uint64_t i = 0; i < rows; ++i) {
      const uint64_t at = snpMajor ? 3 + j * ((rows + 3) / 4) + i / 4 : 3 + i * ((cols + 3) / 4) + j / 4;
      const unsigned shift = static_cast<unsigned>(2 * (snpMajor ? i % 4 : j % 4));
      const int want = genotypeOfField(static_cast<unsigned char>(bed[at]) >> shift);
      const int got = (*N)(i, static_cast<std::size_t>(columnOf[j]));
      if (got != want) finding("genotype differs from its .bed bits", o);
    }

  // The hemizygous check passed: no haploid heterozygote.
  for (int i = 0; i < I; ++i)
    for (int l = 0; l < L; ++l)
      if (meta.indInfo[i].haploid && meta.snpInfo[l].haploid && (*N)(i, l) == 1)
        finding("haploid heterozygote accepted", o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = splitParts(data, size, 4);
  resetRunState();
  writeScratch("set.bim", parts[0]);
  writeScratch("set.fam", parts[1]);
  writeScratch("set.bed", parts[2]);
  setHaploid(parts[3]);
  pointInputAtScratch("bed");

  DatasetMetadata meta;
  const Outcome o = runReader([&] { readInputFiles(0, meta); });
  if (o.exited) {
    static const std::vector<std::string> kMessages = {
        "Invalid chromosome code!  Use integers.",
        "No SNPs!",
        "Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)",
        "Error reading .bed file",
    };
    static const std::vector<std::string> kPrefixes =
        withEarlyEnds({"Problem reading BIM file, line ", "Error for individual number ",
                       "Wrong number of fields in ", "Invalid base-pair position in "});
    checkStop(o, kMessages, kPrefixes);
  } else {
    checkSuccess(parts, meta, o);
  }
  resetRunState();
  return 0;
}
