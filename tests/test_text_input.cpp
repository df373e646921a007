// How every text input is read: the records a reader sees, and why an input ends.
#include "dir_util.h"
#include "e2e_util.h"
#include "fileio.h"
#include "file_fixture.h"
#include "fileset_util.h"
#include "genotypes.h"
#include "matrix_files.h"
#include "matrix_util.h"
#include "options.h"
#include "reader_fixture.h"
#include "result_files.h"
#include "run_state.h"
#include "text_input.h"
#include "types.h"
#include "utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

// TextInput is the reader's class; its suite takes the name with Test.
using TextInputTest = FileFixture;

// ---- TextInput ------------------------------------------------------------

// What a reader sees of a file through TextInput, and why the input ended;
// a second pass sees the same.
TEST_F(TextInputTest, HandsOnTheRecords) {
  struct Case {
    const char* name;
    std::string text;
    std::string seen;
    TextInput::Ending ending;
    int64_t endingLine;
    bool blankLinesHandedOn = false;  // as the .pop reader asks
  };
  const std::string bom = "\xEF\xBB\xBF";
  using namespace std::string_literals;
  const Case cases[] = {
      {"plain", "a b\nc d\n", "a b\nc d\n", TextInput::kEnd, 0},
      {"no final line feed", "a\nb", "a\nb", TextInput::kEnd, 0},
      {"carriage returns kept", "a\r\nb\r\n", "a\r\nb\r\n", TextInput::kEnd, 0},
      {"empty", "", "", TextInput::kEnd, 0},
      {"blank tail", "a\n\n \t\r\n\n", "a\n", TextInput::kEnd, 0},
      {"white space after the last line end", "a\n \t", "a\n", TextInput::kEnd, 0},
      {"only blank lines", "\n  \n", "", TextInput::kEnd, 0},
      {"byte-order mark", bom + "a\nb\n", "a\nb\n", TextInput::kEnd, 0},
      {"byte-order mark alone", bom, "", TextInput::kEnd, 0},
      {"byte-order mark after the start is data", "a\n" + bom + "b\n", "a\n" + bom + "b\n",
       TextInput::kEnd, 0},
      {"blank line between records", "a\nb\n\nc\n\n", "a\nb\n", TextInput::kBlankLine, 3},
      {"white-space line between records", "a\n \r\n\t\nb", "a\n", TextInput::kBlankLine, 2},
      {"blank first line", "\na\n", "", TextInput::kBlankLine, 1},
      {"byte-order mark on a line of its own", bom + "\na\n", "", TextInput::kBlankLine, 1},
      // Text these readers cannot parse ends the input at its line.
      {"UTF-16 little-endian", "\xFF\xFE" "a\0\n\0b\0\n\0"s, "", TextInput::kUtf16Mark, 1},
      {"UTF-16 big-endian", "\xFE\xFF\0a\0\n\0b\0\n"s, "", TextInput::kUtf16Mark, 1},
      {"UTF-32 little-endian", "\xFF\xFE\0\0a\0\0\0\n\0\0\0"s, "", TextInput::kUtf32Mark, 1},
      {"UTF-32 big-endian", "\0\0\xFE\xFF\0\0\0a\0\0\0\n"s, "", TextInput::kUtf32Mark, 1},
      {"UTF-16 without a mark", "a\0 \0b\0\n\0"s, "", TextInput::kNulByte, 1},
      {"NUL byte", "a\nb\0c\nd\n"s, "a\n", TextInput::kNulByte, 2},
      {"NUL byte after a byte-order mark", bom + "\0\n"s, "", TextInput::kNulByte, 1},
      {"carriage returns only", "a\rb\rc\r", "", TextInput::kLoneCarriageReturn, 1},
      {"lone carriage return inside a line", "a\r\nb\rc\r\n", "a\r\n", TextInput::kLoneCarriageReturn, 2},
      {"two carriage returns before a line feed", "a\r\r\nb\n", "", TextInput::kLoneCarriageReturn, 1},
      {"carriage return ending the file", "a\r\nb\r", "a\r\nb\r", TextInput::kEnd, 0},
      {"carriage returns in the blank tail", "a\n\r\r \n\r", "a\n", TextInput::kEnd, 0},
      {"a blank line comes before a later NUL", "a\n\nb\0\n"s, "a\n", TextInput::kBlankLine, 2},
      // Where blank lines are records (the .pop), they are handed on as any
      // line; the other endings are the same as where blank lines end the
      // input.
      {"blank lines inside and at the end, handed on", "a\n\n \t\nb\n\n", "a\n\n \t\nb\n\n", TextInput::kEnd, 0,
       true},
      {"blank last line without a line feed, handed on", "a\n  ", "a\n  ", TextInput::kEnd, 0, true},
      {"byte-order mark alone, blank lines handed on", bom, "", TextInput::kEnd, 0, true},
      {"byte-order mark on a line of its own, handed on", bom + "\na\n", "\na\n", TextInput::kEnd, 0, true},
      {"lone carriage return in a blank line handed on", "a\n\r \nb\n", "a\n", TextInput::kLoneCarriageReturn, 2,
       true},
      {"NUL after a blank line handed on", "a\n\nb\0\n"s, "a\n\n", TextInput::kNulByte, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.file("t.txt");
    writeFile(name, c.text);
    TextInput text(name, c.blankLinesHandedOn ? TextInput::kBlankLinesHandedOn : TextInput::kBlankLinesEnd);
    ASSERT_TRUE(text.is_open());
    std::istream in(&text);
    const std::string seen{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(text.ending(), c.ending);
    EXPECT_EQ(text.endingLine(), c.endingLine);

    // A second pass sees the same.
    text.rewind();
    in.clear();
    const std::string again{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(again, c.seen);
    EXPECT_EQ(text.ending(), c.ending);
  }
}

TEST_F(TextInputTest, StopsWithOneLine) {
  const std::string blank = dir.file("blank.txt");
  writeFile(blank, "a\n\nb\n");
  struct Case {
    const char* name;
    std::function<void()> body;
    std::string out;
  };
  const Case cases[] = {
      {"blank line between records",
       [&] {
         TextInput text(blank);
         std::istream in(&text);
         std::string line;
         while (std::getline(in, line)) {
         }
         text.checkEnd();
       },
       "Blank line in " + blank + ", line 2\n"},
      // A directory opens, and its first read fails.
      {"read error",
       [&] {
         TextInput text(dir.path());
         std::istream in(&text);
         std::string line;
         std::getline(in, line);
         text.checkEnd();
       },
       "Error reading " + dir.path() + "\n"},
      {"a pipe cannot be rewound",
       [] {
         int ends[2];
         if (pipe(ends) != 0 || write(ends[1], "a\nb\n", 4) != 4) _exit(3);
         close(ends[1]);
         TextInput text("/dev/fd/" + std::to_string(ends[0]));
         std::istream in(&text);
         std::string line;
         while (std::getline(in, line)) {
         }
         text.checkEnd();
         text.rewind();
       },
       "Cannot rewind /dev/fd/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = runInChild(c.body);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(splitLines(r.out).size(), 1u) << r.out;
  }
}

}  // namespace
