// Lowering for a value: leaf operands, lowered on the spot, and operator
// operands, lowered in frames of their own, come out as children in operand
// order, each held once, however they are mixed and however many there are.
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

Expression *variableLeaf(std::uint32_t index) {
  Expression *leaf = createOperatorExpression(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = index, .record = nullptr};
  return leaf;
}

Expression *negated(std::uint32_t index) {
  Expression *node = createOperatorExpression(UnaryMinus);
  appendOperand(node, variableLeaf(index));
  return node;
}

// 'L' a variable leaf, 'N' its negation; the variables count up from 1, the
// callee is variable 0.
Expression *callOf(const std::string &arguments) {
  Expression *call = createOperatorExpression(FunctionCall);
  appendOperand(call, variableLeaf(0));
  std::uint32_t index = 1;
  for (char kind : arguments)
    appendOperand(call, kind == 'L' ? variableLeaf(index++) : negated(index++));
  return call;
}

std::uint32_t variableOf(const AbstractTree *child) {
  if (child->treeOperator == UnaryMinus)
    child = firstOperand(child);
  EXPECT_EQ(child->treeOperator, IdentifierLeaf);
  return child->identifier.index;
}

} // namespace

TEST(Lowering, OperandsBecomeChildrenInOrderWhateverTheirKind) {
  std::string many;
  for (int i = 0; i < 200; ++i)
    many += i % 3 ? 'L' : 'N';
  for (const std::string arguments : {"L", "N", "LL", "NN", "LN", "NL", "LNNL", "NLLN", many.c_str()}) {
    SCOPED_TRACE(arguments.substr(0, 8));
    Expression *call = callOf(arguments);
    irData *lowered = lowerExpression(call);
    const AbstractTree *tree = abstractTreeOf(lowered);
    ASSERT_EQ(tree->treeOperator, FunctionCall);
    std::vector<std::uint32_t> order;
    for (const AbstractTreeList *item = tree->succList; item; item = item->next) {
      EXPECT_EQ(item->abstractTree->referenceCount, 1);
      order.push_back(variableOf(item->abstractTree));
    }
    ASSERT_EQ(order.size(), arguments.size() + 1);
    for (std::uint32_t i = 0; i < order.size(); ++i)
      EXPECT_EQ(order[i], i);
    // The last child found by position is the one the list ends with.
    EXPECT_EQ(variableOf(nthOperand(tree, static_cast<int>(arguments.size()) + 1)), arguments.size());
    freeIrData(lowered);
    releaseExpression(call);
  }
}
