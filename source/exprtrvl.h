// The post-order walk over an abstract tree: children left to right before
// their parent, each distinct node once (a shared node at its first, leftmost
// occurrence), numbered from 0 in visit order. Iterative: deep trees do not
// grow the call stack.
#pragma once

#include "words.h"

struct AbstractTree;
struct TreeTraversal;

// Returning 0 stops the walk.
using TreeVisitFunction = int (*)(Word argument, AbstractTree *node, TreeTraversal *traversal);

// The last result of visit.
int traverseTree(AbstractTree *root, Word argument, TreeVisitFunction visit);

// Within a visit: whether a node was visited already, and its visit number
// (the node must have been visited).
bool isVisitedOnTreeTraversal(TreeTraversal *traversal, const AbstractTree *node);
int treeTraversalOrder(TreeTraversal *traversal, const AbstractTree *node);
