#include "stmntir.h"

#include "exprir.h"
#include "strtable.h"
#include "wmllex.h"

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

// Source lines start at 1 once the lexer has opened its input.
void openFunctionBody() {
  setLineNumber(1);
  beginFunctionStatements();
}

AbstractTree *integerOne() {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0,
                                          .valueType = IntegerType,
                                          .constantType = ImmediateConstant,
                                          .value = static_cast<std::uint32_t>(ImmediateCode::One)};
  return leaf;
}

Statement *appendGoto() {
  Statement *jump = createGotoStatement();
  appendStatement(jump);
  return jump;
}

std::vector<BasicBlock *> handedOverBlocks() {
  std::vector<BasicBlock *> blocks;
  for (BlockListNode *node = currentBlockListNode(); node; node = node->nextBlock)
    blocks.push_back(node->blockPtr);
  return blocks;
}

// How a hand-laid block ends: a goto to block `to`, a conditional to `to`
// (true) and `otherwise` (false), or a return. The function's own final
// return goes into one more block after them.
struct BlockExit {
  char kind;  // 'g', 'c' or 'r'
  int to, otherwise;
};

struct ReachabilityCase {
  const char *name;
  std::vector<BlockExit> exits;
  std::vector<int> kept;  // the blocks left without -g, in layout order
};

TEST(UnreachableBlocks, OnlyBlocksReachableFromTheEntryAreHandedOver) {
  const ReachabilityCase cases[] = {
      {"block reached only from a dead block", {{'g', 3, 0}, {'g', 2, 0}, {'r', 0, 0}}, {0, 3}},
      {"cycle that nothing enters", {{'g', 3, 0}, {'g', 2, 0}, {'c', 1, 2}}, {0, 3}},
      {"backward and conditional targets", {{'g', 2, 0}, {'g', 2, 0}, {'c', 1, 3}}, {0, 1, 2, 3}},
      // The list is handed over and released from its last kept block.
      {"the final return alone is dead", {{'g', 0, 0}}, {0}},
      {"dead blocks up to the end", {{'r', 0, 0}, {'g', 1, 0}}, {0}},
      {"a dead block between live ones at the end", {{'g', 2, 0}, {'r', 0, 0}, {'r', 0, 0}}, {0, 2}},
  };
  for (const ReachabilityCase &layout : cases) {
    SCOPED_TRACE(layout.name);
    openFunctionBody();
    std::vector<BasicBlock *> blocks;
    std::vector<Statement *> exits;
    for (const BlockExit &exit : layout.exits) {
      blocks.push_back(startNewBlock());
      exits.push_back(exit.kind == 'g'   ? createGotoStatement()
                      : exit.kind == 'c' ? createConditionalStatement(integerOne())
                                         : createReturnStatement(nullptr));
      appendStatement(exits.back());
    }
    blocks.push_back(startNewBlock());
    for (size_t i = 0; i < exits.size(); ++i) {
      if (layout.exits[i].kind == 'g')
        exits[i]->targetBlock = blocks[layout.exits[i].to];
      if (layout.exits[i].kind == 'c') {
        exits[i]->trueBlock = blocks[layout.exits[i].to];
        exits[i]->falseBlock = blocks[layout.exits[i].otherwise];
      }
    }
    rememberStatementLine();
    finishFunctionStatements();
    std::vector<BasicBlock *> expected;
    for (int index : layout.kept)
      expected.push_back(blocks[index]);
    EXPECT_EQ(handedOverBlocks(), expected);
    compileFunctionStatements(functionNamed(layout.name));
  }
}

// A live chain of gotos and a dead one of the same length, marked, pruned and
// released on a stack far too small for one frame per block. It runs in a
// child process that never hands the chains to code generation.
constexpr int chainLength = 20000;

Statement *appendChain() {
  Statement *jump = appendGoto();
  for (int i = 1; i < chainLength; ++i) {
    jump->targetBlock = startNewBlock();
    jump = appendGoto();
  }
  return jump;
}

void *pruneLongChains(void *) {
  openFunctionBody();
  Statement *liveEnd = appendChain();
  startNewBlock();
  Statement *deadEnd = appendChain();
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

// The program's own visitors never stop a traversal; the contract is checked here.
int count(Word argument, Statement *) { ++*fromWord<int *>(argument); return 1; }
int stopAtFirst(Word argument, Statement *) { ++*fromWord<int *>(argument); return 0; }
int countBlock(Word argument, BasicBlock *) { ++*fromWord<int *>(argument); return 7; }

TEST(Traversal, StopsAtTheFirstControlStatementOrAZeroAndReturnsTheLastResult) {
  Statement effect{}, jump{};
  effect.statementType = SequentialStat;
  effect.nextStatementPtr = &jump;
  jump.statementType = GotoStat;
  BasicBlock block{.cgBlockInfoPtr = nullptr, .firstStatement = &effect, .lastStatement = &jump};
  BasicBlock empty{};
  int visits = 0;
  EXPECT_EQ(traverseBlockStatements(&block, toWord(&visits), count), 1);
  EXPECT_EQ(visits, 2);
  visits = 0;
  EXPECT_EQ(traverseBlockStatements(&block, toWord(&visits), stopAtFirst), 0);
  EXPECT_EQ(visits, 1);
  EXPECT_EQ(traverseBlockStatements(&empty, toWord(&visits), count), 1);

  BlockListNode second{.blockPtr = &empty, .previousBlock = nullptr, .nextBlock = nullptr};
  BlockListNode first{.blockPtr = &block, .previousBlock = nullptr, .nextBlock = &second};
  visits = 0;
  EXPECT_EQ(traverseBlockList(&first, toWord(&visits), countBlock), 7);
  EXPECT_EQ(visits, 2);
  EXPECT_EQ(traverseBlockList(nullptr, toWord(&visits), countBlock), 1);
}

} // namespace
