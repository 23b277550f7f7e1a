// The compiled file: the function pool, instruction selection and the debug file.
#pragma once

// Remembers the output file name for the compiled unit and, with ".dbg"
// appended, for the debug file. The file is opened only when the unit is
// written, and only when the compilation had no error.
void setOutputFileName(const char *name);
const char *getOutputFileName();
