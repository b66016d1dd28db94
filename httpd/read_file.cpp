#include "httpd/read_file.h"

#include <fstream>
#include <iostream>

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::string();
  std::string contents;
  char block[16384];
  while (in) {
    in.read(block, sizeof block);
    contents.append(block, static_cast<std::size_t>(in.gcount()));
  }
  const char* what = in.eof() ? "Read " : in.bad() ? "Read stream is bad: " : "Read stream failed: ";
  // One insertion, so the line goes out whole.
  std::cerr << (what + std::to_string(contents.size()) + " B from " + path + "\n");
  return contents;
}
