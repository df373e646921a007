// Test support: what a directory holds, and working in one for a while.
#ifndef KELVANORE_TESTS_DIR_UTIL_H
#define KELVANORE_TESTS_DIR_UTIL_H

#include <cstddef>
#include <string>
#include <vector>

// The names in a directory, sorted, "." and ".." aside. A directory that
// cannot be listed throws: a comparison with an empty list could pass.
std::vector<std::string> namesIn(const std::string& dir);

// How many of those names are a run's temporary files ("kelvanore-" and
// its random part): neither a result nor an old file.
size_t temporariesIn(const std::string& dir);

// Works in a directory for the life of the object, then goes back to where
// it was.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  std::string saved_;
};

#endif
