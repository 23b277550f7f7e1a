#include "exprsion.h"

#include "errorhlr.h"
#include "mempool.h"
#include "tavokassert.h"

namespace {

// Released nodes wait in front of their pools; a full free list is trimmed to
// half so that it never hoards more than a handful of units.
constexpr unsigned requestedPoolUnits = 1024;
// 255: the argument count of a call instruction is one byte.
constexpr int maximumArguments = 255;

// The free lists are expressionFreeLists: nodes linked through
// nextFreeNode, operand items through nextExpression.
struct ExpressionState {
  MemPool *expressionPool;      // created on the first node
  MemPool *expressionListPool;  // created on the first operand
  MemPool *parameterListPool;   // argument-list nodes go straight back to it
};

} // namespace

static constinit ExpressionState state{};
constinit ExpressionFreeLists expressionFreeLists{};

static_assert(std::is_trivially_copyable_v<ExpressionList>);
static_assert(std::is_trivially_copyable_v<ParameterList>);

// ---------------------------------------------------------------- nodes

// A node from the free list keeps the location number it was first given;
// a node from the pool is numbered by the pool, which knows the location of
// the unit it handed out last without a look-up. Inlined into both
// creators: every node of the compiler passes here.
[[gnu::always_inline]] static inline Expression *takeExpressionNode() {
  Expression *node = expressionFreeLists.nodes;
  if (node) {
    ASSERT(expressionFreeLists.nodeCount > 0);
    expressionFreeLists.nodes = node->nextFreeNode;
    expressionFreeLists.nodeCount -= 1;
  } else {
    ASSERT(expressionFreeLists.nodeCount == 0);
    if (!state.expressionPool)
      state.expressionPool = createMemPool(requestedPoolUnits, sizeof(Expression));
    node = static_cast<Expression *>(allocateFromMemPool(state.expressionPool));
    node->nodeNumber = static_cast<std::uint32_t>(state.expressionPool->lastAllocatedLocation);
  }
  node->referenceCount = 0;
  return node;
}

Expression *createExpression() { return takeExpressionNode(); }

Expression *createOperatorExpression(ExpressionOperator op) {
  Expression *node = takeExpressionNode();
  node->exprOperator = op;
  node->successorList = nullptr;
  return node;
}

// ---------------------------------------------------------------- operand lists

// Inlined into both builders of operand lists, as takeExpressionNode.
[[gnu::always_inline]] static inline ExpressionList *takeListNode() {
  if (ExpressionList *item = expressionFreeLists.items) {
    ASSERT(expressionFreeLists.itemCount > 0);
    expressionFreeLists.items = item->nextExpression;
    expressionFreeLists.itemCount -= 1;
    return item;
  }
  ASSERT(expressionFreeLists.itemCount == 0);
  if (!state.expressionListPool)
    state.expressionListPool = createMemPool(requestedPoolUnits, sizeof(ExpressionList));
  return static_cast<ExpressionList *>(allocateFromMemPool(state.expressionListPool));
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

// The operand items of a node being built, linked in order from *end on;
// returns where the last one links to. While a large expression is parsed
// nothing is released and the free list stays empty, so every item comes
// from the pool: that loop is kept apart from the general one, without a
// look at the free list per item. Inlined: every operator node passes here.
[[gnu::always_inline]] static inline ExpressionList **linkOperandItems(ExpressionList **end,
                                                                     std::span<Expression *const> operands) {
  if (!expressionFreeLists.items && state.expressionListPool) {
    ASSERT(expressionFreeLists.itemCount == 0);
    MemPool *pool = state.expressionListPool;
    for (Expression *operand : operands) {
      auto *item = static_cast<ExpressionList *>(allocateFromMemPool(pool));
      item->expression = operand;
      operand->referenceCount += 1;
      *end = item;
      end = &item->nextExpression;
    }
    return end;
  }
  for (Expression *operand : operands) {
    ExpressionList *item = takeListNode();
    item->expression = operand;
    operand->referenceCount += 1;
    *end = item;
    end = &item->nextExpression;
  }
  return end;
}

Expression *createOperatorWithOperands(ExpressionOperator op, std::span<Expression *const> operands) {
  ASSERT(!isLeafOperator(op));
  Expression *node = takeExpressionNode();
  node->exprOperator = op;
  // Each list node is linked in when the next one is taken, the last one
  // after the loop.
  *linkOperandItems(&node->successorList, operands) = nullptr;
  return node;
}

Expression *createBinaryOperator(ExpressionOperator op, Expression *left, Expression *right) {
  ASSERT(!isLeafOperator(op));
  Expression *node = takeExpressionNode();
  node->exprOperator = op;
  ExpressionList *leftItem = takeListNode();
  ExpressionList *rightItem = takeListNode();
  *leftItem = ExpressionList{.expression = left, .nextExpression = rightItem};
  *rightItem = ExpressionList{.expression = right, .nextExpression = nullptr};
  left->referenceCount += 1;
  right->referenceCount += 1;
  node->successorList = leftItem;
  return node;
}

Expression *createUnaryOperator(ExpressionOperator op, Expression *operand) {
  ASSERT(!isLeafOperator(op));
  Expression *node = takeExpressionNode();
  node->exprOperator = op;
  ExpressionList *item = takeListNode();
  *item = ExpressionList{.expression = operand, .nextExpression = nullptr};
  operand->referenceCount += 1;
  node->successorList = item;
  return node;
}

bool isUnreferenced(const Expression *node) { return node->referenceCount == 0; }

// ---------------------------------------------------------------- releasing

// A full free list is trimmed to half: the record, then the surplus from the
// head of the list, go back to the pool in one burst. Returns the new head.
template <class Record, Record *Record::*link, int bound>
static Record *trimFreeList(MemPool *pool, Record *head, Record *record) {
  constexpr int surplusCount = bound - bound / 2;
  void *units[1 + surplusCount];
  units[0] = record;
  for (int i = 1; i <= surplusCount; ++i) {
    units[i] = head;
    head = head->*link;
  }
  freeUnitsToMemPool(pool, units, 1 + surplusCount);
  return head;
}

// One record onto a held free list, or, when the list is full, the record
// and the list's surplus back to their pool.
template <class Record, Record *Record::*link, int bound>
static void returnToHeldList(MemPool *pool, Record *&head, int &count, Record *record) {
  if (count < bound) {
    record->*link = head;
    head = record;
    count += 1;
    return;
  }
  head = trimFreeList<Record, link, bound>(pool, head, record);
  count = bound / 2;
}

static void returnExpressionNode(ExpressionFreeLists &lists, Expression *node) {
  returnToHeldList<Expression, &Expression::nextFreeNode, expressionFreeListBound>(
      state.expressionPool, lists.nodes, lists.nodeCount, node);
}

static void returnListNode(ExpressionFreeLists &lists, ExpressionList *item) {
  returnToHeldList<ExpressionList, &ExpressionList::nextExpression, expressionListFreeListBound>(
      state.expressionListPool, lists.items, lists.itemCount, item);
}

// The source decides how deep a tree is (a chain of a million additions is
// one statement), so the release walks without recursion. The list node of
// an operator operand that lost its last holder is not returned at once:
// chained through nextExpression it joins the work list of nodes still to
// free. Leaves have nothing to walk and go at once.
static void freeUnreferencedTree(Expression *root) {
  // The lists in locals, so that the walk's stores into nodes do not make
  // the compiler re-read them.
  ExpressionFreeLists lists = expressionFreeLists;
  ExpressionList *pending = nullptr;
  Expression *node = root;
  for (;;) {
    if (!isLeafOperator(node->exprOperator)) {
      ExpressionList *item = node->successorList;
      while (item) {
        ExpressionList *nextItem = item->nextExpression;
        Expression *operand = item->expression;
        const std::int32_t holders = operand->referenceCount - 1;
        ASSERT(holders >= 0);
        operand->referenceCount = holders;
        if (holders == 0 && !isLeafOperator(operand->exprOperator)) {
          item->nextExpression = pending;
          pending = item;
        } else {
          if (holders == 0)
            returnExpressionNode(lists, operand);
          returnListNode(lists, item);
        }
        item = nextItem;
      }
    }
    returnExpressionNode(lists, node);
    if (!pending)
      break;
    ExpressionList *item = pending;
    pending = item->nextExpression;
    node = item->expression;
    returnListNode(lists, item);
  }
  expressionFreeLists = lists;
}

void trimNodeFreeList(ExpressionFreeLists &lists, Expression *node) {
  ASSERT(lists.nodeCount == expressionFreeListBound);
  lists.nodes = trimFreeList<Expression, &Expression::nextFreeNode, expressionFreeListBound>(
      state.expressionPool, lists.nodes, node);
  lists.nodeCount = expressionFreeListBound / 2;
}

void trimItemFreeList(ExpressionFreeLists &lists, ExpressionList *item) {
  ASSERT(lists.itemCount == expressionListFreeListBound);
  lists.items = trimFreeList<ExpressionList, &ExpressionList::nextExpression, expressionListFreeListBound>(
      state.expressionListPool, lists.items, item);
  lists.itemCount = expressionListFreeListBound / 2;
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

Expression *createCallWithArguments(ExpressionOperator op, std::span<Expression *const> callee,
                                    ParameterList *arguments) {
  ASSERT(!isLeafOperator(op));
  Expression *node = takeExpressionNode();
  node->exprOperator = op;
  ExpressionList **end = linkOperandItems(&node->successorList, callee);
  while (arguments) {
    ParameterList *next = arguments->next;
    ExpressionList *item = takeListNode();
    item->expression = arguments->expression;
    arguments->expression->referenceCount += 1;
    *end = item;
    end = &item->nextExpression;
    freeToMemPool(state.parameterListPool, arguments);
    arguments = next;
  }
  *end = nullptr;
  return node;
}

int parameterListLength(const ParameterList *list) {
  int length = 0;
  for (; list; list = list->next)
    length += 1;
  return length;
}

int expressionFreeListCount() { return expressionFreeLists.nodeCount; }

int expressionListFreeListCount() { return expressionFreeLists.itemCount; }
