// Test support that brings no test framework, so that the fuzz targets can
// use it too: the whole run configuration saved and put back, every member
// of Options taken from its list KELVANORE_OPTIONS, so that a new member
// cannot be left out.
#ifndef KELVANORE_TESTS_OPTIONS_SNAPSHOT_H
#define KELVANORE_TESTS_OPTIONS_SNAPSHOT_H

#include "options.h"

// The values of Options when the object was made; restore() puts them back.
// The input-name pointers are put back and nothing of theirs is freed: the
// option parser never frees them, so they belong to whoever set them.
// Options::longopts is a constant table, outside the list, and is not
// saved.
class OptionsSnapshot {
 public:
  void restore() const {
#define KELVANORE_RESTORE_OPTION(type, name) Options::name = saved_.name;
    KELVANORE_OPTIONS(KELVANORE_RESTORE_OPTION)
#undef KELVANORE_RESTORE_OPTION
  }

 private:
  // One member per entry of the list.
  struct Values {
#define KELVANORE_OPTION_MEMBER(type, name) type name = Options::name;
    KELVANORE_OPTIONS(KELVANORE_OPTION_MEMBER)
#undef KELVANORE_OPTION_MEMBER
  };
  Values saved_;
};

#endif
