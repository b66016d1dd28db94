#include "httpd/get_env.h"

#include <cstdlib>
#include <utility>

GetEnv::GetEnv(std::string name_, std::string defaultValue)
    : name(std::move(name_)), value(std::move(defaultValue)) {
  if (const char* text = std::getenv(name.c_str())) {
    value = text;
    isSet = 1;
  }
}
