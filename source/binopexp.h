// Operator expressions and calls. The parse actions hand over operands that
// are already built; the builders link them into nodes, enforce the range
// rule for the literal 2147483648, fold unary plus and minus over constants,
// and resolve and check calls. A builder that finds an error reports one
// message, releases what it was given and returns null.
#pragma once

#include "exprsion.h"
#include "strtable.h"

#include <cstdint>

// False exactly for an integer constant leaf whose signParity is odd, after
// reporting "Integer constant is out of range". True for null.
bool checkIntegerRange(const Expression *expression);
// The expression, or null (and released) when its range check fails.
Expression *checkedExpression(Expression *expression);

Expression *buildUnaryExpression(ExpressionOperator op, Expression *operand);
Expression *buildBinaryExpression(ExpressionOperator op, Expression *left, Expression *right);
Expression *buildAssignment(ExpressionOperator op, Expression *target, Expression *value);
Expression *buildConditional(Expression *condition, Expression *thenValue, Expression *elseValue);

// Calls. arguments may be null for an empty argument list; it is always
// consumed.
Expression *buildFunctionCall(Expression *callee, ParameterList *arguments);
Expression *buildExternalCall(NameId urlName, NameId functionName, ParameterList *arguments);
Expression *buildLibraryCall(NameId libraryName, NameId functionName, ParameterList *arguments);

// The first call or the definition fixes a function's parameter count.
bool checkParameterCount(IdentifierRecord *function, int count);
bool defineFunction(IdentifierRecord *function, int count);
void setExternFlag();
void clearExternFlag();
bool isExternFlagSet();
// After a broken function header: a nameless function with no parameters is
// declared and defined so that the body is still checked. Returns its record,
// which the caller opens as the current definition.
IdentifierRecord *definePlaceholderFunction();

// The standard library, resolved at compile time.
int findLibrary(const char *name);                          // library index or -1
int findLibraryFunction(int libraryIndex, const char *name);  // function index or -1
int libraryParameterCount(int libraryIndex, int functionIndex);
