// Diagnostics: every source error, syntax error, warning and fatal condition
// is reported here, and here alone the errors are counted. One noticed error
// gives at most one message and exactly one count: an error is first marked
// pending (with its line), may get its message printed once, and is counted
// and reset only by reportSyntaxError, called by the parser's error rules or
// by the driver for an error still pending at the end of the parse.
#pragma once

#include "fatal.h"

#include <cstddef>

// Source errors, code and message in one row. Codes 2, 3 and 6 are never raised.
#define TAVOK_ERROR_MESSAGES(X)                                                              \
  X(EndOfFileInComment, 0, "End of file encountered in comment")                             \
  X(InvalidCharacter, 1, "Invalid character encountered in source file")                     \
  X(EmptyCharacterConstant, 2, "The character constant is empty")                            \
  X(UnterminatedCharacterConstant, 3, "Unterminated character constant")                     \
  X(UnterminatedString, 4, "Unterminated string constant")                                   \
  X(IncorrectConstantSyntax, 5, "Incorrect syntax for constant")                             \
  X(InvalidCharacterInConstant, 6, "Invalid character encountered in source file")           \
  X(IdentifierRedeclared, 7, "Identifier Redeclared")                                        \
  X(IdentifierNotDeclared, 8, "Identifier is not declared")                                  \
  X(FloatOutOfRange, 9, "Float constant is out of range")                                    \
  X(IntegerOutOfRange, 10, "Integer constant is out of range")                               \
  X(TooManyConstants, 11, "Number of constants is out of range")                             \
  X(StringTooLong, 12, "String constant length is out of range")                             \
  X(TooManyPragmas, 13, "Number of pragms is out of range")                                  \
  X(AccessControlRedefined, 14, "Access Control is already defined")                         \
  X(ArgumentCountMismatch, 15, "Number of actual and formal parameter are different")        \
  X(FunctionRedefined, 16, "Trying to redefine Function")                                    \
  X(InvalidLibrary, 17, "Invalid Library encountered in source file")                        \
  X(InvalidLibraryFunction, 18, "Invalid Library function encountered in source file")       \
  X(InvalidExternalPragma, 19, "Invalid external pragma used in source file")                \
  X(FunctionNameTooLong, 20, "Function name size exceeds maximum limit")                     \
  X(TooManyFunctions, 21, "Number of functions exceed maximum limit")                        \
  X(TooManyParameters, 22, "Number of function parameters exceeds maximum limit")            \
  X(TooManyLocals, 23, "Number of locals in function exceeds maximum limit")                 \
  X(TooManyVariables, 24, "Number of locals and params in function exceeds maximum limit")   \
  X(LibraryIndexOutOfRange, 25, "Library index out of range")                                \
  X(LibraryFunctionIndexOutOfRange, 26, "Library function index out of range")               \
  X(ReservedKeyword, 27, "Encountered reserved keyword")                                     \
  X(LibraryCallArgumentCount, 28, "Incorrect number of parameters in library call")          \
  X(IllegalEscapeSequence, 29, "Illegal escape sequence")

// Syntax errors, printed by the grammar's error rules. Code 4 is never raised.
#define TAVOK_SYNTAX_ERROR_MESSAGES(X)                                         \
  X(SyntaxErrorInProgram, 0, "Syntax error in program")                        \
  X(SyntaxErrorInStatement, 1, "Syntax error in statement")                    \
  X(SyntaxErrorInConditional, 2, "Syntax error in conditional statement")      \
  X(SyntaxErrorInFor, 3, "Syntax error in for statement")                      \
  X(SyntaxErrorInFunctionDefinition, 4, "Syntax error in function definition") \
  X(SyntaxErrorInPragma, 5, "Syntax error in pragma declaration")              \
  X(SyntaxErrorInArgumentList, 6, "Syntax error in argument list")             \
  X(SyntaxErrorInFunctionDeclaration, 7, "Syntax error in function declarartion") \
  X(SyntaxErrorInBlock, 8, "Syntax error in block")                            \
  X(SyntaxErrorInVariableDeclaration, 9, "Syntax error in variable declaration statement")

// Warnings: printed only, never counted. Code 2 is never raised.
#define TAVOK_WARNING_MESSAGES(X)                                   \
  X(EmptyStringInPragma, 0, "Empty string is used in Pragmas")      \
  X(FunctionUsedBeforeDeclaration, 1, "Function is used before declaration") \
  X(UnexpectedEndOfFile, 2, "Unexpected end of file")

enum ErrorCode : int {
#define X(name, code, text) name = code,
  TAVOK_ERROR_MESSAGES(X)
#undef X
};

enum SyntaxErrorCode : int {
#define X(name, code, text) name = code,
  TAVOK_SYNTAX_ERROR_MESSAGES(X)
#undef X
};

enum WarningCode : int {
#define X(name, code, text) name = code,
  TAVOK_WARNING_MESSAGES(X)
#undef X
};

// The texts, indexed by code (for tests and tools).
const char *errorMessageText(ErrorCode code);
const char *syntaxErrorMessageText(SyntaxErrorCode code);
const char *warningMessageText(WarningCode code);

void disableWarnings();
// 1 to 1000; the limit stays 20 unless someone sets it.
void setErrorLimit(int noOfErrors);

void reportWarning(WarningCode code);
// Marks an error pending at the current line; returns 1. Prints nothing.
int markError();
// Prints the message and marks the error, unless the pending error already
// has its message. Does not count.
void reportError(ErrorCode code);
// The pending error, when counted, prints nothing.
void suppressErrorMessage();
// Prints the message unless one was printed for the pending error, counts
// the error, stops all building of intermediate code, and ends the run when
// the error limit is reached.
void reportSyntaxError(SyntaxErrorCode code);

int isErrorPending();
int hasErrors();
int errorCountSoFar();

// A zero-filled array of count elements of size bytes. Memory exhausted ends
// the run with "<module>,<line>: could not allocated <bytes> bytes".
void *checkedCalloc(std::size_t count, std::size_t size, const char *moduleName, int line);
#define checkedAllocate(count, size) checkedCalloc((count), (size), __FILE_NAME__, __LINE__)
