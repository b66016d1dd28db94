#include "linear/external_vector_function.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <variant>

#include "dense/fp_class.h"
#include "dense/valarray_data.h"

namespace {

const OptionValue& requiredEntry(const OptionMap& options, const char* key) {
  auto it = options.find(key);
  if (it == options.end())
    throw std::out_of_range(std::string("ExternalVectorFunction: option \"") + key +
                            "\" is missing");
  return it->second;
}

long checkedOutputLength(const OptionMap& options) {
  const long m = std::get<long>(requiredEntry(options, "dim_m"));
  if (m < 0) throw std::invalid_argument("ExternalVectorFunction: negative \"dim_m\"");
  return m;
}

}  // namespace

void reportCallbackFailure(const char* prefix, long rc) {
  std::fprintf(stderr, "%sFunction callback returned non-zero status code: %ld\n", prefix, rc);
}

ExternalVectorFunction::ExternalVectorFunction(ExternalVectorCallback fn_,
                                               const OptionMap& options_)
    : SizedVectorOperator(options_),
      fn(fn_),
      context(std::get<void*>(requiredEntry(options_, "context"))),
      control(static_cast<IterationControl*>(std::get<void*>(requiredEntry(options_, "control")))),
      outputLength(checkedOutputLength(options_)) {}

std::valarray<double> ExternalVectorFunction::operator()(const std::valarray<double>& x) const {
  if (fn == nullptr) throw std::invalid_argument("ExternalVectorFunction: null callback");
  std::valarray<double> y(0.0, static_cast<std::size_t>(outputLength));
  const int rc = fn(dataOrNull(x), static_cast<long>(x.size()), dataOrNull(y), outputLength,
                    context);
  quietHostValues(dataOrNull(y), y.size());
  if (control != nullptr) ++control->calls;
  if (rc != 0) {
    reportCallbackFailure("eig:920: ", rc);
    if (control != nullptr) {
      ++control->calls;
      control->state = 2;
      control->value = static_cast<double>(rc);
    }
  }
  return y;
}
