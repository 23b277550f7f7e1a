// Lowering's shortcut for an operator whose operands are all leaves: the
// tree it makes is the one a frame would make (operator, children in order,
// each held once), wherever such a node stands, and a node with any operator
// operand still goes through a frame of its own.
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

namespace {

Expression *leaf(std::uint32_t index) {
  Expression *variable = createOperatorExpression(IdentifierLeaf);
  variable->identifier = IdentifierLeafData{.index = index, .record = nullptr};
  return variable;
}

Expression *expr(ExpressionOperator op, std::initializer_list<Expression *> operands) {
  Expression *node = createOperatorExpression(op);
  for (Expression *operand : operands)
    appendOperand(node, operand);
  return node;
}

// "v3" for a variable, "op(children)" for a node, with the operator's number;
// a child held more than once is marked with a '!'.
std::string shape(const AbstractTree *tree) {
  if (tree->treeOperator == IdentifierLeaf)
    return "v" + std::to_string(tree->identifier.index);
  std::string text = std::to_string(static_cast<int>(tree->treeOperator)) + "(";
  for (const AbstractTreeList *item = tree->succList; item; item = item->next) {
    if (item != tree->succList)
      text += ",";
    text += shape(item->abstractTree);
    if (item->abstractTree->referenceCount != 1)
      text += "!";
  }
  return text + ")";
}

std::string op(ExpressionOperator treeOperator) { return std::to_string(static_cast<int>(treeOperator)); }

struct Row {
  const char *name;
  std::function<Expression *()> expression;
  std::string expected;
};

TEST(LoweringOverLeaves, SameTreeAsAFrameWouldMake) {
  const Row rows[] = {
      {"a + b at the top", [] { return expr(Add, {leaf(1), leaf(2)}); }, op(Add) + "(v1,v2)"},
      {"-a as the right operand", [] { return expr(Multiply, {leaf(1), expr(UnaryMinus, {leaf(2)})}); },
       op(Multiply) + "(v1," + op(UnaryMinus) + "(v2))"},
      {"both operands over leaves",
       [] { return expr(BitOr, {expr(Lesser, {leaf(1), leaf(2)}), expr(Modulus, {leaf(3), leaf(4)})}); },
       op(BitOr) + "(" + op(Lesser) + "(v1,v2)," + op(Modulus) + "(v3,v4))"},
      {"over an operator over leaves",
       [] { return expr(LogicalNot, {expr(ComplementOf, {expr(Subtract, {leaf(1), leaf(2)})})}); },
       op(LogicalNot) + "(" + op(ComplementOf) + "(" + op(Subtract) + "(v1,v2)))"},
      {"a call whose arguments are leaves, as an operand",
       [] { return expr(Add, {leaf(5), expr(FunctionCall, {leaf(0), leaf(1), leaf(2), leaf(3)})}); },
       op(Add) + "(v5," + op(FunctionCall) + "(v0,v1,v2,v3))"},
      {"a call mixing leaves and operators",
       [] { return expr(Add, {leaf(5), expr(FunctionCall, {leaf(0), leaf(1), expr(Add, {leaf(2), leaf(3)}), leaf(4)})}); },
       op(Add) + "(v5," + op(FunctionCall) + "(v0,v1," + op(Add) + "(v2,v3),v4))"},
      {"a conditional over leaves", [] { return expr(Equal, {expr(Conditional, {leaf(1), leaf(2), leaf(3)}), leaf(4)}); },
       op(Equal) + "(" + op(Conditional) + "(v1,v2,v3),v4)"},
      // The comma is no operator node: only its right side stays.
      {"a comma over leaves", [] { return expr(Add, {expr(Comma, {leaf(1), leaf(2)}), leaf(3)}); },
       op(Add) + "(v2,v3)"},
      // A compound assignment's rewrite is never lowered by the shortcut;
      // the target is one leaf of the expression, lowered twice.
      {"x *= y as an operand", [] { return expr(Add, {leaf(7), expr(MultiplyAssign, {leaf(1), leaf(2)})}); },
       op(Add) + "(v7," + op(Assign) + "(v1," + op(Multiply) + "(v1,v2)))"},
      {"x = y + z as an operand", [] { return expr(Subtract, {leaf(7), expr(Assign, {leaf(1), expr(Add, {leaf(2), leaf(3)})})}); },
       op(Subtract) + "(v7," + op(Assign) + "(v1," + op(Add) + "(v2,v3)))"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Expression *expression = row.expression();
    irData *lowered = lowerExpression(expression);
    const AbstractTree *tree = abstractTreeOf(lowered);
    EXPECT_EQ(shape(tree), row.expected);
    EXPECT_EQ(tree->referenceCount, 0);
    freeIrData(lowered);
    // The expression is left as it was: it is still whole, and goes once.
    EXPECT_TRUE(isUnreferenced(expression));
    releaseExpression(expression);
  }
}

} // namespace
