#include "stmntir.h"

// Nothing is built yet that could be abandoned: the statement layer has no
// records before the parser produces them.
void abandonStatements() {}
