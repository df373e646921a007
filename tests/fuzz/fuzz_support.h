// Support for the fuzz targets: the readers end the process on every input
// error, so a target must turn exit() into something it can return from.
//
// The targets are linked with -Wl,--wrap=exit: while a reader runs inside
// runReader(), every exit() of the program's own code throws ExitCalled
// instead, and the exception unwinds the reader as a return would, closing
// its streams and freeing its locals (a longjmp would leak both on every
// input, and a forked child per input would hide its coverage from the
// fuzzer). The program's code throws no exceptions of its own and catches
// only the specific types it expects, so nothing stops ExitCalled on its way
// back. Everything the fuzzer and the sanitizers watch for still ends the
// process: a sanitizer report, a crash, an uncaught exception, a hang
// (-timeout), a large allocation (-malloc_limit_mb), and every breach of an
// oracle below, which calls finding() and so abort().
#ifndef KELVANORE_FUZZ_SUPPORT_H
#define KELVANORE_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Outcome {
  bool exited = false;  // the reader called exit()
  int status = 0;       // its status when it did
  std::string out;      // what it wrote to std::cout
  std::string err;      // what it wrote to std::cerr
};

// Runs body with std::cout and std::cerr captured and exit() turned into a
// return (see above).
Outcome runReader(const std::function<void()>& body);

// Reports a breach of an oracle with the reader's output and aborts, which
// the fuzzer records as a crash with its input.
[[noreturn]] void finding(const std::string& what, const Outcome& outcome);

// White space as the readers take it: blank, tab, CR, LF, VT, FF.
bool isReaderWhite(char c);
// The lines of text without their line ends (a last line without one
// included).
std::vector<std::string> linesOf(const std::string& text);
// The fields of a line: the runs of characters between white space.
std::vector<std::string> fieldsOf(const std::string& line);

// The last line of text (without its line end); empty for empty text.
std::string lastLine(const std::string& text);

// Whether line is one of the exact messages or starts with one of the
// prefixes.
bool isOneOf(const std::string& line, const std::vector<std::string>& exact,
             const std::vector<std::string>& prefixes = {});

// Why a text input's records end before the file does: the readers then
// stop with what, the file's name, ", line " and line.
struct EarlyEnd {
  std::string what;  // empty: the records run to the end of the file
  int64_t line = 0;
};

// The records of a text input as every reader sees them, modelled apart
// from the readers: a byte-order mark at the start removed, blank lines
// (empty or white space only) at the end dropped. The records end early,
// before the line named in end, at a blank line that a record follows
// ("Blank line in "), at a UTF-16 or UTF-32 byte-order mark ("Unsupported
// text encoding (UTF-16 byte-order mark) in ", or UTF-32), or at a record
// line that holds a NUL byte ("NUL byte in ") or a carriage return with a
// byte other than a line feed after it ("Carriage return without line
// feed in "). Where blank lines are records (the .pop), they are kept as
// lines like any other.
std::string recordsOf(const std::string& text, EarlyEnd& end, bool blankLinesAreRecords = false);

// The prefixes and the messages of an early end, for an oracle's list of
// message prefixes.
std::vector<std::string> withEarlyEnds(std::vector<std::string> prefixes);

// The input cut into parts at each "#%#\n" (at most maxParts parts: the last
// keeps any further separators); missing parts are empty.
std::vector<std::string> splitParts(const uint8_t* data, std::size_t size, std::size_t maxParts);

// A scratch directory of this process, made once and emptied of the named
// files before each input.
const std::string& scratchDir();
void writeScratch(const std::string& name, const std::string& content);
void removeScratch(const std::string& name);

// Points the input dispatch at the scratch fileset "set.<suffix>" (as the
// option parser would for that input file), unsupervised, with K = 2.
void pointInputAtScratch(const char* suffix);

// The oracle of a reader that stopped the run: status 255, nothing on
// standard error, and a last line that is one of its own messages.
void checkStop(const Outcome& outcome, const std::vector<std::string>& messages,
               const std::vector<std::string>& prefixes);

// Frees and clears the run state that the readers create or read, so that
// each input starts from a fresh process's state.
void resetRunState();

#endif
