#pragma once
// Kinds of search direction, as bit flags so that a set of kinds fits into
// the mask option "sdirs".

#include <cstdint>
#include <string>
#include <vector>

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

// The flags 1 << i of every bit i = 0 .. 31 set in mask, in increasing order
// of i; bits above 31 are not flags. maskToFlags<SearchDir>(0x48) is
// [SD3, SD6].
template <class Flag>
std::vector<Flag> maskToFlags(unsigned long mask) {
  std::vector<Flag> flags;
  for (unsigned bit = 0; bit < 32; ++bit)
    if (mask & (1ul << bit)) flags.push_back(static_cast<Flag>(1ul << bit));
  return flags;
}

// The kinds a driver falls back on when none of `tried` gave an accepted
// step, in the order it tries them: those of SD0, SD1, SD2, SD4, SD3, SD5,
// SD6 that are not in `tried`, from the end of that list backwards (SD6
// first when none was tried).
std::vector<SearchDir> fallbackKinds(const std::vector<SearchDir>& tried);
