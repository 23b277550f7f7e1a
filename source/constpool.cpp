#include "constpool.h"

// The pool holds no constants until literals are read.
void printConstantPool() {}

void freeConstantPool() {}
