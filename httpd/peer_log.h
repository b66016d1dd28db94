#pragma once
// A log line about one connection: the LogLine prefix, then "host:port: ".

#include <string>

#include "httpd/log_line.h"

class PeerLog : public LogLine {
 public:
  PeerLog(const std::string& host, const std::string& port) : LogLine("") {
    *this << host << ':' << port << ": ";
  }
};
