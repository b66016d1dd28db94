#include "options/search_dir.h"

#include <algorithm>

std::string sdname(SearchDir d) {
  switch (d) {
    case SearchDir::None: return "None";
    case SearchDir::SD0: return "SD0";
    case SearchDir::SD1: return "SD1";
    case SearchDir::SD2: return "SD2";
    case SearchDir::SD3: return "SD3";
    case SearchDir::SD4: return "SD4";
    case SearchDir::SD5: return "SD5";
    case SearchDir::SD6: return "SD6";
  }
  return "unknown";
}

std::vector<SearchDir> fallbackKinds(const std::vector<SearchDir>& tried) {
  static constexpr SearchDir kOrder[] = {SearchDir::SD0, SearchDir::SD1, SearchDir::SD2,
                                         SearchDir::SD4, SearchDir::SD3, SearchDir::SD5,
                                         SearchDir::SD6};
  std::vector<SearchDir> kinds;
  for (auto kind = std::rbegin(kOrder); kind != std::rend(kOrder); ++kind)
    if (std::find(tried.begin(), tried.end(), *kind) == tried.end()) kinds.push_back(*kind);
  return kinds;
}
