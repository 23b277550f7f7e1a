#include "exprsion.h"

#include "errorhlr.h"
#include "mempool.h"
#include "tavokassert.h"

namespace {

// Released nodes wait in front of their pools; a full free list is trimmed to
// half so that it never hoards more than a handful of units.
constexpr int expressionFreeListBound = 64;
constexpr int expressionListFreeListBound = 128;
constexpr unsigned requestedPoolUnits = 1024;
// 255: the argument count of a call instruction is one byte.
constexpr int maximumArguments = 255;

struct ExpressionState {
  MemPool *expressionPool;      // created on the first node
  Expression *freeExprNodes;    // linked through nextFreeNode
  int freeExprNodeCount;
  MemPool *expressionListPool;  // created on the first operand
  ExpressionList *freeListNodes;  // linked through nextExpression
  int freeListNodeCount;
  MemPool *parameterListPool;   // argument-list nodes go straight back to it
};

} // namespace

static constinit ExpressionState state{};

static_assert(std::is_trivially_copyable_v<ExpressionList>);
static_assert(std::is_trivially_copyable_v<ParameterList>);

// ---------------------------------------------------------------- nodes

Expression *createExpression() {
  Expression *node;
  if (state.freeExprNodes) {
    ASSERT(state.freeExprNodeCount > 0);
    node = state.freeExprNodes;
    state.freeExprNodes = node->nextFreeNode;
    state.freeExprNodeCount -= 1;
    // A recycled node keeps the location number it was first given.
  } else {
    ASSERT(state.freeExprNodeCount == 0);
    if (!state.expressionPool)
      state.expressionPool = createMemPool(requestedPoolUnits, sizeof(Expression));
    node = static_cast<Expression *>(allocateFromMemPool(state.expressionPool));
    // The pool numbers the unit it handed out last without a look-up.
    node->nodeNumber = static_cast<std::uint32_t>(state.expressionPool->lastAllocatedLocation);
  }
  node->referenceCount = 0;
  return node;
}

Expression *createOperatorExpression(ExpressionOperator op) {
  Expression *node = createExpression();
  node->exprOperator = op;
  node->successorList = nullptr;
  return node;
}

static void returnExpressionNode(Expression *node) {
  if (state.freeExprNodeCount < expressionFreeListBound) {
    node->nextFreeNode = state.freeExprNodes;
    state.freeExprNodes = node;
    state.freeExprNodeCount += 1;
    return;
  }
  // The node, then the surplus from the head of the list, in one burst.
  void *units[expressionFreeListBound - expressionFreeListBound / 2 + 1];
  int unitCount = 0;
  units[unitCount++] = node;
  while (state.freeExprNodeCount > expressionFreeListBound / 2) {
    Expression *surplus = state.freeExprNodes;
    state.freeExprNodes = surplus->nextFreeNode;
    state.freeExprNodeCount -= 1;
    units[unitCount++] = surplus;
  }
  freeUnitsToMemPool(state.expressionPool, units, unitCount);
}

// ---------------------------------------------------------------- operand lists

static ExpressionList *takeListNode() {
  if (state.freeListNodes) {
    ASSERT(state.freeListNodeCount > 0);
    ExpressionList *item = state.freeListNodes;
    state.freeListNodes = item->nextExpression;
    state.freeListNodeCount -= 1;
    return item;
  }
  ASSERT(state.freeListNodeCount == 0);
  if (!state.expressionListPool)
    state.expressionListPool = createMemPool(requestedPoolUnits, sizeof(ExpressionList));
  return static_cast<ExpressionList *>(allocateFromMemPool(state.expressionListPool));
}

static void returnListNode(ExpressionList *item) {
  if (state.freeListNodeCount < expressionListFreeListBound) {
    item->nextExpression = state.freeListNodes;
    state.freeListNodes = item;
    state.freeListNodeCount += 1;
    return;
  }
  // The item, then the surplus from the head of the list, in one burst.
  void *units[expressionListFreeListBound - expressionListFreeListBound / 2 + 1];
  int unitCount = 0;
  units[unitCount++] = item;
  while (state.freeListNodeCount > expressionListFreeListBound / 2) {
    ExpressionList *surplus = state.freeListNodes;
    state.freeListNodes = surplus->nextExpression;
    state.freeListNodeCount -= 1;
    units[unitCount++] = surplus;
  }
  freeUnitsToMemPool(state.expressionListPool, units, unitCount);
}

void appendOperand(Expression *node, Expression *operand) {
  ASSERT(!isLeafOperator(node->exprOperator));
  ExpressionList *item = takeListNode();
  *item = ExpressionList{.expression = operand, .nextExpression = nullptr};
  operand->referenceCount += 1;
  if (!node->successorList) {
    node->successorList = item;
    return;
  }
  ExpressionList *lastExpression = node->successorList;
  while (lastExpression->nextExpression)
    lastExpression = lastExpression->nextExpression;
  lastExpression->nextExpression = item;
}

bool isUnreferenced(const Expression *node) { return node->referenceCount == 0; }

// The source decides how deep a tree is (a chain of a million additions is
// one statement), so the release walks without recursion. The list node of
// an operator operand that lost its last holder is not returned at once:
// chained through nextExpression it joins the work list of nodes still to
// free. Leaves have nothing to walk and go at once.
static void freeUnreferencedTree(Expression *root) {
  ExpressionList *pending = nullptr;
  Expression *node = root;
  for (;;) {
    if (!isLeafOperator(node->exprOperator)) {
      ExpressionList *item = node->successorList;
      while (item) {
        ExpressionList *nextItem = item->nextExpression;
        Expression *operand = item->expression;
        ASSERT(operand->referenceCount > 0);
        operand->referenceCount -= 1;
        if (operand->referenceCount == 0 && !isLeafOperator(operand->exprOperator)) {
          item->nextExpression = pending;
          pending = item;
        } else {
          if (operand->referenceCount == 0)
            returnExpressionNode(operand);
          returnListNode(item);
        }
        item = nextItem;
      }
    }
    returnExpressionNode(node);
    if (!pending)
      return;
    ExpressionList *item = pending;
    pending = item->nextExpression;
    node = item->expression;
    returnListNode(item);
  }
}

void releaseExpression(Expression *node) {
  if (node->referenceCount > 0) {
    node->referenceCount -= 1;
    return;
  }
  ASSERT(node->referenceCount == 0);
  freeUnreferencedTree(node);
}

// ---------------------------------------------------------------- argument lists

static ParameterList *takeParameterNode(Expression *expression) {
  if (!state.parameterListPool)
    state.parameterListPool = createMemPool(requestedPoolUnits, sizeof(ParameterList));
  auto *item = static_cast<ParameterList *>(allocateFromMemPool(state.parameterListPool));
  *item = ParameterList{.expression = expression, .next = nullptr};
  return item;
}

ParameterList *createParameterList(Expression *expression) { return takeParameterNode(expression); }

// The count is taken from the list itself, so an argument that is itself a
// call, whose list was built in between, does not disturb it.
ParameterList *appendParameter(ParameterList *list, Expression *expression) {
  ASSERT(list);
  int parameterCount = 1;
  ParameterList *lastParameter = list;
  while (lastParameter->next) {
    lastParameter = lastParameter->next;
    parameterCount += 1;
  }
  lastParameter->next = takeParameterNode(expression);
  parameterCount += 1;
  if (parameterCount > maximumArguments) {
    reportError(TooManyParameters);
    freeParameterList(list);
    return nullptr;
  }
  return list;
}

void freeParameterList(ParameterList *list) {
  while (list) {
    ParameterList *next = list->next;
    if (isUnreferenced(list->expression))
      releaseExpression(list->expression);
    freeToMemPool(state.parameterListPool, list);
    list = next;
  }
}

int parameterListLength(const ParameterList *list) {
  int length = 0;
  for (; list; list = list->next)
    length += 1;
  return length;
}

int expressionFreeListCount() { return state.freeExprNodeCount; }

int expressionListFreeListCount() { return state.freeListNodeCount; }
