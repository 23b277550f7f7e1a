// The constant pool: literals decoded, deduplicated and numbered.
#pragma once

// The dump on the standard output stream (-d).
void printConstantPool();
// Releases every record of the pool at the end of the run.
void freeConstantPool();
