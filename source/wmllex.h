// The lexical analyser reads the source as a stream of 8-bit characters in
// blocks and owns the current source line, which every diagnostic and every
// line stamp of the intermediate code uses.
#pragma once

// Opens the source for reading; on failure prints "Fatal Error Unable to open
// input file" (no line end) and exits with status 1.
void openInputFile(const char *inputFileName);

// The name given to openInputFile, or null before the input is open.
const char *getInputFileName();

int getLineNumber();
// The statement emitter sets the line while it emits code saved at an earlier
// line, then restores it.
void setLineNumber(int line);
