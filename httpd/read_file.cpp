#include "httpd/read_file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <stop_token>

namespace {

enum class ReadEnd { EndOfFile, Error, OverLimit, Stopped };

// Appends what fd holds, in blocks of 16384 bytes, up to limit bytes; gives
// up between blocks once a stop is requested.
ReadEnd readAll(int fd, std::size_t limit, std::string& out, const std::stop_token& stop = {}) {
  char block[16384];
  for (;;) {
    if (stop.stop_requested()) return ReadEnd::Stopped;
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
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

int openForReading(const std::string& path) { return ::open(path.c_str(), kReadFlags); }

// The real path of path, or "".
std::string realPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  return real ? std::string(real.get()) : std::string();
}

int openBeneath(const std::string& root, const std::string& name) {
  const FileDescriptor folder(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return -1;
  open_how how{};
  how.flags = kReadFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, folder.get(), name.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  const std::string realRoot = realPath(root);
  const std::string realFile = realPath(root + "/" + name);
  if (realRoot.empty() || realFile.compare(0, realRoot.size() + 1, realRoot + "/") != 0) return -1;
  return ::open(realFile.c_str(), kReadFlags);
}

FileRead readOpened(const FileDescriptor& fd, const std::string& path, std::size_t maxBytes,
                    std::string& contents, const std::stop_token& stop = {}) {
  if (fd.get() < 0) return FileRead::Missing;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::NotRegular;
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) return FileRead::TooLarge;
  contents.clear();
  contents.reserve(static_cast<std::size_t>(info.st_size));
  const ReadEnd end = readAll(fd.get(), maxBytes, contents, stop);
  if (end == ReadEnd::OverLimit) return FileRead::TooLarge;
  if (end == ReadEnd::Stopped) return FileRead::Stopped;
  logRead(end, contents.size(), path);
  return end == ReadEnd::EndOfFile ? FileRead::Ok : FileRead::Missing;
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
  return readOpened(FileDescriptor(openForReading(path)), path, maxBytes, contents);
}

FileRead readRegularFileBeneath(const std::string& root, std::string name, std::size_t maxBytes,
                                std::string& contents, const std::stop_token& stop) {
  // A name is always taken from the root, never from the file system's.
  name.erase(0, name.find_first_not_of('/'));
  return readOpened(FileDescriptor(openBeneath(root, name)), root + "/" + name, maxBytes, contents,
                    stop);
}
