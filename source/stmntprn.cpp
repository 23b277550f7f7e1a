#include "stmntprn.h"

#include "dictnary.h"
#include "exprprn.h"
#include "mempool.h"
#include "stmntir.h"
#include "strtable.h"
#include "tavokassert.h"
#include "wrapper.h"

#include <cstdio>

namespace {
struct BlockDumpState {
  MemPool *blockNumberPool;    // 4-byte number units, created with the first number
  Dictionary *blockNumberMap;  // block address -> number unit; only during one dump
  unsigned currentBlockCount;  // the next number to give; 0 between dumps
};
} // namespace

static constinit BlockDumpState dump{};

constexpr unsigned requestedPoolUnits = 1024;

static int compareBlockAddresses(Word storedKey, Word soughtKey) {
  return storedKey != soughtKey;
}

static unsigned hashBlockAddress(Word key) { return hashWord(key); }

static void releaseBlockNumber(Word, Word data) {
  freeToMemPool(dump.blockNumberPool, fromWord<unsigned *>(data));
}

static unsigned *allocateBlockNumber() {
  if (!dump.blockNumberPool)
    dump.blockNumberPool = createMemPool(requestedPoolUnits, sizeof(unsigned));
  return static_cast<unsigned *>(allocateFromMemPool(dump.blockNumberPool));
}

int getBlockNumber(BasicBlock *blockPtr) {
  ASSERT(blockPtr);
  ASSERT(dump.blockNumberMap);
  auto *number = fromWord<unsigned *>(findInDictionary(dump.blockNumberMap, toWord(blockPtr)));
  if (!number) {
    number = allocateBlockNumber();
    *number = dump.currentBlockCount++;
    insertInDictionary(dump.blockNumberMap, toWord(blockPtr), toWord(number));
  }
  return static_cast<int>(*number);
}

// ---------------------------------------------------------------- statements

static void printStatementHeading(const char *kind, const Statement *statement) {
  std::printf("%s Statement\tSequenceNumber:- %u\n", kind, statement->sequenceNumber);
  std::printf("SourceLine Number:-%u\n", statement->sourceLineNumber);
}

static void printTree(AbstractTree *tree) {
  std::printf("The Abstract Tree\n");
  printAbstractTree(tree);
}

static void printSequentialStatement(const Statement *statement) {
  ASSERT(statement->statementType == SequentialStat);
  printStatementHeading("Sequential", statement);
  printTree(statement->abstractTreePtr);
}

static void printConditionalStatement(const Statement *statement) {
  ASSERT(statement->statementType == ConditionalStat);
  printStatementHeading("Conditional", statement);
  // The false block is numbered first: when both are new it gets the smaller number.
  int falseNumber = getBlockNumber(statement->falseBlock);
  int trueNumber = getBlockNumber(statement->trueBlock);
  std::printf("True Block: %d FalseBlock: %d\n", trueNumber, falseNumber);
  printTree(statement->abstractTreePtr);
}

static void printGotoStatement(const Statement *statement) {
  ASSERT(statement->statementType == GotoStat);
  printStatementHeading("Goto", statement);
  std::printf("Target Block : %d\n", getBlockNumber(statement->targetBlock));
}

static void printReturnStatement(const Statement *statement) {
  ASSERT(statement->statementType == ReturnStat);
  printStatementHeading("Return", statement);
  if (statement->abstractTreePtr)
    printTree(statement->abstractTreePtr);
}

static int printStatement(Word, Statement *statement) {
  switch (statement->statementType) {
  case SequentialStat:
    printSequentialStatement(statement);
    return 1;
  case ConditionalStat:
    printConditionalStatement(statement);
    return 1;
  case GotoStat:
    printGotoStatement(statement);
    return 1;
  case ReturnStat:
    printReturnStatement(statement);
    return 1;
  }
  ASSERT(!"statementType is one of the four statement kinds");
  return 0;
}

static int printBlock(Word, BasicBlock *block) {
  std::printf("\nStart Of New Block %d\n", getBlockNumber(block));
  int result = traverseBlockStatements(block, 0, printStatement);
  ASSERT(result);
  return 1;
}

// ---------------------------------------------------------------- one function

void printFunctionBlocks(BlockListNode *head, const IdentifierRecord *function) {
  std::printf("#Code for Function ");
  printName(function->key.name);
  ASSERT(!dump.currentBlockCount);
  dump.blockNumberMap = createDictionary(compareBlockAddresses, releaseBlockNumber, hashBlockAddress);
  int result = traverseBlockList(head, 0, printBlock);
  ASSERT(result);
  dump.currentBlockCount = 0;
  ASSERT(dump.blockNumberMap);
  deleteDictionary(dump.blockNumberMap);
  dump.blockNumberMap = nullptr;
}

void dumpFunctionBlocks(BlockListNode *head, const IdentifierRecord *function) {
  if (isDumpEnabled())
    printFunctionBlocks(head, function);
}
