#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "options.h"
#include "utils.h"

namespace {

struct ExitCalled {
  int status;
};

bool capturing = false;

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

// Every exit() of the linked code lands here (-Wl,--wrap=exit).
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (capturing) throw ExitCalled{status};
  __real_exit(status);
}

Outcome runReader(const std::function<void()>& body) {
  Outcome outcome;
  std::ostringstream out, err;
  std::streambuf* savedOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* savedErr = std::cerr.rdbuf(err.rdbuf());
  capturing = true;
  try {
    body();
  } catch (const ExitCalled& e) {
    outcome.exited = true;
    outcome.status = e.status;
  }
  capturing = false;
  std::cout.rdbuf(savedOut);
  std::cerr.rdbuf(savedErr);
  // A stream that failed while captured must not stay failed for the next input.
  std::cout.clear();
  std::cerr.clear();
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

void finding(const std::string& what, const Outcome& outcome) {
  std::fprintf(stderr, "\nFINDING: %s\n  exited: %d, status: %d\n--- stdout\n%s--- stderr\n%s---\n",
               what.c_str(), outcome.exited ? 1 : 0, outcome.status, outcome.out.c_str(),
               outcome.err.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string lastLine(const std::string& text) {
  std::string t = text;
  if (!t.empty() && t.back() == '\n') t.pop_back();
  const std::size_t at = t.rfind('\n');
  return at == std::string::npos ? t : t.substr(at + 1);
}

bool isOneOf(const std::string& line, const std::vector<std::string>& exact,
             const std::vector<std::string>& prefixes) {
  for (const auto& e : exact)
    if (line == e) return true;
  for (const auto& p : prefixes)
    if (line.compare(0, p.size(), p) == 0) return true;
  return false;
}

std::vector<std::string> splitParts(const uint8_t* data, std::size_t size, std::size_t maxParts) {
  static const std::string kSeparator = "#%#\n";
  const std::string all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (parts.size() + 1 < maxParts) {
    const std::size_t at = all.find(kSeparator, from);
    if (at == std::string::npos) break;
    parts.push_back(all.substr(from, at - from));
    from = at + kSeparator.size();
  }
  parts.push_back(all.substr(from));
  parts.resize(maxParts);
  return parts;
}

const std::string& scratchDir() {
  static const std::string dir = [] {
    char name[] = "/tmp/kelvanore-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return std::string(name);
  }();
  return dir;
}

void writeScratch(const std::string& name, const std::string& content) {
  std::ofstream f((scratchDir() + "/" + name).c_str(), std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", name.c_str());
    std::abort();
  }
}

void removeScratch(const std::string& name) { unlink((scratchDir() + "/" + name).c_str()); }

void resetRunState() {
  delete N;
  N = nullptr;
  for (DMatrix** m : {&Qt, &Qt_old, &P, &P_old, &Qt_truth, &P_truth, &Qt_se, &Qt_bias}) {
    delete *m;
    *m = nullptr;
  }
  delete monomorphics;
  monomorphics = nullptr;
  delete[] reference_pop;
  reference_pop = nullptr;
  I = 0;
  L = 0;
  K = 0;
  haploidModeEnabled = false;
  haploid_sexes.clear();
  haploid_chrs.clear();
}

void pointInputAtScratch(const char* suffix) {
  // The option parser hands the readers heap copies that live for the run;
  // these live for the process.
  static std::string base = scratchDir() + "/set";
  static std::string prefix = "set";
  static std::string suffixCopy;
  suffixCopy = suffix;
  Options::inputFileSuffix = &suffixCopy[0];
  Options::inputFileBase = &base[0];
  Options::inputFilePrefix = &prefix[0];
  Options::supervised = false;
  K = 2;
}

std::string recordsOf(const std::string& text, int64_t& blankLine) {
  static const std::string kByteOrderMark = "\xEF\xBB\xBF";
  const bool marked = text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
  const std::size_t start = marked ? kByteOrderMark.size() : 0;
  std::string records;
  int64_t number = 0, firstBlank = 0;
  blankLine = 0;
  for (std::size_t from = start; from < text.size();) {
    std::size_t end = text.find('\n', from);
    const bool lineEnd = end != std::string::npos;
    if (!lineEnd) end = text.size();
    ++number;
    bool blank = true;
    for (std::size_t p = from; p < end; ++p)
      if (std::string(" \t\r\v\f").find(text[p]) == std::string::npos) blank = false;
    if (blank) {
      if (firstBlank == 0) firstBlank = number;
    } else if (firstBlank != 0) {
      blankLine = firstBlank;
      return records;
    } else {
      records.append(text, from, end - from + (lineEnd ? 1 : 0));
    }
    from = end + 1;
  }
  return records;
}

void checkStop(const Outcome& outcome, const std::vector<std::string>& messages,
               const std::vector<std::string>& prefixes) {
  if (outcome.status != 255) finding("exit status other than 255", outcome);
  if (!outcome.err.empty() || !isOneOf(lastLine(outcome.out), messages, prefixes))
    finding("unexpected message", outcome);
}
