#include "stmntir.h"

#include "exprir.h"
#include "strtable.h"
#include "wmllex.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <pthread.h>
#include <vector>

namespace {

// Each function gets a name of its own: its code is kept on its record.
IdentifierRecord *functionNamed(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_FUNCTION};
  IdentifierRecord *function = findIdentifier(key);
  if (!function)
    function = declareIdentifier(key);
  function->subSpaceData.parameterCount = 0;
  function->defined = 1;
  return function;
}

// Source lines start at 1 once the lexer has opened its input; the back end
// relies on that.
void openFunctionBody() {
  setLineNumber(1);
  beginFunctionStatements();
}

AbstractTree *integerLeaf(ImmediateCode code) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0,
                                          .valueType = IntegerType,
                                          .constantType = ImmediateConstant,
                                          .value = static_cast<std::uint32_t>(code)};
  return leaf;
}

Statement *appendGoto() {
  Statement *jump = createGotoStatement();
  appendStatement(jump);
  return jump;
}

Statement *appendConditional() {
  Statement *test = createConditionalStatement(integerLeaf(ImmediateCode::One));
  appendStatement(test);
  return test;
}

void appendReturn() { appendStatement(createReturnStatement(nullptr)); }

std::vector<BasicBlock *> handedOverBlocks() {
  std::vector<BasicBlock *> blocks;
  for (BlockListNode *node = currentBlockListNode(); node; node = node->nextBlock)
    blocks.push_back(node->blockPtr);
  return blocks;
}

// The function's end appends the final return to the current block, which
// statement emission always leaves open after a control statement; the
// grammar remembers the closing line for it.
std::vector<BasicBlock *> finishFunction() {
  startNewBlock();
  rememberStatementLine();
  finishFunctionStatements();
  return handedOverBlocks();
}

TEST(Statements, AppendLinksTheChainAndStampsSequenceNumbers) {
  openFunctionBody();
  BasicBlock *first = getCurrentBlock();
  EXPECT_EQ(currentBlockHasStatements(), 0);
  EXPECT_EQ(startNewBlock(), first) << "an empty block takes the next statement itself";
  EXPECT_EQ(currentSequenceNumber(), 0u);

  setLineNumber(7);
  Statement *effect = createSequentialStatement(integerLeaf(ImmediateCode::Zero));
  EXPECT_EQ(effect->sourceLineNumber, 7u);
  EXPECT_EQ(getLastStatementLine(), 7u);
  appendStatement(effect);
  EXPECT_EQ(currentBlockHasStatements(), 1);
  setLineNumber(8);
  Statement *second = createSequentialStatement(integerLeaf(ImmediateCode::One));
  appendStatement(second);
  advanceSequenceNumber();
  Statement *test = appendConditional();

  EXPECT_EQ(first->firstStatement, effect);
  EXPECT_EQ(first->lastStatement, test);
  EXPECT_EQ(effect->previousStatementPtr, nullptr);
  EXPECT_EQ(effect->nextStatementPtr, second);
  EXPECT_EQ(second->previousStatementPtr, effect);
  EXPECT_EQ(second->nextStatementPtr, test);
  EXPECT_EQ(test->previousStatementPtr, second);
  EXPECT_EQ(effect->sequenceNumber, 0u);
  EXPECT_EQ(second->sequenceNumber, 0u);
  EXPECT_EQ(test->sequenceNumber, 1u);
  EXPECT_EQ(test->trueBlock, nullptr);
  EXPECT_EQ(test->falseBlock, nullptr);
  EXPECT_EQ(getStatementSourceLine(second), 8u);

  BasicBlock *next = startNewBlock();
  EXPECT_NE(next, first);
  EXPECT_EQ(getCurrentBlock(), next);
  EXPECT_EQ(currentBlockListNode()->previousBlock->blockPtr, first);
  EXPECT_EQ(currentBlockListNode()->previousBlock->nextBlock, currentBlockListNode());
  test->trueBlock = next;
  test->falseBlock = next;

  setLineNumber(12);
  rememberStatementLine();
  EXPECT_EQ(getRememberedLine(), 12u);

  EXPECT_EQ(finishFunction(), (std::vector<BasicBlock *>{first, next}));
  EXPECT_EQ(currentBlockListNode()->previousBlock, nullptr) << "rewound to the head";
  EXPECT_EQ(next->firstStatement->statementType, ReturnStat);
  compileFunctionStatements(functionNamed("linked"));

  EXPECT_EQ(currentBlockListNode(), nullptr);
  EXPECT_EQ(currentSequenceNumber(), 0u);
  EXPECT_EQ(currentBlockHasStatements(), 0);
  EXPECT_EQ(numberOfFunctionVariables(), 0);
}

TEST(Statements, EmptyBodyHasOneBlockWithOneReturn) {
  openFunctionBody();
  std::vector<BasicBlock *> blocks = finishFunction();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0]->firstStatement, blocks[0]->lastStatement);
  EXPECT_EQ(blocks[0]->firstStatement->statementType, ReturnStat);
  EXPECT_EQ(blocks[0]->firstStatement->abstractTreePtr, nullptr);
  compileFunctionStatements(functionNamed("empty"));
  EXPECT_EQ(currentBlockListNode(), nullptr);
}

// Returns the blocks expected to survive without -g: only the entry.
std::vector<BasicBlock *> buildCodeAfterAReturn(std::vector<BasicBlock *> &allBlocks) {
  openFunctionBody();
  BasicBlock *entry = getCurrentBlock();
  appendStatement(createReturnStatement(integerLeaf(ImmediateCode::One)));
  BasicBlock *afterReturn = startNewBlock();
  appendStatement(createSequentialStatement(integerLeaf(ImmediateCode::Zero)));
  appendReturn();
  BasicBlock *finalReturn = startNewBlock();
  allBlocks = {entry, afterReturn, finalReturn};
  return {entry};
}

TEST(UnreachableBlocks, CodeAfterAReturnIsRemoved) {
  ASSERT_FALSE(isDebugInfoEnabled());
  std::vector<BasicBlock *> allBlocks;
  std::vector<BasicBlock *> reachable = buildCodeAfterAReturn(allBlocks);
  EXPECT_EQ(finishFunction(), reachable);
  compileFunctionStatements(functionNamed("prunedAfterReturn"));
}

// The command line sets -g for the rest of the process, so that runs in a
// child process.
void keepCodeAfterAReturnWithDebugInfo() {
  char program[] = "tavok", option[] = "-g", input[] = "/dev/null", output[] = "unused.wmlsc";
  char *arguments[] = {program, option, input, output};
  processCommandLine(4, arguments);
  std::vector<BasicBlock *> allBlocks;
  buildCodeAfterAReturn(allBlocks);
  bool kept = finishFunction() == allBlocks;
  abandonStatements();
  std::exit(kept ? 0 : 1);
}

TEST(UnreachableBlocks, DebugInfoKeepsCodeAfterAReturn) {
  EXPECT_EXIT(keepCodeAfterAReturnWithDebugInfo(), testing::ExitedWithCode(0), "");
}

TEST(UnreachableBlocks, BlockReachedOnlyFromAnUnreachableBlockIsRemoved) {
  openFunctionBody();
  BasicBlock *entry = getCurrentBlock();
  Statement *skip = appendGoto();
  startNewBlock();
  Statement *deadJump = appendGoto();
  BasicBlock *reachedFromDead = startNewBlock();
  appendReturn();
  BasicBlock *end = startNewBlock();
  skip->targetBlock = end;
  deadJump->targetBlock = reachedFromDead;

  EXPECT_EQ(finishFunction(), (std::vector<BasicBlock *>{entry, end}));
  compileFunctionStatements(functionNamed("deadChain"));
}

TEST(UnreachableBlocks, CycleThatCannotBeEnteredIsRemovedEntirely) {
  openFunctionBody();
  BasicBlock *entry = getCurrentBlock();
  Statement *skip = appendGoto();
  BasicBlock *loopBody = startNewBlock();
  Statement *toTest = appendGoto();
  BasicBlock *loopTest = startNewBlock();
  Statement *test = appendConditional();
  BasicBlock *end = startNewBlock();
  skip->targetBlock = end;
  toTest->targetBlock = loopTest;
  test->trueBlock = loopBody;
  test->falseBlock = loopTest;

  EXPECT_EQ(finishFunction(), (std::vector<BasicBlock *>{entry, end}));
  compileFunctionStatements(functionNamed("deadCycle"));
}

TEST(UnreachableBlocks, BackwardAndConditionalTargetsKeepTheirBlocks) {
  openFunctionBody();
  BasicBlock *entry = getCurrentBlock();
  appendStatement(createSequentialStatement(integerLeaf(ImmediateCode::Zero)));
  Statement *toTest = appendGoto();
  BasicBlock *body = startNewBlock();
  Statement *back = appendGoto();
  BasicBlock *loopTest = startNewBlock();
  Statement *test = appendConditional();
  BasicBlock *end = startNewBlock();
  toTest->targetBlock = loopTest;
  back->targetBlock = loopTest;
  test->trueBlock = body;
  test->falseBlock = end;

  EXPECT_EQ(finishFunction(), (std::vector<BasicBlock *>{entry, body, loopTest, end}));
  compileFunctionStatements(functionNamed("liveLoop"));
}

// Tens of thousands of chained blocks must not exhaust the call stack: a
// reachable chain, then a dead chain of the same length, marked and pruned on
// a stack far too small for one frame per block. It runs in a child process
// that never hands the chains to code generation.
constexpr int chainLength = 20000;

Statement *appendChain(int length) {
  Statement *jump = appendGoto();
  for (int i = 1; i < length; ++i) {
    jump->targetBlock = startNewBlock();
    jump = appendGoto();
  }
  return jump;
}

void *pruneLongChains(void *) {
  openFunctionBody();
  Statement *liveEnd = appendChain(chainLength);
  startNewBlock();
  Statement *deadEnd = appendChain(chainLength);
  BasicBlock *end = startNewBlock();
  liveEnd->targetBlock = end;
  deadEnd->targetBlock = end;
  finishFunctionStatements();
  std::vector<BasicBlock *> kept = handedOverBlocks();
  bool pruned = kept.size() == chainLength + 1 && kept.back() == end;
  abandonStatements();
  return pruned ? end : nullptr;
}

void pruneOnASmallStack() {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  void *result = nullptr;
  if (pthread_create(&thread, &attributes, pruneLongChains, nullptr) != 0)
    std::exit(2);
  pthread_join(thread, &result);
  std::exit(result ? 0 : 1);
}

TEST(UnreachableBlocks, LongChainsAreMarkedAndReleasedWithoutRecursion) {
  EXPECT_EXIT(pruneOnASmallStack(), testing::ExitedWithCode(0), "");
}

// The first counted error stops the layer for the rest of the process, so
// this runs in a child process.
void abandonInTheMiddleOfABlock() {
  openFunctionBody();
  appendGoto();
  startNewBlock();
  // The block being filled ends with a sequential statement.
  appendStatement(createSequentialStatement(integerLeaf(ImmediateCode::One)));
  abandonStatements();
  bool stopped = isStatementBuildingStopped() && !currentBlockListNode() &&
                 !currentBlockHasStatements() && currentSequenceNumber() == 0;
  // Every later function is silently skipped.
  openFunctionBody();
  finishFunctionStatements();
  compileFunctionStatements(functionNamed("afterError"));
  abandonStatements();
  stopped = stopped && !currentBlockListNode();
  std::exit(stopped ? 0 : 1);
}

TEST(AbandonStatements, FirstErrorStopsAllBuilding) {
  EXPECT_FALSE(isStatementBuildingStopped());
  EXPECT_EXIT(abandonInTheMiddleOfABlock(), testing::ExitedWithCode(0), "");
}

int countVisit(Word argument, Statement *) {
  ++*fromWord<int *>(argument);
  return 1;
}

int stopAtFirst(Word argument, Statement *) {
  ++*fromWord<int *>(argument);
  return 0;
}

int countBlock(Word argument, BasicBlock *) {
  ++*fromWord<int *>(argument);
  return 7;
}

TEST(Traversal, StatementsUpToTheFirstControlStatementAndVisitorResults) {
  Statement effect{}, jump{};
  effect.statementType = SequentialStat;
  effect.nextStatementPtr = &jump;
  jump.statementType = GotoStat;
  BasicBlock block{.cgBlockInfoPtr = nullptr, .firstStatement = &effect, .lastStatement = &jump};

  int visits = 0;
  EXPECT_EQ(traverseBlockStatements(&block, toWord(&visits), countVisit), 1);
  EXPECT_EQ(visits, 2);
  visits = 0;
  EXPECT_EQ(traverseBlockStatements(&block, toWord(&visits), stopAtFirst), 0);
  EXPECT_EQ(visits, 1);
  BasicBlock empty{};
  EXPECT_EQ(traverseBlockStatements(&empty, toWord(&visits), countVisit), 1);

  BlockListNode second{.blockPtr = &empty, .previousBlock = nullptr, .nextBlock = nullptr};
  BlockListNode first{.blockPtr = &block, .previousBlock = nullptr, .nextBlock = &second};
  visits = 0;
  EXPECT_EQ(traverseBlockList(&first, toWord(&visits), countBlock), 7) << "the last result";
  EXPECT_EQ(visits, 2);
  EXPECT_EQ(traverseBlockList(nullptr, toWord(&visits), countBlock), 1);
}

} // namespace
