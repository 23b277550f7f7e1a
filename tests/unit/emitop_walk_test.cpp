// The emission walk's frames and moves: stacks that cross the edges of the
// frame chunks going up and down, very deep walks followed by shallow ones
// (the chunks kept for the next walk), the sides of commas and the operands
// emitted for effect that take their frame's place, and conditions lowered
// straight into their conditional statement.
#include "binopexp.h"
#include "emitcode.h"
#include "emitstat.h"
#include "exprir.h"
#include "exprsion.h"
#include "expressionbuilder.h"
#include "identexp.h"
#include "shortckt.h"
#include "stmntir.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- trees of plain operators

// ((v0 + v1) + v2) ... with depth additions: the walk holds a frame per level.
Expression *leftChain(int depth, std::uint32_t firstLeaf) {
  Expression *chain = leaf(firstLeaf);
  for (int level = 1; level <= depth; ++level)
    chain = expr(Add, {chain, leaf(firstLeaf + static_cast<std::uint32_t>(level))});
  return chain;
}

// The text of an expression made of leaves and operators that lowering keeps
// as they are, and of a tree, in the same notation: "v3", "op(children)". A
// tree child held more than once is marked with a '!'. Recursive: the trees
// here are a few thousand levels deep at most.
std::string expressionText(const Expression *expression) {
  if (expression->exprOperator == IdentifierLeaf)
    return "v" + std::to_string(expression->identifier.index);
  std::string text = std::to_string(static_cast<int>(expression->exprOperator)) + "(";
  for (const ExpressionList *item = expression->successorList; item; item = item->nextExpression)
    text += (item == expression->successorList ? "" : ",") + expressionText(item->expression);
  return text + ")";
}

std::string treeText(const AbstractTree *tree) {
  if (tree->treeOperator == IdentifierLeaf)
    return "v" + std::to_string(tree->identifier.index);
  std::string text = std::to_string(static_cast<int>(tree->treeOperator)) + "(";
  for (const AbstractTreeList *item = tree->succList; item; item = item->next) {
    text += (item == tree->succList ? "" : ",") + treeText(item->abstractTree);
    if (item->abstractTree->referenceCount != 1)
      text += "!";
  }
  return text + ")";
}

// Lowers the expression and compares the tree with the expression itself.
void expectLoweredAsItIs(Expression *expression) {
  irData *lowered = lowerExpression(expression);
  EXPECT_EQ(treeText(abstractTreeOf(lowered)), expressionText(expression));
  freeIrData(lowered);
  releaseExpression(expression);
}

TEST(WalkFrames, StacksCrossingTheChunkEdgesUpAndDown) {
  // The first chunk holds 64 frames, the second 128, the third 256.
  const struct {
    const char *name;
    std::function<Expression *()> build;
  } rows[] = {
      {"one frame short of the first edge", [] { return leftChain(64, 0); }},
      {"exactly at the first edge", [] { return leftChain(65, 0); }},
      {"one past the first edge", [] { return leftChain(66, 0); }},
      {"into the third chunk", [] { return leftChain(300, 0); }},
      // Each argument goes up past the first edge and back down to the call's
      // frame, so the stack crosses it again and again.
      {"a call of deep arguments",
       [] {
         return expr(FunctionCall, {leaf(0), leftChain(70, 100), leaf(1), leftChain(200, 400), leftChain(65, 700)});
       }},
      // Up the left side, down, then up the right side of each level.
      {"both sides deep",
       [] { return expr(Subtract, {leftChain(130, 0), expr(Multiply, {leftChain(129, 200), leftChain(64, 400)})}); }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    expectLoweredAsItIs(row.build());
  }
}

TEST(WalkFrames, AVeryDeepWalkBetweenShallowOnes) {
  // The deep walk makes chunks past those kept for the next walk and gives
  // them back; the walks after it run on the kept ones.
  for (int depth : {3, 5000, 10, 4100, 63, 9000, 1}) {
    SCOPED_TRACE(depth);
    expectLoweredAsItIs(leftChain(depth, 0));
  }
}

// ---------------------------------------------------------------- commas and effects

TEST(EffectWalk, StatementsAndStepsOfCommasAndOperands) {
  // Each statement's top operator and its step, counted from the step the
  // expression statement starts at; then the steps the statement takes.
  struct Made {
    ExpressionOperator top;
    unsigned step;
    bool operator==(const Made &) const = default;
  };
  const struct {
    const char *source;
    std::function<Expression *()> build;
    std::vector<Made> statements;
    unsigned steps;
  } rows[] = {
      {"f() + a;", [] { return binary(Add, call("f"), var("a")); }, {{FunctionCall, 0}}, 1},
      {"a * (b + f()) * c;",
       [] { return binary(Multiply, binary(Multiply, var("a"), binary(Add, var("b"), call("f"))), var("c")); },
       {{FunctionCall, 0}},
       1},
      {"(f(), a) + (g(), b);",
       [] { return binary(Add, binary(Comma, call("f"), var("a")), binary(Comma, call("g"), var("b"))); },
       {{FunctionCall, 0}, {FunctionCall, 1}},
       3},
      {"a, (b, (f(), g()));",
       [] { return binary(Comma, var("a"), binary(Comma, var("b"), binary(Comma, call("f"), call("g")))); },
       {{FunctionCall, 2}, {FunctionCall, 3}},
       4},
      // A comma lowered for a value steps on nothing: its left side is a
      // statement of the same step, its right side the value.
      {"y = (f(), (g(), a));",
       [] { return buildAssignment(Assign, var("y"), binary(Comma, call("f"), binary(Comma, call("g"), var("a")))); },
       {{FunctionCall, 0}, {FunctionCall, 0}, {Assign, 0}},
       1},
      {"-(f(), a) - -(g(), b);",
       [] {
         return binary(Subtract, buildUnaryExpression(UnaryMinus, binary(Comma, call("f"), var("a"))),
                       buildUnaryExpression(UnaryMinus, binary(Comma, call("g"), var("b"))));
       },
       {{FunctionCall, 0}, {FunctionCall, 1}},
       3},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.source);
    BasicBlock *block = freshBlock();
    const unsigned start = currentSequenceNumber();
    Expression *expression = row.build();
    ASSERT_NE(expression, nullptr);
    emitExpressionStatement(expression);
    std::vector<Made> made;
    for (Statement *statement : statementsOf(block))
      made.push_back(Made{statement->abstractTreePtr->treeOperator, statement->sequenceNumber - start});
    EXPECT_EQ(made, row.statements);
    EXPECT_EQ(currentSequenceNumber() - start, row.steps);
    releaseExpression(expression);
  }
}

// ---------------------------------------------------------------- conditions

TEST(Conditions, LoweredStraightIntoTheirTestAsThroughARecord) {
  const std::function<Expression *()> conditions[] = {
      [] { return var("a"); },
      [] { return binary(LogicalAnd, binary(Lesser, var("a"), var("b")), call("f")); },
      [] { return binary(Comma, call("g"), binary(Equal, var("a"), var("b"))); },
  };
  for (const auto &condition : conditions) {
    // Through a record and its pair, taken as statement emission took them.
    BasicBlock *viaRecord = freshBlock();
    Expression *first = condition();
    irData *record = lowerExpression(first);
    const BooleanLists *pair = shortCircuitListsOf(record);
    const std::vector<Statement *> recordStatements = statementsOf(viaRecord);
    ASSERT_FALSE(recordStatements.empty());
    const Statement *recordTest = recordStatements.back();
    const std::string recordTree = treeText(recordTest->abstractTreePtr);
    EXPECT_EQ(pair->trueList->statementPtr, recordTest);
    freeIrData(record);
    releaseExpression(first);

    BasicBlock *direct = freshBlock();
    Expression *second = condition();
    const BooleanLists exits = lowerCondition(second);
    const std::vector<Statement *> statements = statementsOf(direct);
    ASSERT_EQ(statements.size(), recordStatements.size());
    const Statement *test = statements.back();
    EXPECT_EQ(test->statementType, ConditionalStat);
    EXPECT_EQ(treeText(test->abstractTreePtr), recordTree);
    // One exit each way, both from the test, and a new empty block after it.
    ASSERT_TRUE(exits.trueList && exits.falseList);
    EXPECT_EQ(exits.trueList->nextEntry, nullptr);
    EXPECT_EQ(exits.falseList->nextEntry, nullptr);
    EXPECT_EQ(exits.trueList->statementPtr, test);
    EXPECT_EQ(exits.falseList->statementPtr, test);
    EXPECT_EQ(exits.trueList->branchSelector, 1);
    EXPECT_EQ(exits.falseList->branchSelector, 0);
    EXPECT_NE(getCurrentBlock(), direct);
    EXPECT_FALSE(currentBlockHasStatements());
    releasePatchList(exits.trueList);
    releasePatchList(exits.falseList);
    releaseExpression(second);
  }
}

} // namespace
