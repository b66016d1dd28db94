#include "httpd/library_path.h"

#include <iostream>

#include "httpd/read_file.h"

namespace {

constexpr std::string_view kLibraryName = "/libzelk.so";

std::string_view firstLineNaming(std::string_view text, std::string_view what) {
  const std::size_t at = text.find(what);
  if (at == std::string_view::npos) return {};
  const std::size_t begin = text.rfind('\n', at);
  const std::size_t end = text.find('\n', at);
  const std::size_t from = begin == std::string_view::npos ? 0 : begin + 1;
  return text.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
}

}  // namespace

// The path of a maps line starts at its first "/"; the folder is what comes
// before the last "/libzelk.so" on the line.
std::string libraryDirFromMaps(std::string_view maps) {
  const std::string_view line = firstLineNaming(maps, kLibraryName);
  if (line.empty()) return {};
  const std::size_t path = line.find('/');
  const std::size_t name = line.rfind(kLibraryName);
  return std::string(line.substr(path, name - path));
}

std::string getZelkLibraryPath() {
  const std::string maps = readFile("/proc/self/maps");
  const std::string_view line = firstLineNaming(maps, kLibraryName);
  if (line.empty()) return {};
  std::cerr << ("Found libzelk in /proc//maps: " + std::string(line) + "\n");
  return libraryDirFromMaps(line);
}

// A library folder names an installation when it is PREFIX/lib, or
// PREFIX/lib/TUPLE with a multiarch tuple such as x86_64-linux-gnu (where
// GNU installation folders put libraries under /usr on Debian), PREFIX
// starting at "/" and not empty. The pages then lie in PREFIX/share/Zelk/html.
// Any other folder (a build folder) has its pages in html/ beside the library.
std::string monitorDocumentRoot(const GetEnv& home, const GetEnv& share, const GetEnv& htmlRoot,
                                const std::function<std::string()>& libraryDir) {
  if (htmlRoot.isSet) return htmlRoot.value;
  // An empty share folder is no folder: "/html" would serve from the file
  // system's root.
  if (share.isSet) return share.value.empty() ? std::string() : share.value + "/html";
  std::string prefix = home.isSet ? home.value : std::string();
  std::string shareSuffix = "/share/Zelk";
  if (prefix.empty()) {
    const std::string dir = libraryDir();
    std::string_view libFolder = dir;
    const std::size_t last = libFolder.rfind('/');
    if (last != std::string_view::npos &&
        libFolder.substr(last + 1).find("-linux-") != std::string_view::npos)
      libFolder = libFolder.substr(0, last);
    static constexpr std::string_view lib = "/lib";
    if (libFolder.size() > lib.size() && libFolder.front() == '/' &&
        libFolder.substr(libFolder.size() - lib.size()) == lib) {
      prefix = libFolder.substr(0, libFolder.size() - lib.size());
    } else if (!dir.empty()) {
      prefix = dir;
      shareSuffix.clear();
    }
  }
  if (prefix.empty()) prefix = "/usr";
  return prefix + shareSuffix + "/html";
}
