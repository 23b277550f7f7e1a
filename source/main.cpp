// The program entry, apart from the driver so that the tests link the driver
// with everything else.
#include "wrapper.h"

int main(int argc, char **argv) { return runCompilation(argc, argv); }
