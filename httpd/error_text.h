#pragma once
// Texts of errors for log lines, safe to build on any thread.

#include <string>

// strerror's text of errnum (through strerror_r).
std::string errorText(int errnum);

// The what() of the exception being handled, or a fixed text for one that is
// not a std::exception. Call only inside a catch handler.
std::string currentExceptionText();
