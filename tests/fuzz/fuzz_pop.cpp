// The population label file: the input is the .pop, then, after "#%#\n",
// two bytes that give I and K. The labels must come out numbered by first
// appearance, and a refusal must print the detail that explains it.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "popfile.h"
#include "run_state.h"

namespace {

bool isLabelStart(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string base = scratchDir() + "/set";
  const std::vector<std::string> parts = splitParts(data, size, 2);
  resetRunState();
  writeScratch("set.pop", parts[0]);
  // Up to 15 individuals and 1 to 8 populations: enough for every branch.
  I = parts[1].size() > 0 ? static_cast<unsigned char>(parts[1][0]) % 16 : 4;
  K = parts[1].size() > 1 ? 1 + static_cast<unsigned char>(parts[1][1]) % 8 : 2;

  // The expected labels, independently.
  std::vector<int> expected;
  std::map<std::string, int> indexOf;
  EarlyEnd early;
  const std::string text = recordsOf(parts[0], early, true);
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    // A blank line is an individual without a label, up to the I-th line;
    // after it, the end of the file.
    bool blank = true;
    for (std::size_t c = from; c < end; ++c) blank = blank && isReaderWhite(text[c]);
    if (blank && static_cast<int>(expected.size()) >= I) {
      from = end + 1;
      continue;
    }
    std::size_t p = from;
    while (p < end && isReaderWhite(text[p])) ++p;
    std::size_t q = p;
    while (q < end && !isReaderWhite(text[q])) ++q;
    int population = -1;
    if (q > p && isLabelStart(text[p])) {
      const auto it = indexOf.emplace(text.substr(p, q - p), static_cast<int>(indexOf.size())).first;
      population = it->second;
    }
    expected.push_back(population);
    from = end + 1;
  }
  const int lines = static_cast<int>(expected.size());

  int result = -1;
  const Outcome o = runReader([&] { result = readPopFile(base); });
  if (!early.what.empty()) {
    // A line that is not text the reader parses ends the run before any
    // count is checked.
    if (!o.exited || o.status != 255 ||
        o.out != early.what + base + ".pop, line " + std::to_string(early.line) + "\n")
      finding("records ending early not refused with the line's number", o);
    resetRunState();
    return 0;
  }
  if (o.exited) finding("the .pop reader ended the run", o);
  std::string detail;
  if (lines != I)
    detail = "Wrong number of lines in " + base + ".pop (found " + std::to_string(lines) + ", expecting " +
             std::to_string(I) + ").\n";
  else if (static_cast<int>(indexOf.size()) != K)
    detail = "Expected " + std::to_string(K) + " populations, but found reference individuals for " +
             std::to_string(indexOf.size()) + ".\n";
  if (result != (detail.empty() ? 0 : 1)) finding("wrong result", o);
  if (o.out != detail || !o.err.empty()) finding("wrong detail line", o);
  if (result == 0) {
    if (!reference_pop) finding("no reference populations after success", o);
    for (int i = 0; i < I; ++i)
      if (reference_pop[i] != expected[i] || reference_pop[i] >= K) finding("wrong population index", o);
  }
  resetRunState();
  return 0;
}
