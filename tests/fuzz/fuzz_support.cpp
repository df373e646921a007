#include "fuzz_support.h"
#include "options.h"
#include "run_state.h"
#include "types.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

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

bool isReaderWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t at = text.find('\n', from);
    if (at == std::string::npos) at = text.size();
    lines.push_back(text.substr(from, at - from));
    from = at + 1;
  }
  return lines;
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t p = 0;
  while (p < line.size()) {
    while (p < line.size() && isReaderWhite(line[p])) ++p;
    const std::size_t start = p;
    while (p < line.size() && !isReaderWhite(line[p])) ++p;
    if (p > start) fields.push_back(line.substr(start, p - start));
  }
  return fields;
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

std::string recordsOf(const std::string& text, EarlyEnd& end, bool blankLinesAreRecords) {
  static const std::string kByteOrderMark = "\xEF\xBB\xBF";
  end = EarlyEnd();
  const auto startsWith = [&](const char* mark, std::size_t size) {
    return text.compare(0, size, std::string(mark, size)) == 0;
  };
  if (startsWith("\xFF\xFE\0\0", 4) || startsWith("\0\0\xFE\xFF", 4)) {
    end = {"Unsupported text encoding (UTF-32 byte-order mark) in ", 1};
    return std::string();
  }
  if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) {
    end = {"Unsupported text encoding (UTF-16 byte-order mark) in ", 1};
    return std::string();
  }
  const bool marked = text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
  const std::size_t start = marked ? kByteOrderMark.size() : 0;
  std::string records;
  int64_t number = 0, firstBlank = 0;
  for (std::size_t from = start; from < text.size();) {
    std::size_t stop = text.find('\n', from);
    const bool lineEnd = stop != std::string::npos;
    if (!lineEnd) stop = text.size();
    ++number;
    bool blank = true, nul = false, loneCr = false;
    for (std::size_t p = from; p < stop; ++p) {
      if (std::string(" \t\r\v\f").find(text[p]) == std::string::npos) blank = false;
      if (text[p] == '\0') nul = true;
      if (text[p] == '\r' && p + 1 < stop) loneCr = true;
    }
    if (blank && !blankLinesAreRecords) {
      if (firstBlank == 0) firstBlank = number;
    } else if (firstBlank != 0) {
      end = {"Blank line in ", firstBlank};
      return records;
    } else if (nul) {
      end = {"NUL byte in ", number};
      return records;
    } else if (loneCr) {
      end = {"Carriage return without line feed in ", number};
      return records;
    } else {
      records.append(text, from, stop - from + (lineEnd ? 1 : 0));
    }
    from = stop + 1;
  }
  return records;
}

std::vector<std::string> withEarlyEnds(std::vector<std::string> prefixes) {
  prefixes.insert(prefixes.end(), {"Blank line in ", "Unsupported text encoding (UTF-16 byte-order mark) in ",
                                   "Unsupported text encoding (UTF-32 byte-order mark) in ", "NUL byte in ",
                                   "Carriage return without line feed in "});
  return prefixes;
}

void checkStop(const Outcome& outcome, const std::vector<std::string>& messages,
               const std::vector<std::string>& prefixes) {
  if (outcome.status != 255) finding("exit status other than 255", outcome);
  if (!outcome.err.empty() || !isOneOf(lastLine(outcome.out), messages, prefixes))
    finding("unexpected message", outcome);
}
