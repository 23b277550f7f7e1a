// Abstract trees: the form in which statements hold expressions and
// instruction selection reads them. Every lowering makes fresh nodes; the
// operator set is reduced (no comma; of the compound assignments only
// AddAssign and SubtractAssign remain) and every constant leaf is placed.
// referenceCount counts the child lists that hold a node; a root owned by an
// IR data record or a statement has 0.
#pragma once

#include "exprsion.h"

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
// the caller.
AbstractTree *createAbstractTree(ExpressionOperator op);
// Appends child at the end of tree's children and counts the reference.
void appendChild(AbstractTree *tree, AbstractTree *child);
// The same when the caller knows tree's last child item (null when it has
// none yet); returns the new last item.
AbstractTreeList *appendChildAfter(AbstractTree *tree, AbstractTreeList *lastChild, AbstractTree *child);
AbstractTree *addTreeReference(AbstractTree *tree);
// Drops one reference, or frees an unreferenced tree and drops one reference
// from each child (children nobody holds any more are freed too).
void releaseTree(AbstractTree *tree);
bool isUnreferencedTree(const AbstractTree *tree);

// Accessors for instruction selection.
AbstractTree *firstOperand(const AbstractTree *tree);   // null for leaves
AbstractTree *secondOperand(const AbstractTree *tree);  // null for leaves and unary operators
AbstractTree *nthOperand(const AbstractTree *tree, int n);  // n from 1; null past the end
AbstractTreeList *operandsAfterFirst(const AbstractTree *tree);    // a call's arguments
AbstractTreeList *externalCallArguments(const AbstractTree *tree);  // from the third child
AbstractTreeList *libraryCallArguments(const AbstractTree *tree);   // from the third child
