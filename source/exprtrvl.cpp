#include "exprtrvl.h"

#include "balbtree.h"
#include "exprir.h"
#include "mempool.h"
#include "stack.h"
#include "tavokassert.h"

namespace {

constexpr unsigned requestedPoolUnits = 1024;

// One per node a traversal has reached; the record tree is keyed by the
// node's address.
struct TraversalRecord {
  AbstractTree *node;
  int order;  // visit number, from 0
  bool isVisited;
};

struct TraversalState {
  MemPool *recordPool;  // created on the first traversal
};

} // namespace

// The state of one walk. Each walk has its own, so a visitor may start
// another traversal.
struct TreeTraversal {
  BalancedTree *records;  // TraversalRecord by node address
  Stack *pendingLists;    // list nodes whose child is being walked
  int nextOrder;
};

static constinit TraversalState state{};

static_assert(std::is_trivially_copyable_v<TraversalRecord>);

static int compareNodeAddresses(Word storedKey, Word soughtKey) {
  if (storedKey == soughtKey)
    return 0;
  return storedKey > soughtKey ? 1 : -1;
}

static void freeTraversalRecord(Word, Word data) {
  freeToMemPool(state.recordPool, fromWord<TraversalRecord *>(data));
}

static TraversalRecord *findRecord(const TreeTraversal *traversal, const AbstractTree *node) {
  return fromWord<TraversalRecord *>(findInBalancedTree(traversal->records, toWord(node)));
}

static void enterRecord(TreeTraversal *traversal, AbstractTree *node) {
  if (!state.recordPool)
    state.recordPool = createMemPool(requestedPoolUnits, sizeof(TraversalRecord));
  auto *record = static_cast<TraversalRecord *>(allocateFromMemPool(state.recordPool));
  *record = TraversalRecord{.node = node, .order = 0, .isVisited = false};
  insertInBalancedTree(traversal->records, toWord(node), toWord(record));
}

static int visitNode(TreeTraversal *traversal, AbstractTree *node, Word argument, TreeVisitFunction visit) {
  TraversalRecord *insertData = findRecord(traversal, node);
  ASSERT(insertData);
  insertData->order = traversal->nextOrder;
  insertData->isVisited = true;
  traversal->nextOrder += 1;
  return visit(argument, node, traversal);
}

static AbstractTreeList *childrenOf(const AbstractTree *node) {
  return isLeafOperator(node->treeOperator) ? nullptr : node->succList;
}

// Descends from the list node cursor along the first children nobody has
// reached yet, leaving the list nodes it went through on the stack.
static void descendToUnreachedChild(TreeTraversal *traversal, AbstractTreeList *cursor) {
  while (cursor) {
    AbstractTree *child = cursor->abstractTree;
    if (findRecord(traversal, child)) {
      cursor = cursor->next;  // shared: already reached through another parent
      continue;
    }
    enterRecord(traversal, child);
    pushOnStack(traversal->pendingLists, toWord(cursor));
    cursor = childrenOf(child);
  }
}

int traverseTree(AbstractTree *root, Word argument, TreeVisitFunction visit) {
  TreeTraversal traversal{.records = createBalancedTree(compareNodeAddresses, freeTraversalRecord),
                          .pendingLists = createStack(nullptr),
                          .nextOrder = 0};
  enterRecord(&traversal, root);
  int result = 1;
  descendToUnreachedChild(&traversal, childrenOf(root));
  for (;;) {
    // List nodes are never null, so an empty stack is the only 0.
    auto *finished = fromWord<AbstractTreeList *>(popFromStack(traversal.pendingLists));
    if (!finished) {
      result = visitNode(&traversal, root, argument, visit);
      break;
    }
    result = visitNode(&traversal, finished->abstractTree, argument, visit);
    if (!result)
      break;
    descendToUnreachedChild(&traversal, finished->next);
  }
  deleteStack(traversal.pendingLists);
  deleteBalancedTree(traversal.records);
  return result;
}

bool isVisitedOnTreeTraversal(TreeTraversal *traversal, const AbstractTree *node) {
  TraversalRecord *record = findRecord(traversal, node);
  return record && record->isVisited;
}

int treeTraversalOrder(TreeTraversal *traversal, const AbstractTree *node) {
  TraversalRecord *traversalDataPtr = findRecord(traversal, node);
  ASSERT((traversalDataPtr) && (traversalDataPtr->isVisited));
  return traversalDataPtr->order;
}
