// Expression nodes and operand lists: the bounded free lists in front of the
// pools, operator nodes built with their operands at once, and node numbers
// that stay unique among live nodes however nodes are recycled.
#include "exprsion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <set>
#include <vector>

namespace {

Expression *leaf() {
  Expression *node = createOperatorExpression(IdentifierLeaf);
  node->identifier = IdentifierLeafData{.index = 0, .record = nullptr};
  return node;
}

// A released node waits in the free list until it holds 64; the next one
// goes back to the pool with 32 others. The same for list nodes with 128 and
// 64. Each step makes pairs (an operator over a leaf: two nodes, one list
// node), taking from the lists first, then releases them in the same order.
TEST(FreeLists, ReleasesFillTheListsAndTrimThemToHalf) {
  // Empty both lists first, so that the counts start at 0.
  std::vector<Expression *> held;
  while (expressionFreeListCount() > 0 || expressionListFreeListCount() > 0) {
    held.push_back(createOperatorExpression(UnaryMinus));
    appendOperand(held.back(), leaf());
  }
  const struct {
    int pairs;
    int nodeCount;
    int listNodeCount;
  } steps[] = {
      {1, 2, 1},     {30, 60, 30},   {33, 33, 33},  {40, 47, 40},
      {64, 62, 64},  {100, 35, 100}, {140, 49, 75}, {7, 49, 75},
  };
  for (const auto &step : steps) {
    std::vector<Expression *> pairs;
    for (int i = 0; i < step.pairs; ++i) {
      pairs.push_back(createOperatorExpression(UnaryMinus));
      appendOperand(pairs.back(), leaf());
    }
    for (Expression *pair : pairs)
      releaseExpression(pair);
    EXPECT_EQ(expressionFreeListCount(), step.nodeCount) << step.pairs;
    EXPECT_EQ(expressionListFreeListCount(), step.listNodeCount) << step.pairs;
  }
  for (Expression *node : held)
    releaseExpression(node);
}

TEST(OperatorNodes, BuiltWithTheirOperandsInOrderAndCounted) {
  Expression *a = leaf(), *b = leaf(), *c = leaf();
  Expression *operands[] = {a, b, c, a};
  Expression *node = createOperatorWithOperands(FunctionCall, operands);
  EXPECT_EQ(node->exprOperator, FunctionCall);
  EXPECT_EQ(node->referenceCount, 0);
  std::vector<Expression *> seen;
  for (const ExpressionList *item = node->successorList; item; item = item->nextExpression)
    seen.push_back(item->expression);
  EXPECT_EQ(seen, std::vector<Expression *>(std::begin(operands), std::end(operands)));
  EXPECT_EQ(a->referenceCount, 2);
  EXPECT_EQ(b->referenceCount, 1);
  Expression *bare = createOperatorWithOperands(FunctionCall, {});
  EXPECT_EQ(bare->successorList, nullptr);
  releaseExpression(bare);
  releaseExpression(node);  // frees the operands it held last
}

// A binary or unary node is the node createOperatorWithOperands makes of the
// same operands, whether its items come from the free list or the pool, and
// an operand used on both sides is counted twice.
TEST(OperatorNodes, BinaryAndUnaryNodesAsTheGeneralBuilderMakesThem) {
  for (const int spareItems : {0, 1, 2, 5, 6}) {
    SCOPED_TRACE(spareItems);
    std::vector<Expression *> held;
    while (expressionListFreeListCount() > 0) {
      held.push_back(createOperatorExpression(UnaryMinus));
      appendOperand(held.back(), leaf());
    }
    std::vector<Expression *> spares;
    for (int i = 0; i < spareItems; ++i) {
      spares.push_back(createOperatorExpression(UnaryMinus));
      appendOperand(spares.back(), leaf());
    }
    for (Expression *spare : spares)
      releaseExpression(spare);
    ASSERT_EQ(expressionListFreeListCount(), spareItems);
    Expression *a = leaf(), *b = leaf();
    Expression *sum = createBinaryOperator(Add, a, b);
    Expression *twice = createBinaryOperator(Assign, a, a);
    Expression *negated = createUnaryOperator(UnaryMinus, b);
    EXPECT_EQ(expressionListFreeListCount(), std::max(0, spareItems - 5));
    EXPECT_EQ(negated->exprOperator, UnaryMinus);
    EXPECT_EQ(negated->referenceCount, 0);
    ASSERT_NE(negated->successorList, nullptr);
    EXPECT_EQ(negated->successorList->expression, b);
    EXPECT_EQ(negated->successorList->nextExpression, nullptr);
    for (Expression *node : {sum, twice}) {
      EXPECT_EQ(node->referenceCount, 0);
      ASSERT_NE(node->successorList, nullptr);
      ASSERT_NE(node->successorList->nextExpression, nullptr);
      EXPECT_EQ(node->successorList->nextExpression->nextExpression, nullptr);
    }
    EXPECT_EQ(sum->exprOperator, Add);
    EXPECT_EQ(sum->successorList->expression, a);
    EXPECT_EQ(sum->successorList->nextExpression->expression, b);
    EXPECT_EQ(twice->successorList->expression, a);
    EXPECT_EQ(twice->successorList->nextExpression->expression, a);
    EXPECT_EQ(a->referenceCount, 3);
    EXPECT_EQ(b->referenceCount, 2);
    releaseExpression(negated);
    releaseExpression(sum);
    releaseExpression(twice);  // frees a with its last holder
    for (Expression *node : held)
      releaseExpression(node);
  }
}

// A call built with its arguments in one pass is the node
// createOperatorWithOperands and appendOperand one by one would leave: the
// callee's leaves, then the arguments in order, each counted once more,
// whatever the free list of operand items holds; the list nodes are gone
// and the arguments are the call's alone.
TEST(OperatorNodes, CallsBuiltWithTheirArgumentListsAsOperandsAppendedOneByOne) {
  const struct {
    int calleeLeaves;
    int arguments;
    int spareItems;  // operand items waiting in the free list first
  } rows[] = {
      {1, 0, 0}, {1, 1, 0}, {2, 1, 0}, {2, 3, 0}, {2, 3, 2}, {1, 5, 9}, {2, 255, 4},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.calleeLeaves) + " then " + std::to_string(row.arguments));
    std::vector<Expression *> spares;
    for (int i = 0; i < row.spareItems; ++i) {
      spares.push_back(createOperatorExpression(UnaryMinus));
      appendOperand(spares.back(), leaf());
    }
    std::vector<Expression *> expected;
    for (int i = 0; i < row.calleeLeaves; ++i)
      expected.push_back(leaf());
    const std::vector<Expression *> callee = expected;
    // An argument used twice is counted twice.
    ParameterList *list = nullptr;
    Expression *repeated = leaf();
    for (int i = 0; i < row.arguments; ++i) {
      Expression *argument = i % 3 == 2 ? repeated : leaf();
      expected.push_back(argument);
      list = list ? appendParameter(list, argument) : createParameterList(argument);
      ASSERT_NE(list, nullptr);
    }
    for (Expression *spare : spares)
      releaseExpression(spare);
    const int itemsBefore = expressionListFreeListCount();
    Expression *call = createCallWithArguments(LibraryFunctionCall, callee, list);
    EXPECT_EQ(call->exprOperator, LibraryFunctionCall);
    EXPECT_EQ(call->referenceCount, 0);
    EXPECT_EQ(expressionListFreeListCount(), std::max(0, itemsBefore - static_cast<int>(expected.size())));
    std::vector<Expression *> seen;
    for (const ExpressionList *item = call->successorList; item; item = item->nextExpression)
      seen.push_back(item->expression);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(repeated->referenceCount, row.arguments / 3);
    if (row.arguments < 3)
      releaseExpression(repeated);
    releaseExpression(call);  // frees the callee and every argument with the call
  }
}

// Trees made and released in every order, some very deep: the node numbers
// of the nodes alive at once are distinct, as the traversals need.
TEST(NodeNumbers, DistinctAmongLiveNodesThroughRecycling) {
  std::mt19937 random(3);
  std::vector<std::vector<Expression *>> trees;  // every node of each live tree, root first
  for (int step = 0; step < 4000; ++step) {
    if (trees.empty() || random() % 100 < 55) {
      const int depth = step % 500 == 0 ? 20000 : static_cast<int>(random() % 40);
      std::vector<Expression *> nodes;
      Expression *root = leaf();
      nodes.push_back(root);
      for (int level = 0; level < depth; ++level) {
        Expression *right = leaf();
        Expression *pair[] = {root, right};
        root = createOperatorWithOperands(random() % 2 ? Add : Multiply, pair);
        nodes.push_back(right);
        nodes.push_back(root);
      }
      trees.push_back(std::move(nodes));
    } else {
      const std::size_t victim = random() % trees.size();
      // The root is the last node made.
      releaseExpression(trees[victim].back());
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(victim));
    }
    if (step % 100 != 0)
      continue;
    std::set<std::uint32_t> numbers;
    std::size_t live = 0;
    for (const auto &nodes : trees)
      for (const Expression *node : nodes) {
        numbers.insert(node->nodeNumber);
        ++live;
      }
    ASSERT_EQ(numbers.size(), live) << "step " << step;
  }
  for (const auto &nodes : trees)
    releaseExpression(nodes.back());
  EXPECT_LE(expressionFreeListCount(), 64);
  EXPECT_LE(expressionListFreeListCount(), 128);
}

} // namespace
