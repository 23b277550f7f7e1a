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
constexpr std::uint32_t noTarget = 0xFFFFFFFFu;

// The work record of one block for one run, indexed by blockId. The rounds
// read every record and the start of each jump's target, so what they need
// is kept dense: the starts in an array of their own, the rest in 24 bytes.
// The jumps themselves are found again on the blocks when they are rewritten.
struct BlockLayout {
  std::int64_t bodySize;             // the block's code (early code included) without its slot jumps
  std::uint32_t targetId[slotCount]; // noTarget for an empty slot
  std::uint8_t jumpSize[slotCount];  // 0 for an empty slot
  std::uint8_t forms[slotCount];     // index into concreteJumpForms
};

// The concrete forms of an abstract jump by byte size; None where the
// instruction set has no form of that size.
struct ConcreteJumpForms {
  Operation abstractJump;
  Operation formOfSize[3];
};
} // namespace

// The layout of one function while its jumps are sized. The blocks are
// added one by one as they are selected; their targets are blocks until the
// last block is added, and then become ids.
struct JumpLayout {
  std::uint32_t blockCount;
  std::uint32_t capacity;
  BlockLayout *blocks;
  const BasicBlock **targets;  // per block and slot while blocks are added; null for an empty slot
  std::int64_t *starts;        // offset of each block's first byte in the Code; once settling starts
  std::int64_t *nextStarts;    // the starts a round makes while it still reads the old ones
  bool settling;
};

// The arrays of the last layout released, for the next function: a function
// of a few hundred blocks would otherwise grow fresh arrays each time.
static constinit JumpLayout spareLayout{};
// Arrays for more blocks than this are given back instead (48 bytes a block).
constexpr std::uint32_t keptLayoutCapacity = 16384;

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

static_assert([] {
  for (const ConcreteJumpForms &forms : concreteJumpForms)
    if (forms.formOfSize[1] == Operation::None || forms.formOfSize[2] == Operation::None)
      return false;
  return true;
}(), "every abstract jump has a two-byte and a three-byte form");

// ---------------------------------------------------------------- jump sizes

// Only the abstract jumps are between blocks; the jumps of the conditional
// and logical operators are concrete from the start.
static bool isJump(const AsmCode *jumpCode) {
  ASSERT(jumpCode);
  return jumpCode->operation >= Operation::ConJumpFw && jumpCode->operation <= Operation::UnconJumpBw;
}

static std::uint8_t formsIndexOf(Operation abstractJump) {
  const auto index = static_cast<std::uint32_t>(abstractJump) - static_cast<std::uint32_t>(Operation::ConJumpFw);
  ASSERT(index < std::size(concreteJumpForms));
  ASSERT(concreteJumpForms[index].abstractJump == abstractJump);
  return static_cast<std::uint8_t>(index);
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
[[gnu::always_inline]] static inline int sizeOfJump(std::uint8_t forms, std::int64_t offset) {
  const int size = jumpSizeForOffset(offset);
  // Only a one-byte form may be missing (see below the table).
  if (size == 1 && concreteJumpForms[forms].formOfSize[0] == Operation::None)
    return 2;
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

template <class Item> static Item *growWorkArray(Item *items, std::size_t count) {
  void *grown = std::realloc(items, count * sizeof(Item));
  if (!grown)
    fatalError(noMemorySpace);
  return static_cast<Item *>(grown);
}

static void occupySlot(JumpLayout &layout, int slot, Operation abstractJump, const BasicBlock *target) {
  BlockLayout &block = layout.blocks[layout.blockCount];
  ASSERT(target);
  layout.targets[layout.blockCount * slotCount + slot] = target;
  block.forms[slot] = formsIndexOf(abstractJump);
  block.jumpSize[slot] = static_cast<std::uint8_t>(opcodeRow(abstractJump).size);
  block.bodySize -= block.jumpSize[slot];
}

JumpLayout *createJumpLayout() {
  auto *layout = allocateWorkArray<JumpLayout>(1);
  *layout = spareLayout;
  spareLayout = JumpLayout{};
  layout->blockCount = 0;
  layout->settling = false;
  return layout;
}

// The block's record with empty slots, for its code of bodySize bytes.
[[gnu::always_inline]] static inline void startBlockLayout(JumpLayout *layout, const BasicBlock *block,
                                                           std::int64_t bodySize) {
  ASSERT(!layout->settling);
  // Ids are given in list order by the walk that selects the blocks.
  ASSERT(block->cgBlockInfoPtr && block->cgBlockInfoPtr->blockId == layout->blockCount);
  if (layout->blockCount == layout->capacity) {
    layout->capacity = layout->capacity ? 2 * layout->capacity : 64;
    layout->blocks = growWorkArray(layout->blocks, layout->capacity);
    layout->targets = growWorkArray(layout->targets, std::size_t{layout->capacity} * slotCount);
    layout->starts = growWorkArray(layout->starts, layout->capacity);
    layout->nextStarts = growWorkArray(layout->nextStarts, layout->capacity);
  }
  layout->blocks[layout->blockCount] =
      BlockLayout{.bodySize = bodySize, .targetId = {noTarget, noTarget}, .jumpSize = {0, 0}, .forms = {0, 0}};
  layout->targets[layout->blockCount * slotCount + conditionalSlot] = nullptr;
  layout->targets[layout->blockCount * slotCount + lastSlot] = nullptr;
}

static void finishBlockLayout(JumpLayout *layout) {
  ASSERT(layout->blocks[layout->blockCount].bodySize >= 0);
  ++layout->blockCount;
}

void addBlockToJumpLayout(JumpLayout *layout, const BasicBlock *block) {
  const CgBlockInfo *info = block->cgBlockInfoPtr;
  std::int64_t bodySize = std::int64_t{block->earlyCodeSize} + info->encodedSize;
  const AsmCodeList *list = info->asmCodeListPtr;
  if (list)
    bodySize += list->size;
  startBlockLayout(layout, block, bodySize);
  if (list) {
    if (list->conditionalJump && isJump(list->conditionalJump))
      occupySlot(*layout, conditionalSlot, list->conditionalJump->operation, list->conditionalJump->targetBlock);
    if (isJump(list->last))
      occupySlot(*layout, lastSlot, list->last->operation, list->last->targetBlock);
  }
  finishBlockLayout(layout);
}

// The body size is without the slot jumps, so what occupySlot takes off
// for a jump is not counted first.
void addEncodedBlockToJumpLayout(JumpLayout *layout, const BasicBlock *block, const BlockJumps &jumps) {
  const CgBlockInfo *info = block->cgBlockInfoPtr;
  ASSERT(!info->asmCodeListPtr);
  startBlockLayout(layout, block, std::int64_t{block->earlyCodeSize} + info->encodedSize);
  BlockLayout &record = layout->blocks[layout->blockCount];
  const BlockJump *slots[slotCount] = {&jumps.conditional, &jumps.last};
  for (int slot = conditionalSlot; slot < slotCount; ++slot) {
    const BlockJump &jump = *slots[slot];
    if (jump.operation == Operation::None)
      continue;
    ASSERT(jump.target);
    layout->targets[layout->blockCount * slotCount + slot] = jump.target;
    record.forms[slot] = formsIndexOf(jump.operation);
    record.jumpSize[slot] = static_cast<std::uint8_t>(opcodeRow(jump.operation).size);
  }
  finishBlockLayout(layout);
}

static std::int64_t blockEnd(const JumpLayout &layout, std::uint32_t i) {
  const BlockLayout &block = layout.blocks[i];
  return layout.starts[i] + block.bodySize + block.jumpSize[conditionalSlot] + block.jumpSize[lastSlot];
}

static std::uint32_t targetIdOf(const BasicBlock *target, std::uint32_t blockCount) {
  const std::uint32_t id = getBlockId(target);
  // A target outside this function's list would be a block already released.
  ASSERT(id < blockCount);
  return id;
}

// Every target as its id, every jump at its widest, the blocks one after the
// other in list order.
static void layOutBlocks(JumpLayout &layout) {
  layout.settling = true;
  std::int64_t runningOffset = 0;
  for (std::uint32_t i = 0; i < layout.blockCount; ++i) {
    for (int slot = conditionalSlot; slot < slotCount; ++slot)
      if (const BasicBlock *target = layout.targets[i * slotCount + slot])
        layout.blocks[i].targetId[slot] = targetIdOf(target, layout.blockCount);
    layout.starts[i] = runningOffset;
    runningOffset = blockEnd(layout, i);
  }
}

// ---------------------------------------------------------------- phase 2: fixed point

// A backward jump counts from its own first byte, a forward jump from the
// byte after it, to the target block's first byte. Inlined into the rounds,
// which make it for every jump.
[[gnu::always_inline]] static inline std::int64_t offsetOfJump(const BlockLayout &block, const std::int64_t *starts,
                                                                std::int64_t start, int slot) {
  const std::int64_t targetStart = starts[block.targetId[slot]];
  std::int64_t jumpStart = start + block.bodySize;
  if (slot == lastSlot)
    jumpStart += block.jumpSize[conditionalSlot];
  if (targetStart <= start)
    return targetStart - jumpStart;
  return targetStart - (jumpStart + block.jumpSize[slot]);
}

[[gnu::always_inline]] static inline std::int64_t offsetOfSlot(const JumpLayout &layout, std::uint32_t i, int slot) {
  return offsetOfJump(layout.blocks[i], layout.starts, layout.starts[i], slot);
}

// How a round may change a jump's size. Settling normally lets every size
// follow its offset; growing only is the way out of a cycle (see below).
enum class SizeRule { FollowOffset, GrowOnly };

// The jump sizes of an earlier round, to recognise a round that repeats
// them. How many sizes differ from it is kept up to date as sizes change,
// so that a round needs no pass of its own to compare.
struct SizeSnapshot {
  std::uint8_t *sizes;   // per block and slot
  std::uint64_t differing;
};

static void takeSnapshot(const JumpLayout &layout, SizeSnapshot &snapshot) {
  for (std::uint32_t i = 0; i < layout.blockCount; ++i)
    for (int slot = conditionalSlot; slot < slotCount; ++slot)
      snapshot.sizes[i * slotCount + slot] = layout.blocks[i].jumpSize[slot];
  snapshot.differing = 0;
}

// Sizes one slot's jump for the current starts; returns how much its size
// changed. Inlined once per slot and rule, so that both are constants.
// What the round reads is passed as plain values: the sizes it writes are
// bytes, which could alias anything, so fields read through the layout
// would be loaded again for every jump.
template <SizeRule rule>
[[gnu::always_inline]] static inline int resizeSlot(BlockLayout &block, const std::int64_t *starts, std::int64_t start,
                                                    std::uint32_t i, int slot, const SizeSnapshot &snapshot,
                                                    std::uint64_t &differing) {
  if (block.targetId[slot] == noTarget)
    return 0;
  const int oldSize = block.jumpSize[slot];
  int newSize = sizeOfJump(block.forms[slot], offsetOfJump(block, starts, start, slot));
  if (rule == SizeRule::GrowOnly && newSize < oldSize)
    newSize = oldSize;
  if (newSize == oldSize)
    return 0;
  block.jumpSize[slot] = static_cast<std::uint8_t>(newSize);
  const int snapshotSize = snapshot.sizes[i * slotCount + slot];
  differing += (snapshotSize != newSize);
  differing -= (snapshotSize != oldSize);
  return newSize > oldSize ? newSize - oldSize : oldSize - newSize;
}

// One round over all jumps in list order; the second slot of a block already
// sees the first slot's new size, every offset the starts of the round
// before. The new starts are summed up on the same pass, into the second
// array, which then takes the first's place. Returns the total of the size
// changes.
template <SizeRule rule> static std::int64_t resizeJumps(JumpLayout &layout, SizeSnapshot &snapshot) {
  std::int64_t change = 0;
  BlockLayout *const blocks = layout.blocks;
  const std::int64_t *const starts = layout.starts;
  std::int64_t *const nextStarts = layout.nextStarts;
  const std::uint32_t blockCount = layout.blockCount;
  std::uint64_t differing = snapshot.differing;
  std::int64_t nextStart = 0;
  for (std::uint32_t i = 0; i < blockCount; ++i) {
    BlockLayout &block = blocks[i];
    const std::int64_t start = starts[i];
    change += resizeSlot<rule>(block, starts, start, i, conditionalSlot, snapshot, differing);
    change += resizeSlot<rule>(block, starts, start, i, lastSlot, snapshot, differing);
    nextStarts[i] = nextStart;
    nextStart += block.bodySize + block.jumpSize[conditionalSlot] + block.jumpSize[lastSlot];
  }
  snapshot.differing = differing;
  layout.nextStarts = layout.starts;
  layout.starts = nextStarts;
  return change;
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
static void settleJumpSizes(JumpLayout &layout) {
  SizeSnapshot snapshot{.sizes = allocateWorkArray<std::uint8_t>(std::size_t{layout.blockCount} * slotCount),
                        .differing = 0};
  takeSnapshot(layout, snapshot);
  std::uint64_t roundsPerSnapshot = 1;
  std::uint64_t roundsSinceSnapshot = 0;
  bool cycled = false;
  while (resizeJumps<SizeRule::FollowOffset>(layout, snapshot) != 0) {
    if (snapshot.differing == 0) {
      cycled = true;
      break;
    }
    if (++roundsSinceSnapshot == roundsPerSnapshot) {
      takeSnapshot(layout, snapshot);
      roundsPerSnapshot *= 2;
      roundsSinceSnapshot = 0;
    }
  }
  // The snapshot is not read any more: the counting goes on harmlessly.
  if (cycled)
    while (resizeJumps<SizeRule::GrowOnly>(layout, snapshot) != 0) {
    }
  std::free(snapshot.sizes);
}

// ---------------------------------------------------------------- phase 3: rewriting

// The form is chosen by the settled size, which holds the offset.
static void rewriteJump(AsmCode *jump, std::uint8_t forms, std::int64_t offset, int size) {
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  ASSERT(sizeOfJump(forms, offset) <= size);
  const Operation form = concreteJumpForms[forms].formOfSize[size - 1];
  ASSERT(form != Operation::None);
  jump->operation = form;
  jump->operand1 = static_cast<std::uint16_t>(magnitude);
}

// The last round changed no size, so the offsets it computed are those of
// the final starts: they are computed again here rather than kept per round.
void finishBlockJumps(const JumpLayout *layout, std::uint32_t blockId, BasicBlock *block) {
  ASSERT(blockId < layout->blockCount);
  const BlockLayout &jumps = layout->blocks[blockId];
  CgBlockInfo *info = block->cgBlockInfoPtr;
  info->startOffset = static_cast<std::uint32_t>(layout->starts[blockId]);
  if (jumps.targetId[conditionalSlot] == noTarget && jumps.targetId[lastSlot] == noTarget)
    return;
  AsmCodeList *list = info->asmCodeListPtr;
  ASSERT(list);
  if (jumps.targetId[lastSlot] != noTarget)
    rewriteJump(list->last, jumps.forms[lastSlot], offsetOfSlot(*layout, blockId, lastSlot), jumps.jumpSize[lastSlot]);
  if (jumps.targetId[conditionalSlot] != noTarget)
    rewriteJump(list->conditionalJump, jumps.forms[conditionalSlot], offsetOfSlot(*layout, blockId, conditionalSlot),
                jumps.jumpSize[conditionalSlot]);
  list->size = static_cast<std::uint32_t>(blockEnd(*layout, blockId) - layout->starts[blockId] - block->earlyCodeSize -
                                          info->encodedSize);
}

std::uint32_t encodeBlockJumps(const JumpLayout *layout, std::uint32_t blockId, BasicBlock *block,
                               std::uint8_t *bytes) {
  ASSERT(blockId < layout->blockCount);
  const BlockLayout &jumps = layout->blocks[blockId];
  CgBlockInfo *info = block->cgBlockInfoPtr;
  ASSERT(!info->asmCodeListPtr);
  info->startOffset = static_cast<std::uint32_t>(layout->starts[blockId]);
  std::uint32_t written = 0;
  // The pair's conditional jump comes first in the Code.
  for (int slot = conditionalSlot; slot < slotCount; ++slot) {
    if (jumps.targetId[slot] == noTarget)
      continue;
    const std::int64_t offset = offsetOfSlot(*layout, blockId, slot);
    const int size = jumps.jumpSize[slot];
    ASSERT(sizeOfJump(jumps.forms[slot], offset) <= size);
    const Operation form = concreteJumpForms[jumps.forms[slot]].formOfSize[size - 1];
    ASSERT(form != Operation::None);
    const auto magnitude = static_cast<std::uint32_t>(offset < 0 ? -offset : offset);
    // One byte: the offset in the opcode's low five bits; two: a byte
    // after it; three: two bytes, high first.
    const std::uint8_t opcode = opcodeRow(form).opcode;
    std::uint8_t *jump = bytes + written;
    switch (size) {
    case 1:
      jump[0] = static_cast<std::uint8_t>(opcode | magnitude);
      break;
    case 2:
      jump[0] = opcode;
      jump[1] = static_cast<std::uint8_t>(magnitude);
      break;
    default:
      jump[0] = opcode;
      jump[1] = static_cast<std::uint8_t>(magnitude >> 8);
      jump[2] = static_cast<std::uint8_t>(magnitude);
      break;
    }
    written += static_cast<std::uint32_t>(size);
  }
  return written;
}

std::uint64_t jumpLayoutCodeSize(const JumpLayout *layout) {
  if (!layout->blockCount)
    return 0;
  return static_cast<std::uint64_t>(blockEnd(*layout, layout->blockCount - 1));
}

void settleJumpLayout(JumpLayout *layout) {
  ASSERT(layout->blockCount);
  layOutBlocks(*layout);
  settleJumpSizes(*layout);
}

JumpLayout *settleJumps(BlockListNode *basicBlockListPtr) {
  ASSERT(basicBlockListPtr);
  JumpLayout *layout = createJumpLayout();
  for (const BlockListNode *node = basicBlockListPtr; node; node = node->nextBlock)
    addBlockToJumpLayout(layout, node->blockPtr);
  settleJumpLayout(layout);
  return layout;
}

static void freeLayoutArrays(JumpLayout &layout) {
  std::free(layout.targets);
  std::free(layout.blocks);
  std::free(layout.starts);
  std::free(layout.nextStarts);
  layout = JumpLayout{};
}

void releaseJumpLayout(JumpLayout *layout) {
  if (layout->capacity > keptLayoutCapacity || spareLayout.capacity >= layout->capacity)
    freeLayoutArrays(*layout);
  else {
    freeLayoutArrays(spareLayout);
    spareLayout = *layout;
  }
  std::free(layout);
}

void selectJumps(BlockListNode *basicBlockListPtr) {
  JumpLayout *layout = settleJumps(basicBlockListPtr);
  std::uint32_t blockId = 0;
  for (BlockListNode *node = basicBlockListPtr; node; node = node->nextBlock)
    finishBlockJumps(layout, blockId++, node->blockPtr);
  releaseJumpLayout(layout);
}
