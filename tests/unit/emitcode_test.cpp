// Expression emission beyond the bytes of a compilation: compound assignments
// rewritten with leaves of their own, commas and their source steps, what is
// kept for effect, the record free list, and depth without recursion.
#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "emitstat.h"
#include "exprir.h"
#include "exprsion.h"
#include "expressionbuilder.h"
#include "identexp.h"
#include "stmntir.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

namespace {

Expression *assign(ExpressionOperator op, const char *target, Expression *value) {
  return buildAssignment(op, var(target), value);
}

ExpressionOperator opOf(const AbstractTree *tree) { return tree->treeOperator; }

bool isVariableLeaf(const AbstractTree *tree, const char *name) {
  return tree->treeOperator == IdentifierLeaf && tree->identifier.record == variableRecord(name) &&
         tree->identifier.index == variableRecord(name)->index;
}

// The tree of a lowered expression, taken out of its record as statements
// take theirs.
AbstractTree *lowered(Expression *expression) {
  irData *record = lowerExpression(expression);
  AbstractTree *tree = addTreeReference(abstractTreeOf(record));
  freeIrData(record);
  return tree;
}

// Runs body on a thread whose stack a walk that recursed once per level of
// the deep expressions below would overflow.
void runOnSmallStack(const std::function<void()> &body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void *argument) -> void * {
    (*static_cast<const std::function<void()> *>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// x op= 3 becomes Assign(x, op(x, 3)) with a leaf of its own for each x; the
// expression itself is left as it was.
TEST(Lowering, CompoundAssignmentsAreRewritten) {
  const struct {
    ExpressionOperator compound;
    ExpressionOperator binaryOperator;
  } rows[] = {
      {MultiplyAssign, Multiply},   {DivideAssign, Divide},         {IntegerDivideAssign, IntegerDivide},
      {ModulusAssign, Modulus},     {LeftShiftAssign, LeftShift},   {RightShiftAssign, RightShift},
      {BitAndAssign, BitAnd},       {BitXorAssign, BitXor},         {BitOrAssign, BitOr},
      {RightShiftZeroFillAssign, RightShiftZeroFill},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.compound);
    Expression *expression = assign(row.compound, "x", integerLiteral("3"));
    ASSERT_NE(expression, nullptr);
    AbstractTree *tree = lowered(expression);
    ASSERT_EQ(opOf(tree), Assign);
    AbstractTree *target = firstOperand(tree);
    AbstractTree *value = secondOperand(tree);
    EXPECT_TRUE(isVariableLeaf(target, "x"));
    ASSERT_EQ(opOf(value), row.binaryOperator);
    EXPECT_TRUE(isVariableLeaf(firstOperand(value), "x"));
    EXPECT_NE(firstOperand(value), target);
    EXPECT_EQ(opOf(secondOperand(value)), ConstantLeaf);
    releaseTree(tree);
    EXPECT_EQ(expression->exprOperator, row.compound);
    EXPECT_EQ(expression->successorList->expression->referenceCount, 1);
    EXPECT_EQ(expression->successorList->nextExpression->expression->referenceCount, 1);
    releaseExpression(expression);
  }
}

TEST(Commas, InAValueTheLeftSideIsEmittedAndEachSideOfAStatementIsAStep) {
  // y = (a++, b): the increment is a statement of its own, within the same step.
  BasicBlock *block = freshBlock();
  unsigned sequence = currentSequenceNumber();
  Expression *increment = buildUnaryExpression(PostIncrement, var("a"));
  Expression *expression = assign(Assign, "y", binary(Comma, increment, var("b")));
  ASSERT_NE(expression, nullptr);
  emitExpressionStatement(expression);
  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(opOf(statements[0]->abstractTreePtr), PostIncrement);
  AbstractTree *second = statements[1]->abstractTreePtr;
  ASSERT_EQ(opOf(second), Assign);
  EXPECT_TRUE(isVariableLeaf(firstOperand(second), "y"));
  EXPECT_TRUE(isVariableLeaf(secondOperand(second), "b"));
  EXPECT_EQ(statements[0]->sequenceNumber, sequence);
  EXPECT_EQ(statements[1]->sequenceNumber, sequence);
  EXPECT_EQ(currentSequenceNumber(), sequence + 1);
  releaseExpression(expression);

  // f(), g(); : the two calls carry consecutive steps.
  block = freshBlock();
  expression = binary(Comma, call("f"), call("g"));
  emitExpressionStatement(expression);
  statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0]->sequenceNumber, sequence + 1);
  EXPECT_EQ(statements[1]->sequenceNumber, sequence + 2);
  EXPECT_EQ(currentSequenceNumber(), sequence + 3);
  releaseExpression(expression);
}

TEST(EffectEmission, OnlySideEffectsBecomeStatements) {
  const struct {
    const char *source;
    Expression *(*build)();
    std::vector<ExpressionOperator> statementTops;  // one per statement, in order
  } rows[] = {
      {"a;", [] { return var("a"); }, {}},
      {"-a;", [] { return buildUnaryExpression(UnaryMinus, var("a")); }, {}},
      {"a + f();", [] { return binary(Add, var("a"), call("f")); }, {FunctionCall}},
      {"f() * g();", [] { return binary(Multiply, call("f"), call("g")); }, {FunctionCall, FunctionCall}},
      {"typeof f();", [] { return buildUnaryExpression(TypeOf, call("f")); }, {FunctionCall}},
      {"a && f();", [] { return binary(LogicalAnd, var("a"), call("f")); }, {LogicalAnd}},
      {"a ? f() : b;", [] { return buildConditional(var("a"), call("f"), var("b")); }, {Conditional}},
      {"x <<= 1;", [] { return assign(LeftShiftAssign, "x", integerLiteral("1")); }, {Assign}},
      {"f(), a, g();", [] { return binary(Comma, binary(Comma, call("f"), var("a")), call("g")); },
       {FunctionCall, FunctionCall}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.source);
    BasicBlock *block = freshBlock();
    Expression *expression = row.build();
    ASSERT_NE(expression, nullptr);
    emitExpressionStatement(expression);
    std::vector<ExpressionOperator> tops;
    for (Statement *statement : statementsOf(block)) {
      EXPECT_EQ(statement->statementType, SequentialStat);
      tops.push_back(opOf(statement->abstractTreePtr));
    }
    EXPECT_EQ(tops, row.statementTops);
    releaseExpression(expression);
  }
}

TEST(IrData, AFullFreeListIsTrimmedBeforeTakingTheRecord) {
  std::vector<irData *> taken;
  while (irDataFreeListCount() > 0 || taken.size() < 129)
    taken.push_back(newIrData(createAbstractTree(ConstantLeaf)));
  EXPECT_EQ(irDataFreeListCount(), 0);
  for (int i = 0; i < 128; ++i)
    freeIrData(taken[i]);
  EXPECT_EQ(irDataFreeListCount(), 128);
  freeIrData(taken[128]);
  EXPECT_EQ(irDataFreeListCount(), 64);
}

// The four deep shapes, 30,000 levels each: a chain of additions holding a
// call, (((a, a), a), ...), (x, (x, ...)) whose left sides are made by
// rightHead, and nested compound assignments.
struct DeepShapes {
  Expression *chain;
  Expression *leftNested;
  Expression *rightNested;
  Expression *compound;
};

constexpr int deepShapeDepth = 30'000;

DeepShapes buildDeepShapes(const std::function<Expression *()> &rightHead) {
  DeepShapes shapes{call("f"), var("a"), var("b"), integerLiteral("3")};
  for (int i = 0; i < deepShapeDepth; ++i) {
    shapes.chain = binary(Add, shapes.chain, var("a"));
    shapes.leftNested = binary(Comma, shapes.leftNested, var("a"));
    shapes.rightNested = binary(Comma, rightHead(), shapes.rightNested);
    shapes.compound = assign(MultiplyAssign, "x", shapes.compound);
  }
  return shapes;
}

// A chain of additions holding a call; (((a, a), a), ...), whose left sides
// are emitted for effect inside the lowering, and a, (a, (a, ...)); nested
// compound assignments, each rewritten.
TEST(DeepExpressions, LowerEmitAndReleaseWithoutRecursion) {
  auto [chain, leftNested, rightNested, compound] = buildDeepShapes([] { return var("a"); });
  ASSERT_TRUE(chain && leftNested && rightNested && compound);
  BasicBlock *block = freshBlock();
  unsigned sequence = currentSequenceNumber();
  AbstractTree *trees[4] = {};
  runOnSmallStack([&] {
    trees[0] = lowered(leftNested);
    trees[1] = lowered(rightNested);
    trees[2] = lowered(compound);
    trees[3] = lowered(chain);
    emitExpressionStatement(chain);
  });
  EXPECT_TRUE(isVariableLeaf(trees[0], "a"));
  EXPECT_TRUE(isVariableLeaf(trees[1], "b"));
  EXPECT_EQ(opOf(secondOperand(secondOperand(trees[2]))), Assign);
  EXPECT_EQ(opOf(trees[3]), Add);
  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_EQ(opOf(statements[0]->abstractTreePtr), FunctionCall);
  // The left-nested commas stepped on inside the lowering, the statement once.
  EXPECT_EQ(currentSequenceNumber(), sequence + deepShapeDepth);
  runOnSmallStack([&] {
    for (AbstractTree *tree : trees)
      releaseTree(tree);
    for (Expression *expression : {chain, leftNested, rightNested, compound})
      releaseExpression(expression);
  });
}

// The shape of a tree as text: operators, children in brackets.
std::string shapeOf(const AbstractTree *tree) {
  std::string shape = std::to_string(tree->treeOperator);
  if (tree->treeOperator == IdentifierLeaf || tree->treeOperator == ConstantLeaf)
    return shape;
  shape += "(";
  for (const AbstractTreeList *child = childList(tree); child; child = child->next)
    shape += shapeOf(child->abstractTree) + (child->next ? "," : "");
  return shape + ")";
}

std::vector<std::string> statementShapes(const BasicBlock *block) {
  std::vector<std::string> shapes;
  for (Statement *statement : statementsOf(block))
    shapes.push_back(statement->abstractTreePtr ? shapeOf(statement->abstractTreePtr) : "-");
  return shapes;
}

// Both free lists emptied into one node held by the caller, so that what a
// release puts back is counted exactly, without a trim in between (the
// expressions below free fewer than 32 nodes).
Expression *drainFreeLists() {
  Expression *holder = createOperatorExpression(Comma);
  while (expressionFreeListCount() > 0 || expressionListFreeListCount() > 0)
    appendOperand(holder, var("a"));
  return holder;
}

struct FreeListCounts {
  int nodes;
  int items;
  bool operator==(const FreeListCounts &) const = default;
};

FreeListCounts freeListCounts() {
  return FreeListCounts{.nodes = expressionFreeListCount(), .items = expressionListFreeListCount()};
}

FreeListCounts operator-(FreeListCounts after, FreeListCounts before) {
  return FreeListCounts{.nodes = after.nodes - before.nodes, .items = after.items - before.items};
}

// Emitting with release makes the same statements as emitting and then
// releasing, and gives back exactly as many nodes and items. (A rewrite
// below nodes already freed would take some of them back: the compound
// assignment is at the root.)
TEST(ReleasingEmission, FreesWhatReleaseExpressionFreesAndEmitsTheSame) {
  const struct {
    const char *source;
    Expression *(*build)();
  } rows[] = {
      {"a;", [] { return var("a"); }},
      {"a + f();", [] { return binary(Add, var("a"), call("f")); }},
      {"-(a * 2) + 1;",
       [] {
         Expression *product = binary(Multiply, var("a"), integerLiteral("2"));
         return binary(Add, buildUnaryExpression(UnaryMinus, product), integerLiteral("1"));
       }},
      {"y = a + b * 3;",
       [] { return assign(Assign, "y", binary(Add, var("a"), binary(Multiply, var("b"), integerLiteral("3")))); }},
      {"x <<= a + 1;", [] { return assign(LeftShiftAssign, "x", binary(Add, var("a"), integerLiteral("1"))); }},
      {"y = (x++, b);",
       [] { return assign(Assign, "y", binary(Comma, buildUnaryExpression(PostIncrement, var("x")), var("b"))); }},
      {"f(), a, g();", [] { return binary(Comma, binary(Comma, call("f"), var("a")), call("g")); }},
      {"a ? f() : b;", [] { return buildConditional(var("a"), call("f"), var("b")); }},
      {"a && (b += 1);", [] { return binary(LogicalAnd, var("a"), assign(AddAssign, "b", integerLiteral("1"))); }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.source);
    Expression *holder = drainFreeLists();
    Expression *kept = row.build();
    Expression *released = row.build();
    ASSERT_TRUE(kept && released);

    BasicBlock *block = freshBlock();
    FreeListCounts before = freeListCounts();
    emitExpressionStatement(kept);
    releaseExpression(kept);
    const FreeListCounts keptFreed = freeListCounts() - before;
    const std::vector<std::string> keptShapes = statementShapes(block);

    // A rewrite takes its nodes from the free lists: both start empty.
    Expression *secondHolder = drainFreeLists();
    block = freshBlock();
    before = freeListCounts();
    emitAndReleaseExpressionStatement(released);
    EXPECT_EQ(freeListCounts() - before, keptFreed);
    EXPECT_EQ(statementShapes(block), keptShapes);
    EXPECT_GT(keptFreed.nodes, 0);
    releaseExpression(holder);
    releaseExpression(secondHolder);
  }
}

// A node held by another list survives the walk with one reference less,
// operands and all, wherever the walk meets it.
TEST(ReleasingEmission, ANodeHeldElsewhereIsOnlyDereferenced) {
  freshBlock();
  Expression *shared = binary(Add, call("f"), var("a"));
  Expression *holder = createOperatorExpression(UnaryMinus);
  appendOperand(holder, shared);
  Expression *statement = assign(Assign, "y", shared);
  ASSERT_EQ(shared->referenceCount, 2);
  emitAndReleaseExpressionStatement(statement);
  EXPECT_EQ(shared->referenceCount, 1);
  ASSERT_EQ(shared->exprOperator, Add);
  EXPECT_EQ(firstOperand(shared)->exprOperator, FunctionCall);
  EXPECT_EQ(firstOperand(shared)->referenceCount, 1);
  EXPECT_EQ(shared->successorList->nextExpression->expression->exprOperator, IdentifierLeaf);

  // For effect, behind a comma: only the call is a statement.
  BasicBlock *block = freshBlock();
  emitAndReleaseExpressionStatement(binary(Comma, var("a"), shared));
  const std::vector<std::string> shapes = statementShapes(block);
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0], "2(0)");
  EXPECT_EQ(shared->referenceCount, 1);
  EXPECT_EQ(shared->exprOperator, Add);
  EXPECT_EQ(firstOperand(shared)->referenceCount, 1);
  releaseExpression(holder);
}

// The walk that frees as it goes stays iterative, on every deep shape.
TEST(ReleasingEmission, DeepExpressionsWithoutRecursion) {
  auto [chain, leftNested, rightNested, compound] = buildDeepShapes([] { return call("g"); });
  ASSERT_TRUE(chain && leftNested && rightNested && compound);
  BasicBlock *block = freshBlock();
  AbstractTree *tree = nullptr;
  runOnSmallStack([&] {
    emitAndReleaseExpressionStatement(chain);
    emitAndReleaseExpressionStatement(leftNested);
    emitAndReleaseExpressionStatement(rightNested);
    tree = lowerAndReleaseExpression(compound);
  });
  EXPECT_EQ(statementsOf(block).size(), 1u + deepShapeDepth);
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(opOf(tree), Assign);
  runOnSmallStack([&] { releaseTree(tree); });
}

} // namespace
