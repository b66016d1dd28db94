// The C entry points must be exported under their plain names: the component
// entry points from both libraries, the drivers from the main library only.
// A new entry point is covered by adding its name to kEntryPoints or
// kDriverEntryPoints. The monitor's entry points are libzelk's alone:
// zelkcomp_stop_httpd under its plain name, the others (C++ signatures)
// under their decorated names. The libraries are the build's, or the ones
// that ZELK_EXPORT_TEST_LIB and ZELKCOMP_EXPORT_TEST_LIB name (the install
// test checks an installed pair so).

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "zelk/monitor.h"

namespace {

const char* libraryUnderTest(const char* variable, const char* built) {
  const char* path = std::getenv(variable);
  return path && *path ? path : built;
}

const char* const kZelk = libraryUnderTest("ZELK_EXPORT_TEST_LIB", ZELK_LIB_PATH);
const char* const kZelkcomp = libraryUnderTest("ZELKCOMP_EXPORT_TEST_LIB", ZELKCOMP_LIB_PATH);

const char* const kEntryPoints[] = {
    "zelkcomp_colinfo",
    "zelkcomp_is_symmetric",
    "zelkcomp_linsolve",
    "zelkcomp_maxeigen",
    "zelkcomp_mineigen",
};

const char* const kDriverEntryPoints[] = {
    "trovik",
    "zelk",
};

std::string realPath(const char* path) {
  char buf[PATH_MAX];
  return realpath(path, buf) ? std::string(buf) : std::string(path);
}

template <std::size_t N>
void expectExports(const char* library, const char* const (&names)[N]) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const std::string want = realPath(library);
  for (const char* name : names) {
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
  expectExports(kZelk, kEntryPoints);
  expectExports(kZelkcomp, kEntryPoints);
}

TEST(CExports, OnlyTheMainLibraryHasTheDrivers) {
  expectExports(kZelk, kDriverEntryPoints);
  void* handle = dlopen(kZelkcomp, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const char* name : kDriverEntryPoints)
    EXPECT_EQ(dlsym(handle, name), nullptr) << name << " in " << kZelkcomp;
  dlclose(handle);
}

// The symbol name this program's linked definition goes by.
std::string symbolOf(void* function) {
  Dl_info info{};
  if (dladdr(function, &info) == 0 || !info.dli_sname) return std::string();
  return info.dli_sname;
}

TEST(CExports, MonitorEntryPointsOnlyInTheMainLibrary) {
  const std::string names[] = {
      symbolOf(reinterpret_cast<void*>(&zelkcomp_start_httpd)),
      symbolOf(reinterpret_cast<void*>(&zelkcomp_wait_httpd)),
      symbolOf(reinterpret_cast<void*>(&zelkcomp_run_httpd<VariantPtrBase*>)),
      symbolOf(reinterpret_cast<void*>(&zelkcomp_stop_httpd)),
  };
  EXPECT_EQ(names[3], "zelkcomp_stop_httpd");
  void* zelk = dlopen(kZelk, RTLD_NOW | RTLD_LOCAL);
  void* comp = dlopen(kZelkcomp, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(zelk, nullptr) << dlerror();
  ASSERT_NE(comp, nullptr) << dlerror();
  for (const std::string& name : names) {
    ASSERT_FALSE(name.empty());
    EXPECT_NE(dlsym(zelk, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(comp, name.c_str()), nullptr) << name;
  }
  EXPECT_EQ(names[0].rfind("_Z20zelkcomp_start_httpd", 0), 0u) << names[0];
  dlclose(comp);
  dlclose(zelk);
}

}  // namespace
