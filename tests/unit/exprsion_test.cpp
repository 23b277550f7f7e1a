// Expression nodes: reference counting, the bounded free lists, the argument
// lists with their 255 limit, and releasing trees too deep for recursion.
#include "errorhlr.h"
#include "exprsion.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstddef>
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

// Takes every node waiting in the free list, so that the next releases start
// from an empty list.
std::vector<Expression *> drainExpressionFreeList() {
  std::vector<Expression *> taken;
  while (expressionFreeListCount() > 0)
    taken.push_back(createExpression());
  return taken;
}

void releaseAll(const std::vector<Expression *> &nodes) {
  for (Expression *node : nodes) {
    node->exprOperator = ConstantLeaf;
    releaseExpression(node);
  }
}

void settlePendingError() {
  if (isErrorPending()) {
    CaptureStderr();
    reportSyntaxError(SyntaxErrorInStatement);
    GetCapturedStderr();
  }
}

TEST(ExpressionNodes, FreshNodeIsUnreferencedAndOperandsKeepTheirOrder) {
  Expression *a = makeLeaf();
  Expression *b = makeLeaf();
  Expression *c = makeLeaf();
  Expression *conditional = createOperatorExpression(Conditional);
  EXPECT_TRUE(isUnreferenced(conditional));
  EXPECT_EQ(conditional->successorList, nullptr);
  appendOperand(conditional, a);
  appendOperand(conditional, b);
  appendOperand(conditional, c);
  ExpressionList *item = conditional->successorList;
  for (Expression *expected : {a, b, c}) {
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->expression, expected);
    EXPECT_EQ(expected->referenceCount, 1);
    item = item->nextExpression;
  }
  EXPECT_EQ(item, nullptr);
  releaseExpression(conditional);
}

TEST(ExpressionNodes, RecycledNodeKeepsItsNodeNumber) {
  Expression *node = makeLeaf();
  const std::uint32_t number = node->nodeNumber;
  releaseExpression(node);  // the free list is never full after a release
  Expression *again = createExpression();
  EXPECT_EQ(again, node);
  EXPECT_EQ(again->nodeNumber, number);
  EXPECT_TRUE(isUnreferenced(again));
  again->exprOperator = ConstantLeaf;
  releaseExpression(again);
}

TEST(ReferenceCounts, ReleasingARootReclaimsOperandsNobodyElseHolds) {
  std::vector<Expression *> drained = drainExpressionFreeList();
  Expression *sum = makeBinary(Add, makeLeaf(), makeLeaf());
  releaseExpression(sum);
  EXPECT_EQ(expressionFreeListCount(), 3);
  releaseAll(drained);
}

TEST(ReferenceCounts, SharedOperandSurvivesItsFirstHolder) {
  Expression *shared = makeLeaf();
  Expression *first = makeBinary(Add, shared, makeLeaf());
  Expression *second = makeBinary(Multiply, shared, makeLeaf());
  EXPECT_EQ(shared->referenceCount, 2);
  releaseExpression(first);
  EXPECT_EQ(shared->referenceCount, 1);
  EXPECT_EQ(shared->exprOperator, ConstantLeaf);
  EXPECT_EQ(shared->constant.value, 7u);
  releaseExpression(second);
}

TEST(ReferenceCounts, ReleasingAHeldNodeOnlyDropsOneReference) {
  Expression *node = makeLeaf();
  node->referenceCount = 2;
  releaseExpression(node);
  EXPECT_EQ(node->referenceCount, 1);
  EXPECT_EQ(node->constant.value, 7u);
  releaseExpression(node);
  EXPECT_TRUE(isUnreferenced(node));
  releaseExpression(node);
}

TEST(FreeLists, The65thReleasedNodeTrimsTheListToHalf) {
  std::vector<Expression *> drained = drainExpressionFreeList();
  std::vector<Expression *> nodes;
  for (int i = 0; i < 65; ++i)
    nodes.push_back(makeLeaf());
  for (int i = 0; i < 64; ++i)
    releaseExpression(nodes[i]);
  EXPECT_EQ(expressionFreeListCount(), 64);
  releaseExpression(nodes[64]);
  EXPECT_EQ(expressionFreeListCount(), 32);
  releaseAll(drained);
}

// The release runs on a thread with a 256 KB stack: a recursive walk over
// 50,000 nested nodes would need several megabytes there and crash. (A
// million nodes prove no more and spend minutes in the pool's page table,
// whose 1021 chains every freed unit is looked up in.)
constexpr std::size_t smallStackBytes = 256 * 1024;
constexpr int deepChainLength = 50000;

void *releaseOnThisThread(void *tree) {
  releaseExpression(static_cast<Expression *>(tree));
  return nullptr;
}

void releaseOnASmallStack(Expression *tree) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, smallStackBytes), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, releaseOnThisThread, tree), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
}

TEST(DeepTrees, ChainsNestedEitherWayAreReleasedWithoutRecursion) {
  Expression *leftDeep = makeLeaf();  // ((x + x) + x) + ...
  Expression *rightDeep = makeLeaf(); // x = (x = (x = ...))
  for (int i = 0; i < deepChainLength; ++i) {
    leftDeep = makeBinary(Add, leftDeep, makeLeaf());
    rightDeep = makeBinary(Assign, makeLeaf(), rightDeep);
  }
  releaseOnASmallStack(leftDeep);
  releaseOnASmallStack(rightDeep);
  EXPECT_LE(expressionFreeListCount(), 64);
  EXPECT_LE(expressionListFreeListCount(), 128);
}

TEST(ArgumentLists, CountsNestedListsSeparately) {
  // f(a, g(b, c), d): g's list is built while f's is open.
  ParameterList *outer = createParameterList(makeLeaf());
  ParameterList *inner = createParameterList(makeLeaf());
  inner = appendParameter(inner, makeLeaf());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(parameterListLength(inner), 2);
  Expression *innerCall = createOperatorExpression(FunctionCall);
  for (ParameterList *item = inner; item; item = item->next)
    appendOperand(innerCall, item->expression);
  freeParameterList(inner);  // the arguments are held by the call and survive
  EXPECT_EQ(innerCall->successorList->expression->constant.value, 7u);
  outer = appendParameter(outer, innerCall);
  outer = appendParameter(outer, makeLeaf());
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(parameterListLength(outer), 3);
  EXPECT_EQ(outer->next->expression, innerCall);
  freeParameterList(outer);  // nothing holds them: all released
  EXPECT_EQ(parameterListLength(nullptr), 0);
}

TEST(ArgumentLists, Accepts255ArgumentsAndRefusesThe256th) {
  settlePendingError();
  setLineNumber(1);
  ParameterList *list = createParameterList(makeLeaf());
  for (int i = 2; i <= 255; ++i) {
    list = appendParameter(list, makeLeaf());
    ASSERT_NE(list, nullptr) << i;
  }
  EXPECT_EQ(parameterListLength(list), 255);
  EXPECT_FALSE(isErrorPending());
  CaptureStderr();
  EXPECT_EQ(appendParameter(list, makeLeaf()), nullptr);
  EXPECT_EQ(GetCapturedStderr(), " (1) Error: Number of function parameters exceeds maximum limit\n");
  EXPECT_TRUE(isErrorPending());
  settlePendingError();
}

} // namespace
