#pragma once
// An environment variable with a default.

#include <string>

struct GetEnv {
  std::string name;
  std::string value;  // the variable's text when it is set (even to ""), else the default
  int isSet = 0;      // 1 when the variable exists in the environment

  GetEnv(std::string name_, std::string defaultValue);
};
