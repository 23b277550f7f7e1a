// Jump selection over hand-built block lists: every abstract jump gets the
// smallest form its final offset allows, rounds go on until no size changes,
// and the encoded Code shows the chosen forms byte for byte.
#include "jumpselection.h"

#include "codegen.h"
#include "codegen_misc.h"
#include "errorhlr.h"
#include "stmntir.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t popOpcode = 0x37;
constexpr std::uint8_t returnEsOpcode = 0x3B;

// Blocks as the walk leaves them for jump selection: ids in list order, each
// with the list of its selected instructions (null for a block without code).
struct SelectedBlocks {
  std::vector<BasicBlock> blocks;
  std::vector<BlockListNode> nodes;

  explicit SelectedBlocks(int count) : blocks(count), nodes(count) {
    setCurrentSourceLineNumber(1);
    for (int i = 0; i < count; ++i) {
      auto *info = static_cast<CgBlockInfo *>(checkedAllocate(1, sizeof(CgBlockInfo)));
      *info = CgBlockInfo{.blockId = static_cast<std::uint32_t>(i), .startOffset = 0, .asmCodeListPtr = nullptr};
      blocks[i] = BasicBlock{.cgBlockInfoPtr = info, .firstStatement = nullptr, .lastStatement = nullptr};
      nodes[i] = BlockListNode{.blockPtr = &blocks[i],
                               .previousBlock = i > 0 ? &nodes[i - 1] : nullptr,
                               .nextBlock = i + 1 < count ? &nodes[i + 1] : nullptr};
    }
  }

  CgBlockInfo &info(int block) { return *blocks[block].cgBlockInfoPtr; }
  void add(int block, AsmCodeList *code) {
    info(block).asmCodeListPtr = appendAsmLists(info(block).asmCodeListPtr, code, nullptr);
  }
  // length bytes of one-byte instructions
  void body(int block, int length) {
    for (int i = 0; i < length; ++i)
      add(block, makePop());
  }
  // A long body quickly: three-byte loads, then pops for the rest.
  void longBody(int block, int length) {
    for (; length >= 3; length -= 3)
      add(block, makeLoadConst(256));
    body(block, length);
  }
  AsmCode *jump(int block, Operation abstractJump, int target) {
    AsmCodeList *code = makePop();
    code->first->operation = abstractJump;
    code->first->targetBlock = &blocks[target];
    code->size = 3;
    AsmCode *jumpCode = code->first;
    add(block, code);
    return jumpCode;
  }
  // A conditional jump followed by an unconditional one, as a two-way branch ends.
  void branch(int block, Operation conditional, int falseTarget, Operation unconditional, int trueTarget) {
    AsmCode *first = jump(block, conditional, falseTarget);
    jump(block, unconditional, trueTarget);
    info(block).asmCodeListPtr->conditionalJump = first;
  }
  void returnNothing(int block) { add(block, makeReturn(nullptr)); }

  void select() { selectJumps(&nodes[0]); }
  // The Code of all blocks; releases the blocks' code and records.
  Bytes assemble() {
    ByteBuffer *code = assembleBlockList(&nodes[0]);
    const Bytes bytes = code ? Bytes(code->bytes, code->bytes + code->size) : Bytes{};
    freeByteBuffer(code);
    return bytes;
  }
};

Bytes repeated(std::uint8_t byte, int count) { return Bytes(count, byte); }

Bytes operator+(Bytes left, const Bytes &right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

TEST(JumpSizes, MagnitudeDecidesInBothDirections) {
  const struct {
    std::int64_t offset;
    int size;
  } rows[] = {{0, 1},   {31, 1},  {-31, 1},  {32, 2},    {-32, 2},   {255, 2},
              {-255, 2}, {256, 3}, {-256, 3}, {65535, 3}, {-65535, 3}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.offset);
    EXPECT_EQ(jumpSizeForOffset(row.offset), row.size);
  }
}

TEST(JumpSizesDeathTest, BeyondSixteenBitsEndsTheRun) {
  EXPECT_EXIT(jumpSizeForOffset(65536), ::testing::ExitedWithCode(1), "^Error: Jump offset exceeds limit\n$");
  EXPECT_EXIT(jumpSizeForOffset(-65536), ::testing::ExitedWithCode(1), "^Error: Jump offset exceeds limit\n$");
}

TEST(JumpSizesDeathTest, TheMessageNamesTheInputFile) {
  EXPECT_EXIT(
      {
        char input[] = "/tmp/jumpselection_test_XXXXXX";
        (void)mkstemp(input);
        openInputFile(input);
        std::remove(input);
        jumpSizeForOffset(100000);
      },
      ::testing::ExitedWithCode(1), "^/tmp/jumpselection_test_.*, Error: Jump offset exceeds limit\n$");
}

TEST(JumpSelection, BackwardUnconditionalJumps) {
  const struct {
    int distance;
    Bytes jump;
  } rows[] = {{20, {0xB4}}, {40, {0x03, 0x28}}, {300, {0x04, 0x01, 0x2C}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.distance);
    // The loop head starts distance bytes before the jump back to it.
    SelectedBlocks function(2);
    function.body(0, row.distance);
    function.jump(0, Operation::UnconJumpBw, 0);
    function.returnNothing(1);
    function.select();
    EXPECT_EQ(function.info(0).asmCodeListPtr->size, row.distance + row.jump.size());
    EXPECT_EQ(function.info(1).startOffset, row.distance + row.jump.size());
    EXPECT_EQ(function.assemble(), (repeated(popOpcode, row.distance) + row.jump + Bytes{returnEsOpcode}));
  }
}

TEST(JumpSelection, BackwardConditionalJumpHasNoOneByteForm) {
  for (const int distance : {0, 5}) {
    SCOPED_TRACE(distance);
    SelectedBlocks function(2);
    function.body(0, distance);
    function.jump(0, Operation::ConJumpBw, 0);
    function.returnNothing(1);
    function.select();
    EXPECT_EQ(function.info(1).startOffset, distance + 2);
    const Bytes jump{0x07, static_cast<std::uint8_t>(distance)};
    EXPECT_EQ(function.assemble(), repeated(popOpcode, distance) + jump + Bytes{returnEsOpcode});
  }
}

TEST(JumpSelection, ForwardConditionalJumpOverExactDistances) {
  const struct {
    int skipped;
    Bytes jump;
  } rows[] = {{31, {0xDF}}, {32, {0x05, 0x20}}, {255, {0x05, 0xFF}}, {256, {0x06, 0x01, 0x00}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.skipped);
    SelectedBlocks function(3);
    function.jump(0, Operation::ConJumpFw, 2);
    function.body(1, row.skipped - 1);
    function.returnNothing(1);
    function.returnNothing(2);
    function.select();
    EXPECT_EQ(function.info(2).startOffset, row.jump.size() + row.skipped);
    EXPECT_EQ(function.assemble(),
              (row.jump + repeated(popOpcode, row.skipped - 1) + Bytes{returnEsOpcode, returnEsOpcode}));
  }
}

TEST(JumpSelection, JumpAcrossEmptyBlocksHasOffsetZero) {
  for (const Operation abstractJump : {Operation::UnconJumpFw, Operation::ConJumpFw}) {
    SelectedBlocks function(4);
    function.body(0, 2);
    function.jump(0, abstractJump, 3);
    // Blocks 1 and 2 produced no code: they start where block 3 starts.
    function.returnNothing(3);
    function.select();
    EXPECT_EQ(function.info(1).startOffset, 3u);
    EXPECT_EQ(function.info(2).startOffset, 3u);
    EXPECT_EQ(function.info(3).startOffset, 3u);
    const std::uint8_t expected = abstractJump == Operation::UnconJumpFw ? 0x80 : 0xC0;
    EXPECT_EQ(function.assemble(), (Bytes{popOpcode, popOpcode, expected, returnEsOpcode}));
  }
}

TEST(JumpSelection, EmptyInfiniteLoopJumpsBackByZero) {
  SelectedBlocks function(1);
  function.jump(0, Operation::UnconJumpBw, 0);
  function.select();
  EXPECT_EQ(function.info(0).asmCodeListPtr->size, 1u);
  EXPECT_EQ(function.assemble(), (Bytes{0xA0}));
}

TEST(JumpSelection, ShrinkingOneJumpBringsAnotherUnderItsLimit) {
  // Jump A skips block 1, whose body ends with jump B to block 2. In the first
  // round A still sees B at three bytes; only when B has shrunk to one byte
  // does A's distance reach the next smaller form.
  const struct {
    int body;
    Bytes jumpA;
  } rows[] = {{30, {0x9F}}, {254, {0x01, 0xFF}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.body);
    SelectedBlocks function(3);
    function.jump(0, Operation::UnconJumpFw, 2);
    function.body(1, row.body);
    function.jump(1, Operation::UnconJumpFw, 2);
    function.returnNothing(2);
    function.select();
    EXPECT_EQ(function.info(1).startOffset, row.jumpA.size());
    EXPECT_EQ(function.info(2).startOffset, row.jumpA.size() + row.body + 1);
    EXPECT_EQ(function.assemble(), (row.jumpA + repeated(popOpcode, row.body) + Bytes{0x80, returnEsOpcode}));
  }
}

TEST(JumpSelection, BranchSizesBothSlots) {
  // Block 0 ends with "tjump to the false block, jump to the true block".
  SelectedBlocks function(4);
  function.body(0, 3);
  function.branch(0, Operation::ConJumpFw, 2, Operation::UnconJumpFw, 3);
  function.body(1, 40);
  function.returnNothing(2);
  function.returnNothing(3);
  function.select();
  // Slot 0 skips the one-byte jump and block 1 (41 bytes); slot 1 skips
  // blocks 1 and 2 (41 bytes).
  EXPECT_EQ(function.info(0).asmCodeListPtr->size, 3u + 2 + 2);
  EXPECT_EQ(function.info(3).startOffset, 3u + 2 + 2 + 40 + 1);
  EXPECT_EQ(function.assemble(), (repeated(popOpcode, 3) + Bytes{0x05, 42, 0x01, 41} + repeated(popOpcode, 40) +
                                  Bytes{returnEsOpcode, returnEsOpcode}));
}

TEST(JumpSelection, BranchWithABackwardConditionalJump) {
  SelectedBlocks function(2);
  function.body(0, 4);
  function.branch(0, Operation::ConJumpBw, 0, Operation::UnconJumpFw, 1);
  function.returnNothing(1);
  function.select();
  // tjump_bw from its own first byte back 4 bytes; the jump to the next
  // block skips nothing.
  EXPECT_EQ(function.assemble(), (repeated(popOpcode, 4) + Bytes{0x07, 0x04, 0x80, returnEsOpcode}));
}

TEST(JumpSelection, JumpsThatWouldTradeSizesForeverStillSettle) {
  // Left to follow their offsets, the two jumps of block 1 swap between one
  // and two bytes round after round while the block's length stays 3. Once a
  // round repeats, sizes may only grow: block 1's last jump keeps two bytes
  // for an offset of 31, which it holds.
  SelectedBlocks function(5);
  function.body(0, 31);
  function.jump(0, Operation::UnconJumpFw, 2);
  function.body(1, 28);
  function.branch(1, Operation::ConJumpFw, 3, Operation::UnconJumpFw, 4);
  function.body(2, 29);
  function.jump(2, Operation::UnconJumpFw, 3);
  function.body(3, 1);
  function.returnNothing(4);
  function.select();
  EXPECT_EQ(function.info(4).startOffset, 96u);
  EXPECT_EQ(function.assemble(), (repeated(popOpcode, 31) + Bytes{0x01, 32} + repeated(popOpcode, 28) +
                                  Bytes{0x05, 32, 0x01, 31} + repeated(popOpcode, 29) + Bytes{0x80, popOpcode} +
                                  Bytes{returnEsOpcode}));
}

TEST(JumpSelection, WidestForwardJump) {
  SelectedBlocks function(3);
  function.jump(0, Operation::UnconJumpFw, 2);
  function.longBody(1, 65535);
  function.returnNothing(2);
  function.select();
  EXPECT_EQ(function.info(2).startOffset, 3u + 65535);
  const Bytes code = function.assemble();
  ASSERT_EQ(code.size(), 3u + 65535 + 1);
  EXPECT_EQ(Bytes(code.begin(), code.begin() + 3), (Bytes{0x02, 0xFF, 0xFF}));
}

TEST(JumpSelectionDeathTest, JumpBeyondSixteenBitsEndsTheRun) {
  EXPECT_EXIT(
      {
        SelectedBlocks function(3);
        function.jump(0, Operation::UnconJumpFw, 2);
        function.longBody(1, 65536);
        function.returnNothing(2);
        function.select();
      },
      ::testing::ExitedWithCode(1), "Error: Jump offset exceeds limit\n");
}

} // namespace
