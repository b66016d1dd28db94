#pragma once
// The option entry points and the variant option map are public
// (zelk/options.h); here is what the library's own readers of such maps
// add.

#include <string>

#include "zelk/options.h"

// The builder stores a whole number as long; for a key that is read as a
// double (a time limit such as "maxt", a known eigenvalue "maxe") that
// would be a value of the wrong kind. Turns a long under key into the same
// number as a double; any other entry, or none, stays as it is.
void widenToDouble(OptionMap& options, const std::string& key);
