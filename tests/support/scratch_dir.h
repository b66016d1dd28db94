#pragma once
// A fresh temporary directory that a test works in: created with mkdtemp,
// made the working directory for the scope's life, then left and removed
// with everything written into it.

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/zelk-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    char* cwd = getcwd(nullptr, 0);
    if (cwd != nullptr) {
      previous_ = cwd;
      free(cwd);
    }
    if (!path_.empty() && chdir(path_.c_str()) != 0) path_.clear();
  }
  ~ScratchDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) return;
    if (!path_.empty()) nftw(path_.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when the directory could not be made or entered.
  const std::string& path() const { return path_; }

 private:
  static int removeEntry(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }

  std::string path_;
  std::string previous_;
};
