// The program entry, apart from the driver so that the tests link the driver
// with everything else.
#include "wrapper.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// One run compiles one unit and exits, and a deep expression's trees take
// tens of megabytes and give them back function after function. The C
// library would return large freed blocks to the system at once (and the top
// of its heap once it passes a threshold), so that the next function faults
// the same memory in again page by page: on a 4 MB unit of deep expressions
// that was a seventh of the run. Freed memory is kept for the run's own later
// allocations instead; the peak stays what it was.
static void keepFreedMemory() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
#endif
}

int main(int argc, char **argv) {
  keepFreedMemory();
  return runCompilation(argc, argv);
}
