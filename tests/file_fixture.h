// Test support for the tests of the file modules: a scratch directory, an
// empty description, and the name parts of an input path as the option
// parser derives them; the guard puts back the run state and configuration
// the tests touch.
#ifndef KELVANORE_TESTS_FILE_FIXTURE_H
#define KELVANORE_TESTS_FILE_FIXTURE_H

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "e2e_util.h"
#include "fileset_util.h"
#include "options.h"
#include "reader_fixture.h"
#include "types.h"
#include "utils.h"

// The readers and writers of files; the guard puts back the run state and
// configuration the tests touch. Each module's test file names its suite
// after the module (using Module = FileFixture), so that ctest -R selects
// one module's tests.
class FileFixture : public ReaderFixture {
 protected:
  // The three name parts the option parser derives from an input path,
  // kept in static buffers so that nothing is left to free.
  static void setInput(const std::string& path) {
    static char storage[4][4096];
    const auto keep = [](int slot, const std::string& text) {
      std::snprintf(storage[slot], sizeof storage[slot], "%s", text.c_str());
      return storage[slot];
    };
    const std::string name = posixBasename(path);
    const size_t dot = name.rfind('.');
    Options::inputFile = keep(0, path);
    Options::inputFilePrefix = keep(1, name.substr(0, dot));
    Options::inputFileSuffix = keep(2, dot == std::string::npos ? "" : name.substr(dot + 1));
    Options::inputFileBase = keep(3, path.substr(0, path.rfind('.')));
  }

  // A bed fileset of 2 individuals x 3 SNPs at dir/data/set.
  std::string writeTinyBedSet() {
    mkdir(dir.file("data").c_str(), 0755);
    const std::string base = dir.file("data/set");
    // SNP a: 0, 1; b: 2, 9; c: 1, 2.
    writeBedFileset(base, "1 a 0 1 A G\n1 b 0 2 A G\n1 c 0 3 A G\n", "f i 0 0 1 1\nf j 0 0 2 1\n",
                    snpMajorBed({{0, 2, 1}, {1, 9, 2}}));
    return base;
  }

  TempDir dir;
  DatasetMetadata meta;
};

#endif
