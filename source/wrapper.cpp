#include "wrapper.h"

#include "codegen.h"
#include "constpool.h"
#include "errorhlr.h"
#include "outputfile.h"
#include "pragma.h"
#include "strtable.h"
#include "wmlgrammar.tab.h"
#include "wmllex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
struct CompileFlags {
  int dumpEnabled;
  int debugInfoEnabled;
  char *inputFileName;
  char *outputFileName;
};
} // namespace

static constinit CompileFlags flags{};

int isDumpEnabled() { return flags.dumpEnabled; }

int isDebugInfoEnabled() { return flags.debugInfoEnabled; }

void printUsage() {
  std::fputs("\n Usage: tavok [-w | -g] <inputFile> <outputFile> \n", stdout);
  std::fflush(stdout);
  std::fputs("     -w : option for suppress warnings\n", stderr);
  std::fputs("     -g : debug information option\n", stderr);
  std::exit(1);
}

// Only the second character of an option counts: -gx acts as -g, and a lone
// "-" (whose second character is the terminating NUL) is unknown.
static void applyOption(const char *argument) {
  switch (argument[1]) {
  case 'd':
    flags.dumpEnabled = 1;
    return;
  case 'g':
    flags.debugInfoEnabled = 1;
    return;
  case 'w':
    disableWarnings();
    return;
  default:
    printUsage();
  }
}

static char *copyFileName(const char *argument) {
  std::size_t length = std::strlen(argument);
  auto *copy = static_cast<char *>(checkedAllocate(length + 1, 1));
  std::memcpy(copy, argument, length + 1);
  return copy;
}

// Writing over the input would destroy the source it was compiled from, so
// an output file (or, with -g, its debug file) that is the input stops the
// run before anything is read or written. The message names the file as the
// user wrote it (the debug file as it would be formed).
static void refuseInputAsOutput() {
  const char *clash = nullptr;
  char *debugFileName = nullptr;
  if (namesInputFile(flags.inputFileName, flags.outputFileName)) {
    clash = flags.outputFileName;
  } else if (flags.debugInfoEnabled) {
    debugFileName = debugFileNameOf(flags.outputFileName);
    if (namesInputFile(flags.inputFileName, debugFileName))
      clash = debugFileName;
  }
  if (clash)
    std::fprintf(stderr, "Output file \"%s\" is the input file\n", clash);
  std::free(debugFileName);
  if (clash)
    std::exit(1);
}

void processCommandLine(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *argument = argv[i];
    if (argument[0] == '-')
      applyOption(argument);
    else if (!flags.inputFileName)
      flags.inputFileName = copyFileName(argument);
    else if (!flags.outputFileName)
      flags.outputFileName = copyFileName(argument);
    else
      printUsage();
  }
  if (!flags.inputFileName || !flags.outputFileName)
    printUsage();
  refuseInputAsOutput();
  openInputFile(flags.inputFileName);
  setOutputFileName(flags.outputFileName);
}

// The few standard containers report exhausted memory by an exception that
// nobody catches; the run ends the way it does in the pools instead.
static void endRunWithoutMemory() { fatalError(noMemorySpace); }

int runCompilation(int argc, char **argv) {
  std::set_new_handler(endRunWithoutMemory);
  processCommandLine(argc, argv);
  initPragmas();
  yyparse();  // compiles every function and writes the unit from its start rule
  if (isErrorPending())
    reportSyntaxError(SyntaxErrorInProgram);
  if (flags.dumpEnabled) {
    printPragmaPool();
    printConstantPool();
    printSymbolTable();
  }
  freeConstantPool();
  destroySymbolTable();
  destroyPragmas();
  std::free(flags.inputFileName);
  std::free(flags.outputFileName);
  // Diagnostics written before a successful verdict stay in order with it.
  std::fflush(stdout);
  if (hasErrors()) {
    std::fputs("Compilation failed\n", stderr);
    return 1;
  }
  std::fputs("Compilation successful\n", stderr);
  return 0;
}
