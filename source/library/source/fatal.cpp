#include "fatal.h"
#include "tavokassert.h"

#include <cstdio>
#include <cstdlib>

void fatalError(const char *message) {
  std::fprintf(stderr, "Fatal Error %s\n", message);
  std::exit(1);
}

void assertionFailed(const char *condition, const char *file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}
