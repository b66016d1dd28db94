#pragma once
// A fresh temporary directory that a test works in: created with mkdtemp,
// made the working directory for the scope's life, then left and removed
// with everything written into it.
//
// The outermost one names itself in ZELK_TEST_SCRATCH and the later ones
// are made inside it. A death test's child runs the test again from its
// start and ends without destructors, so its own directory is removed with
// the parent's.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
 public:
  ScratchDir() {
    const char* outer = getenv(kVariable);
    std::string pattern = std::string(outer != nullptr ? outer : "/tmp") + "/zelk-test-XXXXXX";
    std::error_code ec;
    previous_ = std::filesystem::current_path(ec);
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) return;
    path_ = pattern;
    outermost_ = outer == nullptr && setenv(kVariable, path_.c_str(), 1) == 0;
  }
  ~ScratchDir() {
    if (outermost_) unsetenv(kVariable);
    std::error_code ec;
    if (path_.empty() || chdir(previous_.c_str()) != 0) return;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when the directory could not be made or entered.
  const std::string& path() const { return path_; }

 private:
  static constexpr const char* kVariable = "ZELK_TEST_SCRATCH";
  std::string path_;
  bool outermost_ = false;
  std::filesystem::path previous_;
};
