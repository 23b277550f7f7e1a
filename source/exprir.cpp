#include "exprir.h"

#include "recordpool.h"
#include "tavokassert.h"

void appendChild(AbstractTree *tree, AbstractTree *child) {
  ASSERT(!isLeafOperator(tree->treeOperator));
  auto *item = takeRecordCell<AbstractTreeList>();
  *item = AbstractTreeList{.abstractTree = child, .next = nullptr};
  child->referenceCount += 1;
  if (!tree->succList) {
    tree->succList = item;
    return;
  }
  AbstractTreeList *lastAbstractTree = tree->succList;
  while (lastAbstractTree->next)
    lastAbstractTree = lastAbstractTree->next;
  lastAbstractTree->next = item;
}

AbstractTree *addTreeReference(AbstractTree *tree) {
  tree->referenceCount += 1;
  return tree;
}

// The source decides how deep a tree is (a chain of a million additions is
// one statement), so the release walks without recursion. A child that loses
// its last holder is freed too, so that the memory of a function stays
// bounded by what its statements still hold; its list node is not returned
// at once but, chained through next, becomes the work list of nodes to free.
static void returnTree(AbstractTree *tree) { giveRecordCell(tree); }

static void returnListItem(AbstractTreeList *item) { giveRecordCell(item); }

static void freeUnreferencedTree(AbstractTree *root) {
  AbstractTreeList *pending = nullptr;
  AbstractTree *tree = root;
  for (;;) {
    if (!isLeafOperator(tree->treeOperator)) {
      AbstractTreeList *item = tree->succList;
      while (item) {
        AbstractTreeList *nextItem = item->next;
        AbstractTree *child = item->abstractTree;
        ASSERT(child->referenceCount > 0);
        child->referenceCount -= 1;
        if (child->referenceCount == 0) {
          item->next = pending;
          pending = item;
        } else {
          returnListItem(item);
        }
        item = nextItem;
      }
    }
    returnTree(tree);
    if (!pending)
      return;
    AbstractTreeList *item = pending;
    pending = item->next;
    tree = item->abstractTree;
    returnListItem(item);
  }
}

void releaseTree(AbstractTree *tree) {
  if (tree->referenceCount > 0) {
    tree->referenceCount -= 1;
    return;
  }
  ASSERT(tree->referenceCount == 0);
  freeUnreferencedTree(tree);
}


// ---------------------------------------------------------------- accessors

AbstractTree *nthOperand(const AbstractTree *tree, int n) {
  int number = n;
  ASSERT(number > 0);
  if (isLeafOperator(tree->treeOperator))
    return nullptr;
  AbstractTreeList *item = tree->succList;
  for (; item && number > 1; --number)
    item = item->next;
  return item ? item->abstractTree : nullptr;
}

AbstractTreeList *operandsAfterFirst(const AbstractTree *tree) { return childList(tree)->next; }

// The two index leaves of an external or library call come before its
// arguments.
static AbstractTreeList *childrenAfterTwoIndexLeaves(const AbstractTree *tree) {
  AbstractTreeList *second = childList(tree)->next;
  ASSERT(second);
  return second->next;
}

AbstractTreeList *externalCallArguments(const AbstractTree *tree) {
  ASSERT(tree->treeOperator == ExternalFunctionCall);
  return childrenAfterTwoIndexLeaves(tree);
}

AbstractTreeList *libraryCallArguments(const AbstractTree *tree) {
  ASSERT(tree->treeOperator == LibraryFunctionCall);
  return childrenAfterTwoIndexLeaves(tree);
}
