// Pragmas: access control and user-agent properties, and the pragma pool.
#pragma once

// Before parsing: no access control defined yet.
void initPragmas();
// The dump on the standard output stream (-d).
void printPragmaPool();
// Releases every pragma record at the end of the run.
void destroyPragmas();
