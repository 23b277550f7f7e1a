#include "stmntir.h"

#include "codegen.h"
#include "codegen_misc.h"
#include "emitstat.h"
#include "exprir.h"
#include "fatal.h"
#include "freelist.h"
#include "mempool.h"
#include "stmntprn.h"
#include "strtable.h"
#include "tavokassert.h"
#include "wmllex.h"
#include "wrapper.h"

#include <cstddef>
#include <cstdlib>

namespace {
struct StatementLayerState {
  // Statements, blocks and list nodes live until their function's code is
  // generated, then go back to these lists for the next function.
  RecyclingFreeList<Statement> statements;
  RecyclingFreeList<BasicBlock> blocks;
  RecyclingFreeList<BlockListNode> blockListNodes;
  BlockListNode *blockListTail;  // the current block; the head while a function is handed over
  // The ends of the function's list, kept so that handing it over and
  // releasing it need no walk to find them.
  BlockListNode *blockListHead;
  BlockListNode *handedOverTail;  // the last block while a function is handed over
  unsigned sequenceNumber;       // 0 at the start of every function
  unsigned lastStatementLine;
  unsigned rememberedLine;
  bool selectingEarly;               // this function's sequential statements are selected as appended
  // The sequential statement appended last, still to be selected early: the
  // block's only statement so far. It is selected when the next statement
  // comes, after the grammar has released the parsed expression it was
  // lowered from, so that a deep expression's two forms never take memory
  // together with its instructions.
  Statement *waitingStatement;
  bool errorDetectedFlag;            // the first counted error; never cleared
};
} // namespace

static constinit StatementLayerState layer{};

// ---------------------------------------------------------------- statements

static Statement *allocateStatement() {
  ASSERT(!layer.errorDetectedFlag);
  return layer.statements.take();
}

// Every field is set: a unit taken again keeps the contents of its last use.
static Statement *createStatement(StatementType type, AbstractTree *tree) {
  Statement *statement = allocateStatement();
  auto line = static_cast<unsigned>(getLineNumber());
  layer.lastStatementLine = line;
  *statement = Statement{.sourceLineNumber = line,
                         .statementType = type,
                         .sequenceNumber = 0,
                         .expressionJumpTooLong = 0,
                         .previousStatementPtr = nullptr,
                         .abstractTreePtr = tree,
                         .nextStatementPtr = nullptr,
                         .falseBlock = nullptr};
  return statement;
}

Statement *createSequentialStatement(AbstractTree *tree) {
  ASSERT(tree);
  return createStatement(SequentialStat, tree);
}

Statement *createConditionalStatement(AbstractTree *tree) {
  ASSERT(tree);
  return createStatement(ConditionalStat, tree);
}

Statement *createGotoStatement() {
  Statement *statement = createStatement(GotoStat, nullptr);
  statement->targetBlock = nullptr;
  return statement;
}

Statement *createReturnStatement(AbstractTree *tree) { return createStatement(ReturnStat, tree); }

void releaseStatementTree(Statement *statement) {
  switch (statement->statementType) {
  case SequentialStat:
  case ConditionalStat:
  case ReturnStat:
    if (statement->abstractTreePtr)
      releaseTree(statement->abstractTreePtr);
    statement->abstractTreePtr = nullptr;
    return;
  case GotoStat:
    return;
  }
  ASSERT(!"statementType is one of the four statement kinds");
}

// The statement's reference to its tree, if selection left it one, goes with it.
static void releaseStatement(Statement *statement) {
  releaseStatementTree(statement);
  layer.statements.release(statement);
}

// A block still being filled when the first error is counted may end with a
// sequential statement; its chain then stops at lastStatement.
static void releaseBlockStatements(BasicBlock *block) {
  Statement *statement = block->firstStatement;
  while (statement) {
    Statement *next = nullptr;
    if (statement != block->lastStatement) {
      ASSERT(statement->statementType == SequentialStat);
      ASSERT(statement->nextStatementPtr);
      next = statement->nextStatementPtr;
    }
    releaseStatement(statement);
    statement = next;
  }
}

// ---------------------------------------------------------------- blocks

static BasicBlock *createBlock() {
  BasicBlock *block = layer.blocks.take();
  *block = BasicBlock{.cgBlockInfoPtr = nullptr,
                      .firstStatement = nullptr,
                      .lastStatement = nullptr,
                      .earlyCodeStart = 0,
                      .earlyCodeSize = 0};
  return block;
}

static BlockListNode *createBlockListNode(BasicBlock *block, BlockListNode *previous) {
  BlockListNode *node = layer.blockListNodes.take();
  *node = BlockListNode{.blockPtr = block, .previousBlock = previous, .nextBlock = nullptr};
  return node;
}

static void releaseBlockListNode(BlockListNode *node) {
  releaseBlockStatements(node->blockPtr);
  layer.blocks.release(node->blockPtr);
  layer.blockListNodes.release(node);
}

static BlockListNode *lastBlockListNode(BlockListNode *node) {
  while (node && node->nextBlock)
    node = node->nextBlock;
  return node;
}

// From the tail back to the head: the units return in about the reverse order
// of their allocation, so a pool that checks whether a buffer has emptied
// finds an occupied unit at the buffer's start at once, and a long function
// is released in linear time.
static void releaseBlocksBackFrom(BlockListNode *tail) {
  ASSERT(!tail->nextBlock);
  BlockListNode *node = tail;
  while (node) {
    BlockListNode *previous = node->previousBlock;
    releaseBlockListNode(node);
    node = previous;
  }
}

// Only the statements before any kept one are selected early: the block's
// code is its early code followed by the code of its statement chain. A
// statement whose selection must wait for the function's end is kept, and
// so is every later one of its block.
static bool canWaitForEarlySelection(const BasicBlock *block, const Statement *statement) {
  return layer.selectingEarly && statement->statementType == SequentialStat && !block->lastStatement;
}

// The waiting statement is still its block's only one, and its block is the
// current one: a block is closed only by a control statement, whose
// appending comes here first.
static void selectWaitingStatement() {
  Statement *statement = layer.waitingStatement;
  if (!statement)
    return;
  layer.waitingStatement = nullptr;
  BasicBlock *block = layer.blockListTail->blockPtr;
  ASSERT(block->firstStatement == statement && block->lastStatement == statement);
  block->firstStatement = nullptr;
  block->lastStatement = nullptr;
  if (selectStatementEarly(statement, block)) {
    releaseStatement(statement);
    return;
  }
  block->firstStatement = statement;
  block->lastStatement = statement;
}

void appendStatement(Statement *statement) {
  ASSERT(!layer.errorDetectedFlag);
  ASSERT(layer.blockListTail);
  selectWaitingStatement();
  BasicBlock *block = layer.blockListTail->blockPtr;
  if (canWaitForEarlySelection(block, statement))
    layer.waitingStatement = statement;
  statement->sequenceNumber = layer.sequenceNumber;
  Statement *last = block->lastStatement;
  if (last) {
    ASSERT(last->statementType == SequentialStat);
    last->nextStatementPtr = statement;
  } else {
    block->firstStatement = statement;
  }
  statement->previousStatementPtr = last;
  block->lastStatement = statement;
}

static bool isEmptyBlock(const BasicBlock *block) { return !block->lastStatement && !block->earlyCodeSize; }

BasicBlock *startNewBlock() {
  ASSERT(!layer.errorDetectedFlag);
  if (!layer.blockListTail) {
    layer.blockListTail = createBlockListNode(createBlock(), nullptr);
    layer.blockListHead = layer.blockListTail;
    return layer.blockListTail->blockPtr;
  }
  BasicBlock *current = layer.blockListTail->blockPtr;
  if (isEmptyBlock(current))  // an empty block takes the next statement itself
    return current;
  ASSERT(current->lastStatement && current->lastStatement->statementType != SequentialStat);
  BlockListNode *node = createBlockListNode(createBlock(), layer.blockListTail);
  layer.blockListTail->nextBlock = node;
  layer.blockListTail = node;
  return node->blockPtr;
}

BasicBlock *getCurrentBlock() {
  ASSERT(layer.blockListTail);
  return layer.blockListTail->blockPtr;
}

int currentBlockHasStatements() {
  if (!layer.blockListTail)
    return 0;
  return isEmptyBlock(layer.blockListTail->blockPtr) ? 0 : 1;
}

BlockListNode *currentBlockListNode() { return layer.blockListTail; }

// ---------------------------------------------------------------- numbers and lines

void advanceSequenceNumber() { ++layer.sequenceNumber; }

unsigned currentSequenceNumber() { return layer.sequenceNumber; }

unsigned getLastStatementLine() { return layer.lastStatementLine; }

void rememberStatementLine() { layer.rememberedLine = static_cast<unsigned>(getLineNumber()); }

unsigned getRememberedLine() { return layer.rememberedLine; }

unsigned getStatementSourceLine(const Statement *statement) { return statement->sourceLineNumber; }

// ---------------------------------------------------------------- traversal

int traverseBlockList(BlockListNode *head, Word argument, BlockVisitFunction visitor) {
  int result = 1;
  for (BlockListNode *node = head; node; node = node->nextBlock) {
    result = visitor(argument, node->blockPtr);
    if (!result)
      return 0;
  }
  return result;
}

int traverseBlockStatements(BasicBlock *block, Word argument, StatementVisitFunction visitor) {
  int result = 1;
  for (Statement *statement = block->firstStatement; statement;
       statement = statement->nextStatementPtr) {
    result = visitor(argument, statement);
    if (!result)
      return 0;
    if (statement->statementType != SequentialStat)
      break;
  }
  return result;
}

// ---------------------------------------------------------------- unreachable blocks

// While unreachable blocks are removed, a reached block's back-end record
// points at this mark; no block has a record of its own before its code is
// generated, and every surviving block's pointer is cleared again.
static CgBlockInfo reachableMark{};

static bool isMarkedReachable(const BasicBlock *block) { return block->cgBlockInfoPtr == &reachableMark; }

namespace {
// The blocks still to visit; its storage stays from one function to the next.
struct PendingBlocks {
  BasicBlock **blocks;
  std::size_t count;
  std::size_t capacity;
};
} // namespace

static constinit PendingBlocks pendingBlocks{};

static void pushPendingBlock(BasicBlock *block) {
  if (pendingBlocks.count == pendingBlocks.capacity) {
    const std::size_t capacity = pendingBlocks.capacity ? 2 * pendingBlocks.capacity : 256;
    void *blocks = std::realloc(pendingBlocks.blocks, capacity * sizeof(BasicBlock *));
    if (!blocks)
      fatalError(noMemorySpace);
    pendingBlocks.blocks = static_cast<BasicBlock **>(blocks);
    pendingBlocks.capacity = capacity;
  }
  pendingBlocks.blocks[pendingBlocks.count++] = block;
}

static void pushSuccessors(const BasicBlock *block) {
  const Statement *last = block->lastStatement;
  if (!last)
    return;
  // Pushed in reverse, so the true block is explored before the false block.
  switch (last->statementType) {
  case ConditionalStat:
    if (last->falseBlock)
      pushPendingBlock(last->falseBlock);
    if (last->trueBlock)
      pushPendingBlock(last->trueBlock);
    return;
  case GotoStat:
    if (last->targetBlock)
      pushPendingBlock(last->targetBlock);
    return;
  case SequentialStat:
  case ReturnStat:
    return;
  }
}

// Depth-first from the head's block, with a work stack rather than the call
// stack: a function may chain tens of thousands of blocks.
static void markReachableBlocks(BasicBlock *entry) {
  pendingBlocks.count = 0;
  pushPendingBlock(entry);
  while (pendingBlocks.count > 0) {
    BasicBlock *block = pendingBlocks.blocks[--pendingBlocks.count];
    if (isMarkedReachable(block))
      continue;
    ASSERT(!block->cgBlockInfoPtr);
    block->cgBlockInfoPtr = &reachableMark;
    pushSuccessors(block);
  }
}

static void unlinkBlockListNode(BlockListNode *node) {
  ASSERT(node->previousBlock);  // the head block is always reachable
  node->previousBlock->nextBlock = node->nextBlock;
  if (node->nextBlock)
    node->nextBlock->previousBlock = node->previousBlock;
}

// Walked from the tail for the same reason as releaseBlocksBackFrom. Returns
// the new tail.
static BlockListNode *dropUnmarkedBlocks(BlockListNode *head, BlockListNode *tail) {
  BlockListNode *newTail = nullptr;
  BlockListNode *node = tail;
  while (node != head) {
    BlockListNode *previous = node->previousBlock;
    if (!isMarkedReachable(node->blockPtr)) {
      unlinkBlockListNode(node);
      releaseBlockListNode(node);
    } else {
      node->blockPtr->cgBlockInfoPtr = nullptr;
      if (!newTail)
        newTail = node;
    }
    node = previous;
  }
  ASSERT(isMarkedReachable(head->blockPtr));
  head->blockPtr->cgBlockInfoPtr = nullptr;
  return newTail ? newTail : head;
}

// Returns the new tail.
static BlockListNode *removeUnreachableBlocks(BlockListNode *head, BlockListNode *tail) {
  markReachableBlocks(head->blockPtr);
  return dropUnmarkedBlocks(head, tail);
}

// ---------------------------------------------------------------- one function

void beginFunctionStatements() {
  if (layer.errorDetectedFlag)
    return;
  ASSERT(!layer.blockListTail);
  ASSERT(!layer.sequenceNumber);
  layer.selectingEarly = selectsWhileParsing();
  beginEarlyCode();
  emitFunctionStart();
}

void finishFunctionStatements() {
  if (layer.errorDetectedFlag)
    return;
  emitFunctionEnd();
  ASSERT(layer.blockListTail && !layer.blockListTail->nextBlock);
  ASSERT(layer.blockListHead && !layer.blockListHead->previousBlock);
  layer.handedOverTail = layer.blockListTail;
  layer.blockListTail = layer.blockListHead;
  // Debug information keeps unreachable code, so that every source line has its code.
  if (!isDebugInfoEnabled())
    layer.handedOverTail = removeUnreachableBlocks(layer.blockListHead, layer.handedOverTail);
}

static int localVariableCount(const IdentifierRecord *function) {
  return numberOfFunctionVariables() - function->subSpaceData.parameterCount;
}

void compileFunctionStatements(IdentifierRecord *function) {
  if (layer.errorDetectedFlag)
    return;
  BlockListNode *head = layer.blockListTail;
  ASSERT((head) && (!head->previousBlock));
  // The final return came after every other statement.
  ASSERT(!layer.waitingStatement);
  dumpFunctionBlocks(head, function);
  generateFunctionCode(function, head, function->subSpaceData.parameterCount,
                       localVariableCount(function));
  releaseBlocksBackFrom(layer.handedOverTail);
  layer.handedOverTail = nullptr;
  layer.blockListHead = nullptr;
  endEarlyCode();
  layer.blockListTail = nullptr;
  layer.sequenceNumber = 0;
  resetVariableCounter();
  resetDebugLists();
}

void abandonStatements() {
  if (layer.errorDetectedFlag)
    return;
  discardEmitterState();
  if (layer.blockListTail)
    releaseBlocksBackFrom(lastBlockListNode(layer.blockListTail));
  endEarlyCode();
  layer.selectingEarly = false;
  layer.waitingStatement = nullptr;  // released with its block
  layer.blockListTail = nullptr;
  layer.blockListHead = nullptr;
  layer.handedOverTail = nullptr;
  layer.sequenceNumber = 0;
  layer.statements.deletePool();
  layer.blocks.deletePool();
  layer.blockListNodes.deletePool();
  layer.errorDetectedFlag = true;
}

bool isStatementBuildingStopped() { return layer.errorDetectedFlag; }
