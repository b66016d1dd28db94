// Where the monitor finds its pages: the library's folder from a memory map,
// and the document root from the variables and that folder.

#include <string>

#include <gtest/gtest.h>

#include "httpd/library_path.h"

namespace {

GetEnv variable(const char* value) {
  GetEnv v("ZELK_TEST_VARIABLE_NEVER_SET", "");
  if (value) {
    v.value = value;
    v.isSet = 1;
  }
  return v;
}

TEST(MonitorPaths, DocumentRootFromVariablesAndLibraryFolder) {
  const struct {
    const char* home;
    const char* share;
    const char* html;
    const char* libraryDir;
    const char* root;
  } cases[] = {
      {nullptr, nullptr, nullptr, "/opt/x/lib", "/opt/x/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/home/u/build", "/home/u/build/html"},
      {nullptr, nullptr, nullptr, "", "/usr/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/lib", "/lib/html"},
      {nullptr, nullptr, nullptr, "/usr/lib/x86_64-linux-gnu", "/usr/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu/html"},
      {nullptr, nullptr, nullptr, "/opt/x86_64-linux-gnu", "/opt/x86_64-linux-gnu/html"},
      {"", nullptr, nullptr, "/opt/x/lib", "/opt/x/share/Zelk/html"},  // empty: derived
      {"/p", nullptr, nullptr, "/ignored/lib", "/p/share/Zelk/html"},
      {"/p", "/s", nullptr, "", "/s/html"},
      {"/p", "/s", "/h", "", "/h"},
      {nullptr, nullptr, "", "/opt/x/lib", ""},  // set but empty: no files at all
      {"/p", "", nullptr, "/opt/x/lib", ""},     // never "/html" at the root
  };
  for (const auto& c : cases) {
    int asked = 0;
    const std::string root =
        monitorDocumentRoot(variable(c.home), variable(c.share), variable(c.html), [&] {
          ++asked;
          return std::string(c.libraryDir);
        });
    EXPECT_EQ(root, c.root) << c.libraryDir;
    const bool derived = !c.html && !c.share && !(c.home && *c.home);
    EXPECT_EQ(asked, derived ? 1 : 0) << c.libraryDir;
  }
}

TEST(MonitorPaths, LibraryFolderFromMemoryMap) {
  const std::string maps =
      "55d0c000-55d0d000 r--p 00000000 08:01 11 /usr/bin/host\n"
      "7f10a000-7f10b000 r--p 00000000 08:01 12 /opt/x/lib/libzelkcomp.so\n"
      "7f10c000-7f10d000 r--p 00000000 08:01 13 /opt/x/lib/libzelk.so\n"
      "7f10e000-7f10f000 r-xp 00001000 08:01 13 /other/lib/libzelk.so\n";
  EXPECT_EQ(libraryDirFromMaps(maps), "/opt/x/lib");
  EXPECT_EQ(libraryDirFromMaps("7f-7f r--p 0 0:0 1 /home/u/build/libzelk.so.1 (deleted)"),
            "/home/u/build");
  EXPECT_EQ(libraryDirFromMaps("7f-7f r--p 0 0:0 1 /usr/lib/libzelkcomp.so\n"), "");
  EXPECT_EQ(libraryDirFromMaps(""), "");
  // This program's own map names the library it links.
  EXPECT_FALSE(getZelkLibraryPath().empty());
}

}  // namespace
