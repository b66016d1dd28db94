// The C entry points must be exported from both libraries under their plain
// names. A new entry point is covered by adding its name to kEntryPoints.

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace {

const char* const kEntryPoints[] = {
    "zelkcomp_colinfo",
    "zelkcomp_is_symmetric",
    "zelkcomp_linsolve",
    "zelkcomp_maxeigen",
    "zelkcomp_mineigen",
};

std::string realPath(const char* path) {
  char buf[PATH_MAX];
  return realpath(path, buf) ? std::string(buf) : std::string(path);
}

void expectExports(const char* library) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const std::string want = realPath(library);
  for (const char* name : kEntryPoints) {
    void* sym = dlsym(handle, name);
    ASSERT_NE(sym, nullptr) << name << " missing from " << library;
    // The definition must come from the library itself, not a dependency.
    Dl_info info{};
    ASSERT_NE(dladdr(sym, &info), 0) << name;
    EXPECT_EQ(realPath(info.dli_fname), want) << name;
  }
  dlclose(handle);
}

TEST(CExports, BothLibrariesExportEveryEntryPoint) {
  expectExports(ZELK_LIB_PATH);
  expectExports(ZELKCOMP_LIB_PATH);
}

}  // namespace
