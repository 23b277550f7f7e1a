// The diagnostics state machine: one message and one count per error, the
// line an error was marked at, suppression, and warnings that never count.
#include "errorhlr.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

// Exhausted memory must reach the program's own message, not the sanitizer's report.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

// Steps: a number sets the line; m marks, e reports an error, x suppresses
// its message, s reports a syntax error (counts), w warns.
struct DiagnosticsCase {
  const char *steps;
  const char *messages;
  int counted;
};

const DiagnosticsCase diagnosticsCases[] = {
    {"3 e e 9 s", " (3) Error: Identifier is not declared\n", 1},  // one message, counted once
    {"4 m 12 s", " (4) Error: Syntax error in statement\n", 1},    // the line of the mark
    {"21 s", " (21) Error: Syntax error in statement\n", 1},       // unmarked: the current line
    {"m x e s", "", 1},
    {"5 e s e s", " (5) Error: Identifier is not declared\n (5) Error: Identifier is not declared\n", 2},
    {"7 w", " (7) Warning: Function is used before declaration\n", 0},
    {"8 e w s", " (8) Error: Identifier is not declared\n (8) Warning: Function is used before declaration\n", 1},
};

TEST(Diagnostics, EachErrorGetsAtMostOneMessageAndExactlyOneCount) {
  for (const DiagnosticsCase &c : diagnosticsCases) {
    SCOPED_TRACE(c.steps);
    const int before = errorCountSoFar();
    testing::internal::CaptureStderr();
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      switch (step[0]) {
      case 'm': markError(); break;
      case 'e': reportError(IdentifierNotDeclared); break;
      case 'x': suppressErrorMessage(); break;
      case 's': reportSyntaxError(SyntaxErrorInStatement); break;
      case 'w': reportWarning(FunctionUsedBeforeDeclaration); break;
      default: setLineNumber(std::stoi(step));
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages);
    EXPECT_EQ(errorCountSoFar(), before + c.counted);
    EXPECT_FALSE(isErrorPending());
    EXPECT_EQ(hasErrors(), errorCountSoFar() > 0);
  }
}

TEST(CheckedAllocationDeathTest, ExhaustedMemoryNamesModuleLineAndTheFullSize) {
  EXPECT_EXIT(checkedCalloc(std::size_t{1} << 20, std::size_t{1} << 25, "wrapper.cpp", 42),
              testing::ExitedWithCode(1), "wrapper.cpp,42: could not allocated 35184372088832 bytes\n$");
}

} // namespace
