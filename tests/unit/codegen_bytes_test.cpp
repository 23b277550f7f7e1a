// Selection straight to bytes, as the block walker and the early code use
// it: the bytes are those of the instruction lists the other callers get,
// whatever runs the jumps of ?:, && and || split the code into; the tree goes
// as it is selected, except what someone else still holds; a statement whose
// expression jump is too long keeps only that fact; and the selection stack,
// which grows in chunks, gives the same code on either side of a chunk's end.
#include "codegen.h"

#include "codegen_misc.h"
#include "exprir.h"
#include "stmntir.h"
#include "treebuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

int isDumpEnabled() { return 0; }
int isDebugInfoEnabled() { return 0; }

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes left, const Bytes &right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

AbstractTree *pooled(std::uint32_t index) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{
      .signParity = 0, .valueType = IntegerType, .constantType = IndirectConstant, .value = index};
  return leaf;
}

Statement statementOf(StatementType type, AbstractTree *tree) {
  Statement statement{};
  statement.sourceLineNumber = 1;
  statement.statementType = type;
  statement.abstractTreePtr = tree;
  return statement;
}

Bytes bytesOf(const AsmCodeList *list) {
  Bytes bytes;
  for (const AsmCode *code = list ? list->first : nullptr; code; code = code->next) {
    std::uint8_t encoded[8];
    const int size = encodeInstructionAt(code, encoded);
    bytes.insert(bytes.end(), encoded, encoded + size);
  }
  return bytes;
}

// The statement selected as an instruction list, the tree released after.
Bytes listBytes(StatementType type, AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  Statement statement = statementOf(type, tree);
  BlockListNode position{.blockPtr = nullptr, .previousBlock = nullptr, .nextBlock = nullptr};
  AsmCodeList *list = selectStatement(&statement, &position);
  const Bytes bytes = bytesOf(list);
  freeAsmCodeList(list);
  releaseStatementTree(&statement);
  return bytes;
}

// The same statement selected to bytes, which releases the tree itself.
Bytes selectedBytes(StatementType type, AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  Statement statement = statementOf(type, tree);
  BlockListNode position{.blockPtr = nullptr, .previousBlock = nullptr, .nextBlock = nullptr};
  std::uint32_t size = 0;
  BlockJumps jumps{noBlockJump, noBlockJump};
  selectStatementBytes(&statement, &position, &size, &jumps);
  Bytes bytes(size);
  copySelectedBytes(bytes.data());
  EXPECT_EQ(jumps.last.operation, Operation::None);
  EXPECT_EQ(statement.abstractTreePtr, nullptr);
  return bytes;
}

// first + v1 + v1 + ...: a chain as deep as it is long.
AbstractTree *sum(int leaves, std::uint32_t first = 1) {
  AbstractTree *chain = variable(first);
  for (int i = 1; i < leaves; ++i)
    chain = node(Add, {chain, variable(1)});
  return chain;
}

// Its bytes: load v-first, then load v1 and add for every further leaf.
Bytes sumBytes(int leaves, std::uint32_t first = 1) {
  Bytes bytes{static_cast<std::uint8_t>(0xE0 | first)};
  for (int i = 1; i < leaves; ++i)
    bytes = bytes + Bytes{0xE1, 0x20};
  return bytes;
}

struct Shape {
  const char *name;
  std::function<AbstractTree *()> tree;
};

// Every rule, and the jumps of ?:, && and || at every place in a tree: the
// code of such a tree is several runs of bytes.
const Shape shapes[] = {
    {"a leaf", [] { return variable(40); }},
    {"a wide constant", [] { return pooled(300); }},
    {"an operator over leaves", [] { return node(Subtract, {variable(1), pooled(20)}); }},
    {"a unary plus", [] { return node(UnaryPlus, {node(Add, {variable(1), variable(2)})}); }},
    {"a pre-increment inside a sum", [] { return node(Add, {variable(3), node(PreIncrement, {variable(2)})}); }},
    {"a post-decrement inside a sum", [] { return node(Add, {node(PostDecrement, {variable(9)}), variable(3)}); }},
    {"a = a + b", [] { return node(Assign, {variable(2), node(Add, {variable(2), variable(1)})}); }},
    {"a = (b = c)", [] { return node(Assign, {variable(20), node(Assign, {variable(1), variable(2)})}); }},
    {"a -= f(b)", [] { return node(SubtractAssign, {variable(4), node(FunctionCall, {variable(3), variable(1)})}); }},
    {"a library call of calls",
     [] {
       return node(LibraryFunctionCall, {pooled(2), pooled(9), node(FunctionCall, {variable(1), variable(5)}),
                                         node(Multiply, {variable(1), variable(2)})});
     }},
    {"an external call", [] { return node(ExternalFunctionCall, {pooled(300), pooled(2), variable(1), variable(2)}); }},
    {"?: inside a product",
     [] { return node(Multiply, {variable(7), node(Conditional, {variable(0), variable(1), sum(20)})}); }},
    {"?: in every operand of ?:",
     [] {
       auto choice = [] { return node(Conditional, {variable(0), sum(3), variable(2)}); };
       return node(Conditional, {choice(), choice(), choice()});
     }},
    {"&& and || nested both ways",
     [] {
       return node(LogicalOr, {node(LogicalAnd, {variable(0), node(Lesser, {variable(1), variable(2)})}),
                               node(LogicalAnd, {sum(40), node(LogicalOr, {variable(3), variable(4)})})});
     }},
    {"a right-nested chain of ?:",
     [] {
       AbstractTree *chain = variable(9);
       for (int i = 0; i < 300; ++i)
         chain = node(Conditional, {variable(0), variable(1), chain});
       return chain;
     }},
    {"a || over a call as the value of an assignment",
     [] { return node(Assign, {variable(3), node(LogicalOr, {node(FunctionCall, {variable(2)}), variable(4)})}); }},
};

TEST(ByteSelection, GivesTheBytesOfTheInstructionLists) {
  for (const Shape &shape : shapes) {
    SCOPED_TRACE(shape.name);
    for (StatementType type : {SequentialStat, ReturnStat}) {
      SCOPED_TRACE(type);
      const Bytes expected = listBytes(type, shape.tree());
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(selectedBytes(type, shape.tree()), expected);
    }
  }
}

// Selected straight into a caller's buffer, one statement after the other
// as the early code takes them: each statement's bytes follow what the
// buffer held, in order whatever runs they were written in, and the buffer
// grows as needed from none at all or from one that is just full.
TEST(ByteSelection, IntoABufferAfterWhatItHolds) {
  for (std::size_t prefix : {0, 5}) {
    SCOPED_TRACE(prefix);
    GrowingBytes into{.bytes = nullptr, .size = 0, .capacity = 0};
    Bytes expected;
    if (prefix) {
      into.bytes = static_cast<std::uint8_t *>(std::malloc(prefix));
      into.capacity = prefix;
      for (std::size_t i = 0; i < prefix; ++i)
        expected.push_back(into.bytes[i] = static_cast<std::uint8_t>(0xA0 + i));
      into.size = prefix;
    }
    for (int pass = 0; pass < 2; ++pass)
      for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        const Bytes statementBytes = listBytes(SequentialStat, shape.tree());
        setCurrentSourceLineNumber(1);
        resetInstructionSelection();
        Statement statement = statementOf(SequentialStat, shape.tree());
        std::uint32_t size = 0;
        ASSERT_TRUE(trySelectSequentialStatementBytesInto(&statement, into, &size));
        EXPECT_EQ(statement.abstractTreePtr, nullptr);
        EXPECT_EQ(size, statementBytes.size());
        expected = expected + statementBytes;
        ASSERT_EQ(into.size, expected.size());
        ASSERT_LE(into.size, into.capacity);
        EXPECT_EQ(Bytes(into.bytes, into.bytes + into.size), expected);
      }
    std::free(into.bytes);
  }
}

// Frames are kept in chunks of 1,024: chains just below, at and above a
// chunk's end, one after the other in one tree, so that the stack climbs
// across the end and down again several times.
TEST(ByteSelection, DeepChainsAcrossTheStacksChunks) {
  for (int leaves : {1023, 1024, 1025, 1026, 2049, 5000}) {
    SCOPED_TRACE(leaves);
    AbstractTree *tree = node(Subtract, {node(Multiply, {sum(leaves), sum(leaves + 1, 2)}), sum(leaves - 2, 3)});
    const Bytes expected =
        sumBytes(leaves) + sumBytes(leaves + 1, 2) + Bytes{0x22} + sumBytes(leaves - 2, 3) + Bytes{0x21, 0x3A};
    EXPECT_EQ(selectedBytes(ReturnStat, tree), expected);
  }
}

// ---------------------------------------------------------------- tree release

// A subtree someone else holds too only loses the reference its parent's
// child list held: it stays whole and readable.
TEST(ByteSelection, ReleasesTheTreeButWhatOthersHold) {
  AbstractTree *shared = node(Subtract, {variable(5), node(UnaryMinus, {variable(6)})});
  addTreeReference(shared);
  AbstractTree *tree = node(Assign, {variable(1), node(Multiply, {shared, variable(7)})});
  EXPECT_EQ(selectedBytes(SequentialStat, tree), (Bytes{0xE5, 0xE6, 0x1F, 0x21, 0xE7, 0x22, 0x41}));
  EXPECT_EQ(shared->referenceCount, 1);
  ASSERT_EQ(firstOperand(shared)->treeOperator, IdentifierLeaf);
  EXPECT_EQ(firstOperand(shared)->identifier.index, 5u);
  EXPECT_EQ(secondOperand(shared)->treeOperator, UnaryMinus);
  EXPECT_EQ(firstOperand(secondOperand(shared))->identifier.index, 6u);
  releaseTree(shared);
  EXPECT_EQ(shared->referenceCount, 0);
  releaseTree(shared);
}

// A root still held elsewhere stays with the statement, which drops its
// reference when it is released.
TEST(ByteSelection, KeepsARootHeldElsewhere) {
  AbstractTree *root = node(PostIncrement, {variable(3)});
  AbstractTree *value = node(Add, {root, variable(1)});
  addTreeReference(value);
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  Statement statement = statementOf(SequentialStat, value);
  std::uint32_t size = 0;
  ASSERT_TRUE(trySelectSequentialStatementBytes(&statement, &size));
  Bytes bytes(size);
  copySelectedBytes(bytes.data());
  EXPECT_EQ(bytes, (Bytes{0xE3, 0x73, 0xE1, 0x20, 0x37}));
  EXPECT_EQ(statement.abstractTreePtr, value);
  EXPECT_EQ(value->referenceCount, 1);
  EXPECT_EQ(firstOperand(value), root);
  releaseStatementTree(&statement);
  EXPECT_EQ(value->referenceCount, 0);
  releaseTree(value);
}

// ---------------------------------------------------------------- too long jumps

// x || (more than 65535 bytes): the early selection gives up, the tree goes
// all the same, and the statement remembers that selecting it ends the run.
TEST(ByteSelectionDeathTest, ATooLongJumpIsRememberedWithoutTheTree) {
  auto tooLong = [] { return node(LogicalOr, {variable(0), sum(32768, 40)}); };
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  Statement statement = statementOf(SequentialStat, tooLong());
  std::uint32_t size = 0;
  EXPECT_FALSE(trySelectSequentialStatementBytes(&statement, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(statement.abstractTreePtr, nullptr);
  EXPECT_NE(statement.expressionJumpTooLong, 0u);
  BlockListNode position{.blockPtr = nullptr, .previousBlock = nullptr, .nextBlock = nullptr};
  BlockJumps jumps{noBlockJump, noBlockJump};
  EXPECT_DEATH(selectStatementBytes(&statement, &position, &size, &jumps), "Error: Jump offset exceeds limit");

  // Into a buffer, such a statement adds nothing to it.
  Statement intoBuffer = statementOf(SequentialStat, tooLong());
  std::uint8_t held[] = {0x11, 0x22, 0x33};
  GrowingBytes into{.bytes = static_cast<std::uint8_t *>(std::malloc(sizeof held)), .size = 0, .capacity = sizeof held};
  std::memcpy(into.bytes, held, sizeof held);
  into.size = sizeof held;
  EXPECT_FALSE(trySelectSequentialStatementBytesInto(&intoBuffer, into, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_NE(intoBuffer.expressionJumpTooLong, 0u);
  ASSERT_EQ(into.size, sizeof held);
  EXPECT_EQ(Bytes(into.bytes, into.bytes + into.size), Bytes(held, held + sizeof held));
  std::free(into.bytes);

  // Just below the limit the statement is selected at once.
  Statement fits = statementOf(SequentialStat, node(LogicalOr, {variable(0), sum(32767, 40)}));
  EXPECT_TRUE(trySelectSequentialStatementBytes(&fits, &size));
  EXPECT_EQ(size, 1u + 1u + 3u + 65534u + 1u + 1u);  // load, scor, tjump_fw_w, sum, tobool, pop
  EXPECT_EQ(fits.expressionJumpTooLong, 0u);
}

// ---------------------------------------------------------------- block jumps

// The jumps of a pair become a list whose conditional jump is the first.
TEST(BlockJumps, BecomeTheInstructionsTheConstructorsMake) {
  BasicBlock blocks[2]{};
  BlockListNode nodes[2]{};
  nodes[0] = BlockListNode{.blockPtr = &blocks[0], .previousBlock = nullptr, .nextBlock = &nodes[1]};
  nodes[1] = BlockListNode{.blockPtr = &blocks[1], .previousBlock = &nodes[0], .nextBlock = nullptr};
  setCurrentSourceLineNumber(7);
  EXPECT_EQ(makeBlockJumps(BlockJumps{noBlockJump, noBlockJump}), nullptr);
  const BlockJump toFirst{Operation::UnconJumpBw, &blocks[0]};
  const BlockJump toSecond{Operation::ConJumpFw, &blocks[1]};
  AsmCodeList *single = makeBlockJumps(BlockJumps{noBlockJump, toFirst});
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->first, single->last);
  EXPECT_EQ(single->conditionalJump, nullptr);
  EXPECT_EQ(single->last->operation, Operation::UnconJumpBw);
  EXPECT_EQ(single->last->targetBlock, &blocks[0]);
  EXPECT_EQ(single->size, 3u);
  freeAsmCodeList(single);
  AsmCodeList *pair = makeBlockJumps(BlockJumps{toSecond, toFirst});
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(pair->conditionalJump, pair->first);
  EXPECT_EQ(pair->first->operation, Operation::ConJumpFw);
  EXPECT_EQ(pair->first->targetBlock, &blocks[1]);
  EXPECT_EQ(pair->first->lineNo, 7u);
  EXPECT_EQ(pair->first->next, pair->last);
  EXPECT_EQ(pair->last->targetBlock, &blocks[0]);
  EXPECT_EQ(pair->size, 6u);
  freeAsmCodeList(pair);
}

} // namespace
