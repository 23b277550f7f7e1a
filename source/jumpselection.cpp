#include "jumpselection.h"

#include "codegen_misc.h"
#include "errorhlr.h"
#include "fatal.h"
#include "stmntir.h"
#include "tavokassert.h"
#include "wmllex.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
// Only a block's last two instructions can jump to another block: slot 0 is
// the conditional jump of a conditional-then-unconditional pair, slot 1 the
// block's last instruction.
constexpr int conditionalSlot = 0;
constexpr int lastSlot = 1;
constexpr int slotCount = 2;
constexpr std::int64_t noTarget = -1;

// The work record of one block for one run, indexed by blockId.
struct BlockLayout {
  BasicBlock *block;
  std::int64_t start;     // offset of the block's first byte in the Code
  std::int64_t bodySize;  // the block's code (early code included) without its slot jumps
  AsmCode *jump[slotCount];              // null for an empty slot
  std::int64_t targetId[slotCount];      // noTarget for an empty slot
  int jumpSize[slotCount];               // 0 for an empty slot
  std::int64_t jumpOffset[slotCount];    // last computed, signed
};

// The concrete forms of an abstract jump by byte size; None where the
// instruction set has no form of that size.
struct ConcreteJumpForms {
  Operation abstractJump;
  Operation formOfSize[3];
};
} // namespace

constexpr ConcreteJumpForms concreteJumpForms[] = {
    {Operation::ConJumpFw, {Operation::TJumpFwS, Operation::TJumpFw, Operation::TJumpFwW}},
    // There is no one-byte backward conditional jump.
    {Operation::ConJumpBw, {Operation::None, Operation::TJumpBw, Operation::TJumpBwW}},
    {Operation::UnconJumpFw, {Operation::JumpFwS, Operation::JumpFw, Operation::JumpFwW}},
    {Operation::UnconJumpBw, {Operation::JumpBwS, Operation::JumpBw, Operation::JumpBwW}},
};

static_assert([] {
  for (const ConcreteJumpForms &forms : concreteJumpForms)
    for (int size = 1; size <= 3; ++size) {
      const Operation form = forms.formOfSize[size - 1];
      if (form != Operation::None && opcodeTable[static_cast<std::uint32_t>(form)].size != size)
        return false;
    }
  return true;
}(), "every concrete jump form has the byte size it is listed under");

// ---------------------------------------------------------------- jump sizes

// Only the abstract jumps are between blocks; the jumps of the conditional
// and logical operators are concrete from the start.
static bool isJump(const AsmCode *jumpCode) {
  ASSERT(jumpCode);
  return jumpCode->operation >= Operation::ConJumpFw && jumpCode->operation <= Operation::UnconJumpBw;
}

static const ConcreteJumpForms &formsOf(const AsmCode *jump) {
  const auto index = static_cast<std::uint32_t>(jump->operation) - static_cast<std::uint32_t>(Operation::ConJumpFw);
  ASSERT(index < std::size(concreteJumpForms));
  ASSERT(concreteJumpForms[index].abstractJump == jump->operation);
  return concreteJumpForms[index];
}

[[noreturn]] static void jumpOffsetTooLarge() {
  if (const char *fileName = getInputFileName())
    std::fprintf(stderr, "%s, Error: Jump offset exceeds limit\n", fileName);
  else
    std::fputs("Error: Jump offset exceeds limit\n", stderr);
  std::exit(1);
}

int jumpSizeForOffset(std::int64_t offset) {
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  if (magnitude <= 31)
    return 1;
  if (magnitude <= 255)
    return 2;
  if (magnitude <= 65535)
    return 3;
  jumpOffsetTooLarge();
}

// The smallest size the jump has a form of for this offset.
static int sizeOfJump(const AsmCode *jump, std::int64_t offset) {
  const ConcreteJumpForms &forms = formsOf(jump);
  int size = jumpSizeForOffset(offset);
  while (forms.formOfSize[size - 1] == Operation::None)
    ++size;
  return size;
}

// ---------------------------------------------------------------- phase 1: layout

// The work arrays are written whole before they are read, so they are not
// cleared first: for a function of many blocks that clearing cost as much
// as a round of the sizing.
template <class Item> static Item *allocateWorkArray(std::size_t count) {
  void *items = std::malloc(count ? count * sizeof(Item) : 1);
  if (!items)
    fatalError(noMemorySpace);
  return static_cast<Item *>(items);
}

static std::uint32_t countBlocks(const BlockListNode *blockList) {
  std::uint32_t count = 0;
  for (const BlockListNode *node = blockList; node; node = node->nextBlock)
    ++count;
  return count;
}

static std::int64_t targetIdOf(const AsmCode *jump, std::uint32_t blockCount) {
  ASSERT(jump->targetBlock);
  const std::uint32_t id = getBlockId(jump->targetBlock);
  // A target outside this function's list would be a block already released.
  ASSERT(id < blockCount);
  return id;
}

static void occupySlot(BlockLayout &layout, int slot, AsmCode *jump, std::uint32_t blockCount) {
  layout.jump[slot] = jump;
  layout.targetId[slot] = targetIdOf(jump, blockCount);
  layout.jumpSize[slot] = opcodeRow(jump->operation).size;
  layout.bodySize -= layout.jumpSize[slot];
}

static void layOutBlock(BlockLayout &layout, BasicBlock *block, std::uint32_t blockCount) {
  layout = BlockLayout{.block = block,
                       .start = 0,
                       .bodySize = 0,
                       .jump = {nullptr, nullptr},
                       .targetId = {noTarget, noTarget},
                       .jumpSize = {0, 0},
                       .jumpOffset = {0, 0}};
  layout.bodySize = block->earlyCodeSize;
  const AsmCodeList *list = block->cgBlockInfoPtr->asmCodeListPtr;
  if (!list)
    return;
  layout.bodySize += list->size;
  if (list->conditionalJump && isJump(list->conditionalJump))
    occupySlot(layout, conditionalSlot, list->conditionalJump, blockCount);
  if (isJump(list->last))
    occupySlot(layout, lastSlot, list->last, blockCount);
  ASSERT(layout.bodySize >= 0);
}

static std::int64_t blockEnd(const BlockLayout &layout) {
  return layout.start + layout.bodySize + layout.jumpSize[conditionalSlot] + layout.jumpSize[lastSlot];
}

// Every jump at its widest, the blocks one after the other in list order.
static BlockLayout *layOutBlocks(BlockListNode *blockList, std::uint32_t blockCount) {
  auto *layouts = allocateWorkArray<BlockLayout>(blockCount);
  std::uint32_t i = 0;
  std::int64_t runningOffset = 0;
  for (BlockListNode *node = blockList; node; node = node->nextBlock, ++i) {
    BasicBlock *block = node->blockPtr;
    ASSERT(block);
    // Ids are given in list order by the walk that selected the blocks.
    ASSERT(getBlockId(block) == i);
    layOutBlock(layouts[i], block, blockCount);
    layouts[i].start = runningOffset;
    runningOffset = blockEnd(layouts[i]);
  }
  return layouts;
}

// ---------------------------------------------------------------- phase 2: fixed point

// A backward jump counts from its own first byte, a forward jump from the
// byte after it, to the target block's first byte.
static std::int64_t offsetOfSlot(const BlockLayout *layouts, const BlockLayout &layout, int slot) {
  const std::int64_t targetStart = layouts[layout.targetId[slot]].start;
  std::int64_t jumpStart = layout.start + layout.bodySize;
  if (slot == lastSlot)
    jumpStart += layout.jumpSize[conditionalSlot];
  if (targetStart <= layout.start)
    return targetStart - jumpStart;
  return targetStart - (jumpStart + layout.jumpSize[slot]);
}

// How a round may change a jump's size. Settling normally lets every size
// follow its offset; growing only is the way out of a cycle (see below).
enum class SizeRule { FollowOffset, GrowOnly };

// One round over all jumps in list order; the second slot of a block already
// sees the first slot's new size. Returns the total of the size changes.
static std::int64_t resizeJumps(BlockLayout *layouts, std::uint32_t blockCount, SizeRule rule) {
  std::int64_t change = 0;
  for (std::uint32_t i = 0; i < blockCount; ++i) {
    BlockLayout &layout = layouts[i];
    for (int slot = conditionalSlot; slot < slotCount; ++slot) {
      if (layout.targetId[slot] == noTarget)
        continue;
      const std::int64_t offset = offsetOfSlot(layouts, layout, slot);
      layout.jumpOffset[slot] = offset;
      const int oldSize = layout.jumpSize[slot];
      int newSize = sizeOfJump(layout.jump[slot], offset);
      if (rule == SizeRule::GrowOnly && newSize < oldSize)
        newSize = oldSize;
      change += newSize > oldSize ? newSize - oldSize : oldSize - newSize;
      layout.jumpSize[slot] = newSize;
    }
  }
  return change;
}

static void recomputeBlockStarts(BlockLayout *layouts, std::uint32_t blockCount) {
  for (std::uint32_t i = 1; i < blockCount; ++i)
    layouts[i].start = blockEnd(layouts[i - 1]);
}

// The jump sizes after a round, to recognise a round that repeats.
static void copyJumpSizes(const BlockLayout *layouts, std::uint32_t blockCount, int *sizes) {
  for (std::uint32_t i = 0; i < blockCount; ++i)
    for (int slot = conditionalSlot; slot < slotCount; ++slot)
      sizes[i * slotCount + slot] = layouts[i].jumpSize[slot];
}

static bool haveJumpSizes(const BlockLayout *layouts, std::uint32_t blockCount, const int *sizes) {
  for (std::uint32_t i = 0; i < blockCount; ++i)
    for (int slot = conditionalSlot; slot < slotCount; ++slot)
      if (sizes[i * slotCount + slot] != layouts[i].jumpSize[slot])
        return false;
  return true;
}

// Rounds go on until one changes no size; its offsets are then exact for the
// final layout, and every jump holds its offset.
//
// Nearly always sizes only shrink and a few rounds settle them. But the
// second slot's offset mixes the first slot's new size with block starts
// that still count its old one, so the two jumps of a block can trade sizes
// forever (one shrinks while the other grows, the block's length stays the
// same). A round depends on the sizes alone, so meeting an earlier round's
// sizes again means the rounds would never settle: such a cycle is caught by
// comparing with a snapshot taken at rounds 1, 2, 4, 8... and from then on a
// size may only grow, which settles after at most two steps per jump. A jump
// may then keep a larger form than its offset needs; it still holds it.
static void settleJumpSizes(BlockLayout *layouts, std::uint32_t blockCount) {
  auto *snapshot = allocateWorkArray<int>(std::size_t{blockCount} * slotCount);
  copyJumpSizes(layouts, blockCount, snapshot);
  SizeRule rule = SizeRule::FollowOffset;
  std::uint64_t roundsPerSnapshot = 1;
  std::uint64_t roundsSinceSnapshot = 0;
  while (resizeJumps(layouts, blockCount, rule) != 0) {
    recomputeBlockStarts(layouts, blockCount);
    if (rule == SizeRule::GrowOnly)
      continue;
    if (haveJumpSizes(layouts, blockCount, snapshot)) {
      rule = SizeRule::GrowOnly;
    } else if (++roundsSinceSnapshot == roundsPerSnapshot) {
      copyJumpSizes(layouts, blockCount, snapshot);
      roundsPerSnapshot *= 2;
      roundsSinceSnapshot = 0;
    }
  }
  std::free(snapshot);
}

// ---------------------------------------------------------------- phase 3: rewriting

// The form is chosen by the settled size, which holds the offset.
static void rewriteJump(AsmCode *jump, std::int64_t offset, int size) {
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  ASSERT(sizeOfJump(jump, offset) <= size);
  const Operation form = formsOf(jump).formOfSize[size - 1];
  ASSERT(form != Operation::None);
  jump->operation = form;
  jump->operand1 = static_cast<std::uint16_t>(magnitude);
}

static void rewriteAbstractJumps(const BlockLayout *layouts, std::uint32_t blockCount) {
  for (std::uint32_t i = 0; i < blockCount; ++i) {
    const BlockLayout &layout = layouts[i];
    CgBlockInfo *info = layout.block->cgBlockInfoPtr;
    info->startOffset = static_cast<std::uint32_t>(layout.start);
    if (layout.targetId[conditionalSlot] == noTarget && layout.targetId[lastSlot] == noTarget)
      continue;
    AsmCodeList *list = info->asmCodeListPtr;
    ASSERT(list);
    for (int slot = lastSlot; slot >= conditionalSlot; --slot)
      if (layout.targetId[slot] != noTarget)
        rewriteJump(layout.jump[slot], layout.jumpOffset[slot], layout.jumpSize[slot]);
    list->size = static_cast<std::uint32_t>(blockEnd(layout) - layout.start - layout.block->earlyCodeSize);
  }
}

void selectJumps(BlockListNode *basicBlockListPtr) {
  ASSERT(basicBlockListPtr);
  const std::uint32_t blockCount = countBlocks(basicBlockListPtr);
  BlockLayout *layouts = layOutBlocks(basicBlockListPtr, blockCount);
  settleJumpSizes(layouts, blockCount);
  rewriteAbstractJumps(layouts, blockCount);
  std::free(layouts);
}
