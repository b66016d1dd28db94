#include "options/search_dir.h"

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
