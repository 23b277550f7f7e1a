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

// One form of an instruction family: usable when every operand is below its
// limit. An unused operand has a limit no 32-bit value reaches.
struct InstructionForm {
  Operation operation;
  std::uint64_t limits[3];
};

// The forms of one family, smallest first.
struct FormFamily {
  int formCount;
  InstructionForm forms[3];
};
} // namespace

static constinit BlockWalkState walk{};

namespace {
// Final bytes of the function being compiled, waiting for the assembly: its
// bytes are written in place, so the buffer is grown by hand rather than by
// a container that would clear every byte first.
struct CodeBytes {
  std::uint8_t *bytes;
  std::size_t size;
  std::size_t capacity;
};
} // namespace

// The early code, made while the function is parsed.
static constinit CodeBytes earlyCode{};
// The blocks' bytes encoded as each block is selected at the function's end.
static constinit CodeBytes selectedCode{};


// ---------------------------------------------------------------- forms

constexpr std::uint64_t anyValue = std::uint64_t{1} << 32;

constexpr InstructionForm form(Operation operation, std::uint64_t limit1,
                               std::uint64_t limit2 = anyValue, std::uint64_t limit3 = anyValue) {
  return InstructionForm{operation, {limit1, limit2, limit3}};
}

// Short forms carry the operand in the opcode's low bits (5, 4 or 3 of them);
// normal forms in one byte, wide forms in two.
constexpr FormFamily loadVariableForms{2, {form(Operation::LoadVarS, 32), form(Operation::LoadVar, 256)}};
constexpr FormFamily storeVariableForms{2, {form(Operation::StoreVarS, 16), form(Operation::StoreVar, 256)}};
constexpr FormFamily incrementVariableForms{2, {form(Operation::IncrVarS, 8), form(Operation::IncrVar, 256)}};
constexpr FormFamily decrementVariableForms{1, {form(Operation::DecrVar, 256)}};
constexpr FormFamily addToVariableForms{1, {form(Operation::AddAsg, 256)}};
constexpr FormFamily subtractFromVariableForms{1, {form(Operation::SubAsg, 256)}};
constexpr FormFamily loadConstantForms{3,
                                       {form(Operation::LoadConstS, 16), form(Operation::LoadConst, 256),
                                        form(Operation::LoadConstW, 65536)}};
constexpr FormFamily callScriptForms{2, {form(Operation::CallS, 8), form(Operation::Call, 256)}};
// Library function index first, library index second.
constexpr FormFamily callLibraryForms{3,
                                      {form(Operation::CallLibS, 8, 256), form(Operation::CallLib, 256, 256),
                                       form(Operation::CallLibW, 256, 65536)}};
// Url index, function name index, argument count: the count is always one byte.
constexpr FormFamily callExternalForms{
    2, {form(Operation::CallUrl, 256, 256, 256), form(Operation::CallUrlW, 65536, 65536, 256)}};
constexpr FormFamily forwardJumpForms{3,
                                      {form(Operation::JumpFwS, 32), form(Operation::JumpFw, 256),
                                       form(Operation::JumpFwW, 65536)}};
constexpr FormFamily forwardConditionalJumpForms{3,
                                                 {form(Operation::TJumpFwS, 32), form(Operation::TJumpFw, 256),
                                                  form(Operation::TJumpFwW, 65536)}};

static Operation chooseForm(const FormFamily &family, std::uint32_t operand1, std::uint32_t operand2 = 0,
                            std::uint32_t operand3 = 0) {
  int chosen = 0;
  while (chosen < family.formCount) {
    const std::uint64_t *limits = family.forms[chosen].limits;
    if (operand1 < limits[0] && operand2 < limits[1] && operand3 < limits[2])
      break;
    ++chosen;
  }
  // The front end keeps indices, counts and distances within the widest form.
  ASSERT(chosen < family.formCount);
  return family.forms[chosen].operation;
}

// ---------------------------------------------------------------- operator mapping

struct OperatorMapping {
  ExpressionOperator treeOperator;
  Operation operation;
};

constexpr OperatorMapping operatorMappings[] = {
    {IsValid, Operation::IsValid},
    {TypeOf, Operation::TypeOf},
    {IntegerDivide, Operation::IDiv},
    {RightShiftZeroFill, Operation::BRszShift},
    {UnaryMinus, Operation::UMinus},
    {LogicalNot, Operation::Not},
    {ComplementOf, Operation::BNot},
    {Multiply, Operation::Mul},
    {Divide, Operation::Div},
    {Modulus, Operation::Rem},
    {Add, Operation::Add},
    {Subtract, Operation::Sub},
    {LeftShift, Operation::BLShift},
    {RightShift, Operation::BRsShift},
    {Greater, Operation::Gt},
    {Lesser, Operation::Lt},
    {GreaterOrEqual, Operation::Ge},
    {LesserOrEqual, Operation::Le},
    {Equal, Operation::Eq},
    {NotEqual, Operation::Ne},
    {BitAnd, Operation::BAnd},
    {BitXor, Operation::BXor},
    {BitOr, Operation::BOr},
};

// Indexed by operator; None for the operators without a single instruction.
constexpr std::array<Operation, numberOfOperators> operationOfOperator = [] {
  std::array<Operation, numberOfOperators> table{};
  for (const OperatorMapping &mapping : operatorMappings)
    table[mapping.treeOperator] = mapping.operation;
  return table;
}();

Operation operatorToOperation(ExpressionOperator treeOperator) {
  ASSERT(treeOperator < numberOfOperators);
  const Operation operation = operationOfOperator[treeOperator];
  ASSERT(operation != Operation::None);
  return operation;
}

// Indexed by the immediate-constant code.
constexpr Operation immediateConstantOperations[] = {
    Operation::Const0,     Operation::Const1,       Operation::ConstM1, Operation::ConstTrue,
    Operation::ConstFalse, Operation::ConstInvalid, Operation::ConstEs,
};
static_assert(std::size(immediateConstantOperations) ==
              static_cast<std::size_t>(ImmediateCode::EmptyString) + 1);

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
  const bool increment = treeOperator == PreIncrement || treeOperator == PostIncrement;
  const bool decrement = treeOperator == PreDecrement || treeOperator == PostDecrement;
  ASSERT(increment || decrement);
  const FormFamily &family = increment ? incrementVariableForms : decrementVariableForms;
  return makeInstruction(chooseForm(family, variableIndex), variableIndex);
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
  ASSERT(immediateCode < std::size(immediateConstantOperations));
  return makeInstruction(immediateConstantOperations[immediateCode]);
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

AsmCodeList *makeConJump(BasicBlock *target) {
  ASSERT(target);
  const Operation operation = isForwardTarget(target) ? Operation::ConJumpFw : Operation::ConJumpBw;
  return makeInstruction(operation, 0, 0, 0, target);
}

AsmCodeList *makeUnconJump(BasicBlock *target) {
  ASSERT(target);
  const Operation operation = isForwardTarget(target) ? Operation::UnconJumpFw : Operation::UnconJumpBw;
  return makeInstruction(operation, 0, 0, 0, target);
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

// Encodes the instructions from first up to (not including) end at the end
// of the buffer, size bytes in all, and gives back their cells, in one pass.
static void encodeAndFreeInstructions(CodeBytes &buffer, AsmCode *first, const AsmCode *end, std::uint32_t size) {
  makeRoom(buffer, size);
  std::uint8_t *written = buffer.bytes + buffer.size;
  AsmCode *instruction = first;
  while (instruction != end) {
    AsmCode *next = instruction->next;
    written += encodeInstructionAt(instruction, written);
    giveRecordCell(instruction);
    instruction = next;
  }
  ASSERT(written == buffer.bytes + buffer.size + size);
  buffer.size += size;
}

static void encodeAndFree(AsmCodeList *code) {
  encodeAndFreeInstructions(earlyCode, code->first, nullptr, code->size);
  giveRecordCell(code);
}

bool selectStatementEarly(Statement *statement, BasicBlock *block) {
  ASSERT(!block->firstStatement);
  ASSERT(!block->earlyCodeSize || block->earlyCodeStart + block->earlyCodeSize == earlyCode.size);
  setCurrentSourceLineNumber(getStatementSourceLine(statement));
  AsmCodeList *code = trySelectSequentialStatement(statement);
  resetInstructionSelection();
  if (!code)
    return false;
  // Every expression statement leaves at least one instruction.
  ASSERT(code->size > 0);
  if (earlyCode.size + code->size > largestCodeSize) {
    freeAsmCodeList(code);
    return false;
  }
  if (!block->earlyCodeSize)
    block->earlyCodeStart = static_cast<std::uint32_t>(earlyCode.size);
  block->earlyCodeSize += code->size;
  encodeAndFree(code);
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

// Only the abstract jumps are between blocks; the jumps of the conditional
// and logical operators are concrete from the start.
static bool isAbstractJump(const AsmCode *instruction) {
  return instruction->operation >= Operation::ConJumpFw && instruction->operation <= Operation::UnconJumpBw;
}

// The instructions jump selection still rewrites: from the conditional jump
// of a final jump pair, else the last instruction if it is a jump to a
// block; null when the block has none.
static AsmCode *firstJumpToBlock(const AsmCodeList *list) {
  if (list->conditionalJump && isAbstractJump(list->conditionalJump))
    return list->conditionalJump;
  if (isAbstractJump(list->last))
    return list->last;
  return nullptr;
}

static std::uint32_t sizeOfInstructions(const AsmCode *first) {
  std::uint32_t size = 0;
  for (const AsmCode *instruction = first; instruction; instruction = instruction->next)
    size += static_cast<std::uint32_t>(opcodeRow(instruction->operation).size);
  return size;
}

// Encodes the block's list up to its jumps to other blocks into the selected
// code, which keeps the later passes from walking the instructions again;
// the jumps stay in the list. With the line table the instructions stay
// whole: the assembly makes an entry for each.
static void encodeSelectedBlock(CgBlockInfo *info) {
  AsmCodeList *list = info->asmCodeListPtr;
  if (!list || isDebugInfoEnabled() || selectedCode.size + list->size > largestCodeSize)
    return;
  AsmCode *jumps = firstJumpToBlock(list);
  const std::uint32_t jumpsSize = jumps ? sizeOfInstructions(jumps) : 0;
  if (jumps == list->first)
    return;
  info->encodedStart = static_cast<std::uint32_t>(selectedCode.size);
  info->encodedSize = list->size - jumpsSize;
  encodeAndFreeInstructions(selectedCode, list->first, jumps, info->encodedSize);
  if (!jumps) {
    giveRecordCell(list);
    info->asmCodeListPtr = nullptr;
    return;
  }
  list->first = jumps;
  list->size = jumpsSize;
}

// Ids follow the list order; the start offsets are estimates that count
// every abstract jump at its widest until jump selection settles them.
static void layOutAndSelectBlocks(BlockListNode *blockList, JumpLayout *jumpLayout) {
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
    selectBlock(block);
    walk.runningOffset += block->earlyCodeSize;
    if (info->asmCodeListPtr)
      walk.runningOffset += info->asmCodeListPtr->size;
    encodeSelectedBlock(info);
    addBlockToJumpLayout(jumpLayout, block);
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

// Encodes the blocks at their final offsets. Given a layout, each block's
// jumps are finished on the way (finishBlockJumps); without one they must
// be final already.
static ByteBuffer *assembleBlocks(BlockListNode *blockList, const JumpLayout *layout, std::uint64_t total) {
  ASSERT(blockList);
  if (total > largestCodeSize)
    codeTooLarge();
  ByteBuffer *code = nullptr;
  if (total) {
    code = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
    *code = ByteBuffer{.size = static_cast<std::uint32_t>(total),
                       .bytes = static_cast<std::uint8_t *>(checkedAllocate(total, 1))};
  }
  const bool withLineTable = isDebugInfoEnabled();
  std::uint32_t offset = 0;
  std::uint32_t blockId = 0;
  for (BlockListNode *node = blockList; node; node = node->nextBlock, ++blockId) {
    BasicBlock *block = node->blockPtr;
    if (layout)
      finishBlockJumps(layout, blockId, block);
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
    if (const AsmCodeList *list = block->cgBlockInfoPtr->asmCodeListPtr)
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
  JumpLayout *layout = createJumpLayout();
  layOutAndSelectBlocks(blockList, layout);
  settleJumpLayout(layout);
  ByteBuffer *code = assembleBlocks(blockList, layout, jumpLayoutCodeSize(layout));
  releaseJumpLayout(layout);
  emptyCodeBytes(selectedCode);
  return code;
}
