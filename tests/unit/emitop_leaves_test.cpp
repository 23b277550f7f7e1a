// Lowering's shortcut for an operator whose operands are all leaves: the
// tree it makes is the one a frame would make (operator, children in order,
// each held once), wherever such a node stands, and a node with any operator
// operand still goes through a frame of its own.
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"
#include "expressionbuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

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


// The free lists emptied into nodes held by the test, so that what a release
// frees can be counted without a trim in between.
void drainFreeLists(std::vector<Expression *> &held) {
  while (expressionFreeListCount() > 0 || expressionListFreeListCount() > 0) {
    if (expressionListFreeListCount() > 0)
      held.push_back(expr(UnaryPlus, {leaf(0)}));
    else
      held.push_back(leaf(0));
  }
}

// A leaf or an operator over leaves at the top is lowered without the walk,
// and released as the walk would: the nodes and items nobody else holds go
// to the free lists, a leaf held elsewhere only loses this holder, and a
// root held elsewhere is only dereferenced and stays whole.
TEST(LoweringOverLeaves, AtTheTopReleasesWhatNobodyElseHolds) {
  struct Case {
    const char *name;
    std::function<Expression *(Expression *shared)> expression;
    std::string expected;
    int freedNodes;  // when the root is nobody else's
    int freedItems;
    int heldFreedNodes = 0;  // when the root is held elsewhere
    int heldFreedItems = 0;
  };
  const Case cases[] = {
      {"a leaf", [](Expression *) { return leaf(4); }, "v4", 1, 0},
      {"a + b", [](Expression *) { return expr(Add, {leaf(1), leaf(2)}); }, op(Add) + "(v1,v2)", 3, 2},
      {"++a", [](Expression *) { return expr(PreIncrement, {leaf(1)}); }, op(PreIncrement) + "(v1)", 2, 1},
      {"a call over a shared leaf",
       [](Expression *shared) { return expr(FunctionCall, {leaf(0), shared, leaf(2)}); },
       op(FunctionCall) + "(v0,v9,v2)", 3, 3},
      {"x = x, one leaf twice",
       [](Expression *) {
         Expression *x = leaf(3);
         return expr(Assign, {x, x});
       },
       op(Assign) + "(v3,v3)", 2, 2},
      {"x = a + b", [](Expression *) { return expr(Assign, {leaf(1), expr(Add, {leaf(2), leaf(3)})}); },
       op(Assign) + "(v1," + op(Add) + "(v2,v3))", 5, 4},
      {"a call over -a and a shared b - c",
       [](Expression *shared) {
         return expr(FunctionCall, {leaf(0), expr(UnaryMinus, {leaf(1)}), expr(Subtract, {shared, leaf(2)})});
       },
       op(FunctionCall) + "(v0," + op(UnaryMinus) + "(v1)," + op(Subtract) + "(v9,v2))", 6, 6},
      // Three levels, and a comma among the operands: the walk's.
      {"a * -(b + c)", [](Expression *) {
         return expr(Multiply, {leaf(1), expr(UnaryMinus, {expr(Add, {leaf(2), leaf(3)})})});
       },
       op(Multiply) + "(v1," + op(UnaryMinus) + "(" + op(Add) + "(v2,v3)))", 6, 5},
      {"a + (b, c)", [](Expression *) { return expr(Add, {leaf(1), expr(Comma, {leaf(2), leaf(3)})}); },
       op(Add) + "(v1,v3)", 5, 4},
      // Not over leaves: the walk's, as a reference. The rewrite's two nodes
      // and four items come from the pool and are freed with the rest, even
      // when the compound itself is held elsewhere.
      {"x *= y", [](Expression *) { return expr(MultiplyAssign, {leaf(1), leaf(2)}); },
       op(Assign) + "(v1," + op(Multiply) + "(v1,v2))", 5, 6, 2, 4},
  };
  std::vector<Expression *> held;
  for (const Case &row : cases) {
    for (const bool heldElsewhere : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (heldElsewhere ? ", held elsewhere" : ""));
      Expression *shared = leaf(9);
      shared->referenceCount += 1;  // a holder outside the expression
      Expression *expression = row.expression(shared);
      if (heldElsewhere)
        expression->referenceCount += 1;
      drainFreeLists(held);
      AbstractTree *tree = lowerAndReleaseExpression(expression);
      EXPECT_EQ(shape(tree), row.expected);
      releaseTree(tree);
      if (heldElsewhere) {
        EXPECT_EQ(expressionFreeListCount(), row.heldFreedNodes);
        EXPECT_EQ(expressionListFreeListCount(), row.heldFreedItems);
        EXPECT_EQ(expression->referenceCount, 0);
        releaseExpression(expression);
      } else {
        EXPECT_EQ(expressionFreeListCount(), row.freedNodes);
        EXPECT_EQ(expressionListFreeListCount(), row.freedItems);
      }
      EXPECT_EQ(shared->referenceCount, 1);
      releaseExpression(shared);
      releaseExpression(shared);
    }
  }
  for (Expression *node : held)
    releaseExpression(node);
}

} // namespace
