#include "stmntprn.h"

#include "exprir.h"
#include "exprprn.h"
#include "stmntir.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string dumpOf(BlockListNode *head, const IdentifierRecord &function) {
  testing::internal::CaptureStdout();
  printFunctionBlocks(head, &function);
  return testing::internal::GetCapturedStdout();
}

// Blocks are numbered when first named, by a header, a conditional or a goto,
// and afresh in every dump. The golden dumps hold one function each, and none
// has a goto that names a block before the next one laid out.
TEST(BlockDump, GotoNumbersItsTargetFirstAndEveryDumpStartsAtZero) {
  IdentifierRecord function{};
  function.key = IdentifierKey{.name = internName("forward"), .nameSpace = FL_FUNCTION};
  function.subSpace = FunctionSubSpace;
  BasicBlock blocks[3]{};
  BlockListNode nodes[3]{};
  Statement statements[3]{};
  for (int i = 0; i < 3; ++i) {
    nodes[i] = BlockListNode{.blockPtr = &blocks[i],
                             .previousBlock = i > 0 ? &nodes[i - 1] : nullptr,
                             .nextBlock = i < 2 ? &nodes[i + 1] : nullptr};
    blocks[i].firstStatement = blocks[i].lastStatement = &statements[i];
    statements[i].sequenceNumber = i;
    statements[i].sourceLineNumber = i + 1;
  }
  statements[0].statementType = GotoStat;
  statements[0].targetBlock = &blocks[2];
  statements[1].statementType = ReturnStat;
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0,
                                          .valueType = IntegerType,
                                          .constantType = ImmediateConstant,
                                          .value = static_cast<std::uint32_t>(ImmediateCode::One)};
  statements[1].abstractTreePtr = leaf;
  statements[2].statementType = GotoStat;
  statements[2].targetBlock = &blocks[1];

  testing::internal::CaptureStdout();
  printAbstractTree(leaf);
  std::string expected = "#Code for Function forward"
                         "\nStart Of New Block 0\n"
                         "Goto Statement\tSequenceNumber:- 0\n"
                         "SourceLine Number:-1\n"
                         "Target Block : 1\n"
                         "\nStart Of New Block 2\n"
                         "Return Statement\tSequenceNumber:- 1\n"
                         "SourceLine Number:-2\n"
                         "The Abstract Tree\n" +
                         testing::internal::GetCapturedStdout() +
                         "\nStart Of New Block 1\n"
                         "Goto Statement\tSequenceNumber:- 2\n"
                         "SourceLine Number:-3\n"
                         "Target Block : 2\n";
  EXPECT_EQ(dumpOf(nodes, function), expected);
  EXPECT_EQ(dumpOf(nodes, function), expected);
  releaseTree(leaf);
}

} // namespace
