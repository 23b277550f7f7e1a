// For unit tests that build abstract trees by hand: an operator node with
// its children in order.
#pragma once

#include "exprir.h"

#include <initializer_list>

inline AbstractTree *node(ExpressionOperator op, std::initializer_list<AbstractTree *> children) {
  AbstractTree *tree = createAbstractTree(op);
  for (AbstractTree *child : children)
    appendChild(tree, child);
  return tree;
}
