// For unit tests that build abstract trees by hand: a variable leaf by its
// index, and an operator node with its children in order.
#pragma once

#include "exprir.h"

#include <cstdint>
#include <initializer_list>

inline AbstractTree *variable(std::uint32_t index) {
  AbstractTree *leaf = createAbstractTree(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = index, .record = nullptr};
  return leaf;
}

inline AbstractTree *node(ExpressionOperator op, std::initializer_list<AbstractTree *> children) {
  AbstractTree *tree = createAbstractTree(op);
  for (AbstractTree *child : children)
    appendChild(tree, child);
  return tree;
}
