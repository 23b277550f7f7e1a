// The compilation driver: the command line, the order of the phases and the
// verdict. The flags are set once by the command line and read by all phases.
#pragma once

// -d: print the internal tables and every function's intermediate code.
int isDumpEnabled();
// -g: write the debug file and keep the debug bookkeeping.
int isDebugInfoEnabled();

// Checks the arguments and opens the input; returns only when both file
// names are present and the input is open.
void processCommandLine(int argc, char **argv);
// The usage text, then exit status 1.
[[noreturn]] void printUsage();

// The whole run: command line, parse (which compiles and writes the unit),
// pending error, dumps, teardown, verdict. Returns the exit status: 0 after
// "Compilation successful", 1 after "Compilation failed"; early stops exit 1
// themselves.
int runCompilation(int argc, char **argv);
