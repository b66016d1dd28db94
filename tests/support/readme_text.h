#pragma once
// README.md as the tests that check its figures read it: the text with every
// run of white space made one blank, so that a phrase is found wherever the
// README's lines break it, and counts written the way the README writes
// them (grouped_count.h). A test builds each phrase from what its run
// counted, so that the README and the library cannot part without the test
// failing.

#include <fstream>
#include <sstream>
#include <string>

#include "support/grouped_count.h"

inline const std::string& readmeText() {
  static const std::string text = [] {
    std::ifstream in(std::string(ZELK_SOURCE_DIR) + "/README.md");
    std::ostringstream raw;
    raw << in.rdbuf();
    std::string joined;
    bool blank = false;
    for (char c : raw.str()) {
      const bool space = c == ' ' || c == '\n' || c == '\t';
      if (!space) joined += c;
      if (space && !blank) joined += ' ';
      blank = space;
    }
    return joined;
  }();
  return text;
}

inline bool readmeSays(const std::string& phrase) {
  return readmeText().find(phrase) != std::string::npos;
}
