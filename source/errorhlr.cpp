#include "errorhlr.h"

#include "stmntir.h"
#include "tavokassert.h"
#include "wmllex.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

struct ErrorState {
  int warningsEnabled;
  int errorCount;
  int errorLimit;
  int errorPending;   // noticed and not yet counted
  int errorLine;      // line of the pending error; 0 when none was recorded
  int errorReported;  // the pending error already has its message
};

constexpr const char *errorMessages[] = {
#define X(name, code, text) text,
    TAVOK_ERROR_MESSAGES(X)
#undef X
};

constexpr const char *syntaxErrorMessages[] = {
#define X(name, code, text) text,
    TAVOK_SYNTAX_ERROR_MESSAGES(X)
#undef X
};

constexpr const char *warningMessages[] = {
#define X(name, code, text) text,
    TAVOK_WARNING_MESSAGES(X)
#undef X
};

static_assert(std::size(errorMessages) == 30);
static_assert(std::size(syntaxErrorMessages) == 10);
static_assert(std::size(warningMessages) == 3);

} // namespace

static constinit ErrorState errors{.warningsEnabled = 1, .errorCount = 0, .errorLimit = 20,
                                   .errorPending = 0, .errorLine = 0, .errorReported = 0};

// "<file> (<line>) <kind>: <message>", or without the file name before the
// input is open.
static void printDiagnostic(int line, const char *kind, const char *message) {
  if (const char *fileName = getInputFileName())
    std::fprintf(stderr, "%s (%d) %s: %s\n", fileName, line, kind, message);
  else
    std::fprintf(stderr, " (%d) %s: %s\n", line, kind, message);
}

const char *errorMessageText(ErrorCode code) {
  ASSERT(code >= 0 && code < static_cast<int>(std::size(errorMessages)));
  return errorMessages[code];
}

const char *syntaxErrorMessageText(SyntaxErrorCode code) {
  ASSERT(code >= 0 && code < static_cast<int>(std::size(syntaxErrorMessages)));
  return syntaxErrorMessages[code];
}

const char *warningMessageText(WarningCode code) {
  ASSERT(code >= 0 && code < static_cast<int>(std::size(warningMessages)));
  return warningMessages[code];
}

void disableWarnings() { errors.warningsEnabled = 0; }

void setErrorLimit(int noOfErrors) {
  ASSERT((noOfErrors > 0) && (noOfErrors <= 1000));
  errors.errorLimit = noOfErrors;
}

void reportWarning(WarningCode code) {
  if (!errors.warningsEnabled)
    return;
  printDiagnostic(getLineNumber(), "Warning", warningMessageText(code));
}

int markError() {
  errors.errorPending = 1;
  errors.errorLine = getLineNumber();
  return 1;
}

void reportError(ErrorCode code) {
  if (errors.errorReported)
    return;
  markError();
  printDiagnostic(errors.errorLine, "Error", errorMessageText(code));
  errors.errorReported = 1;
}

void suppressErrorMessage() { errors.errorReported = 1; }

void reportSyntaxError(SyntaxErrorCode code) {
  // A syntax error found by the parser was marked at its lookahead token, so
  // the message names that token's line even when the error rule is reduced
  // lines later.
  if (errors.errorLine == 0)
    errors.errorLine = getLineNumber();
  if (!errors.errorReported)
    printDiagnostic(errors.errorLine, "Error", syntaxErrorMessageText(code));
  errors.errorLine = 0;
  errors.errorPending = 0;
  errors.errorReported = 0;
  errors.errorCount += 1;
  abandonStatements();
  if (errors.errorCount == errors.errorLimit)
    fatalError("Error limit exceeded");
}

int isErrorPending() { return errors.errorPending; }

int hasErrors() { return errors.errorCount > 0; }

int errorCountSoFar() { return errors.errorCount; }

void *checkedCalloc(std::size_t count, std::size_t size, const char *moduleName, int line) {
  void *memory = std::calloc(count, size);
  if (!memory && count != 0 && size != 0) {
    // The byte count is printed in full: a request too large for an int
    // must not show up as a negative or truncated size.
    std::fprintf(stderr, "%s,%d: could not allocated %zu bytes\n", moduleName, line, count * size);
    std::exit(1);
  }
  return memory;
}
