#include "codegen.h"

namespace {
struct WriterState {
  const char *outputFileName;
};
} // namespace

static constinit WriterState writer{};

void setOutputFileName(const char *name) { writer.outputFileName = name; }

const char *getOutputFileName() { return writer.outputFileName; }
