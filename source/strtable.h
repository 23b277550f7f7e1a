// The symbol table: interned names and the identifiers declared per name space.
#pragma once

// The dump on the standard output stream (-d).
void printSymbolTable();
// Releases the name table and every identifier record at the end of the run.
void destroySymbolTable();
