// The one way out of the process for conditions that end the run: memory
// exhausted, the error limit, files that cannot be opened, limits of the
// output format. The support library reports through it directly; the
// compiler's diagnostics module forwards its own fatal messages to it.
#pragma once

// Prints "Fatal Error <message>\n" on the standard error stream and exits
// with status 1. Nothing is closed or written.
[[noreturn]] void fatalError(const char *message);

// The message of every container and pool of the support library.
inline constexpr const char *noMemorySpace = "No memory space";
