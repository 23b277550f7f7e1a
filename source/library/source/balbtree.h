// A height-balanced binary search tree over opaque key and data words,
// ordered by the caller's compare function. Updates need no parent links and
// no stack: the descent reverses the child links it follows and the climb
// back restores them. Rotations exchange key and data between the two nodes
// involved, so the top node of a rotated subtree never moves and the link
// from above (or the descriptor's root) never changes.
#pragma once

#include "callback.h"
#include "words.h"

#include <type_traits>

// Which child a descent followed; kept in the node only while an update runs.
enum PathMark : int { NoPath = 0, SmallerSidePath = 1, LargerSidePath = 2 };

struct TreeNode {
  int slope;                  // height of the larger-side subtree minus the smaller-side one
  int pathMark;               // PathMark of the current update
  Word key;
  Word data;
  TreeNode *smallerChild;     // keys ordering before key; free-list link when released
  TreeNode *largerChild;      // keys ordering after key
};
static_assert(std::is_trivially_copyable_v<TreeNode>);

struct BalancedTree {
  CompareFunction compareFunction;
  DeleteFunction deleteFunction;  // may be null
  TreeNode *rootNode;             // null for an empty tree
};

// An empty tree; deleteFunction may be null.
BalancedTree *createBalancedTree(CompareFunction compareFunction, DeleteFunction deleteFunction);
// A key that is already stored keeps its data and nothing is called.
void insertInBalancedTree(BalancedTree *tree, Word key, Word data);
// 1 when an equal key is stored, else 0.
int isInBalancedTree(const BalancedTree *tree, Word key);
// The data of the equal key, or 0 when there is none.
Word findInBalancedTree(const BalancedTree *tree, Word key);
// An absent key is no error. The delete function gets the removed key and
// data, even when another node physically leaves the tree.
void removeFromBalancedTree(BalancedTree *tree, Word key);
// Visits in ascending order; returns 0 as soon as a visitor returns 0, else
// the last visitor result, 1 for an empty tree.
int traverseBalancedTree(const BalancedTree *tree, Word argument, VisitFunction visitor);
// As traverseBalancedTree, in descending order.
int traverseBalancedTreeBackwards(const BalancedTree *tree, Word argument, VisitFunction visitor);
// Calls the delete function for every entry in ascending order, then
// releases the nodes and the descriptor.
void deleteBalancedTree(BalancedTree *tree);

// Test and diagnostic accessor: released tree nodes waiting in the free list.
int treeNodeFreeListCount();
