#include "dir_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) throw std::runtime_error("cannot list " + dir);
  while (const dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

size_t temporariesIn(const std::string& dir) {
  const std::vector<std::string> names = namesIn(dir);
  return static_cast<size_t>(std::count_if(names.begin(), names.end(), [](const std::string& name) {
    return name.compare(0, 10, "kelvanore-") == 0;
  }));
}

CwdGuard::CwdGuard(const std::string& dir) {
  char* here = getcwd(nullptr, 0);
  saved_ = here ? here : "/";
  free(here);
  if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
}

CwdGuard::~CwdGuard() {
  if (chdir(saved_.c_str()) != 0) ADD_FAILURE() << "chdir back";
}
