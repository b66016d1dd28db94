#pragma once
// Kinds of search direction, as bit flags so that a set of kinds fits into
// the mask option "sdirs".

#include <cstdint>
#include <string>

enum class SearchDir : std::uint32_t {
  None = 0,
  SD0 = 1,
  SD1 = 2,
  SD2 = 4,
  SD3 = 8,
  SD4 = 16,
  SD5 = 32,
  SD6 = 64,
};

// "None", "SD0" .. "SD6"; "unknown" for any value that is not exactly one of
// them (a combination of bits included).
std::string sdname(SearchDir d);
