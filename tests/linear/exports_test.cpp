// What the shared libraries export: exactly the interface a host may use
// (cmake/zelk.map), read from each library's dynamic symbol table. A symbol
// that appears without a line below, or a line whose symbol is gone, fails.
// The libraries are the build's, or the ones that ZELK_EXPORT_TEST_LIB and
// ZELKCOMP_EXPORT_TEST_LIB name (the install test checks an installed pair
// so).

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char* libraryUnderTest(const char* variable, const char* built) {
  const char* path = std::getenv(variable);
  return path && *path ? path : built;
}

const char* const kZelk = libraryUnderTest("ZELK_EXPORT_TEST_LIB", ZELK_LIB_PATH);
const char* const kZelkcomp = libraryUnderTest("ZELKCOMP_EXPORT_TEST_LIB", ZELKCOMP_LIB_PATH);

// One line of the interface. A symbol is its demangled name, with the
// standard library's long spellings shortened (see shortNames); a class
// stands for every member of it, its virtual table and type information.
enum class Kind { Symbol, Class };
struct Export {
  Kind kind;
  const char* name;
  bool mainOnly;  // in libzelk alone, never in libzelkcomp
};

constexpr bool kBoth = false, kMain = true;
const Export kInterface[] = {
    // The C entry points, undecorated.
    {Kind::Symbol, "zelk", kMain},
    {Kind::Symbol, "trovik", kMain},
    {Kind::Symbol, "zelkcomp_colinfo", kBoth},
    {Kind::Symbol, "zelkcomp_is_symmetric", kBoth},
    {Kind::Symbol, "zelkcomp_linsolve", kBoth},
    {Kind::Symbol, "zelkcomp_maxeigen", kBoth},
    {Kind::Symbol, "zelkcomp_mineigen", kBoth},
    {Kind::Symbol, "zelkcomp_stop_httpd", kMain},
    // The exported data.
    {Kind::Symbol, "opts", kBoth},
    {Kind::Symbol, "state", kBoth},
    {Kind::Symbol, "State::g_statelocs[abi:cxx11]", kBoth},
    {Kind::Symbol, "errorHandler", kMain},
    {Kind::Symbol, "into", kMain},
    // The option entry points, decorated, and map_union.
    {Kind::Symbol, "zelkcomp_setopt(long, double)", kBoth},
    {Kind::Symbol, "zelkcomp_getopt(long, double*)", kBoth},
    {Kind::Symbol, "zelkcomp_buildopts(char const* const*, double const*, long)", kBoth},
    {Kind::Symbol, "zelkcomp_buildoptmap[abi:cxx11](char const* const*, double const*, long)",
     kBoth},
    {Kind::Symbol, "zelkcomp_buildoptmap[abi:cxx11](char const* const*, char const* const*, long)",
     kBoth},
    {Kind::Symbol, "zelkcomp_buildopts2[abi:cxx11](char const* const*, double const*, long)",
     kBoth},
    {Kind::Symbol,
     "map_union(std::map<std::string, std::variant<long, double, std::string, void*>> const&, "
     "std::map<std::string, std::variant<long, double, std::string, void*>> const&)",
     kBoth},
    // The monitor's entry points of zelk/monitor.h.
    {Kind::Symbol,
     "zelkcomp_start_httpd(std::map<std::string, std::valarray<double>*>&, "
     "std::vector<std::map<std::string, std::string>>&, RunInfo&)",
     kMain},
    {Kind::Symbol, "zelkcomp_wait_httpd(void*)", kMain},
    {Kind::Symbol,
     "void* zelkcomp_run_httpd<VariantPtrBase*>(std::map<std::string, VariantPtrBase*>&, "
     "std::map<std::string, VariantPtrBase*>&, std::map<std::string, std::valarray<double>*>&, "
     "std::vector<std::map<std::string, std::string>>&, RunInfo&)",
     kMain},
    // The classes those take, return or are made of, and the members no
    // host can do without.
    {Kind::Class, "OptsStruct", kBoth},
    {Kind::Class, "OptsDefaults", kBoth},
    {Kind::Class, "Opts", kBoth},
    {Kind::Symbol, "vtable for Opts", kBoth},
    {Kind::Symbol, "Opts::loadoptions(std::map<std::string, double> const&)", kBoth},
    {Kind::Class, "OptsTrovik", kMain},
    {Kind::Symbol, "vtable for OptsTrovik", kMain},
    {Kind::Class, "VariantPtrBase", kBoth},
    {Kind::Symbol, "typeinfo for VariantPtrBase", kBoth},
    {Kind::Class, "VariantPtr<long>", kBoth},
    {Kind::Symbol, "vtable for VariantPtr<long>", kBoth},
    {Kind::Class, "VariantPtr<int>", kBoth},
    {Kind::Symbol, "vtable for VariantPtr<int>", kBoth},
    {Kind::Class, "VariantPtr<unsigned int>", kBoth},
    {Kind::Symbol, "vtable for VariantPtr<unsigned int>", kBoth},
    {Kind::Class, "VariantPtr<double>", kBoth},
    {Kind::Symbol, "vtable for VariantPtr<double>", kBoth},
    {Kind::Class, "GlobalState", kBoth},
    {Kind::Symbol, "GlobalState::reset()", kBoth},
    // The matrix type the demo program builds its system in.
    {Kind::Class, "MatrixTemplate<double>", kBoth},
    {Kind::Symbol, "MatrixTemplate<double>::checkedCount(unsigned long, unsigned long)", kBoth},
};

// Where the template arguments that start at text[open] (a '<') end: the
// index of the matching '>'.
std::size_t closing(const std::string& text, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == '<') ++depth;
    if (text[i] == '>' && --depth == 0) return i;
  }
  return std::string::npos;
}

// The arguments between text[open] and its closing '>', split at the commas
// outside nested brackets.
std::vector<std::string> arguments(const std::string& text, std::size_t open, std::size_t close) {
  std::vector<std::string> args;
  int depth = 0;
  std::size_t from = open + 1;
  for (std::size_t i = open + 1; i < close; ++i) {
    if (text[i] == '<' || text[i] == '(') ++depth;
    if (text[i] == '>' || text[i] == ')') --depth;
    if (text[i] == ',' && depth == 0) {
      args.push_back(text.substr(from, i - from));
      from = i + 2;  // past ", "
    }
  }
  args.push_back(text.substr(from, close - from));
  return args;
}

// The demangled name as a reader writes it: ">>" for "> >", std::string
// for the string class, and std::map<K, V> and std::vector<T> without their
// default comparator and allocators. Innermost templates first, so that an
// outer one compares already shortened arguments.
std::string shortNames(std::string text) {
  for (std::size_t at; (at = text.find("> >")) != std::string::npos;) text.erase(at + 1, 1);
  const std::string longString =
      "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char>>";
  for (std::size_t at; (at = text.find(longString)) != std::string::npos;)
    text.replace(at, longString.size(), "std::string");
  for (std::size_t at = text.size(); at-- > 0;) {
    for (const std::string name : {"std::map<", "std::vector<"}) {
      if (text.compare(at, name.size(), name) != 0) continue;
      const std::size_t open = at + name.size() - 1, close = closing(text, open);
      if (close == std::string::npos) continue;
      const std::vector<std::string> a = arguments(text, open, close);
      std::string shorter;
      if (name == "std::map<" && a.size() == 4 && a[2] == "std::less<" + a[0] + ">" &&
          a[3] == "std::allocator<std::pair<" + a[0] + " const, " + a[1] + ">>")
        shorter = name + a[0] + ", " + a[1] + ">";
      if (name == "std::vector<" && a.size() == 2 && a[1] == "std::allocator<" + a[0] + ">")
        shorter = name + a[0] + ">";
      if (!shorter.empty()) text.replace(at, close + 1 - at, shorter);
    }
  }
  return text;
}

std::string demangled(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return shortNames(status == 0 && text ? text.get() : mangled);
}

// The class a demangled symbol belongs to: X of "vtable for X", "typeinfo
// for X" and "typeinfo name for X"; else the qualifier of its name (the text
// before the parameter list, without a return type); "" for a free name.
std::string owner(const std::string& symbol) {
  for (const std::string prefix : {"vtable for ", "typeinfo name for ", "typeinfo for "})
    if (symbol.rfind(prefix, 0) == 0) return symbol.substr(prefix.size());
  int depth = 0;
  std::size_t end = symbol.size(), start = 0;
  for (std::size_t i = 0; i < symbol.size(); ++i) {
    if (symbol[i] == '<') ++depth;
    if (symbol[i] == '>') --depth;
    if (depth != 0) continue;
    if (symbol[i] == '(') {
      end = i;
      break;
    }
    if (symbol[i] == ' ') start = i + 1;
  }
  std::string name = symbol.substr(start, end - start);
  depth = 0;
  for (std::size_t i = name.size(); i-- > 1;) {
    if (name[i] == '>') ++depth;
    if (name[i] == '<') --depth;
    if (depth == 0 && name[i] == ':' && name[i - 1] == ':') return name.substr(0, i - 1);
  }
  return std::string();
}

// count objects of type T at offset of the file.
template <class T>
std::vector<T> readAt(std::ifstream& in, std::uint64_t offset, std::size_t count) {
  std::vector<T> items(count);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(items.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (!in) items.clear();
  return items;
}

// The symbols a library defines for others: the defined global and weak
// entries of its dynamic symbol table, demangled.
std::set<std::string> exportedSymbols(const char* path) {
  std::set<std::string> names;
  std::ifstream in(path, std::ios::binary);
  const std::vector<Elf64_Ehdr> header = readAt<Elf64_Ehdr>(in, 0, 1);
  if (header.empty() || std::memcmp(header[0].e_ident, ELFMAG, SELFMAG) != 0) {
    ADD_FAILURE() << path << " is not a library";
    return names;
  }
  const std::vector<Elf64_Shdr> sections =
      readAt<Elf64_Shdr>(in, header[0].e_shoff, header[0].e_shnum);
  for (const Elf64_Shdr& table : sections) {
    if (table.sh_type != SHT_DYNSYM || table.sh_link >= sections.size()) continue;
    const Elf64_Shdr& text = sections[table.sh_link];
    const std::vector<char> strings = readAt<char>(in, text.sh_offset, text.sh_size);
    const std::vector<Elf64_Sym> symbols =
        readAt<Elf64_Sym>(in, table.sh_offset, table.sh_size / sizeof(Elf64_Sym));
    for (const Elf64_Sym& symbol : symbols) {
      if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbol.st_info) == STB_LOCAL ||
          symbol.st_name >= strings.size())
        continue;
      names.insert(demangled(&strings[symbol.st_name]));
    }
  }
  return names;
}

bool covers(const Export& line, const std::string& symbol) {
  return line.kind == Kind::Symbol ? symbol == line.name : owner(symbol) == line.name;
}

std::string realPath(const char* path) {
  char buf[PATH_MAX];
  return realpath(path, buf) ? std::string(buf) : std::string(path);
}

TEST(Exports, NameReading) {
  const struct {
    const char* symbol;
    const char* owner;
  } cases[] = {
      {"zelk", ""},
      {"State::g_statelocs[abi:cxx11]", "State"},
      {"vtable for VariantPtr<unsigned int>", "VariantPtr<unsigned int>"},
      {"typeinfo name for Opts", "Opts"},
      {"Opts::~Opts()", "Opts"},
      {"void Opts::bind<int>(std::map<std::string, double> const&, char const*, int&)", "Opts"},
      {"MatrixTemplate<double>::operator()(unsigned long, unsigned long) const",
       "MatrixTemplate<double>"},
      {"void* zelkcomp_run_httpd<VariantPtrBase*>(std::map<std::string, VariantPtrBase*>&)", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(owner(c.symbol), c.owner) << c.symbol;
  EXPECT_EQ(shortNames("f(std::vector<std::map<std::__cxx11::basic_string<char, std::char_traits"
                       "<char>, std::allocator<char> >, double, std::less<std::__cxx11::basic_"
                       "string<char, std::char_traits<char>, std::allocator<char> > >, std::"
                       "allocator<std::pair<std::__cxx11::basic_string<char, std::char_traits"
                       "<char>, std::allocator<char> > const, double> > >, std::allocator<std::"
                       "map<std::__cxx11::basic_string<char, std::char_traits<char>, std::"
                       "allocator<char> >, double, std::less<std::__cxx11::basic_string<char, "
                       "std::char_traits<char>, std::allocator<char> > >, std::allocator<std::"
                       "pair<std::__cxx11::basic_string<char, std::char_traits<char>, std::"
                       "allocator<char> > const, double> > > > >&)"),
            "f(std::vector<std::map<std::string, double>>&)");
}

// Each library exports its lines of the interface and nothing else; the
// main library's own lines are not in the component library.
TEST(Exports, EachLibraryExportsExactlyTheInterface) {
  for (const char* library : {kZelk, kZelkcomp}) {
    const bool main = library == kZelk;
    const std::set<std::string> symbols = exportedSymbols(library);
    for (const std::string& symbol : symbols) {
      bool listed = false;
      for (const Export& line : kInterface)
        listed = listed || ((main || !line.mainOnly) && covers(line, symbol));
      EXPECT_TRUE(listed) << library << " exports " << symbol;
    }
    for (const Export& line : kInterface) {
      bool found = false;
      for (const std::string& symbol : symbols) found = found || covers(line, symbol);
      EXPECT_EQ(found, main || !line.mainOnly) << library << ": " << line.name;
    }
  }
}

// The loader finds the undecorated entry points in the library itself, not
// in one of its dependencies.
TEST(Exports, TheLoaderFindsTheEntryPointsInTheLibraryItself) {
  for (const char* library : {kZelk, kZelkcomp}) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const Export& line : kInterface) {
      if (line.kind != Kind::Symbol || std::strpbrk(line.name, "(: ") != nullptr) continue;
      void* symbol = dlsym(handle, line.name);
      if (library == kZelkcomp && line.mainOnly) {
        EXPECT_EQ(symbol, nullptr) << line.name << " in " << library;
        continue;
      }
      ASSERT_NE(symbol, nullptr) << line.name << " missing from " << library;
      Dl_info info{};
      ASSERT_NE(dladdr(symbol, &info), 0) << line.name;
      EXPECT_EQ(realPath(info.dli_fname), realPath(library)) << line.name;
    }
    dlclose(handle);
  }
}

}  // namespace
