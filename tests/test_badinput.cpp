// Malformed input files run through the real executable: every one must end
// the run with its one message and status, never with a crash, a hang or a
// result file written from lost data.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dir_util.h"
#include "e2e_util.h"
#include "fileset_util.h"

namespace {

const std::string kQin = "0.5 0.5\n0.5 0.5\n0.5 0.5\n0.5 0.5\n";
const std::string kPin = "0.5 0.5\n0.5 0.5\n0.5 0.5\n";

// The text with each line feed replaced by the given line end.
std::string withLineEnds(const std::string& text, const std::string& end) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += end;
    else
      out.push_back(c);
  }
  return out;
}

// ASCII text as UTF-16 little-endian (as some Windows tools write it),
// with or without its byte-order mark.
std::string utf16le(const std::string& text, bool mark = true) {
  std::string out = mark ? "\xFF\xFE" : "";
  for (char c : text) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// The text with its n-th line (1-based) given a NUL byte at its start.
std::string nulOnLine(const std::string& text, int n) {
  std::size_t at = 0;
  for (int line = 1; line < n; ++line) at = text.find('\n', at) + 1;
  return text.substr(0, at) + std::string(1, '\0') + text.substr(at);
}

// Binary garbage that starts where a .bim's first token would.
const std::string kBinary("\x7F" "ELF\x02\x01\x01\x00\x00\xFF\xFE\n\x00\x01", 15);

// A file of the fileset replaced by this text is not written at all.
const char* const kAbsent = "\x01<absent>";
// A file replaced by this text followed by content is a named pipe that
// delivers the content once; a directory stands in for a file that opens
// and cannot be read.
const std::string kPipe = "\x01<pipe>";
const char* const kDirectory = "\x01<directory>";

using Files = std::map<std::string, std::string>;

Files baseFiles() {
  return {{"tiny.bim", kTinyBim}, {"tiny.fam", kTinyFam}, {"tiny.bed", kTinyBed},
          {"tiny.ped", kTinyPed}, {"tiny.map", kTinyMap}};
}

// A named pipe with a child process that writes the content into it once
// a reader opens it. When the run never opens it, opening it here releases
// the child.
class PipeWriter {
 public:
  PipeWriter(const std::string& path, const std::string& content) : path_(path) {
    if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path);
    pid_ = fork();
    if (pid_ == 0) {
      alarm(60);
      const int fd = open(path.c_str(), O_WRONLY);
      if (fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()))
        _exit(0);
      _exit(1);
    }
  }
  ~PipeWriter() {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
  }
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

 private:
  std::string path_;
  pid_t pid_ = -1;
};

using Pipes = std::vector<std::unique_ptr<PipeWriter>>;

// Writes the fileset with the changes into dir; returns the names written.
// Named pipes get their writers in pipes, which must outlive the run.
std::vector<std::string> writeFileset(const TempDir& dir, const Files& changes, Pipes* pipes = nullptr) {
  Files files = baseFiles();
  for (const auto& change : changes) files[change.first] = change.second;
  std::vector<std::string> written;  // sorted, as the map is
  for (const auto& file : files) {
    if (file.second == kAbsent) continue;
    const std::string path = dir.file(file.first);
    if (file.second.compare(0, kPipe.size(), kPipe) == 0) {
      if (!pipes) throw std::runtime_error("a pipe needs its writer kept");
      pipes->push_back(std::make_unique<PipeWriter>(path, file.second.substr(kPipe.size())));
    } else if (file.second == kDirectory) {
      mkdir(path.c_str(), 0755);
    } else {
      writeFile(path, file.second);
    }
    written.push_back(file.first);
  }
  return written;
}

enum Stream { kOut, kErr };

// The last lines a run writes to its stream: the stop's own line, after the
// lines that detail it where a case names them.
struct Tail {
  Tail(const char* last) : lines{last} {}
  Tail(std::initializer_list<std::string> detailAndLast) : lines(detailAndLast) {}
  std::vector<std::string> lines;
};

struct BadInputCase {
  const char* name;
  const char* input;
  Files changes;
  std::vector<std::string> options;
  Stream stream;
  Tail tail;
  int status;
};

const BadInputCase kBadInputs[] = {
    // .bed
    {"bed one byte short", "tiny.bed", {{"tiny.bed", kSnpMajorBedHeader + "\x78\x8E"}}, {}, kOut,
     "Error reading .bed file", 255},
    {"bed one byte long", "tiny.bed", {{"tiny.bed", kTinyBed + std::string(1, '\0')}}, {}, kOut,
     "Error reading .bed file", 255},
    {"bed header only", "tiny.bed", {{"tiny.bed", kSnpMajorBedHeader}}, {}, kOut,
     "Error reading .bed file", 255},
    {"bed of two magic bytes", "tiny.bed", {{"tiny.bed", "\x6C\x1B"}}, {}, kOut,
     "Error reading .bed file", 255},
    {"bed empty", "tiny.bed", {{"tiny.bed", ""}}, {}, kOut, "Error reading .bed file", 255},
    {"bed bad magic", "tiny.bed", {{"tiny.bed", std::string("\x6C\x1C\x01\x78\x8E\xE3", 6)}}, {},
     kOut, "Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)", 255},
    {"bed of one wrong byte", "tiny.bed", {{"tiny.bed", std::string(1, '\0')}}, {}, kOut,
     "Doesn't look like a PLINK v1.0+ .bed file to me... (bad magic)", 255},
    {"bed missing", "tiny.bed", {{"tiny.bed", kAbsent}}, {}, kOut, "Error opening .bed file!", 255},
    // .bim
    {"bim missing", "tiny.bed", {{"tiny.bim", kAbsent}}, {}, kOut, "Error opening .bim file!", 255},
    {"bim empty", "tiny.bed", {{"tiny.bim", ""}}, {}, kOut, "No SNPs!", 255},
    {"bim binary", "tiny.bed", {{"tiny.bim", kBinary}}, {}, kOut, "NUL byte in tiny.bim, line 1", 255},
    {"bim chromosome X", "tiny.bed", {{"tiny.bim", "1 rs1 0 100 A G\nX rs2 0 200 A G\n2 rs3 0 150 A G\n"}},
     {}, kOut, "Invalid chromosome code!  Use integers.", 255},
    {"bim chromosome 1.0", "tiny.bed", {{"tiny.bim", "1.0 rs1 0 100 A G\n1 rs2 0 200 A G\n2 rs3 0 150 A G\n"}},
     {}, kOut, "Invalid chromosome code!  Use integers.", 255},
    {"bim position abc", "tiny.bed", {{"tiny.bim", "1 rs1 0 100 A G\n1 rs2 0 abc A G\n2 rs3 0 150 A G\n"}},
     {}, kOut, "Invalid base-pair position in tiny.bim, line 2", 255},
    {"bim position 1e5 (shifted the next record)", "tiny.bed",
     {{"tiny.bim", "1 rs1 0 100 A G\n1 rs2 0 2e2 A G\n2 rs3 0 150 A G\n"}}, {}, kOut,
     "Invalid base-pair position in tiny.bim, line 2", 255},
    {"bim distance abc", "tiny.bed", {{"tiny.bim", "1 rs1 0 100 A G\n1 rs2 0 200 A G\n2 rs3 abc 150 A G\n"}},
     {}, kOut, "Problem reading BIM file, line 3", 255},
    {"bim position beyond 64 bits", "tiny.bed",
     {{"tiny.bim", "1 rs1 0 99999999999999999999 A G\n1 rs2 0 200 A G\n2 rs3 0 150 A G\n"}}, {},
     kOut, "Invalid base-pair position in tiny.bim, line 1", 255},
    {"bim line of five fields", "tiny.bed", {{"tiny.bim", "1 rs1 0 100 A\n1 rs2 0 200 A G\n2 rs3 0 150 A G\n"}},
     {}, kOut, "Wrong number of fields in tiny.bim, line 1 (found 5, expecting 6)", 255},
    {"bim line of seven fields", "tiny.bed",
     {{"tiny.bim", "1 rs1 0 100 A G\n1 rs2 0 200 A G 0\n2 rs3 0 150 A G\n"}}, {}, kOut,
     "Wrong number of fields in tiny.bim, line 2 (found 7, expecting 6)", 255},
    {"bim with a record too few", "tiny.bed", {{"tiny.bim", "1 rs1 0 100 A G\n1 rs2 0 200 A G\n"}},
     {}, kOut, "Error reading .bed file", 255},
    // .fam
    {"fam missing", "tiny.bed", {{"tiny.fam", kAbsent}}, {}, kOut, "Error opening .fam file!", 255},
    {"fam empty", "tiny.bed", {{"tiny.fam", ""}}, {}, kOut, "Error reading .bed file", 255},
    // Five fields on a line gave the later individuals their neighbours'
    // IDs as sex codes (males read as diploid, a wrong estimate, status 0);
    // seven put the hemizygous error on the wrong individual.
    {"fam line of five fields", "tiny.bed",
     {{"tiny.fam", "f0 i0 0 0 1\nf1 i1 0 0 2 -9\nf2 i2 0 0 2 -9\nf3 i3 0 0 2 -9\n"}}, {"-x", "male:1"}, kOut,
     "Wrong number of fields in tiny.fam, line 1 (found 5, expecting 6)", 255},
    {"fam line of seven fields", "tiny.bed",
     {{"tiny.fam", "f0 i0 0 0 2 -9 x\nf1 i1 0 0 1 -9\nf2 i2 0 0 2 -9\nf3 i3 0 0 2 -9\n"}}, {"-x", "male:1"},
     kOut, "Wrong number of fields in tiny.fam, line 1 (found 7, expecting 6)", 255},
    {"fam with five individuals", "tiny.bed", {{"tiny.fam", kTinyFam + "f4 i4 0 0 2 -9\n"}}, {}, kOut,
     "Error reading .bed file", 255},
    // .ped
    {"ped missing", "tiny.ped", {{"tiny.ped", kAbsent}}, {}, kErr, "Error opening file", 255},
    {"ped empty", "tiny.ped", {{"tiny.ped", ""}}, {}, kOut, "PLINK Input file error", 255},
    {"ped pair 0 1", "tiny.ped", {{"tiny.ped", "f0 i0 0 0 1 -9 2 2 0 1 1 1\n" + kTinyPed.substr(27)}}, {},
     kOut, "PLINK Input file error", 255},
    {"ped allele 3", "tiny.ped", {{"tiny.ped", kTinyPed.substr(0, 81) + "f3 i3 0 0 2 -9 0 0 1 3 1 1\n"}}, {},
     kOut, "PLINK Input file error", 255},
    {"ped pair split by a tab", "tiny.ped", {{"tiny.ped", "f0 i0 0 0 1 -9 2 2 1\t2 1 1\n" + kTinyPed.substr(27)}},
     {}, kOut, "PLINK Input file error", 255},
    {"ped pairs separated by X", "tiny.ped",
     {{"tiny.ped", kTinyPed.substr(0, 27) + "f1 i1 0 0 2 -9 1 2X1 1 2 2\n" + kTinyPed.substr(54)}}, {}, kOut,
     "Invalid separator between genotype pairs in tiny.ped, line 2", 255},
    {"ped pairs separated by a tab", "tiny.ped",
     {{"tiny.ped", kTinyPed.substr(0, 81) + "f3 i3 0 0 2 -9 0 0 1 2\t1 1\n"}}, {}, kOut,
     "Invalid separator between genotype pairs in tiny.ped, line 4", 255},
    {"ped line with a pair too few", "tiny.ped",
     {{"tiny.ped", kTinyPed.substr(0, 27) + "f1 i1 0 0 2 -9 1 2 1 1\n" + kTinyPed.substr(54)}}, {}, kOut,
     "PLINK Input file error", 255},
    {"ped line with a pair too many", "tiny.ped",
     {{"tiny.ped", kTinyPed.substr(0, 27) + "f1 i1 0 0 2 -9 1 2 1 1 2 2 1 1\n" + kTinyPed.substr(54)}}, {},
     kOut, "PLINK Input file error", 255},
    {"ped empty line", "tiny.ped", {{"tiny.ped", kTinyPed.substr(0, 27) + "\n" + kTinyPed.substr(27)}}, {},
     kOut, "Blank line in tiny.ped, line 2", 255},
    {"ped line of three fields", "tiny.ped", {{"tiny.ped", kTinyPed + "f4 i4 0\n"}}, {}, kOut,
     "PLINK Input file error", 255},
    {"ped first line of one blank", "tiny.ped", {{"tiny.ped", "f0 i0\n" + kTinyPed.substr(27)}}, {}, kOut,
     "PLINK Input file error", 255},
    {"ped first line of three blanks", "tiny.ped", {{"tiny.ped", "f0 i0 0 0\n" + kTinyPed.substr(27)}}, {},
     kOut, "PLINK Input file error", 255},
    {"ped first line of eight blanks", "tiny.ped", {{"tiny.ped", "f0 i0 0 0 1 -9 2 2 1\n" + kTinyPed.substr(27)}},
     {}, kOut, "PLINK Input file error", 255},
    // .map, read in haploid mode
    {"map missing", "tiny.ped", {{"tiny.map", kAbsent}}, {"-x", "male:1"}, kErr,
     "Error opening .map file", 255},
    {"map line of three tokens", "tiny.ped", {{"tiny.map", "1 rs1 0 100\n1 rs2 0\n2 rs3 0 150\n"}},
     {"-x", "male:1"}, kOut, "Wrong number of fields in tiny.map, line 2 (found 3, expecting 4)", 255},
    {"map line of five tokens", "tiny.ped", {{"tiny.map", "1 rs1 0 100\n1 rs2 0 200 A\n2 rs3 0 150\n"}},
     {"-x", "male:1"}, kOut, "Wrong number of fields in tiny.map, line 2 (found 5, expecting 4)", 255},
    // This one ended with "ShouldNotReachHere()".
    {"map of three columns for the bootstrap", "tiny.ped", {{"tiny.map", "1 rs1 100\n1 rs2 200\n2 rs3 150\n"}},
     {"-B2"}, kOut, "Wrong number of fields in tiny.map, line 1 (found 3, expecting 4)", 255},
    {"map a record short", "tiny.ped", {{"tiny.map", "1 rs1 0 100\n1 rs2 0 200\n"}}, {"-x", "male:1"},
     kOut, "Map file length incorrect", 255},
    {"map a record long", "tiny.ped", {{"tiny.map", kTinyMap + "2 rs4 0 300\n"}}, {"-x", "male:1"}, kOut,
     "Map file length incorrect", 255},
    {"map chromosome X", "tiny.ped", {{"tiny.map", "1 rs1 0 100\nX rs2 0 200\n2 rs3 0 150\n"}},
     {"-x", "male:1"}, kOut, "Invalid chromosome code!  Use integers.", 255},
    // .pop
    {"pop missing", "tiny.bed", {}, {"--supervised"}, kOut, "Error reading .pop file!", 255},
    {"pop a line short", "tiny.bed", {{"tiny.pop", "A\nB\n-\n"}}, {"--supervised"}, kOut,
     {"Wrong number of lines in tiny.pop (found 3, expecting 4).", "Error reading .pop file!"}, 255},
    {"pop a line long", "tiny.bed", {{"tiny.pop", kTinyPop + "A\n"}}, {"--supervised"}, kOut,
     "Error reading .pop file!", 255},
    {"pop with one label for K 2", "tiny.bed", {{"tiny.pop", "A\nA\n-\n-\n"}}, {"--supervised"}, kOut,
     {"Expected 2 populations, but found reference individuals for 1.", "Error reading .pop file!"}, 255},
    {"pop with three labels for K 2", "tiny.bed", {{"tiny.pop", "A\nB\nC\n-\n"}}, {"--supervised"}, kOut,
     "Error reading .pop file!", 255},
    // starting values
    {"Q.in with K + 1 columns", "tiny.bed",
     {{"tiny.2.Q.in", "0.2 0.3 0.5\n0.2 0.3 0.5\n0.2 0.3 0.5\n0.2 0.3 0.5\n"}}, {"-i"}, kOut,
     {"  Read Q input from tiny.2.Q.in", "  Incorrect Q input file size", "  3 4"}, 255},
    {"Q.in with a line short", "tiny.bed", {{"tiny.2.Q.in", "0.5 0.5\n0.5 0.5\n0.5 0.5\n"}}, {"-i"}, kOut,
     "  2 3", 255},
    {"P.in with a line long", "tiny.bed", {{"tiny.2.Q.in", kQin}, {"tiny.2.P.in", kPin + "0.5 0.5\n"}},
     {"-i"}, kOut, "  Incorrect P input file size", 255},
    {"Q.in ragged and no P.in", "tiny.bed", {{"tiny.2.Q.in", "0.5 0.5\n0.5\n0.5 0.5\n0.5 0.5\n"}}, {"-i"},
     kOut, "  Could not parse tiny.2.Q.in, line 2: wrong number of values (found 1, expecting 2)", 255},
    {"no starting file", "tiny.bed", {}, {"-i"}, kOut, "Error reading input files.", 255},
    // data checks
    {"all-missing SNP", "tiny.bed", {{"tiny.bed", kSnpMajorBedHeader + "\x78\x55\xE3"}}, {}, kOut,
     {"Error: detected that all genotypes are missing for a SNP locus.",
      "Please apply quality-control filters to remove such loci."},
     255},
    {"all-missing individual", "tiny.bed", {{"tiny.bed", kSnpMajorBedHeader + "\x78\x4E\x63"}}, {}, kOut,
     "Please apply quality-control filters to remove such individuals.", 255},
    {"all-missing PED individual", "tiny.ped", {{"tiny.ped", kTinyPed.substr(0, 81) + "f3 i3 0 0 2 -9 0 0 0 0 0 0\n"}},
     {}, kOut, "Please apply quality-control filters to remove such individuals.", 255},
    {"hemizygous heterozygote", "tiny.bed", {}, {"-x", "male:1"}, kOut,
     {"Hemizygous genotypes must be coded as homozgyous for the observed allele",
      "Error for individual number 1 at SNP rs2"},
     255},
    {"hemizygous heterozygote in PED", "tiny.ped", {}, {"-x", "male:1"}, kOut,
     "Error for individual number 1 at SNP rs2", 255},
    // The sex code -9 of the first individual under the wildcard: the PED
    // twin read it as 9, and found the second individual first.
    {"hemizygous heterozygote of sex -9", "tiny.bed", {{"tiny.fam", "f0 i0 0 0 -9 -9\n" + kTinyFam.substr(15)}},
     {"-x", "*:1"}, kOut, "Error for individual number 1 at SNP rs2", 255},
    {"hemizygous heterozygote of sex -9 in PED", "tiny.ped",
     {{"tiny.ped", "f0 i0 0 0 -9 -9 2 2 1 2 1 1\n" + kTinyPed.substr(27)}}, {"-x", "*:1"}, kOut,
     "Error for individual number 1 at SNP rs2", 255},
    // the haploid option
    {"haploid value without colon", "tiny.bed", {}, {"-x", "23"}, kOut,
     "Incorrect format for haploid chromosomes", 255},
    {"haploid sex Male", "tiny.bed", {}, {"-x", "Male:1"}, kOut,
     "Incorrect sex specification for haploid option", 255},
    {"haploid chromosomes empty", "tiny.bed", {}, {"-x", "male:"}, kOut,
     "Incorrect chromosome specification for haploid option", 255},
    // a thread count the runtime cannot start (it crashed in the first parallel region)
    {"100000 threads", "tiny.bed", {}, {"-j100000"}, kOut, "Error specifying number of threads.", 255},
    // penalty settings under which the objective is not a number (the run never ended)
    {"penalty weight nan", "tiny.bed", {}, {"-l", "0,nan"}, kOut, "Invalid penalty weight: nan", 255},
    {"penalty weight 1e308", "tiny.bed", {}, {"-l", "1e308"}, kOut, "Invalid penalty weight: 1e+308", 255},
    {"epsilon 1e308", "tiny.bed", {}, {"-l", "5", "-e", "1e308"}, kOut, "Invalid epsilon: 1e308", 255},
    // option values under which a run cannot finish or produces nothing:
    // refused before any input is read
    {"101 secant conditions (the run died at iteration 101)", "tiny.bed", {}, {"-a", "qn101"}, kOut,
     "Invalid number of secant conditions: qn101", 255},
    {"empty penalty list (no pass, status 0)", "tiny.bed", {}, {"-l", ""}, kOut,
     "Empty penalty weight list: ", 255},
    {"penalty list of separators", "tiny.bed", {}, {"-l", ","}, kOut, "Empty penalty weight list: ,", 255},
    {"one bootstrap replicate (NaN errors)", "tiny.bed", {}, {"-B1", "-h1"}, kOut,
     "Invalid number of bootstrap replicates: 1", 255},
    {"one fold (every genotype hidden)", "tiny.bed", {}, {"--cv=1"}, kOut,
     "Error specifying number of folds.", 255},
    {"negative iteration count (the primed start written)", "tiny.bed", {}, {"-C", "-5"}, kOut,
     "Invalid convergence criterion string, aborting", 255},
    {"empty minor iteration count", "tiny.bed", {}, {"-B2", "-h1", "-c", ""}, kOut,
     "Invalid convergence criterion string, aborting", 255},
    {"penalty weights of one result name", "tiny.bed", {}, {"-l", "10.2,10.9"}, kOut,
     "Penalty weights 10.2 and 10.9 give the same result file name (.lambda.10)", 255},
    // 11 genotypes are observed: some folds would be empty, and a count in
    // the millions never finished.
    {"more folds than observed genotypes", "tiny.bed", {}, {"--cv=12"}, kOut,
     "Too many cross-validation folds (12): the data hold only 11 observed genotypes", 255},
    {"two million folds", "tiny.bed", {}, {"--cv=2000000"}, kOut,
     "Too many cross-validation folds (2000000): the data hold only 11 observed genotypes", 255},
    {"major criterion nan (never ends)", "tiny.bed", {}, {"-C", "nan"}, kOut,
     "Invalid convergence criterion string, aborting", 255},
    {"minor criterion nan (never ends)", "tiny.bed", {}, {"--cv=2", "-c", "nan"}, kOut,
     "Invalid convergence criterion string, aborting", 255},
    // the input name
    {"unknown extension", "tiny.txt", {{"tiny.txt", kTinyBed}}, {}, kOut,
     "Input file extension not recognized.", 255},
    {"geno input", "tiny.geno", {{"tiny.geno", "0120\n"}}, {}, kOut,
     "EIGENSTRAT file input no longer supported.  Please use PLINK .bed format.", 255},
    // A blank line between records (a .fam's gave a phantom individual, a
    // .pop's an unlabelled one), read where a blank tail is ignored.
    {"fam blank line between records", "tiny.bed", {{"tiny.fam", kTinyFam.substr(0, 15) + "\n" + kTinyFam.substr(15)}},
     {}, kOut, "Blank line in tiny.fam, line 2", 255},
    {"fam white-space first line", "tiny.bed", {{"tiny.fam", " \t\r\n" + kTinyFam}}, {}, kOut,
     "Blank line in tiny.fam, line 1", 255},
    {"bim blank line between records", "tiny.bed", {{"tiny.bim", kTinyBim.substr(0, 16) + "\n" + kTinyBim.substr(16)}},
     {}, kOut, "Blank line in tiny.bim, line 2", 255},
    {"map blank line between records", "tiny.ped",
     {{"tiny.map", kTinyMap.substr(0, 12) + " \n" + kTinyMap.substr(12)}}, {"-x", "male:1"}, kOut,
     "Blank line in tiny.map, line 2", 255},
    {"Q.in blank line between lines", "tiny.bed", {{"tiny.2.Q.in", "0.5 0.5\n\n0.5 0.5\n0.5 0.5\n0.5 0.5\n"}},
     {"-i"}, kOut, "Blank line in tiny.2.Q.in, line 2", 255},
    // Text in an encoding the readers do not parse: read byte by byte, a
    // UTF-16 .fam was 303 "individuals" of 5001 SNPs, a file of lone
    // carriage returns one line (one individual of a .fam, then "Error
    // reading .bed file").
    {"fam in UTF-16", "tiny.bed", {{"tiny.fam", utf16le(kTinyFam)}}, {}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.fam, line 1", 255},
    {"fam in UTF-16 without its mark", "tiny.bed", {{"tiny.fam", utf16le(kTinyFam, false)}}, {}, kOut,
     "NUL byte in tiny.fam, line 1", 255},
    {"bim in UTF-16 big-endian", "tiny.bed", {{"tiny.bim", "\xFE\xFF" + kTinyBim}}, {}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.bim, line 1", 255},
    {"bim in UTF-32", "tiny.bed", {{"tiny.bim", std::string("\xFF\xFE\0\0", 4) + kTinyBim}}, {}, kOut,
     "Unsupported text encoding (UTF-32 byte-order mark) in tiny.bim, line 1", 255},
    {"fam with a NUL byte", "tiny.bed", {{"tiny.fam", nulOnLine(kTinyFam, 3)}}, {}, kOut,
     "NUL byte in tiny.fam, line 3", 255},
    {"bim with a NUL byte", "tiny.bed", {{"tiny.bim", nulOnLine(kTinyBim, 2)}}, {}, kOut,
     "NUL byte in tiny.bim, line 2", 255},
    {"fam with carriage-return line ends", "tiny.bed", {{"tiny.fam", withLineEnds(kTinyFam, "\r")}},
     {"-x", "male:1"}, kOut, "Carriage return without line feed in tiny.fam, line 1", 255},
    {"bim with carriage-return line ends", "tiny.bed", {{"tiny.bim", withLineEnds(kTinyBim, "\r")}}, {},
     kOut, "Carriage return without line feed in tiny.bim, line 1", 255},
    {"fam with one carriage-return line end", "tiny.bed",
     {{"tiny.fam", kTinyFam.substr(0, 29) + "\r" + kTinyFam.substr(30)}}, {}, kOut,
     "Carriage return without line feed in tiny.fam, line 2", 255},
    {"ped in UTF-16", "tiny.ped", {{"tiny.ped", utf16le(kTinyPed)}}, {}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.ped, line 1", 255},
    {"ped with a NUL byte", "tiny.ped", {{"tiny.ped", nulOnLine(kTinyPed, 2)}}, {}, kOut,
     "NUL byte in tiny.ped, line 2", 255},
    {"ped with carriage-return line ends", "tiny.ped", {{"tiny.ped", withLineEnds(kTinyPed, "\r")}}, {}, kOut,
     "Carriage return without line feed in tiny.ped, line 1", 255},
    {"map in UTF-16", "tiny.ped", {{"tiny.map", utf16le(kTinyMap)}}, {"-x", "male:1"}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.map, line 1", 255},
    {"map with a NUL byte", "tiny.ped", {{"tiny.map", nulOnLine(kTinyMap, 3)}}, {"-x", "male:1"}, kOut,
     "NUL byte in tiny.map, line 3", 255},
    {"map with carriage-return line ends", "tiny.ped", {{"tiny.map", withLineEnds(kTinyMap, "\r")}},
     {"-x", "male:1"}, kOut, "Carriage return without line feed in tiny.map, line 1", 255},
    {"pop in UTF-16", "tiny.bed", {{"tiny.pop", utf16le(kTinyPop)}}, {"--supervised"}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.pop, line 1", 255},
    {"pop with a NUL byte", "tiny.bed", {{"tiny.pop", nulOnLine(kTinyPop, 4)}}, {"--supervised"}, kOut,
     "NUL byte in tiny.pop, line 4", 255},
    {"pop with carriage-return line ends", "tiny.bed", {{"tiny.pop", withLineEnds(kTinyPop, "\r")}},
     {"--supervised"}, kOut, "Carriage return without line feed in tiny.pop, line 1", 255},
    {"Q.in in UTF-16", "tiny.bed", {{"tiny.2.Q.in", utf16le(kQin)}}, {"-i"}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.2.Q.in, line 1", 255},
    {"P.in with carriage-return line ends", "tiny.bed", {{"tiny.2.P.in", withLineEnds(kPin, "\r")}}, {"-i"},
     kOut, "Carriage return without line feed in tiny.2.P.in, line 1", 255},
    {"Q.truth with a NUL byte", "tiny.bed", {{"tiny.2.Q.truth", nulOnLine(kQin, 2)}}, {}, kOut,
     "NUL byte in tiny.2.Q.truth, line 2", 255},
    {"P.truth in UTF-16", "tiny.bed", {{"tiny.2.P.truth", utf16le(kPin)}}, {}, kOut,
     "Unsupported text encoding (UTF-16 byte-order mark) in tiny.2.P.truth, line 1", 255},
    {"P.truth with carriage-return line ends", "tiny.bed", {{"tiny.2.P.truth", withLineEnds(kPin, "\r")}}, {},
     kOut, "Carriage return without line feed in tiny.2.P.truth, line 1", 255},
    // Starting files that are there are read or refused: random values in
    // their place were held fixed with -f or -P and written as the result.
    {"Q.in header line", "tiny.bed", {{"tiny.2.Q.in", "pop1 pop2\n" + kQin}}, {"-i", "-f", "q"}, kOut,
     "  Could not parse tiny.2.Q.in, line 1: value 1, 'pop1', is not a number", 255},
    {"Q.in nan", "tiny.bed", {{"tiny.2.Q.in", "0.5 0.5\n0.5 nan\n0.5 0.5\n0.5 0.5\n"}}, {"-i"}, kOut,
     "  Could not parse tiny.2.Q.in, line 2: value 2, 'nan', is not a number", 255},
    {"P.in 1e999", "tiny.bed", {{"tiny.2.P.in", "0.5 0.5\n0.5 0.5\n1e999 0.5\n"}}, {"-P"}, kOut,
     "  Could not parse tiny.2.P.in, line 3: value 1, '1e999', is not a finite number", 255},
    {"P.in a directory", "tiny.bed", {{"tiny.2.Q.in", kQin}, {"tiny.2.P.in", kDirectory}}, {"-i"}, kOut,
     "Error reading tiny.2.P.in", 255},
    {"fixed Q above 1", "tiny.bed", {{"tiny.2.Q.in", "0.5 0.5\n1.5 -0.5\n0.5 0.5\n0.5 0.5\n"}},
     {"-i", "-f", "q"}, kOut, "  Fixed values outside [0, 1] in tiny.2.Q.in, line 2", 255},
    {"fixed P below 0", "tiny.bed", {{"tiny.2.Q.in", kQin}, {"tiny.2.P.in", "0.5 0.5\n0.5 -0.1\n0.5 0.5\n"}},
     {"-i", "-f", "p"}, kOut, "  Fixed values outside [0, 1] in tiny.2.P.in, line 2", 255},
    {"fixed P above 1 with -P", "tiny.bed", {{"tiny.2.P.in", "0.5 0.5\n0.5 0.5\n0.5 1.001\n"}}, {"-P"}, kOut,
     "  Fixed values outside [0, 1] in tiny.2.P.in, line 3", 255},
    // A matrix held fixed, or with the point estimation skipped, whose file
    // is missing: it was drawn at random, and written (and bootstrapped) as
    // the estimate.
    {"-P with only Q.in", "tiny.bed", {{"tiny.2.Q.in", kQin}}, {"-P"}, kOut,
     "  Could not read fixed P from tiny.2.P.in", 255},
    {"-f q without Q.in", "tiny.bed", {{"tiny.2.P.in", kPin}}, {"-i", "-f", "q"}, kOut,
     "  Could not read fixed Q from tiny.2.Q.in", 255},
    {"-f pq with only P.in", "tiny.bed", {{"tiny.2.P.in", kPin}}, {"-i", "-f", "pq"}, kOut,
     "  Could not read fixed Q from tiny.2.Q.in", 255},
    {"-z without Q.in", "tiny.bed", {{"tiny.2.P.in", kPin}}, {"-z", "-i", "-B2", "-h1"}, kOut,
     "  Could not read Q from tiny.2.Q.in, needed to skip point estimation", 255},
    {"-z without P.in", "tiny.bed", {{"tiny.2.Q.in", kQin}}, {"-z", "-Q"}, kOut,
     "  Could not read P from tiny.2.P.in, needed to skip point estimation", 255},
    // The .fam and the .ped are read twice: from a pipe the second pass read
    // nothing.
    {"fam from a pipe", "tiny.bed", {{"tiny.fam", kPipe + kTinyFam}}, {"-x", "male:1"}, kOut,
     "Cannot rewind tiny.fam to read it again: give a regular file, not a pipe", 255},
    {"ped from a pipe", "tiny.ped", {{"tiny.ped", kPipe + kTinyPed}}, {}, kOut,
     "Cannot rewind tiny.ped to read it again: give a regular file, not a pipe", 255},
};

TEST(BadInput, EachEndsWithItsMessageAndLeavesNoResult) {
  for (const BadInputCase& c : kBadInputs) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Pipes pipes;
    const std::vector<std::string> written = writeFileset(dir, c.changes, &pipes);
    std::vector<std::string> args = c.options;
    args.push_back(c.input);
    args.push_back("2");
    const RunResult r = runKelvanore(args, dir.path(), 60);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const std::vector<std::string> lines = splitLines(c.stream == kOut ? r.out : r.err);
    const size_t shown = std::min(lines.size(), c.tail.lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(shown), lines.end()), c.tail.lines)
        << r.out << r.err;
    // Nothing beside the input: no result file, not even an empty one.
    EXPECT_EQ(namesIn(dir.path()), written);
  }
}

// Inputs the fuzz targets found (or their hand-made relatives), as shipped
// fixtures: each must end with its message.
TEST(BadInput, FuzzFindingsStayFixed) {
  struct FindingCase {
    const char* fixture;
    const char* lastLine;
  };
  const FindingCase cases[] = {
      {"fuzz-ped-leading-blank.ped", "PLINK Input file error"},
      {"fuzz-ped-no-snps.ped", "Please apply quality-control filters to remove such individuals."},
      {"ped-lone-allele.ped", "PLINK Input file error"},
      {"ped-glued-allele.ped", "PLINK Input file error"},
  };
  for (const FindingCase& c : cases) {
    SCOPED_TRACE(c.fixture);
    TempDir dir;
    const std::string name = c.fixture;
    copyFile(testData(name), dir.file(name));
    const RunResult r = runKelvanore({name, "2"}, dir.path(), 60);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_EQ(lastLine(r.out), c.lastLine) << r.out << r.err;
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{name});
  }
}

// The same records in another layout are the same data: a last line
// without its line end, blank lines or white space after the last record, a
// byte-order mark. The run ends normally with the results of the plain
// fileset, byte for byte (a blank line at the end of a .fam was an
// individual decoded from the .bed's padding bits, and shifted every
// estimate).
TEST(BadInput, SameDataInAnotherLayoutIsKept) {
  struct KeptCase {
    const char* name;
    const char* input;
    Files changes;
    std::vector<std::string> options;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const std::vector<std::string> supervised = {"--supervised"};
  const std::vector<std::string> fromFiles = {"-i"};
  const std::vector<std::string> haploid = {"-x", "female:3"};
  const KeptCase cases[] = {
      {"fam without final line feed", "tiny.bed", {{"tiny.fam", kTinyFam.substr(0, kTinyFam.size() - 1)}}, {}},
      {"bim without final line feed", "tiny.bed", {{"tiny.bim", kTinyBim.substr(0, kTinyBim.size() - 1)}}, {}},
      {"ped without final line feed", "tiny.ped", {{"tiny.ped", kTinyPed.substr(0, kTinyPed.size() - 1)}}, {}},
      {"map without final line feed", "tiny.ped", {{"tiny.map", kTinyMap.substr(0, kTinyMap.size() - 1)}}, haploid},
      {"fam blank line at the end", "tiny.bed", {{"tiny.fam", kTinyFam + "\n"}}, {}},
      {"fam white space after the last line end", "tiny.bed", {{"tiny.fam", kTinyFam + "  "}}, {}},
      {"bim blank lines at the end", "tiny.bed", {{"tiny.bim", kTinyBim + "\n\t\n"}}, {}},
      {"ped blank lines at the end", "tiny.ped", {{"tiny.ped", kTinyPed + "\r\n\n"}}, {}},
      {"ped white space after the last line end", "tiny.ped", {{"tiny.ped", kTinyPed + " \t"}}, {}},
      {"map blank line at the end", "tiny.ped", {{"tiny.map", kTinyMap + "\n"}}, haploid},
      {"pop blank line at the end", "tiny.bed", {{"tiny.pop", kTinyPop + "\n"}}, supervised},
      // An individual without a label, as files of this format mark it too.
      {"pop empty and blank lines for unlabelled individuals", "tiny.bed", {{"tiny.pop", "A\nB\n\n \t\n"}},
       supervised},
      {"starting files with blank tails", "tiny.bed",
       {{"tiny.2.Q.in", kQin + "\n"}, {"tiny.2.P.in", kPin + " \n"}}, fromFiles},
      {"fam byte-order mark", "tiny.bed", {{"tiny.fam", bom + kTinyFam}}, {}},
      {"bim byte-order mark", "tiny.bed", {{"tiny.bim", bom + kTinyBim}}, {}},
      {"ped byte-order mark", "tiny.ped", {{"tiny.ped", bom + kTinyPed}}, {}},
      {"map byte-order mark", "tiny.ped", {{"tiny.map", bom + kTinyMap}}, haploid},
      {"pop byte-order mark", "tiny.bed", {{"tiny.pop", bom + kTinyPop}}, supervised},
      {"starting files with byte-order marks", "tiny.bed",
       {{"tiny.2.Q.in", bom + kQin}, {"tiny.2.P.in", bom + kPin}}, fromFiles},
      {"fam with CRLF line ends", "tiny.bed", {{"tiny.fam", withLineEnds(kTinyFam, "\r\n")}}, {}},
      {"bim with CRLF line ends", "tiny.bed", {{"tiny.bim", withLineEnds(kTinyBim, "\r\n")}}, {}},
      {"ped with CRLF line ends", "tiny.ped", {{"tiny.ped", withLineEnds(kTinyPed, "\r\n")}}, {}},
      {"map with CRLF line ends", "tiny.ped", {{"tiny.map", withLineEnds(kTinyMap, "\r\n")}}, haploid},
      {"pop with CRLF line ends", "tiny.bed", {{"tiny.pop", withLineEnds(kTinyPop, "\r\n")}}, supervised},
      {"starting files with CRLF line ends", "tiny.bed",
       {{"tiny.2.Q.in", withLineEnds(kQin, "\r\n")}, {"tiny.2.P.in", withLineEnds(kPin, "\r\n")}}, fromFiles},
      // The last byte of a file may be a carriage return, as it may be any
      // white space.
      {"fam ending in a carriage return", "tiny.bed", {{"tiny.fam", kTinyFam.substr(0, kTinyFam.size() - 1) + "\r"}}, {}},
  };
  // The plain fileset's results, once per input and options.
  std::map<std::string, std::pair<std::string, std::string>> plain;
  const auto run = [](const TempDir& dir, const KeptCase& c) {
    std::vector<std::string> args = c.options;
    args.push_back(c.input);
    args.push_back("2");
    return runKelvanore(args, dir.path(), 120);
  };
  for (const KeptCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string key = c.input;
    for (const std::string& o : c.options) key += " " + o;
    if (!plain.count(key)) {
      TempDir dir;
      Files files = {{"tiny.pop", kTinyPop}, {"tiny.2.Q.in", kQin}, {"tiny.2.P.in", kPin}};
      writeFileset(dir, files);
      const RunResult r = run(dir, c);
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      plain[key] = {readFile(dir.file("tiny.2.Q")), readFile(dir.file("tiny.2.P"))};
    }
    TempDir dir;
    Files files = {{"tiny.pop", kTinyPop}, {"tiny.2.Q.in", kQin}, {"tiny.2.P.in", kPin}};
    for (const auto& change : c.changes) files[change.first] = change.second;
    writeFileset(dir, files);
    const RunResult r = run(dir, c);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> lines = splitLines(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Size of G: 4x3"), lines.end()) << r.out;
    if (!fileExists(dir.file("tiny.2.Q")) || !fileExists(dir.file("tiny.2.P"))) {
      ADD_FAILURE() << "no result files\n" << r.out;
      continue;
    }
    EXPECT_EQ(readFile(dir.file("tiny.2.Q")), plain[key].first);
    EXPECT_EQ(readFile(dir.file("tiny.2.P")), plain[key].second);
  }
}

// Runs the executable in cwd with 1 GB of address space.
RunResult runWithOneGigabyte(const std::vector<std::string>& args, const std::string& cwd) {
  return runKelvanoreWithLimits(args, {{RLIMIT_AS, uint64_t(1) << 30}}, cwd, {}, 120);
}

// A genotype matrix larger than the address space allows: one line and a
// failure status, no crash.
TEST(BadInput, UnallocatableGenotypeMatrixIsOneLine) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#endif
  // 100000 individuals x 20000 SNPs need 2 GB in one piece; the run may have 1 GB.
  TempDir dir;
  std::string bim;
  for (int l = 0; l < 20000; ++l) bim += "1 s" + std::to_string(l) + " 0 " + std::to_string(l + 1) + " A G\n";
  std::string fam;
  for (int i = 0; i < 100000; ++i) fam += "f i 0 0 1 -9\n";
  writeBedFileset(dir.file("big"), bim, fam, kSnpMajorBedHeader);
  const RunResult r = runWithOneGigabyte({"big.bed", "2"}, dir.path());
  // The run's own out-of-memory stop, not the kernel's or the allocator's.
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_EQ(lastLine(r.out).rfind("Out of memory: ", 0), 0u) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fileExists(dir.file("big.2.Q")));
}

// An analysis that fails after the point estimation (here a bootstrap whose
// table of 10^8 replicates cannot be had) must not take the estimate with
// it: the Q and P files are those of a run without the bootstrap, and no
// standard-error file stands beside them.
TEST(BadInput, EstimateSurvivesAFailedBootstrap) {
#ifdef KELVANORE_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#endif
  TempDir plain, failed;
  writeFileset(plain, {});
  ASSERT_EQ(runKelvanore({"tiny.bed", "2"}, plain.path(), 60).status, 0);
  const std::vector<std::string> written = writeFileset(failed, {});
  const RunResult r = runWithOneGigabyte({"-B100000000", "-h", "1", "tiny.bed", "2"}, failed.path());
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_EQ(lastLine(r.out).rfind("Out of memory: ", 0), 0u) << r.out << r.err;
  std::vector<std::string> expected = written;
  expected.insert(expected.end(), {"tiny.2.Q", "tiny.2.P"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(namesIn(failed.path()), expected);
  EXPECT_EQ(readFile(failed.file("tiny.2.Q")), readFile(plain.file("tiny.2.Q")));
  EXPECT_EQ(readFile(failed.file("tiny.2.P")), readFile(plain.file("tiny.2.P")));
}

}  // namespace
