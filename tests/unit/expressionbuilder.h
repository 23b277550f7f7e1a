// For unit tests that build parser expressions by hand: variables and
// parameterless functions declared on first use, calls of them, and binary
// operators, each through the operations the parse actions use.
#pragma once

#include "binopexp.h"
#include "exprsion.h"
#include "identexp.h"
#include "strtable.h"

inline IdentifierRecord *variableRecord(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_VARIABLE};
  IdentifierRecord *record = findIdentifier(key);
  return record ? record : declareIdentifier(key);
}

inline Expression *var(const char *name) {
  variableRecord(name);
  return makeVariableExpression(internName(name));
}

// A call of a function without parameters, declared on first use.
inline Expression *call(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_FUNCTION};
  if (!findIdentifier(key))
    declareIdentifier(key);
  return buildFunctionCall(makeFunctionExpression(key.name), nullptr);
}

inline Expression *binary(ExpressionOperator op, Expression *left, Expression *right) {
  return buildBinaryExpression(op, left, right);
}
