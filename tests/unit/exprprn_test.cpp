// The abstract-tree dump: one line per distinct node in post-order, with the
// dump's own labels and the visit numbers of the children.
#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "exprir.h"
#include "exprprn.h"
#include "exprsion.h"
#include "identexp.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

Expression *var(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_VARIABLE};
  if (!findIdentifier(key))
    declareIdentifier(key);
  return makeVariableExpression(key.name);
}

std::string dumpOf(AbstractTree *tree) {
  CaptureStdout();
  printAbstractTree(tree);
  return GetCapturedStdout();
}

// The tree of an expression, dumped; the expression is released.
std::string dumpOfExpression(Expression *expression) {
  irData *record = lowerExpression(expression);
  std::string dump = dumpOf(abstractTreeOf(record));
  freeIrData(record);
  releaseExpression(expression);
  return dump;
}

AbstractTree *immediateLeaf(ImmediateCode code) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                          .constantType = ImmediateConstant,
                                          .value = static_cast<std::uint32_t>(code)};
  return leaf;
}

TEST(TreeDump, AssignmentOfASum) {
  Expression *sum = buildBinaryExpression(Add, var("a"), integerLiteral("1"));
  Expression *assignment = buildAssignment(Assign, var("x"), sum);
  ASSERT_NE(assignment, nullptr);
  EXPECT_EQ(dumpOfExpression(assignment),
            "0\tx\n1\ta\n2\tImmediateConstant: One\n3\tAdd,1,2\n4\tAssign,0,3\n");
}

TEST(TreeDump, CallWithAPooledArgument) {
  CaptureStderr();  // f is used before its declaration
  Expression *callee = makeFunctionExpression(internName("f"));
  GetCapturedStderr();
  Expression *call = buildFunctionCall(callee, createParameterList(integerLiteral("2")));
  ASSERT_NE(call, nullptr);
  std::string dump = dumpOfExpression(call);
  std::uint32_t index = addConstant("00000002", IntegerConstant);
  EXPECT_EQ(dump, "0\tf\n1\tIndirectConstant: " + std::to_string(index) + "\n2\tFunctionCall,0,1\n");
}

// The labels that read differently from their operators' names.
TEST(TreeDump, OperatorLabelsOfTheDump) {
  const std::pair<ExpressionOperator, const char *> labels[] = {
      {PostIncrement, "PostfixIncrement"}, {PostDecrement, "PostfixDecrement"},
      {PreIncrement, "PrefixIncrement"},   {PreDecrement, "PrefixDecrement"},
      {UnaryMinus, "Unary Minus"},         {BitOrAssign, "BitOrAssign"},
  };
  for (const auto &[op, label] : labels) {
    AbstractTree *node = createAbstractTree(op);
    appendChild(node, immediateLeaf(ImmediateCode::Zero));
    EXPECT_EQ(dumpOf(node), std::string("0\tImmediateConstant: Zero\n1\t") + label + ",0\n");
    releaseTree(node);
  }
}

TEST(TreeDump, ASharedNodeIsPrintedOnceAndNamedByEachParent) {
  AbstractTree *shared = immediateLeaf(ImmediateCode::True);
  AbstractTree *inner = createAbstractTree(LogicalNot);
  appendChild(inner, shared);
  AbstractTree *outer = createAbstractTree(LogicalAnd);
  appendChild(outer, shared);
  appendChild(outer, inner);
  EXPECT_EQ(dumpOf(outer), "0\tImmediateConstant: True\n1\tLogicalNot,0\n2\tLogicalAnd,0,1\n");
  releaseTree(outer);
}

TEST(TreeDump, IndirectConstantAndTemporaryName) {
  AbstractTree *constant = createAbstractTree(ConstantLeaf);
  constant->constantNode = ConstantDescriptor{.signParity = 0, .valueType = StringType,
                                              .constantType = IndirectConstant, .value = 42};
  EXPECT_EQ(dumpOf(constant), "0\tIndirectConstant: 42\n");
  releaseTree(constant);

  IdentifierRecord temporary{};
  temporary.key = IdentifierKey{.name = newTemporaryNameId(), .nameSpace = FL_FUNCTION};
  AbstractTree *leaf = createAbstractTree(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = 0, .record = &temporary};
  EXPECT_EQ(dumpOf(leaf), "0\ttmp_mn_" + std::to_string(temporary.key.name) + "__ \n");
  releaseTree(leaf);
}

TEST(TreeDump, UnprintableNodesAreInternalErrors) {
  AbstractTree *unknownCode = createAbstractTree(ConstantLeaf);
  unknownCode->constantNode = ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                                 .constantType = ImmediateConstant, .value = 7};
  EXPECT_DEATH(printAbstractTree(unknownCode), "immediateLabels");
  AbstractTree *rewrittenAway = createAbstractTree(RightShiftZeroFillAssign);
  appendChild(rewrittenAway, immediateLeaf(ImmediateCode::Zero));
  EXPECT_DEATH(printAbstractTree(rewrittenAway), "operatorLabels");
}

} // namespace
