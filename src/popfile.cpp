#include "popfile.h"

#include <algorithm>
#include <cstdint>
#include <istream>
#include <string>
#include <unordered_map>

#include "run_state.h"
#include "stops.h"
#include "text_input.h"
#include "utils.h"

namespace {

bool isAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

int readPopFile(const std::string& base) {
  const std::string name = base + ".pop";
  TextInput text(name, TextInput::kBlankLinesHandedOn);
  if (!text.is_open()) return 1;
  std::istream pop(&text);

  {
    const AllocationName allocating("the reference populations (" + to_string(I) + ")");
    int* const labels = new int[static_cast<std::size_t>(std::max(I, 0))];
    // The run state owns the array: the one of an earlier read is released.
    delete[] reference_pop;
    reference_pop = labels;
  }

  std::unordered_map<std::string, int> indexOf;
  int64_t n = 0;
  std::string line;
  while (std::getline(pop, line)) {
    // A blank line is an individual without a label; past the I-th line it
    // is the end of the file that an editor left, not an individual more.
    if (n >= I && isBlank(line)) continue;
    ++n;
    std::size_t p = 0;
    while (p < line.size() && isWhite(line[p])) ++p;
    std::size_t end = p;
    while (end < line.size() && !isWhite(line[end])) ++end;
    int population = -1;
    if (end > p && isAsciiAlnum(line[p])) {
      const auto inserted =
          indexOf.emplace(line.substr(p, end - p), static_cast<int>(indexOf.size()));
      population = inserted.first->second;
    }
    if (n <= I) reference_pop[n - 1] = population;
  }
  text.checkEnd();

  if (n != I) {
    printLine("Wrong number of lines in " + name + " (found " + std::to_string(n) +
              ", expecting " + to_string(I) + ").");
    return 1;
  }
  if (static_cast<int64_t>(indexOf.size()) != K) {
    printLine("Expected " + to_string(K) + " populations, but found reference individuals for " +
              std::to_string(indexOf.size()) + ".");
    return 1;
  }
  return 0;
}
