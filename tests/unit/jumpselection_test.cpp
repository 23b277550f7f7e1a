// Jump selection over hand-made blocks: a block's bytes are its early code,
// the bytes encoded when it was selected and its list, whose abstract jumps
// get their smallest form, their offsets and the blocks their final starts.
#include "jumpselection.h"

#include "codegen_misc.h"
#include "stmntir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace {

constexpr int none = -1;

// One block as the selection walk leaves it. A jump pair is a conditional
// jump then an unconditional one; a single jump is the block's last
// instruction.
struct BlockShape {
  std::uint32_t earlyBytes;
  std::uint32_t encodedBytes;
  std::uint32_t listBytes;  // instructions before the jumps kept in the list
  Operation conditional;    // None: no pair
  int conditionalTarget;
  Operation last;  // None: the block ends without a jump to a block
  int lastTarget;
};

struct JumpResult {
  Operation operation;
  std::uint16_t offset;
};

struct JumpCase {
  const char *name;
  std::vector<BlockShape> blocks;
  std::vector<std::uint32_t> starts;
  // Per block: the conditional's result, then the last jump's (None when absent).
  std::vector<std::vector<JumpResult>> jumps;
};

// The records of one function's blocks, kept at fixed addresses.
struct Function {
  std::deque<BasicBlock> blocks;
  std::deque<CgBlockInfo> infos;
  std::deque<AsmCodeList> lists;
  std::deque<AsmCode> codes;
  std::deque<BlockListNode> nodes;

  AsmCode *instruction(Operation operation, BasicBlock *target) {
    return &codes.emplace_back(AsmCode{.operation = operation,
                                       .operand1 = 0,
                                       .operand2 = 0,
                                       .operand3 = 0,
                                       .lineNo = 1,
                                       .targetBlock = target,
                                       .next = nullptr});
  }

  // A filler of one-byte instructions makes up the list's plain bytes.
  AsmCodeList *listOf(const BlockShape &shape) {
    std::vector<AsmCode *> order;
    for (std::uint32_t i = 0; i < shape.listBytes; ++i)
      order.push_back(instruction(Operation::Pop, nullptr));
    AsmCode *conditional = nullptr;
    if (shape.conditional != Operation::None)
      order.push_back(conditional = instruction(shape.conditional, &blocks[shape.conditionalTarget]));
    if (shape.last != Operation::None)
      order.push_back(instruction(shape.last, &blocks[shape.lastTarget]));
    if (order.empty())
      return nullptr;
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
      size += opcodeRow(order[i]->operation).size;
      if (i + 1 < order.size())
        order[i]->next = order[i + 1];
    }
    return &lists.emplace_back(
        AsmCodeList{.size = size, .first = order.front(), .conditionalJump = conditional, .last = order.back()});
  }

  BlockListNode *build(const std::vector<BlockShape> &shapes) {
    for (std::size_t i = 0; i < shapes.size(); ++i)
      blocks.push_back(BasicBlock{.cgBlockInfoPtr = nullptr,
                                  .firstStatement = nullptr,
                                  .lastStatement = nullptr,
                                  .earlyCodeStart = 0,
                                  .earlyCodeSize = shapes[i].earlyBytes});
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      blocks[i].cgBlockInfoPtr = &infos.emplace_back(CgBlockInfo{.blockId = static_cast<std::uint32_t>(i),
                                                                 .startOffset = 0,
                                                                 .asmCodeListPtr = listOf(shapes[i]),
                                                                 .encodedStart = 0,
                                                                 .encodedSize = shapes[i].encodedBytes});
      nodes.push_back(BlockListNode{.blockPtr = &blocks[i], .previousBlock = nullptr, .nextBlock = nullptr});
    }
    for (std::size_t i = 0; i + 1 < nodes.size(); ++i)
      nodes[i].nextBlock = &nodes[i + 1];
    return &nodes.front();
  }
};

constexpr Operation fw = Operation::UnconJumpFw;
constexpr Operation bw = Operation::UnconJumpBw;
constexpr Operation cfw = Operation::ConJumpFw;
constexpr Operation cbw = Operation::ConJumpBw;
constexpr Operation no = Operation::None;
constexpr JumpResult absent{Operation::None, 0};

const std::vector<JumpCase> jumpCases = {
    {"a short forward jump over a block",
     {{0, 10, 0, no, none, fw, 2}, {0, 5, 0, no, none, no, none}, {0, 1, 0, no, none, no, none}},
     {0, 11, 16},
     {{absent, {Operation::JumpFwS, 5}}, {absent, absent}, {absent, absent}}},
    {"early, encoded and listed bytes all count",
     {{3, 4, 2, no, none, fw, 2}, {20, 6, 7, no, none, no, none}, {0, 1, 0, no, none, no, none}},
     {0, 11, 44},
     {{absent, {Operation::JumpFw, 33}}, {absent, absent}, {absent, absent}}},
    {"one byte past the short form",
     {{0, 0, 0, no, none, fw, 2}, {0, 32, 0, no, none, no, none}, {0, 1, 0, no, none, no, none}},
     {0, 2, 34},
     {{absent, {Operation::JumpFw, 32}}, {absent, absent}, {absent, absent}}},
    {"one byte past the normal form",
     {{0, 0, 0, no, none, fw, 2}, {0, 256, 0, no, none, no, none}, {0, 1, 0, no, none, no, none}},
     {0, 3, 259},
     {{absent, {Operation::JumpFwW, 256}}, {absent, absent}, {absent, absent}}},
    {"a loop's backward jump counts from its own first byte",
     {{0, 2, 0, no, none, no, none}, {0, 40, 0, no, none, bw, 0}, {0, 1, 0, no, none, no, none}},
     {0, 2, 44},
     {{absent, absent}, {absent, {Operation::JumpBw, 42}}, {absent, absent}}},
    {"a backward conditional jump has no one-byte form",
     {{0, 4, 0, no, none, no, none}, {0, 10, 0, cbw, 0, fw, 2}, {0, 1, 0, no, none, no, none}},
     {0, 4, 17},
     {{absent, absent}, {{Operation::TJumpBw, 14}, {Operation::JumpFwS, 0}}, {absent, absent}}},
    {"a conditional pair over a wide block",
     {{0, 1, 0, cfw, 2, fw, 3}, {0, 300, 0, no, none, no, none}, {0, 1, 0, no, none, no, none},
      {0, 1, 0, no, none, no, none}},
     {0, 7, 307, 308},
     {{{Operation::TJumpFwW, 303}, {Operation::JumpFwW, 301}}, {absent, absent}, {absent, absent},
      {absent, absent}}},
    {"a block of its jump only",
     {{0, 0, 0, no, none, fw, 1}, {0, 1, 0, no, none, no, none}},
     {0, 1},
     {{absent, {Operation::JumpFwS, 0}}, {absent, absent}}},
};

TEST(SelectJumps, GivesEveryJumpItsSmallestFormAndEveryBlockItsStart) {
  for (const JumpCase &jumpCase : jumpCases) {
    SCOPED_TRACE(jumpCase.name);
    Function function;
    selectJumps(function.build(jumpCase.blocks));
    ASSERT_EQ(jumpCase.starts.size(), jumpCase.blocks.size());
    for (std::size_t i = 0; i < jumpCase.blocks.size(); ++i) {
      SCOPED_TRACE(i);
      const CgBlockInfo *info = function.blocks[i].cgBlockInfoPtr;
      EXPECT_EQ(info->startOffset, jumpCase.starts[i]);
      const AsmCodeList *list = info->asmCodeListPtr;
      const JumpResult &conditional = jumpCase.jumps[i][0];
      const JumpResult &last = jumpCase.jumps[i][1];
      if (!list) {
        EXPECT_EQ(last.operation, Operation::None);
        continue;
      }
      std::uint32_t size = 0;
      for (const AsmCode *code = list->first; code; code = code->next)
        size += opcodeRow(code->operation).size;
      // The list's size is exact once its jumps have their forms.
      EXPECT_EQ(list->size, size);
      if (conditional.operation != Operation::None) {
        EXPECT_EQ(list->conditionalJump->operation, conditional.operation);
        EXPECT_EQ(list->conditionalJump->operand1, conditional.offset);
      }
      if (last.operation != Operation::None) {
        EXPECT_EQ(list->last->operation, last.operation);
        EXPECT_EQ(list->last->operand1, last.offset);
      }
    }
  }
}

// Functions of many and of few blocks in turn: the layout's arrays grow past
// their first size and are taken over by the next function.
TEST(SelectJumps, FunctionsOfManyAndFewBlocksInTurn) {
  for (int count : {300, 2, 1000, 300}) {
    SCOPED_TRACE(count);
    // Each block a byte and a jump to the next; the last jumps back to the first.
    std::vector<BlockShape> shapes;
    for (int i = 0; i + 1 < count; ++i)
      shapes.push_back({0, 1, 0, no, none, fw, i + 1});
    shapes.push_back({0, 1, 0, no, none, bw, 0});
    Function function;
    selectJumps(function.build(shapes));
    for (int i = 0; i + 1 < count; ++i) {
      const CgBlockInfo *info = function.blocks[i].cgBlockInfoPtr;
      ASSERT_EQ(info->startOffset, 2u * i);
      ASSERT_EQ(info->asmCodeListPtr->last->operation, Operation::JumpFwS);
      ASSERT_EQ(info->asmCodeListPtr->last->operand1, 0);
    }
    const std::uint32_t backward = 2 * (count - 1) + 1;
    const AsmCode *last = function.blocks.back().cgBlockInfoPtr->asmCodeListPtr->last;
    EXPECT_EQ(function.blocks.back().cgBlockInfoPtr->startOffset, 2u * (count - 1));
    EXPECT_EQ(last->operation,
              backward <= 31 ? Operation::JumpBwS : backward <= 255 ? Operation::JumpBw : Operation::JumpBwW);
    EXPECT_EQ(last->operand1, backward);
  }
}

TEST(SelectJumps, AJumpBeyond65535BytesEndsTheRun) {
  EXPECT_EXIT(
      {
        Function function;
        selectJumps(function.build(
            {{0, 0, 0, no, none, fw, 2}, {0, 65536, 0, no, none, no, none}, {0, 1, 0, no, none, no, none}}));
        std::exit(0);
      },
      testing::ExitedWithCode(1), "Jump offset exceeds limit");
}

} // namespace
