#include "pragma.h"

// No pragma is recorded until the grammar reads them.
void initPragmas() {}

void printPragmaPool() {}

void destroyPragmas() {}
