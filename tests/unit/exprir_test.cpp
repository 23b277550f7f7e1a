// Expression nodes and abstract trees: reference counts, the bounded free
// list, the argument limit around nested lists, the post-order traversal, and
// chains far too deep for recursion.
#include "errorhlr.h"
#include "exprir.h"
#include "treebuilder.h"
#include "exprsion.h"
#include "exprtrvl.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <utility>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

Expression *makeLeaf() {
  Expression *leaf = createExpression();
  leaf->exprOperator = ConstantLeaf;
  leaf->constant = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                      .constantType = ImmediateConstant, .value = 7};
  return leaf;
}

Expression *makeBinary(ExpressionOperator op, Expression *left, Expression *right) {
  Expression *node = createOperatorExpression(op);
  appendOperand(node, left);
  appendOperand(node, right);
  return node;
}

AbstractTree *leaf(std::uint32_t value) {
  AbstractTree *tree = createAbstractTree(ConstantLeaf);
  tree->constantNode = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                          .constantType = IndirectConstant, .value = value};
  return tree;
}

TEST(ReferenceCounts, HeldAndSharedNodesSurviveARelease) {
  Expression *shared = makeLeaf();
  Expression *first = makeBinary(Add, shared, makeLeaf());
  Expression *second = makeBinary(Multiply, shared, makeLeaf());
  first->referenceCount = 1;  // as if held by one more list: the first release only drops that
  releaseExpression(first);
  releaseExpression(first);
  EXPECT_EQ(shared->referenceCount, 1);
  EXPECT_EQ(shared->constant.value, 7u);
  releaseExpression(second);

  AbstractTree *sharedLeaf = leaf(9);
  AbstractTree *left = addTreeReference(node(UnaryMinus, {sharedLeaf}));
  AbstractTree *right = node(LogicalNot, {sharedLeaf});
  releaseTree(left);
  releaseTree(left);
  EXPECT_EQ(sharedLeaf->referenceCount, 1);
  EXPECT_EQ(sharedLeaf->constantNode.value, 9u);
  releaseTree(right);
}

TEST(FreeList, ReleasedNodesComeBackWithTheirNumberAndTheListIsBounded) {
  std::vector<Expression *> taken;
  auto emptyFreeList = [&] {
    while (expressionFreeListCount() > 0)
      taken.push_back(createExpression());
  };
  emptyFreeList();
  Expression *sum = makeBinary(Add, makeLeaf(), makeLeaf());
  const std::uint32_t number = sum->nodeNumber;
  releaseExpression(sum);
  EXPECT_EQ(expressionFreeListCount(), 3);  // operands nobody else holds go too
  EXPECT_EQ(createExpression(), sum);
  EXPECT_EQ(sum->nodeNumber, number);  // the key of the traversals' visited sets
  taken.push_back(sum);
  emptyFreeList();
  std::vector<Expression *> leaves(65);
  for (Expression *&each : leaves)
    each = makeLeaf();
  for (int i = 0; i < 64; ++i)
    releaseExpression(leaves[i]);
  EXPECT_EQ(expressionFreeListCount(), 64);
  releaseExpression(leaves[64]);  // goes to the pool, and the list shrinks to half
  EXPECT_EQ(expressionFreeListCount(), 32);
  for (Expression *each : taken) {
    each->exprOperator = ConstantLeaf;
    releaseExpression(each);
  }
}

// f(a, ..., g(b, c)): g's list, built while f's is open, has a count of its own.
TEST(ArgumentLists, The256thArgumentIsRefusedAroundANestedList) {
  ParameterList *outer = createParameterList(makeLeaf());
  for (int i = 2; i <= 254; ++i)
    outer = appendParameter(outer, makeLeaf());
  ParameterList *inner = appendParameter(createParameterList(makeLeaf()), makeLeaf());
  Expression *innerCall = createOperatorExpression(FunctionCall);
  for (ParameterList *item = inner; item; item = item->next)
    appendOperand(innerCall, item->expression);
  freeParameterList(inner);  // the arguments are held by the call and survive
  EXPECT_EQ(innerCall->successorList->expression->constant.value, 7u);
  outer = appendParameter(outer, innerCall);
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(parameterListLength(outer), 255);
  setErrorLimit(1000);
  setLineNumber(1);
  CaptureStderr();
  EXPECT_EQ(appendParameter(outer, makeLeaf()), nullptr);
  EXPECT_EQ(GetCapturedStderr(), " (1) Error: Number of function parameters exceeds maximum limit\n");
  reportSyntaxError(SyntaxErrorInStatement);  // counts the pending error
}

struct VisitLog {
  std::vector<std::pair<AbstractTree *, int>> visits;  // node and its order
  int stopAfter = -1;                                  // visits before returning 0
};

int logVisit(Word argument, AbstractTree *visited, TreeTraversal *traversal) {
  auto *log = fromWord<VisitLog *>(argument);
  EXPECT_TRUE(isVisitedOnTreeTraversal(traversal, visited));
  log->visits.emplace_back(visited, treeTraversalOrder(traversal, visited));
  return static_cast<int>(log->visits.size()) == log->stopAfter ? 0 : 1;
}

TEST(TreeTraversal, PostOrderVisitsASharedNodeOnceAndStopsWhenAsked) {
  AbstractTree *a = leaf(1), *b = leaf(2), *c = leaf(3);
  AbstractTree *product = node(Multiply, {b, c});
  AbstractTree *sum = node(Add, {a, product});
  AbstractTree *outer = node(Subtract, {sum, b});  // b met again through another parent
  VisitLog log;
  EXPECT_EQ(traverseTree(outer, toWord(&log), logVisit), 1);
  EXPECT_EQ(log.visits, (std::vector<std::pair<AbstractTree *, int>>{
                            {a, 0}, {b, 1}, {c, 2}, {product, 3}, {sum, 4}, {outer, 5}}));
  // A stopped walk releases its records and stack: a leak shows under the sanitizer build.
  for (int round = 0; round < 1000; ++round) {
    VisitLog stopped{.visits = {}, .stopAfter = 1};
    ASSERT_EQ(traverseTree(outer, toWord(&stopped), logVisit), 0);
    ASSERT_EQ(stopped.visits, (std::vector<std::pair<AbstractTree *, int>>{{a, 0}}));
  }
  releaseTree(outer);
}

// Run on a 256 KB stack, which a walk recursing once per level would overflow.
TEST(DeepChains, AreReleasedAndWalkedWithoutRecursion) {
  constexpr int length = 50'000;
  Expression *leftDeep = makeLeaf();   // ((x + x) + x) + ...
  Expression *rightDeep = makeLeaf();  // x = (x = (x = ...))
  AbstractTree *tree = leaf(0);
  for (int i = 0; i < length; ++i) {
    leftDeep = makeBinary(Add, leftDeep, makeLeaf());
    rightDeep = makeBinary(Assign, makeLeaf(), rightDeep);
    tree = node(Add, {tree, leaf(1)});
  }
  int visits = 0;
  std::function<void()> body = [&] {
    releaseExpression(leftDeep);
    releaseExpression(rightDeep);
    traverseTree(tree, toWord(&visits), [](Word argument, AbstractTree *, TreeTraversal *) {
      return ++*fromWord<int *>(argument);
    });
    releaseTree(tree);
  };
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void *argument) -> void * { return (*static_cast<std::function<void()> *>(argument))(), nullptr; };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(visits, 2 * length + 1);
  EXPECT_LE(expressionFreeListCount(), 64);
  EXPECT_LE(expressionListFreeListCount(), 128);
}

} // namespace
