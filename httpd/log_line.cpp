#include "httpd/log_line.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <locale>

std::mutex LogLine::m_mutex;

std::string formatLogTime(const timeval& tv) {
  std::tm local{};
  const std::time_t seconds = tv.tv_sec;
  if (!localtime_r(&seconds, &local)) local = std::tm{};
  char text[64];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long millis = static_cast<long>(tv.tv_usec) / 1000 % 1000;
  text[n++] = '.';
  text[n++] = static_cast<char>('0' + millis / 100);
  text[n++] = static_cast<char>('0' + millis / 10 % 10);
  text[n++] = static_cast<char>('0' + millis % 10);
  return std::string(text, n);
}

LogLine::LogLine(const std::string& name) {
  // A host may have installed a global locale with digit grouping; log
  // numbers stay plain.
  imbue(std::locale::classic());
  timeval tv{};
  if (gettimeofday(&tv, nullptr) != 0) tv = timeval{};
  *this << formatLogTime(tv) << ' ' << getpid() << ':' << gettid() << ": ";
  if (!name.empty()) *this << name << ":0";
  *this << ": ";
}

LogLine::~LogLine() {
  // Callers often log right after a failed call and read errno again.
  const int savedErrno = errno;
  std::string line;
  try {
    line = std::move(*this).str();
    while (!line.empty() && line.back() == '\n') line.pop_back();
    line += '\n';
  } catch (...) {
    errno = savedErrno;
    return;  // out of memory: the line is lost, the caller goes on
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  errno = savedErrno;
}
