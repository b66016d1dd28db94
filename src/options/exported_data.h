#pragma once
// Marks the declarations of data that the library exports to host programs.
//
// Both shared libraries are linked with -Bsymbolic, so their own code always
// uses their own copy of a global. A host program compiled as a position-
// independent executable would normally reach such a global through a copy
// relocation: the executable gets a private duplicate of the object, and the
// library keeps using its own. The host would then read an unconstructed
// `opts` and set an `errorHandler` the library never sees. Telling the
// compiler that the data may live in a shared object makes every user go
// through the GOT, so host and library share one object.

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#define ZELK_EXPORTED_DATA __attribute__((nodirect_extern_access))
#else
// Other compilers: build host programs with -fPIC (or
// -fno-direct-access-external-data) instead.
#define ZELK_EXPORTED_DATA
#endif
