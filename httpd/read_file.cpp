#include "httpd/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <limits>

namespace {

enum class ReadEnd { EndOfFile, Error, OverLimit };

// Appends what fd holds, in blocks of 16384 bytes, up to limit bytes.
ReadEnd readAll(int fd, std::size_t limit, std::string& out) {
  char block[16384];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) return ReadEnd::EndOfFile;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadEnd::Error;
    }
    if (static_cast<std::size_t>(n) > limit - out.size()) return ReadEnd::OverLimit;
    out.append(block, static_cast<std::size_t>(n));
  }
}

void logRead(ReadEnd end, std::size_t bytes, const std::string& path) {
  const char* what = end == ReadEnd::Error ? "Read stream is bad: " : "Read ";
  // One insertion, so the line goes out whole.
  std::cerr << (what + std::to_string(bytes) + " B from " + path + "\n");
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
int openForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

}  // namespace

std::string readFile(const std::string& path) {
  const FileDescriptor fd(openForReading(path));
  if (fd.get() < 0) return std::string();
  std::string contents;
  const ReadEnd end = readAll(fd.get(), std::numeric_limits<std::size_t>::max(), contents);
  logRead(end, contents.size(), path);
  return contents;
}

FileRead readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents) {
  const FileDescriptor fd(openForReading(path));
  if (fd.get() < 0) return FileRead::Missing;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::NotRegular;
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) return FileRead::TooLarge;
  contents.clear();
  contents.reserve(static_cast<std::size_t>(info.st_size));
  const ReadEnd end = readAll(fd.get(), maxBytes, contents);
  if (end == ReadEnd::OverLimit) return FileRead::TooLarge;
  logRead(end, contents.size(), path);
  return end == ReadEnd::EndOfFile ? FileRead::Ok : FileRead::Missing;
}
