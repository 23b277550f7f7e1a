// Instruction selection's own stack and its shortcut: an operator over
// leaves, selected without a frame, keeps the order of loads and operation
// and the tobool rule of the && or || around it; the stack kept from one
// selection to the next gives the same code after a deeper or a shallower
// tree, in either order.
#include "codegen.h"

#include "codegen_misc.h"
#include "exprir.h"
#include "treebuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

int isDumpEnabled() { return 0; }
int isDebugInfoEnabled() { return 0; }

namespace {

// An instruction as operation and first operand, enough to tell loads apart.
struct Step {
  Operation operation;
  std::uint32_t operand;
  bool operator==(const Step &) const = default;
};
using Steps = std::vector<Step>;

Steps selectedSteps(AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  AsmCodeList *list = selectExpression(tree);
  Steps steps;
  for (const AsmCode *code = list ? list->first : nullptr; code; code = code->next)
    steps.push_back(Step{code->operation, code->operand1});
  if (list) {
    EXPECT_EQ(list->last->next, nullptr);
  }
  freeAsmCodeList(list);
  releaseTree(tree);
  return steps;
}

Step load(std::uint32_t index) { return Step{Operation::LoadVarS, index}; }
Step op(Operation operation) { return Step{operation, 0}; }
// scand or scor is followed by the jump over the right operand.
Step skip(std::uint32_t distance) { return Step{Operation::TJumpFwS, distance}; }

struct Row {
  const char *name;
  std::function<AbstractTree *()> tree;
  Steps expected;
};

TEST(OperatorsOverLeaves, LoadsThenOperationWhereverTheyStand) {
  const Row rows[] = {
      {"a - b at the top", [] { return node(Subtract, {variable(1), variable(2)}); },
       {load(1), load(2), op(Operation::Sub)}},
      {"typeof a at the top", [] { return node(TypeOf, {variable(3)}); }, {load(3), op(Operation::TypeOf)}},
      {"!a as the left operand", [] { return node(Add, {node(LogicalNot, {variable(1)}), variable(2)}); },
       {load(1), op(Operation::Not), load(2), op(Operation::Add)}},
      {"a < b as the right operand", [] { return node(Multiply, {variable(4), node(Lesser, {variable(1), variable(2)})}); },
       {load(4), load(1), load(2), op(Operation::Lt), op(Operation::Mul)}},
      {"both operands over leaves",
       [] { return node(BitOr, {node(Divide, {variable(1), variable(2)}), node(Modulus, {variable(3), variable(4)})}); },
       {load(1), load(2), op(Operation::Div), load(3), load(4), op(Operation::Rem), op(Operation::BOr)}},
      {"an operator over an operator is not over leaves",
       [] { return node(UnaryMinus, {node(ComplementOf, {variable(1)})}); },
       {load(1), op(Operation::BNot), op(Operation::UMinus)}},
      {"a call's arguments", [] { return node(FunctionCall, {variable(0), node(Add, {variable(1), variable(2)}), variable(3)}); },
       {load(1), load(2), op(Operation::Add), load(3), Step{Operation::CallS, 0}}},
      {"an assignment's value", [] { return node(Assign, {variable(5), node(BitXor, {variable(1), variable(2)})}); },
       {load(1), load(2), op(Operation::BXor), Step{Operation::StoreVarS, 5}, load(5)}},
      // A comparison is a boolean already: the right operand needs no tobool.
      {"a || b == c", [] { return node(LogicalOr, {variable(0), node(Equal, {variable(1), variable(2)})}); },
       {load(0), op(Operation::ScOr), skip(3), load(1), load(2), op(Operation::Eq)}},
      {"a && b + c", [] { return node(LogicalAnd, {variable(0), node(Add, {variable(1), variable(2)})}); },
       {load(0), op(Operation::ScAnd), skip(4), load(1), load(2), op(Operation::Add), op(Operation::ToBool)}},
      // The || converts its left operand: the && over leaves adds no tobool.
      {"(a && b) || c", [] { return node(LogicalOr, {node(LogicalAnd, {variable(0), variable(1)}), variable(2)}); },
       {load(0), op(Operation::ScAnd), skip(1), load(1), op(Operation::ScOr), skip(2), load(2), op(Operation::ToBool)}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(selectedSteps(row.tree()), row.expected);
  }
}

// 0 - 1 - 2 - ... - (terms - 1), left-deep: one frame per subtraction but
// the lowest, which is over leaves.
AbstractTree *leftDeepDifference(int terms) {
  AbstractTree *chain = variable(0);
  for (int i = 1; i < terms; ++i)
    chain = node(Subtract, {chain, variable(static_cast<std::uint32_t>(i % 200))});
  return chain;
}

// a && (a && (a && ... b + c)), right-deep: every level's frame is entered
// before its right operand; only the innermost right operand needs a tobool,
// every other one ends with it already. Up to five bytes a level: within
// the widest jump up to 13,000 levels.
AbstractTree *rightDeepConjunction(int depth) {
  AbstractTree *chain = node(Add, {variable(1), variable(2)});
  for (int i = 0; i < depth; ++i)
    chain = node(LogicalAnd, {variable(0), chain});
  return chain;
}

TEST(SelectionStack, SameCodeAfterDeeperAndShallowerTrees) {
  const int sizes[] = {3, 70000, 2, 5000, 10000, 64, 65, 1, 9000};
  std::vector<Steps> first;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      SCOPED_TRACE(std::to_string(pass) + " " + std::to_string(sizes[i]));
      const Steps steps = i % 2 ? selectedSteps(leftDeepDifference(sizes[i] + 1))
                                : selectedSteps(rightDeepConjunction(sizes[i]));
      if (pass == 0) {
        first.push_back(steps);
        continue;
      }
      EXPECT_EQ(steps, first[i]);
    }
  }
  // The shapes' code, checked once at a size that needs several doublings.
  const Steps difference = first[1];
  ASSERT_EQ(difference.size(), 2u * 70001 - 1);
  EXPECT_EQ(difference[0], load(0));
  EXPECT_EQ(difference[1], load(1));
  EXPECT_EQ(difference[2], op(Operation::Sub));
  EXPECT_EQ(difference.back(), op(Operation::Sub));
  EXPECT_EQ(difference[difference.size() - 2], load(70000 % 200));
  const Steps conjunction = first[4];
  ASSERT_EQ(conjunction.size(), 3u * 10000 + 4);
  EXPECT_EQ(conjunction[0], load(0));
  EXPECT_EQ(conjunction[1], op(Operation::ScAnd));
  EXPECT_EQ(conjunction[3], load(0));
  EXPECT_EQ(conjunction[conjunction.size() - 5], skip(4));
  EXPECT_EQ(conjunction.back(), op(Operation::ToBool));
  EXPECT_EQ(conjunction[conjunction.size() - 2], op(Operation::Add));
}

} // namespace
