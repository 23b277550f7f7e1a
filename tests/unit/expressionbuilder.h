// For unit tests that build parser expressions by hand and read what
// lowering appends: plain nodes over variable leaves by index; variables and
// parameterless functions declared on first use, calls of them, and binary
// operators, each through the operations the parse actions use; a fresh
// current block and the statements of a block in order.
#pragma once

#include "binopexp.h"
#include "emitstat.h"
#include "exprsion.h"
#include "identexp.h"
#include "shortckt.h"
#include "stmntir.h"
#include "strtable.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

inline Expression *leaf(std::uint32_t index) {
  Expression *variable = createOperatorExpression(IdentifierLeaf);
  variable->identifier = IdentifierLeafData{.index = index, .record = nullptr};
  return variable;
}

inline Expression *expr(ExpressionOperator op, std::initializer_list<Expression *> operands) {
  Expression *node = createOperatorExpression(op);
  for (Expression *operand : operands)
    appendOperand(node, operand);
  return node;
}

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

// An empty current block: the one before is closed with a goto when it
// still ends in a sequential statement, and pending jumps are resolved.
inline BasicBlock *freshBlock() {
  resolvePendingJumps();
  if (currentBlockHasStatements() && getCurrentBlock()->lastStatement->statementType == SequentialStat)
    appendStatement(createGotoStatement());
  return startNewBlock();
}

inline std::vector<Statement *> statementsOf(const BasicBlock *block) {
  std::vector<Statement *> statements;
  for (Statement *statement = block->firstStatement; statement;
       statement = statement == block->lastStatement ? nullptr : statement->nextStatementPtr)
    statements.push_back(statement);
  return statements;
}
