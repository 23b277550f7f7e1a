#include "fatal.h"
#include "tavokassert.h"

#include <cstdio>
#include <cstdlib>

void fatalError(const char *message) {
  std::fprintf(stderr, "Fatal Error %s\n", message);
  std::exit(1);
}

using Cleanup = void (*)();
static constinit Cleanup assertionCleanup = nullptr;

void setAssertionCleanup(void (*cleanup)()) { assertionCleanup = cleanup; }

void assertionFailed(const char *condition, const char *file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
  std::fflush(stderr);
  // A cleanup that fails an assertion itself aborts without running again.
  if (Cleanup cleanup = assertionCleanup) {
    assertionCleanup = nullptr;
    cleanup();
  }
  std::abort();
}
