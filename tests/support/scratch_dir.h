#pragma once
// A fresh temporary directory that a test works in: created with mkdtemp,
// made the working directory for the scope's life, then left and removed
// with everything written into it.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/zelk-test-XXXXXX";
    std::error_code ec;
    previous_ = std::filesystem::current_path(ec);
    if (mkdtemp(pattern) != nullptr && chdir(pattern) == 0) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (path_.empty() || chdir(previous_.c_str()) != 0) return;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when the directory could not be made or entered.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::filesystem::path previous_;
};
