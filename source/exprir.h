// Abstract trees: the form in which statements hold expressions and
// instruction selection reads them. Every lowering makes fresh nodes; the
// operator set is reduced (no comma; of the compound assignments only
// AddAssign and SubtractAssign remain) and every constant leaf is placed.
// referenceCount counts the child lists that hold a node; a root owned by an
// IR data record or a statement has 0.
#pragma once

#include "exprsion.h"
#include "recordpool.h"
#include "tavokassert.h"

#include <cstdint>
#include <type_traits>

struct AbstractTree;

struct AbstractTreeList {
  AbstractTree *abstractTree;
  AbstractTreeList *next;
};

// 32 bytes: a function's trees are held whole until its code is generated.
struct AbstractTree {
  ExpressionOperator treeOperator;  // only 0 to 36, 41 and 42 occur
  std::uint32_t valueDiscarded;  // set by instruction selection on a statement's top node
  std::int32_t referenceCount;
  union {
    AbstractTreeList *succList;       // operators: the children in operand order
    IdentifierLeafData identifier;    // IdentifierLeaf
    ConstantDescriptor constantNode;  // ConstantLeaf, after placement
  };
};
static_assert(std::is_trivially_copyable_v<AbstractTree>);
static_assert(sizeof(AbstractTree) <= 32 && sizeof(AbstractTreeList) <= 16);

// A node with no children and valueDiscarded clear; leaves are filled in by
// the caller. Lowering makes and links every node of every tree with these
// two, so they are defined below, where lowering inlines them.
inline AbstractTree *createAbstractTree(ExpressionOperator op);
// Appends child at the end of tree's children and counts the reference.
void appendChild(AbstractTree *tree, AbstractTree *child);
// The same when the caller knows tree's last child item (null when it has
// none yet); returns the new last item.
inline AbstractTreeList *appendChildAfter(AbstractTree *tree, AbstractTreeList *lastChild, AbstractTree *child);
AbstractTree *addTreeReference(AbstractTree *tree);
// Drops one reference, or frees an unreferenced tree and drops one reference
// from each child (children nobody holds any more are freed too).
void releaseTree(AbstractTree *tree);
// Selection asks this of every tree it releases, so it is defined here.
inline bool isUnreferencedTree(const AbstractTree *tree) { return tree->referenceCount == 0; }
// Drops the reference that a released parent's child list held: a child
// nobody holds any more is freed, with whatever is left of its subtree.
// Selection releases a tree node by node with this, as it goes.
inline void releaseChildReference(AbstractTree *child);

// Accessors for instruction selection. The first two are read for every
// node selected, so they are defined here, where selection inlines them.
inline AbstractTree *firstOperand(const AbstractTree *tree);   // null for leaves
inline AbstractTree *secondOperand(const AbstractTree *tree);  // null for leaves and unary operators
AbstractTree *nthOperand(const AbstractTree *tree, int n);  // n from 1; null past the end
AbstractTreeList *operandsAfterFirst(const AbstractTree *tree);    // a call's arguments
AbstractTreeList *externalCallArguments(const AbstractTree *tree);  // from the third child
AbstractTreeList *libraryCallArguments(const AbstractTree *tree);   // from the third child

// ---------------------------------------------------------------- inline node operations

// Nodes and child-list items come from the shared record cells: a
// function's trees are built during its parse and released, statement by
// statement, as their instructions are selected, and the instructions are
// made of the cells the trees give back.

inline AbstractTree *createAbstractTree(ExpressionOperator op) {
  AbstractTree *tree = takeRecordCell<AbstractTree>();
  tree->treeOperator = op;
  tree->valueDiscarded = 0;
  tree->referenceCount = 0;
  // The whole payload is cleared: a leaf whose caller fills only part of it
  // keeps nothing of the unit's previous life.
  tree->constantNode = ConstantDescriptor{};
  tree->succList = nullptr;
  return tree;
}

inline AbstractTreeList *appendChildAfter(AbstractTree *tree, AbstractTreeList *lastChild, AbstractTree *child) {
  ASSERT(!isLeafOperator(tree->treeOperator));
  ASSERT(lastChild ? !lastChild->next : !tree->succList);
  auto *item = takeRecordCell<AbstractTreeList>();
  *item = AbstractTreeList{.abstractTree = child, .next = nullptr};
  child->referenceCount += 1;
  if (lastChild)
    lastChild->next = item;
  else
    tree->succList = item;
  return item;
}

inline void releaseChildReference(AbstractTree *child) {
  ASSERT(child->referenceCount > 0);
  child->referenceCount -= 1;
  if (child->referenceCount > 0)
    return;
  // The commonest child by far: a leaf, or a node whose children went already.
  if (isLeafOperator(child->treeOperator) || !child->succList) {
    giveRecordCell(child);
    return;
  }
  releaseTree(child);
}

// ---------------------------------------------------------------- inline accessors

// The operators an abstract tree can hold with children: calls, unary and
// binary operators, Conditional, Assign, AddAssign and SubtractAssign.
inline bool isTreeOperatorNode(ExpressionOperator op) {
  return (op >= FunctionCall && op <= Assign) || op == AddAssign || op == SubtractAssign;
}

inline bool isUnaryTreeOperator(ExpressionOperator op) {
  return op == IsValid || op == TypeOf || (op >= PostIncrement && op <= ComplementOf);
}

// The children of an operator node, which always has one at least.
inline AbstractTreeList *childList(const AbstractTree *tree) {
  ASSERT(isTreeOperatorNode(tree->treeOperator));
  AbstractTreeList *children = tree->succList;
  ASSERT(children);
  return children;
}

inline AbstractTree *firstOperand(const AbstractTree *tree) {
  if (isLeafOperator(tree->treeOperator))
    return nullptr;
  return childList(tree)->abstractTree;
}

inline AbstractTree *secondOperand(const AbstractTree *tree) {
  if (isLeafOperator(tree->treeOperator) || isUnaryTreeOperator(tree->treeOperator))
    return nullptr;
  AbstractTreeList *second = childList(tree)->next;
  return second ? second->abstractTree : nullptr;
}
