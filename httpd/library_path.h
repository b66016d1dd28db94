#pragma once
// Where the monitor finds its static files.
//
// The main library looks itself up in the process's memory map and derives
// the installation prefix from its own folder: a library in PREFIX/lib or
// in a multiarch folder PREFIX/lib/x86_64-linux-gnu serves
// PREFIX/share/Zelk/html; a library in any other folder (a build folder,
// say) serves that folder's html/. The variables ZELK_HOME, ZELK_SHARE and
// ZELK_HTMLROOT replace the steps of that derivation; a variable set to the
// empty text counts as set, except ZELK_HOME, which is then derived as if
// unset. An empty ZELK_SHARE or ZELK_HTMLROOT gives the empty document root,
// which serves no files.

#include <functional>
#include <string>
#include <string_view>

#include "httpd/get_env.h"

// The folder of the first mapping of "libzelk.so" in a /proc/self/maps
// text, or "".
std::string libraryDirFromMaps(std::string_view maps);

// The folder of the loaded main library, from /proc/self/maps, or "".
std::string getZelkLibraryPath();

// The document root for the three variables; libraryDir is asked only when
// the installation prefix must be derived.
std::string monitorDocumentRoot(const GetEnv& home, const GetEnv& share, const GetEnv& htmlRoot,
                                const std::function<std::string()>& libraryDir);
