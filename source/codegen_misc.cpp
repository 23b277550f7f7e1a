#include "codegen_misc.h"

#include "errorhlr.h"
#include "fatal.h"
#include "jumpselection.h"
#include "recordpool.h"
#include "stmntir.h"
#include "tavokassert.h"
#include "wrapper.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The walk over the blocks of the function being generated.
struct BlockWalkState {
  std::uint32_t currentSourceLineNumber;  // 0 until the walker sets a statement's line
  BlockListNode *currentPosition;         // the node of the block being selected
  std::uint32_t numberOfBasicBlocks;      // blocks laid out so far
  std::uint32_t runningOffset;            // start estimate of the next block
};

} // namespace

static constinit BlockWalkState walk{};

namespace {
// Final bytes of the function being compiled, waiting for the assembly: its
// bytes are written in place, by selection itself, so the buffer is grown by
// hand rather than by a container that would clear every byte first.
using CodeBytes = GrowingBytes;

// With the line table: where each statement's instructions start, as the
// block walk selects them. A statement's instructions all have its line, so
// the line table, an entry wherever the line changes, needs no more; the
// assembly makes the entries once the offsets are final. The marks are kept
// two to a record cell: the cells the statements' trees give back as they
// are selected, so that a long function's marks take no memory of their own.
struct LineMark {
  std::uint32_t blockId;
  std::uint32_t offset;  // in the block's selected bytes; atJumps for its jumps to other blocks
  std::uint32_t line;
};
constexpr std::uint32_t atJumps = 0xFFFFFFFFu;

struct LineMarkCell {
  LineMark marks[2];
  LineMarkCell *next;
};

// The marks of the function being generated, in order; `read` is where the
// assembly has got to.
struct LineMarks {
  LineMarkCell *first;
  LineMarkCell *last;
  std::uint32_t countInLast;  // marks used in the last cell
  LineMarkCell *read;
  std::uint32_t readInCell;
};
} // namespace

static constinit LineMarks lineMarks{};

// The early code, made while the function is parsed.
static constinit CodeBytes earlyCode{};
// The blocks' bytes encoded as each block is selected at the function's end.
static constinit CodeBytes selectedCode{};


// ---------------------------------------------------------------- source line

void setCurrentSourceLineNumber(std::uint32_t line) { walk.currentSourceLineNumber = line; }

std::uint32_t currentSourceLineNumber() {
  ASSERT(walk.currentSourceLineNumber);
  return walk.currentSourceLineNumber;
}

// ---------------------------------------------------------------- constructors

// Inlined into every constructor: as a call of its own, saving and
// restoring registers cost a third of the work of an instruction.
[[gnu::always_inline]] static inline AsmCodeList *makeInstruction(Operation operation, std::uint32_t operand1 = 0, std::uint32_t operand2 = 0,
                                    std::uint32_t operand3 = 0, BasicBlock *targetBlock = nullptr) {
  AsmCode *code = takeRecordCell<AsmCode>();
  *code = AsmCode{.operation = operation,
                  .operand1 = static_cast<std::uint16_t>(operand1),
                  .operand2 = static_cast<std::uint16_t>(operand2),
                  .operand3 = static_cast<std::uint8_t>(operand3),
                  .lineNo = currentSourceLineNumber(),
                  .targetBlock = targetBlock,
                  .next = nullptr};
  AsmCodeList *list = takeRecordCell<AsmCodeList>();
  *list = AsmCodeList{.size = static_cast<std::uint32_t>(opcodeRow(operation).size),
                      .first = code,
                      .conditionalJump = nullptr,
                      .last = code};
  return list;
}

AsmCodeList *makeLoadVar(std::uint32_t variableIndex) {
  return makeInstruction(chooseForm(loadVariableForms, variableIndex), variableIndex);
}

AsmCodeList *makeStoreVar(std::uint32_t variableIndex) {
  return makeInstruction(chooseForm(storeVariableForms, variableIndex), variableIndex);
}

AsmCodeList *makeIncrDecrVar(ExpressionOperator treeOperator, std::uint32_t variableIndex) {
  return makeInstruction(incrementOrDecrementForm(treeOperator, variableIndex), variableIndex);
}

AsmCodeList *makeAddAsg(std::uint32_t variableIndex) {
  return makeInstruction(chooseForm(addToVariableForms, variableIndex), variableIndex);
}

AsmCodeList *makeSubAsg(std::uint32_t variableIndex) {
  return makeInstruction(chooseForm(subtractFromVariableForms, variableIndex), variableIndex);
}

AsmCodeList *makeLoadConst(std::uint32_t constantIndex) {
  return makeInstruction(chooseForm(loadConstantForms, constantIndex), constantIndex);
}

AsmCodeList *makeImmediateConst(std::uint32_t immediateCode) {
  return makeInstruction(immediateConstantOperation(immediateCode));
}

AsmCodeList *makeCall(std::uint32_t functionIndex) {
  return makeInstruction(chooseForm(callScriptForms, functionIndex), functionIndex);
}

AsmCodeList *makeCallLib(std::uint32_t libraryFunctionIndex, std::uint32_t libraryIndex) {
  return makeInstruction(chooseForm(callLibraryForms, libraryFunctionIndex, libraryIndex), libraryFunctionIndex,
                         libraryIndex);
}

AsmCodeList *makeCallUrl(std::uint32_t urlIndex, std::uint32_t functionNameIndex, std::uint32_t argumentCount) {
  return makeInstruction(chooseForm(callExternalForms, urlIndex, functionNameIndex, argumentCount), urlIndex,
                         functionNameIndex, argumentCount);
}

AsmCodeList *makeJumpFw(std::uint32_t distance) {
  return makeInstruction(chooseForm(forwardJumpForms, distance), distance);
}

AsmCodeList *makeTJumpFw(std::uint32_t distance) {
  return makeInstruction(chooseForm(forwardConditionalJumpForms, distance), distance);
}

AsmCodeList *makeOperation(ExpressionOperator treeOperator) {
  return makeInstruction(operatorToOperation(treeOperator));
}

AsmCodeList *makeToBool() { return makeInstruction(Operation::ToBool); }

AsmCodeList *makePop() { return makeInstruction(Operation::Pop); }

AsmCodeList *makeReturn(const AbstractTree *returnValue) {
  return makeInstruction(returnValue ? Operation::Return : Operation::ReturnEs);
}

AsmCodeList *makeScAnd(std::uint32_t distance) {
  return appendAsmLists(makeInstruction(Operation::ScAnd), makeTJumpFw(distance), nullptr);
}

AsmCodeList *makeScOr(std::uint32_t distance) {
  return appendAsmLists(makeInstruction(Operation::ScOr), makeTJumpFw(distance), nullptr);
}

// A target not laid out yet comes later in the walk; one laid out at or
// before the current block (itself included) is reached backward.
static bool isForwardTarget(const BasicBlock *target) {
  ASSERT(walk.currentPosition);
  if (!target->cgBlockInfoPtr)
    return true;
  return target->cgBlockInfoPtr->blockId > getBlockId(walk.currentPosition->blockPtr);
}

BlockJump conJumpTo(BasicBlock *target) {
  ASSERT(target);
  return BlockJump{isForwardTarget(target) ? Operation::ConJumpFw : Operation::ConJumpBw, target};
}

BlockJump unconJumpTo(BasicBlock *target) {
  ASSERT(target);
  return BlockJump{isForwardTarget(target) ? Operation::UnconJumpFw : Operation::UnconJumpBw, target};
}

static AsmCodeList *makeBlockJump(const BlockJump &jump) {
  return makeInstruction(jump.operation, 0, 0, 0, jump.target);
}

AsmCodeList *makeConJump(BasicBlock *target) { return makeBlockJump(conJumpTo(target)); }

AsmCodeList *makeUnconJump(BasicBlock *target) { return makeBlockJump(unconJumpTo(target)); }

AsmCodeList *makeBlockJumps(const BlockJumps &jumps) {
  if (jumps.conditional.operation == Operation::None)
    return jumps.last.operation == Operation::None ? nullptr : makeBlockJump(jumps.last);
  // Only a pair has a conditional slot.
  ASSERT(jumps.last.operation != Operation::None);
  AsmCodeList *list = makeBlockJump(jumps.conditional);
  AsmCode *conditionalJump = list->first;
  list = appendAsmLists(list, makeBlockJump(jumps.last), nullptr);
  // Jump selection sizes the second-last jump of the block on its own.
  list->conditionalJump = conditionalJump;
  return list;
}

// ---------------------------------------------------------------- lists

void freeAsmCodeList(AsmCodeList *list) {
  if (!list)
    return;
  AsmCode *code = list->first;
  while (code) {
    AsmCode *next = code->next;
    giveRecordCell(code);
    code = next;
  }
  giveRecordCell(list);
}

// ---------------------------------------------------------------- early code

// The unit and the debug file are written only by a run that names an
// output file; the dump and the line table read a function's statements
// and instructions whole, so those runs select at the function's end.
bool selectsWhileParsing() { return getOutputFileName() && !isDumpEnabled() && !isDebugInfoEnabled(); }

// A function's early code is at most a few bytes per source statement; the
// storage of a very long one is given back rather than kept for the next.
constexpr std::size_t keptEarlyCodeCapacity = std::size_t{1} << 20;

void beginEarlyCode() { earlyCode.size = 0; }

static void emptyCodeBytes(CodeBytes &buffer) {
  if (buffer.capacity > keptEarlyCodeCapacity) {
    std::free(buffer.bytes);
    buffer = CodeBytes{};
  }
  buffer.size = 0;
}

void endEarlyCode() { emptyCodeBytes(earlyCode); }

// The Code field's size is a 32-bit count.
constexpr std::uint64_t largestCodeSize = 0xFFFFFFFFu;

static void makeRoom(CodeBytes &buffer, std::size_t count) {
  if (buffer.size + count <= buffer.capacity)
    return;
  const std::size_t capacity = std::max(std::size_t{4096}, 2 * (buffer.size + count));
  void *bytes = std::realloc(buffer.bytes, capacity);
  if (!bytes)
    fatalError(noMemorySpace);
  buffer.bytes = static_cast<std::uint8_t *>(bytes);
  buffer.capacity = capacity;
}

bool selectStatementEarly(Statement *statement, BasicBlock *block) {
  ASSERT(!block->firstStatement);
  ASSERT(!block->earlyCodeSize || block->earlyCodeStart + block->earlyCodeSize == earlyCode.size);
  // The selection releases the tree, so the statement could not wait for
  // the function's end if its bytes then found the early code full: this
  // early code stops long before a statement could fill it.
  if (earlyCode.size > largestCodeSize / 2)
    return false;
  setCurrentSourceLineNumber(getStatementSourceLine(statement));
  const std::size_t start = earlyCode.size;
  std::uint32_t size = 0;
  // The bytes go straight after the early code so far.
  const bool selectedNow = trySelectSequentialStatementBytesInto(statement, earlyCode, &size);
  resetInstructionSelection();
  if (!selectedNow)
    return false;
  // Every expression statement leaves at least one instruction.
  ASSERT(size > 0);
  ASSERT(earlyCode.size == start + size && earlyCode.size <= largestCodeSize);
  if (!block->earlyCodeSize)
    block->earlyCodeStart = static_cast<std::uint32_t>(start);
  block->earlyCodeSize += size;
  return true;
}

// ---------------------------------------------------------------- block walk

std::uint32_t numberOfBasicBlocks() { return walk.numberOfBasicBlocks; }

BlockListNode *currentBasicBlock() { return walk.currentPosition; }

std::uint32_t getBlockId(const BasicBlock *block) {
  ASSERT(block);
  ASSERT(block->cgBlockInfoPtr);
  return block->cgBlockInfoPtr->blockId;
}

void selectBlock(BasicBlock *block) {
  ASSERT(block);
  ASSERT(block->cgBlockInfoPtr);
  Statement *statement = block->firstStatement;
  ASSERT(statement);
  AsmCodeList *list = nullptr;
  for (;;) {
    setCurrentSourceLineNumber(getStatementSourceLine(statement));
    list = appendAsmLists(list, selectStatement(statement, walk.currentPosition), nullptr);
    // The tree's cells are what the next statements' instructions are made
    // of. A logical node remembered for the tobool rule only ever matches
    // within its own statement, so the memory of it goes with the tree.
    releaseStatementTree(statement);
    resetInstructionSelection();
    // A conditional, goto or return ends the block.
    if (statement->statementType != SequentialStat)
      break;
    statement = statement->nextStatementPtr;
    ASSERT(statement);
  }
  block->cgBlockInfoPtr->asmCodeListPtr = list;
}

[[noreturn]] static void codeTooLarge();

// Without the line table, a block's instructions up to its jumps to other
// blocks are encoded as they are selected, into the selected code, and its
// jumps, returned, are never made instructions: the later passes walk no
// instructions. The trees go statement by statement, as in selectBlock.
static void addLineMark(const LineMark &mark) {
  if (!lineMarks.last || lineMarks.countInLast == 2) {
    auto *cell = takeRecordCell<LineMarkCell>();
    cell->next = nullptr;
    if (lineMarks.last)
      lineMarks.last->next = cell;
    else
      lineMarks.first = cell;
    lineMarks.last = cell;
    lineMarks.countInLast = 0;
  }
  lineMarks.last->marks[lineMarks.countInLast++] = mark;
}

// The next mark the assembly has not read, if it is the block's.
static const LineMark *nextLineMarkOf(std::uint32_t blockId) {
  LineMarkCell *cell = lineMarks.read;
  if (!cell)
    return nullptr;
  const std::uint32_t used = cell == lineMarks.last ? lineMarks.countInLast : 2;
  if (lineMarks.readInCell == used || cell->marks[lineMarks.readInCell].blockId != blockId)
    return nullptr;
  const LineMark *mark = &cell->marks[lineMarks.readInCell++];
  if (lineMarks.readInCell == 2 && cell->next) {
    lineMarks.read = cell->next;
    lineMarks.readInCell = 0;
  }
  return mark;
}

static void releaseLineMarks() {
  LineMarkCell *cell = lineMarks.first;
  while (cell) {
    LineMarkCell *next = cell->next;
    giveRecordCell(cell);
    cell = next;
  }
  lineMarks = LineMarks{};
}

static BlockJumps selectBlockBytes(BasicBlock *block, CgBlockInfo *info, bool withLineTable) {
  Statement *statement = block->firstStatement;
  ASSERT(statement);
  const std::size_t start = selectedCode.size;
  BlockJumps jumps{noBlockJump, noBlockJump};
  for (;;) {
    setCurrentSourceLineNumber(getStatementSourceLine(statement));
    std::uint32_t size = 0;
    BlockJumps statementJumps{noBlockJump, noBlockJump};
    selectStatementBytes(statement, walk.currentPosition, &size, &statementJumps);
    if (withLineTable && (size || statementJumps.last.operation != Operation::None))
      addLineMark(LineMark{.blockId = info->blockId,
                           .offset = size ? static_cast<std::uint32_t>(selectedCode.size - start) : atJumps,
                           .line = getStatementSourceLine(statement)});
    // The Code of a function holds at most 4294967295 bytes.
    if (selectedCode.size + size > largestCodeSize)
      codeTooLarge();
    // A goto, the commonest control statement, has no bytes before its jump.
    if (size) {
      makeRoom(selectedCode, size);
      copySelectedBytes(selectedCode.bytes + selectedCode.size);
      selectedCode.size += size;
    }
    // Only the control statement that ends the block jumps to other blocks.
    ASSERT(jumps.last.operation == Operation::None);
    jumps = statementJumps;
    releaseStatementTree(statement);
    resetInstructionSelection();
    if (statement->statementType != SequentialStat)
      break;
    statement = statement->nextStatementPtr;
    ASSERT(statement);
  }
  info->encodedStart = static_cast<std::uint32_t>(start);
  info->encodedSize = static_cast<std::uint32_t>(selectedCode.size - start);
  return jumps;
}

// The bytes of the block's jumps, each at its widest until jump selection.
static std::uint32_t widestSizeOf(const BlockJumps &jumps) {
  std::uint32_t size = 0;
  for (const BlockJump *jump : {&jumps.conditional, &jumps.last})
    if (jump->operation != Operation::None)
      size += static_cast<std::uint32_t>(opcodeRow(jump->operation).size);
  return size;
}

// Ids follow the list order; the start offsets are estimates that count
// every abstract jump at its widest until jump selection settles them.
static void layOutAndSelectBlocks(BlockListNode *blockList, JumpLayout *jumpLayout) {
  const bool withLineTable = isDebugInfoEnabled();
  for (BlockListNode *node = blockList; node; node = node->nextBlock) {
    BasicBlock *block = node->blockPtr;
    ASSERT(block);
    walk.currentPosition = node;
    CgBlockInfo *info = takeRecordCell<CgBlockInfo>();
    *info = CgBlockInfo{.blockId = walk.numberOfBasicBlocks,
                        .startOffset = walk.runningOffset,
                        .asmCodeListPtr = nullptr,
                        .encodedStart = 0,
                        .encodedSize = 0};
    ++walk.numberOfBasicBlocks;
    block->cgBlockInfoPtr = info;
    const BlockJumps jumps = selectBlockBytes(block, info, withLineTable);
    walk.runningOffset += block->earlyCodeSize + info->encodedSize + widestSizeOf(jumps);
    addEncodedBlockToJumpLayout(jumpLayout, block, jumps);
  }
  walk.currentPosition = nullptr;
}

// ---------------------------------------------------------------- assembly

[[noreturn]] static void codeTooLarge() {
  std::fputs("Error: Bytecode size exceeds maximum limit\n", stderr);
  std::exit(1);
}

// After jump selection every list's size is exact, so the Code is allocated
// once and every instruction lands at its final offset.
static std::uint64_t totalCodeSize(BlockListNode *blockList) {
  std::uint64_t total = 0;
  for (BlockListNode *node = blockList; node; node = node->nextBlock) {
    const CgBlockInfo *info = node->blockPtr->cgBlockInfoPtr;
    ASSERT(info);
    total += node->blockPtr->earlyCodeSize;
    total += info->encodedSize;
    if (info->asmCodeListPtr)
      total += info->asmCodeListPtr->size;
  }
  return total;
}

// Returns the offset after the list's last instruction.
static std::uint32_t encodeList(const AsmCodeList *list, ByteBuffer *code, std::uint32_t offset,
                                bool withLineTable) {
  for (const AsmCode *instruction = list->first; instruction; instruction = instruction->next) {
    if (withLineTable) {
      // The line table sees the Code written so far, none before the first byte.
      const ByteBuffer codeSoFar{.size = offset, .bytes = code->bytes};
      addLineEntry(instruction, offset ? &codeSoFar : nullptr);
    }
    ASSERT(std::uint64_t{offset} + opcodeRow(instruction->operation).size <= code->size);
    offset += encodeInstructionAt(instruction, code->bytes + offset);
  }
  return offset;
}

static void releaseBlockCode(BasicBlock *block) {
  CgBlockInfo *info = block->cgBlockInfoPtr;
  ASSERT(info);
  freeAsmCodeList(info->asmCodeListPtr);
  giveRecordCell(info);
  // Nothing reads it any more; cleared so no later walk mistakes it for a
  // block laid out already.
  block->cgBlockInfoPtr = nullptr;
}

// The line entries of the block's statements, for the block starting at
// offset in the Code.
static void addBlockLineEntries(std::uint32_t blockId, const BasicBlock *block, std::uint32_t offset) {
  const std::uint32_t bytesStart = offset + block->earlyCodeSize;
  const std::uint32_t jumpsStart = bytesStart + block->cgBlockInfoPtr->encodedSize;
  while (const LineMark *mark = nextLineMarkOf(blockId))
    addLineEntryAt(mark->line, mark->offset == atJumps ? jumpsStart : bytesStart + mark->offset);
}

// Encodes the blocks at their final offsets. Given a layout, the blocks'
// code was encoded when selected and their jumps are written from it (with
// the line table, the entries come from the line marks); without one every
// block's list must be final already.
static ByteBuffer *assembleBlocks(BlockListNode *blockList, const JumpLayout *layout, std::uint64_t total) {
  ASSERT(blockList);
  if (total > largestCodeSize)
    codeTooLarge();
  ByteBuffer *code = nullptr;
  if (total) {
    code = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
    *code = ByteBuffer{.size = static_cast<std::uint32_t>(total),
                       .bytes = static_cast<std::uint8_t *>(allocateUnfilled(total, 1))};
  }
  const bool withLineTable = isDebugInfoEnabled();
  lineMarks.read = lineMarks.first;
  lineMarks.readInCell = 0;
  std::uint32_t offset = 0;
  std::uint32_t blockId = 0;
  for (BlockListNode *node = blockList; node; node = node->nextBlock, ++blockId) {
    BasicBlock *block = node->blockPtr;
    // Given a layout, the blocks' code was encoded as it was selected and
    // their jumps are only in the layout.
    const bool jumpsInLayout = layout != nullptr;
    if (jumpsInLayout && withLineTable)
      addBlockLineEntries(blockId, block, offset);
    if (block->earlyCodeSize) {
      // Early code is only made without the line table.
      ASSERT(!withLineTable);
      std::memcpy(code->bytes + offset, earlyCode.bytes + block->earlyCodeStart, block->earlyCodeSize);
      offset += block->earlyCodeSize;
    }
    if (const CgBlockInfo *info = block->cgBlockInfoPtr; info->encodedSize) {
      std::memcpy(code->bytes + offset, selectedCode.bytes + info->encodedStart, info->encodedSize);
      offset += info->encodedSize;
    }
    if (jumpsInLayout)
      offset += encodeBlockJumps(layout, blockId, block, code ? code->bytes + offset : nullptr);
    else if (const AsmCodeList *list = block->cgBlockInfoPtr->asmCodeListPtr)
      offset = encodeList(list, code, offset, withLineTable);
    releaseBlockCode(block);
  }
  ASSERT(offset == total);
  return code;
}

ByteBuffer *assembleBlockList(BlockListNode *blockList) {
  return assembleBlocks(blockList, nullptr, totalCodeSize(blockList));
}

ByteBuffer *generateBlockListCode(BlockListNode *blockList) {
  ASSERT(blockList);
  walk.numberOfBasicBlocks = 0;
  walk.runningOffset = 0;
  selectedCode.size = 0;
  releaseLineMarks();
  JumpLayout *layout = createJumpLayout();
  layOutAndSelectBlocks(blockList, layout);
  settleJumpLayout(layout);
  ByteBuffer *code = assembleBlocks(blockList, layout, jumpLayoutCodeSize(layout));
  releaseJumpLayout(layout);
  emptyCodeBytes(selectedCode);
  releaseLineMarks();
  return code;
}
