// The output files are replaced whole or not at all. Each one is first
// staged: written completely to a new file beside its path; commitOutputFiles
// then moves it over its path. The compiled unit is committed before the
// debug file is opened, so a debug file that cannot be written ends the run
// with the unit in place. A run that ends with a file staged (a file that
// cannot be opened or written, memory exhausted on the way, any fatal
// condition, even a failed assertion) removes what it staged and leaves that
// file's old version.
//
// A path that is neither a regular file nor absent (a device such as
// /dev/null, a pipe) is written in place, and so is a path whose directory
// takes no new file; such a write cannot be undone.
#pragma once

#include <cstddef>
#include <cstdint>

enum OutputFileKind : int {
  CompiledUnitFile = 0,
  DebugInformationFile = 1,
};

// Writes size bytes for path. A path that cannot be opened ends the run with
// "Could not open output file "<path>" for writing" on the standard error
// stream (for the debug file "Could not open debug output file "<path>" for
// writing" on the standard output stream); a failed write or close ends it
// with "Could not write output file "<path>"" (or "debug output file").
// Status 1 in every case.
void stageOutputFile(const char *path, const std::uint8_t *bytes, std::size_t size,
                     OutputFileKind kind);

// Moves every staged file over its path, in the order staged.
void commitOutputFiles();

// Whether path names the file inputPath names: the same device and inode, so
// another spelling, a hard link or a symbolic link counts. A path that does
// not exist (yet) names no input.
bool namesInputFile(const char *inputPath, const char *path);
