#pragma once
// Whether a decomposition measures its own errors after factorising (the
// option "checkdecomp"): a few more dense products that fill relErrDecomp,
// relErrRecon and relErrUnitary.
//
// Dense code does not see the option block. Callers above it pass the
// choice in; a constructor called without one asks the source the options
// layer installs when the library loads (before that, and without one: off).

enum class DecompChecks : bool { off = false, on = true };

using DecompChecksSource = DecompChecks (*)() noexcept;

// Installs the source of the default choice; null goes back to off.
void installDecompChecksSource(DecompChecksSource source) noexcept;

// The default choice, read from the installed source at each call.
DecompChecks defaultDecompChecks() noexcept;
