// Internal consistency checks. They guard the modules against each other's
// misuse, stay on in every build type and never depend on NDEBUG: a broken
// condition prints its own text and aborts.
#pragma once

[[noreturn]] void assertionFailed(const char *condition, const char *file, int line);

// Runs once, after the message and before the abort: the compiler removes the
// output files it has staged, so that even an internal error leaves no partial
// file behind.
void setAssertionCleanup(void (*cleanup)());

#define ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : assertionFailed(#condition, __FILE__, __LINE__))
