// Identifier expressions: a use of a variable or of a function name in an
// expression becomes an IdentifierLeaf that refers to its record.
#pragma once

#include "strtable.h"

struct Expression;

// Null when the variable is not declared: reported once per name per
// function, and every later use fails silently.
Expression *makeVariableExpression(NameId name);
// A function not yet declared gets its index now, with the warning
// "Function is used before declaration". Null only for a name beyond the 256
// function indices a call can encode ("Number of functions exceed maximum
// limit").
Expression *makeFunctionExpression(NameId name);
