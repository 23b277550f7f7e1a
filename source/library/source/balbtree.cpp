#include "balbtree.h"

#include "fatal.h"
#include "freelist.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released nodes wait in front of the pool, linked through smallerChild.
static constinit BoundedFreeList<TreeNode, &TreeNode::smallerChild, 42, 21> freeTreeNodes{};

static TreeNode *takeTreeNode() { return freeTreeNodes.take(); }

static void releaseTreeNode(TreeNode *node) { freeTreeNodes.release(node); }

int treeNodeFreeListCount() { return freeTreeNodes.count; }

// ---------------------------------------------------------------------------
// Sides and the reversed path

static int otherSide(int side) {
  return side == SmallerSidePath ? LargerSidePath : SmallerSidePath;
}

static TreeNode *&linkOn(TreeNode *node, int side) {
  return side == SmallerSidePath ? node->smallerChild : node->largerChild;
}

static const TreeNode *childOn(const TreeNode *node, int side) {
  return side == SmallerSidePath ? node->smallerChild : node->largerChild;
}

// A stored key ordering after the sought one sends the search to the smaller side.
static int sideTowards(int comparison) {
  return comparison > 0 ? SmallerSidePath : LargerSidePath;
}

// Follows the child link on the given side and turns it round to point at the
// node above (null at the root): the way back up is kept in the nodes
// themselves, so an update needs neither parent links nor a stack.
static TreeNode *stepDown(TreeNode *node, TreeNode *above, int side) {
  node->pathMark = side;
  TreeNode *&link = linkOn(node, side);
  TreeNode *below = link;
  link = above;
  return below;
}

// Undoes stepDown: the link points at the subtree below again, which may
// now be a different node than before. Returns the node above.
static TreeNode *stepUp(TreeNode *node, TreeNode *below) {
  TreeNode *&link = linkOn(node, node->pathMark);
  TreeNode *above = link;
  link = below;
  return above;
}

// ---------------------------------------------------------------------------
// Rotations. The top node stays where it is and takes the key and data of
// the child that rises; the child goes down holding the top's old entry.

static void exchangeEntries(TreeNode *first, TreeNode *second) {
  Word key = first->key;
  Word data = first->data;
  first->key = second->key;
  first->data = second->data;
  second->key = key;
  second->data = data;
}

static void rotateTowardsLargerSide(TreeNode *top) {
  TreeNode *lower = top->smallerChild;
  int topSlope = top->slope;
  int lowerSlope = lower->slope;
  top->smallerChild = lower->smallerChild;
  lower->smallerChild = lower->largerChild;
  lower->largerChild = top->largerChild;
  top->largerChild = lower;
  exchangeEntries(top, lower);
  lower->slope = lowerSlope < 0 ? topSlope - lowerSlope + 1 : topSlope + 1;
  top->slope = lower->slope < 0 ? lowerSlope + 1 : lower->slope + lowerSlope + 1;
}

static void rotateTowardsSmallerSide(TreeNode *top) {
  TreeNode *lower = top->largerChild;
  int topSlope = top->slope;
  int lowerSlope = lower->slope;
  top->largerChild = lower->largerChild;
  lower->largerChild = lower->smallerChild;
  lower->smallerChild = top->smallerChild;
  top->smallerChild = lower;
  exchangeEntries(top, lower);
  lower->slope = lowerSlope < 0 ? topSlope - 1 : topSlope - lowerSlope - 1;
  top->slope = lower->slope < 0 ? lowerSlope + lower->slope - 1 : lowerSlope - 1;
}

// Called only on a slope of -2 or 2. A child leaning the other way is first
// turned so that the single rotation then leaves the node balanced.
static void rebalance(TreeNode *node) {
  if (node->slope == -2) {
    if (node->smallerChild->slope == 1)
      rotateTowardsSmallerSide(node->smallerChild);
    rotateTowardsLargerSide(node);
    return;
  }
  ASSERT(node->slope == 2);
  if (node->largerChild->slope == -1)
    rotateTowardsLargerSide(node->largerChild);
  rotateTowardsSmallerSide(node);
}

// The subtree on `side` of node grew by one level. Returns whether node's
// own subtree grew as well.
static bool absorbGrowth(TreeNode *node, int side) {
  node->slope += side == SmallerSidePath ? -1 : 1;
  switch (node->slope) {
  case -2:
  case 2:
    rebalance(node);
    ASSERT(!node->slope);
    return false;
  case -1:
  case 1:
    return true;
  case 0:
    return false;
  }
  ASSERT(0);
  return false;
}

// The subtree on `side` of node lost one level. Returns whether node's own
// subtree shrank as well.
static bool absorbShrinking(TreeNode *node, int side) {
  node->slope += side == SmallerSidePath ? 1 : -1;
  switch (node->slope) {
  case 0:
    return true;
  case -1:
  case 1:
    return false;
  case -2:
  case 2:
    rebalance(node);
    return node->slope == 0;
  }
  ASSERT(0);
  return false;
}

// Climbs the reversed path from node to the root, restoring every link, and
// adjusts slopes while the height change still propagates.
static void climbAfterInsertion(TreeNode *node, TreeNode *below) {
  bool growing = true;
  while (node) {
    int side = node->pathMark;
    TreeNode *above = stepUp(node, below);
    if (growing)
      growing = absorbGrowth(node, side);
    below = node;
    node = above;
  }
}

static void climbAfterRemoval(TreeNode *node, TreeNode *below) {
  bool shrinking = true;
  while (node) {
    int side = node->pathMark;
    TreeNode *above = stepUp(node, below);
    if (shrinking)
      shrinking = absorbShrinking(node, side);
    below = node;
    node = above;
  }
}

// ---------------------------------------------------------------------------
// Operations

BalancedTree *createBalancedTree(CompareFunction compareFunction, DeleteFunction deleteFunction) {
  auto *tree = static_cast<BalancedTree *>(std::calloc(1, sizeof(BalancedTree)));
  if (!tree)
    fatalError(noMemorySpace);
  *tree = BalancedTree{.compareFunction = compareFunction,
                       .deleteFunction = deleteFunction,
                       .rootNode = nullptr};
  return tree;
}

static const TreeNode *findNode(const BalancedTree *tree, Word key) {
  const TreeNode *node = tree->rootNode;
  while (node) {
    int comparison = tree->compareFunction(node->key, key);
    if (!comparison)
      return node;
    node = childOn(node, sideTowards(comparison));
  }
  return nullptr;
}

int isInBalancedTree(const BalancedTree *tree, Word key) { return findNode(tree, key) ? 1 : 0; }

Word findInBalancedTree(const BalancedTree *tree, Word key) {
  const TreeNode *node = findNode(tree, key);
  return node ? node->data : 0;
}

void insertInBalancedTree(BalancedTree *tree, Word key, Word data) {
  if (isInBalancedTree(tree, key))
    return;
  TreeNode *parent = nullptr;
  for (TreeNode *node = tree->rootNode; node;) {
    TreeNode *below = stepDown(node, parent, sideTowards(tree->compareFunction(node->key, key)));
    parent = node;
    node = below;
  }
  TreeNode *newNode = takeTreeNode();
  *newNode = TreeNode{.slope = 0, .pathMark = NoPath, .key = key, .data = data,
                      .smallerChild = nullptr, .largerChild = nullptr};
  if (!parent) {
    tree->rootNode = newNode;
    return;
  }
  climbAfterInsertion(parent, newNode);
}

// The node that physically leaves in place of `found`: the nearest key on
// `side`, one step to that side and then across as far as the links go.
// Every step is recorded in the path; parent ends at the leaving node's parent.
static TreeNode *descendToNearest(TreeNode *found, TreeNode *&parent, int side) {
  int across = otherSide(side);
  TreeNode *node = stepDown(found, parent, side);
  parent = found;
  while (linkOn(node, across)) {
    TreeNode *below = stepDown(node, parent, across);
    parent = node;
    node = below;
  }
  return node;
}

void removeFromBalancedTree(BalancedTree *tree, Word key) {
  if (!isInBalancedTree(tree, key))
    return;
  TreeNode *parent = nullptr;
  TreeNode *found = tree->rootNode;
  for (int comparison; (comparison = tree->compareFunction(found->key, key)) != 0;) {
    TreeNode *below = stepDown(found, parent, sideTowards(comparison));
    parent = found;
    found = below;
  }

  TreeNode *leaving = found;
  TreeNode *replacement = nullptr;
  int side = found->largerChild ? LargerSidePath : found->smallerChild ? SmallerSidePath : NoPath;
  if (side != NoPath) {
    leaving = descendToNearest(found, parent, side);
    replacement = linkOn(leaving, side);
  }

  // The caller hears about the entry it removed, wherever that entry's node
  // ends up; the leaving node's entry lives on in `found`.
  Word removedKey = found->key;
  Word removedData = found->data;
  found->key = leaving->key;
  found->data = leaving->data;

  if (parent)
    climbAfterRemoval(parent, replacement);
  else
    tree->rootNode = nullptr;
  if (tree->deleteFunction)
    tree->deleteFunction(removedKey, removedData);
  releaseTreeNode(leaving);
}

// The slopes lead along a longest path from the root.
static int treeHeight(const TreeNode *node) {
  int height = 0;
  for (; node; node = childOn(node, node->slope > 0 ? LargerSidePath : SmallerSidePath))
    ++height;
  return height;
}

// In-order walk with the pending nodes on an explicit stack; firstSide is
// the side visited before each node.
static int traverseInOrder(const BalancedTree *tree, Word argument, VisitFunction visitor,
                           int firstSide) {
  if (!tree->rootNode)
    return 1;
  // The pending nodes always lie on one path from the root.
  int height = treeHeight(tree->rootNode);
  auto **pending = static_cast<const TreeNode **>(std::calloc(height, sizeof(TreeNode *)));
  if (!pending)
    fatalError(noMemorySpace);
  int result = 1;
  int depth = 0;
  const TreeNode *node = tree->rootNode;
  for (;;) {
    for (; node; node = childOn(node, firstSide)) {
      ASSERT(depth < height);
      pending[depth++] = node;
    }
    if (!depth)
      break;
    node = pending[--depth];
    result = visitor(argument, node->key, node->data);
    if (!result)
      break;
    node = childOn(node, otherSide(firstSide));
  }
  std::free(pending);
  return result;
}

int traverseBalancedTree(const BalancedTree *tree, Word argument, VisitFunction visitor) {
  return traverseInOrder(tree, argument, visitor, SmallerSidePath);
}

int traverseBalancedTreeBackwards(const BalancedTree *tree, Word argument, VisitFunction visitor) {
  return traverseInOrder(tree, argument, visitor, LargerSidePath);
}

void deleteBalancedTree(BalancedTree *tree) {
  TreeNode *node = tree->rootNode;
  tree->rootNode = nullptr;
  // A node's smaller-side link is dead once the walk has gone down it, so
  // it becomes the link of the stack of nodes still to be visited.
  TreeNode *pending = nullptr;
  for (;;) {
    while (node) {
      TreeNode *smaller = node->smallerChild;
      node->smallerChild = pending;
      pending = node;
      node = smaller;
    }
    if (!pending)
      break;
    TreeNode *visited = pending;
    pending = visited->smallerChild;
    node = visited->largerChild;
    if (tree->deleteFunction)
      tree->deleteFunction(visited->key, visited->data);
    releaseTreeNode(visited);
  }
  std::free(tree);
}
