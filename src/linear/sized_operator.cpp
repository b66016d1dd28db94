#include "linear/sized_operator.h"

#include <stdexcept>
#include <variant>

namespace {

template <class T>
T readOr(const OptionMap& options, const std::string& key, T def) {
  auto it = options.find(key);
  return it == options.end() ? def : std::get<T>(it->second);
}

template <class T>
T readRequired(const OptionMap& options, const std::string& key) {
  auto it = options.find(key);
  if (it == options.end()) throw std::bad_variant_access();
  return std::get<T>(it->second);
}

long readDimension(const OptionMap& options, const char* key) {
  auto it = options.find(key);
  if (it == options.end())
    throw std::out_of_range(std::string("operator option \"") + key + "\" is missing");
  return std::get<long>(it->second);
}

}  // namespace

long SizedOperator::geti(const std::string& key, long def) const {
  return readOr<long>(options, key, def);
}

double SizedOperator::getf(const std::string& key, double def) const {
  return readOr<double>(options, key, def);
}

long SizedOperator::dim_m() const { return readDimension(options, "dim_m"); }

long SizedOperator::dim_n() const { return readDimension(options, "dim_n"); }

double getf_required(const SizedOperator& ops, const std::string& key) {
  return readRequired<double>(ops.options, key);
}

long geti_required(const SizedOperator& ops, const std::string& key) {
  return readRequired<long>(ops.options, key);
}
