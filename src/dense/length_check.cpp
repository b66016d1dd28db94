#include "dense/length_check.h"

#include <stdexcept>
#include <string>

void requireSameLength(std::size_t got, std::size_t want, const char* what) {
  if (got != want)
    throw std::invalid_argument(std::string(what) + " (" + std::to_string(got) + " values, " +
                                std::to_string(want) + " expected)");
}
