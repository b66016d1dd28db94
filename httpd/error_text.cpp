#include "httpd/error_text.h"

#include <cstring>
#include <exception>

std::string errorText(int errnum) {
  char buf[256];
  // The GNU strerror_r returns its text, in buf or in static storage.
  return strerror_r(errnum, buf, sizeof buf);
}

std::string currentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}
