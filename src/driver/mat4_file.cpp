#include "driver/mat4_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "the Level-4 files are written and read in native byte order");

namespace {

constexpr std::size_t kHeaderBytes = 20;

std::string systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Writes all of buf, resuming after interrupted and partial writes.
bool writeAll(int fd, const void* buf, std::size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    const ssize_t done = ::write(fd, p, len);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += done;
    len -= static_cast<std::size_t>(done);
  }
  return true;
}

// A temporary name beside path that no other writer of this process uses;
// the file is created with O_EXCL, so one of another process is never taken.
int createTemporary(const std::string& path, std::string& tmp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Header, padded name and the column-major entries.
bool writeContents(int fd, const MatrixTemplate<double>& m, const std::string& name) {
  const std::size_t namlen = 4 * (name.size() / 4 + 1);
  std::vector<char> head(kHeaderBytes + namlen, '\0');
  const std::int32_t fields[5] = {0, static_cast<std::int32_t>(m.rows),
                                  static_cast<std::int32_t>(m.cols), 0,
                                  static_cast<std::int32_t>(namlen)};
  std::memcpy(head.data(), fields, sizeof fields);
  std::memcpy(head.data() + kHeaderBytes, name.data(), name.size());
  if (!writeAll(fd, head.data(), head.size())) return false;

  // One column at a time keeps the extra memory at one column.
  std::vector<double> column(m.rows);
  for (std::size_t j = 0; j < m.cols; ++j) {
    for (std::size_t i = 0; i < m.rows; ++i) column[i] = m(i, j);
    if (!writeAll(fd, column.data(), column.size() * sizeof(double))) return false;
  }
  return true;
}

bool writeFile(const MatrixTemplate<double>& m, const std::string& name, std::string& path,
               std::string& why) {
  if (path.empty()) path = mat4DefaultPath(name);
  if (m.rows > INT32_MAX || m.cols > INT32_MAX || name.size() > INT32_MAX - 8 ||
      (m.cols != 0 && m.rows > m.elements.size() / m.cols)) {
    why = "the matrix does not fit the format";
    return false;
  }
  std::string tmp;
  const int fd = createTemporary(path, tmp);
  if (fd < 0) {
    why = systemError("cannot create a file beside it");
    return false;
  }
  bool ok = writeContents(fd, m, name);
  if (!ok) why = systemError("write failed");
  if (::close(fd) != 0 && ok) {
    ok = false;
    why = systemError("close failed");
  }
  if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    why = systemError("rename failed");
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

std::int32_t field(const unsigned char* head, int k) {
  std::int32_t v;
  std::memcpy(&v, head + 4 * k, sizeof v);
  return v;
}

// The file at path opened for reading, or null (with the message of why,
// except for a file that does not exist). The open does not wait: a FIFO
// or a device named as the file could hold it forever, so only a regular
// file is read; anything else counts as absent.
std::FILE* openRegularFile(const std::string& path, struct stat& info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT)
      std::fprintf(stderr, "cannot open input file %s: %s\n", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  const char* refused = nullptr;
  if (fstat(fd, &info) != 0)
    refused = std::strerror(errno);
  else if (!S_ISREG(info.st_mode))
    refused = "not a regular file";
  else if (const int flags = fcntl(fd, F_GETFL);
           flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    refused = std::strerror(errno);
  std::FILE* file = refused == nullptr ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    std::fprintf(stderr, "cannot open input file %s: %s\n", path.c_str(),
                 refused != nullptr ? refused : std::strerror(errno));
    ::close(fd);
  }
  return file;
}

MatrixTemplate<double> readFile(const std::string& path) {
  struct stat info = {};
  std::FILE* file = openRegularFile(path, info);
  if (file == nullptr) return {};
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};

  const std::uint64_t length = static_cast<std::uint64_t>(info.st_size);
  auto truncated = [] {
    std::fprintf(stderr, "input stream left in error state\n");
    return MatrixTemplate<double>();
  };
  unsigned char head[kHeaderBytes];
  if (length < kHeaderBytes || std::fread(head, 1, kHeaderBytes, file) != kHeaderBytes)
    return truncated();
  const std::int32_t type = field(head, 0), mrows = field(head, 1), ncols = field(head, 2),
                     imagf = field(head, 3), namlen = field(head, 4);
  if (type != 0 || imagf != 0) {
    std::fprintf(stderr, "%s: not a real double full matrix in little-endian order (type %d, imagf %d)\n",
                 path.c_str(), static_cast<int>(type), static_cast<int>(imagf));
    return {};
  }
  if (mrows < 0 || ncols < 0 || namlen < 1) {
    std::fprintf(stderr, "%s: invalid header (%d x %d, name length %d)\n", path.c_str(),
                 static_cast<int>(mrows), static_cast<int>(ncols), static_cast<int>(namlen));
    return {};
  }
  // The sizes must fit the bytes the file has before anything is allocated.
  const std::uint64_t rows = static_cast<std::uint64_t>(mrows), cols = static_cast<std::uint64_t>(ncols);
  const std::uint64_t room = length - kHeaderBytes;
  if (room < static_cast<std::uint64_t>(namlen) ||
      (cols != 0 && rows > (room - namlen) / sizeof(double) / cols) ||
      std::fseek(file, namlen, SEEK_CUR) != 0)
    return truncated();
  std::valarray<double> columnMajor(rows * cols);
  if (rows * cols > 0 &&
      std::fread(&columnMajor[0], sizeof(double), columnMajor.size(), file) != columnMajor.size())
    return truncated();
  MatrixTemplate<double> m(rows, cols);
  for (std::size_t j = 0; j < cols; ++j)
    for (std::size_t i = 0; i < rows; ++i) m(i, j) = columnMajor[j * rows + i];
  return m;
}

}  // namespace

std::string mat4DefaultPath(const std::string& name) {
  std::string dir = "/tmp";
  if (const char* tmp = std::getenv("TMP"))
    dir = tmp;
  else if (const char* temp = std::getenv("TEMP"))
    dir = temp;
  if (const char* data = std::getenv("QX_DATA_DIR")) dir = data;
  return dir + "/" + name + ".mat";
}

bool writeMat4File(const MatrixTemplate<double>& m, const std::string& name, std::string& path,
                   std::string* why) noexcept {
  try {
    std::string reason;
    const bool ok = writeFile(m, name, path, reason);
    if (!ok && why != nullptr) *why = reason;
    return ok;
  } catch (...) {
    try {
      if (why != nullptr) *why = "out of memory";
    } catch (...) {
    }
    return false;
  }
}

bool dumpMat4File(const MatrixTemplate<double>& m, const std::string& name) noexcept {
  try {
    std::string path, why;
    if (writeMat4File(m, name, path, &why)) return true;
    std::fprintf(stderr, "Could not write %s: %s\n", path.c_str(), why.c_str());
  } catch (...) {
    std::fprintf(stderr, "Could not write %s: out of memory\n", name.c_str());
  }
  return false;
}

MatrixTemplate<double> readMat4File(const std::string& path) noexcept {
  try {
    return readFile(path);
  } catch (...) {
    std::fprintf(stderr, "%s: out of memory\n", path.c_str());
    return {};
  }
}
