// Statements and basic blocks: the intermediate code of one function.
#pragma once

// From the first counted error on, no intermediate code is built for the rest
// of the run; parsing and checking go on.
void abandonStatements();
