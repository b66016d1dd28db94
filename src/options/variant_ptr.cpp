#include "options/variant_ptr.h"

template class VariantPtr<long>;
template class VariantPtr<int>;
template class VariantPtr<unsigned int>;
template class VariantPtr<double>;
