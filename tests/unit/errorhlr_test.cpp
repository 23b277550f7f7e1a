// The diagnostics state machine: one message and one count per error, the
// message formats, warnings that are never counted, and the error limit.
#include "errorhlr.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Counts whatever an earlier test left pending, so each test starts clean.
void settlePendingError() {
  if (isErrorPending()) {
    CaptureStderr();
    reportSyntaxError(SyntaxErrorInProgram);
    GetCapturedStderr();
  }
}

TEST(MessageTables, KeepTheSystemsOwnTexts) {
  EXPECT_STREQ(errorMessageText(EndOfFileInComment), "End of file encountered in comment");
  EXPECT_STREQ(errorMessageText(InvalidCharacterInConstant),
               "Invalid character encountered in source file");
  EXPECT_STREQ(errorMessageText(TooManyPragmas), "Number of pragms is out of range");
  EXPECT_STREQ(errorMessageText(IllegalEscapeSequence), "Illegal escape sequence");
  EXPECT_STREQ(syntaxErrorMessageText(SyntaxErrorInFunctionDeclaration),
               "Syntax error in function declarartion");
  EXPECT_STREQ(syntaxErrorMessageText(SyntaxErrorInVariableDeclaration),
               "Syntax error in variable declaration statement");
  EXPECT_STREQ(warningMessageText(UnexpectedEndOfFile), "Unexpected end of file");
}

TEST(Diagnostics, WithoutAFileNameTheLineStandsAlone) {
  settlePendingError();
  ASSERT_EQ(getInputFileName(), nullptr);
  setLineNumber(7);
  CaptureStderr();
  reportError(IdentifierNotDeclared);
  reportWarning(FunctionUsedBeforeDeclaration);
  EXPECT_EQ(GetCapturedStderr(),
            " (7) Error: Identifier is not declared\n"
            " (7) Warning: Function is used before declaration\n");
  settlePendingError();
}

TEST(Diagnostics, AReportedErrorIsCountedOnceAndSilently) {
  settlePendingError();
  int before = errorCountSoFar();
  setLineNumber(3);
  CaptureStderr();
  reportError(IdentifierNotDeclared);
  reportError(IdentifierRedeclared);  // same statement: no second message
  setLineNumber(9);
  reportSyntaxError(SyntaxErrorInStatement);  // counted, prints nothing more
  EXPECT_EQ(GetCapturedStderr(), " (3) Error: Identifier is not declared\n");
  EXPECT_EQ(errorCountSoFar(), before + 1);
  EXPECT_FALSE(isErrorPending());
  EXPECT_TRUE(hasErrors());
}

TEST(Diagnostics, SyntaxErrorNamesTheLineWhereItWasMarked) {
  settlePendingError();
  setLineNumber(4);
  EXPECT_EQ(markError(), 1);
  EXPECT_TRUE(isErrorPending());
  setLineNumber(12);  // the error rule is reduced lines later
  CaptureStderr();
  reportSyntaxError(SyntaxErrorInBlock);
  EXPECT_EQ(GetCapturedStderr(), " (4) Error: Syntax error in block\n");
}

TEST(Diagnostics, UnmarkedSyntaxErrorTakesTheCurrentLine) {
  settlePendingError();
  setLineNumber(21);
  CaptureStderr();
  reportSyntaxError(SyntaxErrorInProgram);
  EXPECT_EQ(GetCapturedStderr(), " (21) Error: Syntax error in program\n");
}

TEST(Diagnostics, SuppressedErrorIsCountedWithoutAMessage) {
  settlePendingError();
  int before = errorCountSoFar();
  markError();
  suppressErrorMessage();
  CaptureStderr();
  reportError(IdentifierNotDeclared);  // the pending error counts as reported
  reportSyntaxError(SyntaxErrorInStatement);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(errorCountSoFar(), before + 1);
}

TEST(Diagnostics, EachCountedErrorGetsItsOwnMessage) {
  settlePendingError();
  setLineNumber(5);
  CaptureStderr();
  reportError(IdentifierNotDeclared);
  reportSyntaxError(SyntaxErrorInStatement);
  reportError(IdentifierNotDeclared);
  reportSyntaxError(SyntaxErrorInStatement);
  EXPECT_EQ(GetCapturedStderr(), " (5) Error: Identifier is not declared\n"
                                 " (5) Error: Identifier is not declared\n");
}

TEST(Diagnostics, WarningsAreNeitherMarkedNorCounted) {
  settlePendingError();
  int before = errorCountSoFar();
  CaptureStderr();
  reportWarning(EmptyStringInPragma);
  GetCapturedStderr();
  EXPECT_FALSE(isErrorPending());
  EXPECT_EQ(errorCountSoFar(), before);
}

TEST(DiagnosticsDeathTest, DisabledWarningsPrintNothing) {
  EXPECT_EXIT(
      {
        disableWarnings();
        reportWarning(FunctionUsedBeforeDeclaration);
        std::fputs("end", stderr);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^end$");
}

TEST(DiagnosticsDeathTest, TheTwentiethErrorEndsTheRun) {
  EXPECT_EXIT(
      {
        settlePendingError();
        while (true) {
          markError();
          reportSyntaxError(SyntaxErrorInStatement);
        }
      },
      testing::ExitedWithCode(1), "Fatal Error Error limit exceeded\n$");
}

TEST(DiagnosticsDeathTest, ALowerLimitEndsTheRunSooner) {
  EXPECT_EXIT(
      {
        settlePendingError();
        setErrorLimit(errorCountSoFar() + 2);
        markError();
        reportSyntaxError(SyntaxErrorInStatement);
        std::fputs("first counted\n", stderr);
        markError();
        reportSyntaxError(SyntaxErrorInStatement);
        std::exit(0);
      },
      testing::ExitedWithCode(1), "first counted\n.*Fatal Error Error limit exceeded\n$");
}

TEST(DiagnosticsDeathTest, ErrorLimitOutsideItsRangeIsAnInternalError) {
  EXPECT_DEATH(setErrorLimit(0), "noOfErrors > 0");
  EXPECT_DEATH(setErrorLimit(1001), "noOfErrors <= 1000");
}

TEST(DiagnosticsDeathTest, FatalErrorPrintsAndExitsWithOne) {
  EXPECT_EXIT(fatalError("No memory space"), testing::ExitedWithCode(1),
              "^Fatal Error No memory space\n$");
}

TEST(CheckedAllocation, ReturnsZeroFilledMemory) {
  auto *bytes = static_cast<unsigned char *>(checkedAllocate(16, 4));
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(bytes[i], 0);
  std::free(bytes);
}

TEST(CheckedAllocationDeathTest, ExhaustedMemoryNamesModuleLineAndSize) {
  EXPECT_EXIT(checkedCalloc(std::size_t{1} << 20, std::size_t{1} << 25, "wrapper.cpp", 42),
              testing::ExitedWithCode(1),
              "wrapper.cpp,42: could not allocated 35184372088832 bytes\n$");
}

} // namespace
