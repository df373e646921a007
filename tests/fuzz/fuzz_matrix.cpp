// Text matrices: the input is a starting Q, then, after "#%#\n", a starting
// P, read by the matrix reader alone and through the input dispatch beside a
// fixed 4 x 3 bed fileset with K = 2. A part that is missing (no separator
// before it) is a file that does not exist.
#include <cstdint>
#include <string>
#include <vector>

#include "fileio.h"
#include "fuzz_support.h"
#include "matrix_files.h"
#include "options.h"
#include "run_state.h"
#include "types.h"

namespace {

char kSuffix[] = "bed";

// The lines of a text matrix's records; -1 when the records end early (a
// blank line, a NUL byte, ...), which the reader refuses.
int countLines(const std::string& file) {
  EarlyEnd early;
  const std::string text = recordsOf(file, early);
  if (!early.what.empty()) return -1;
  int lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

// The reader alone: a matrix of the file's shape, or 1 with the pointer untouched.
void checkReader(const std::string& name, const std::string& text) {
  DMatrix* sentinel = reinterpret_cast<DMatrix*>(static_cast<uintptr_t>(0x10));
  DMatrix* M = sentinel;
  int result = -1;
  const Outcome o = runReader([&] { result = inputMatrix(name, &M, true); });
  if (o.exited || !o.out.empty() || !o.err.empty()) finding("the matrix reader printed or ended the run", o);
  if (result == 1) {
    if (M != sentinel) finding("a failed read changed the pointer", o);
    return;
  }
  if (result != 0 || M == sentinel || M == nullptr) finding("bad result", o);
  const int lines = countLines(text);
  if (lines < 0) finding("records that end early accepted", o);
  if (M->size2() != static_cast<std::size_t>(lines) || (lines > 0 && M->size1() == 0))
    finding("matrix shape differs from the file's lines", o);
  delete M;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string base = [] {
    writeScratch("set.bim", "1 rs1 0 100 A G\n1 rs2 0 200 A G\n2 rs3 0 150 A G\n");
    writeScratch("set.fam", "f0 i0 0 0 1 -9\nf1 i1 0 0 2 -9\nf2 i2 0 0 2 -9\nf3 i3 0 0 2 -9\n");
    writeScratch("set.bed", std::string("\x6C\x1B\x01\x78\x8E\xE3", 6));
    return scratchDir() + "/set";
  }();
  static std::string baseText = base;
  // The starting files are looked for under the prefix, a path here.
  static std::string prefixText = base;
  const std::string all(reinterpret_cast<const char*>(data), size);
  const bool hasP = all.find("#%#\n") != std::string::npos;
  const std::vector<std::string> parts = splitParts(data, size, 2);
  resetRunState();
  writeScratch("set.2.Q.in", parts[0]);
  if (hasP)
    writeScratch("set.2.P.in", parts[1]);
  else
    removeScratch("set.2.P.in");

  checkReader(base + ".2.Q.in", parts[0]);
  if (hasP) checkReader(base + ".2.P.in", parts[1]);

  Options::inputFileSuffix = kSuffix;
  Options::inputFileBase = &baseText[0];
  Options::inputFilePrefix = &prefixText[0];
  Options::supervised = false;
  K = 2;
  DatasetMetadata meta;
  int result = 0;
  const Outcome o = runReader([&] { result = readInputFiles(1, meta); });
  if (o.exited) {
    if (o.status != 255) finding("exit status other than 255", o);
    const std::string last = lastLine(o.out);
    const bool qSize = o.out.find("  Incorrect Q input file size\n") != std::string::npos;
    static const std::vector<std::string> kPrefixes = withEarlyEnds({"  Could not parse "});
    if (!isOneOf(last, {"  Incorrect P input file size"}, kPrefixes) &&
        !(qSize && last.compare(0, 2, "  ") == 0))
      finding("unexpected message", o);
  } else if (result != 0) {
    if (Qt || P) finding("-1 with a starting matrix read", o);
  } else {
    if (!Qt && !P) finding("success without a starting matrix", o);
    if (Qt && (Qt->size1() != 2 || Qt->size2() != 4 || !Qt_old || Qt_old == Qt)) finding("bad starting Q", o);
    if (P && (P->size1() != 2 || P->size2() != 3 || !P_old || P_old == P)) finding("bad starting P", o);
  }
  resetRunState();
  return 0;
}
