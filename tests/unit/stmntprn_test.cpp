#include "stmntprn.h"

#include "exprir.h"
#include "exprprn.h"
#include "stmntir.h"
#include "strtable.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// The dump only reads the records, so a function is laid out by hand here:
// blocks in list order, each with its statements.
struct HandBuiltFunction {
  static constexpr int maxBlocks = 4;
  BasicBlock blocks[maxBlocks]{};
  BlockListNode nodes[maxBlocks]{};

  explicit HandBuiltFunction(int blockCount) {
    for (int i = 0; i < blockCount; ++i) {
      nodes[i].blockPtr = &blocks[i];
      nodes[i].previousBlock = i > 0 ? &nodes[i - 1] : nullptr;
      nodes[i].nextBlock = i + 1 < blockCount ? &nodes[i + 1] : nullptr;
    }
  }
  BlockListNode *head() { return &nodes[0]; }
};

void place(BasicBlock &block, Statement &first, Statement *second = nullptr) {
  block.firstStatement = &first;
  block.lastStatement = second ? second : &first;
  if (second) {
    first.nextStatementPtr = second;
    second->previousStatementPtr = &first;
  }
}

Statement statementOf(StatementType type, unsigned sequence, unsigned line) {
  Statement statement{};
  statement.statementType = type;
  statement.sequenceNumber = sequence;
  statement.sourceLineNumber = line;
  return statement;
}

AbstractTree *integerLeaf(ImmediateCode code) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0,
                                          .valueType = IntegerType,
                                          .constantType = ImmediateConstant,
                                          .value = static_cast<std::uint32_t>(code)};
  return leaf;
}

// The tree dump has a format of its own; the block dump only embeds it.
std::string treeDumpOf(AbstractTree *tree) {
  testing::internal::CaptureStdout();
  printAbstractTree(tree);
  return testing::internal::GetCapturedStdout();
}

IdentifierRecord functionNamed(const char *name) {
  IdentifierRecord function{};
  function.key = IdentifierKey{.name = internName(name), .nameSpace = FL_FUNCTION};
  function.subSpace = FunctionSubSpace;
  return function;
}

std::string printedDump(HandBuiltFunction &code, const IdentifierRecord &function) {
  testing::internal::CaptureStdout();
  printFunctionBlocks(code.head(), &function);
  return testing::internal::GetCapturedStdout();
}

TEST(BlockDump, EmptyBodyPrintsOneReturnWithoutTree) {
  IdentifierRecord function = functionNamed("empty");
  HandBuiltFunction code(1);
  Statement finalReturn = statementOf(ReturnStat, 0, 3);
  place(code.blocks[0], finalReturn);

  EXPECT_EQ(printedDump(code, function),
            "#Code for Function empty"
            "\nStart Of New Block 0\n"
            "Return Statement\tSequenceNumber:- 0\n"
            "SourceLine Number:-3\n");
}

TEST(BlockDump, FalseBlockIsNumberedBeforeTrueBlock) {
  // if (1) 0; else -1;  laid out as: test, then-branch, else-branch, end.
  IdentifierRecord function = functionNamed("choose");
  HandBuiltFunction code(4);
  BasicBlock &test = code.blocks[0], &thenBranch = code.blocks[1],
             &elseBranch = code.blocks[2], &end = code.blocks[3];

  Statement condition = statementOf(ConditionalStat, 0, 2);
  condition.abstractTreePtr = integerLeaf(ImmediateCode::One);
  condition.trueBlock = &thenBranch;
  condition.falseBlock = &elseBranch;
  place(test, condition);

  Statement thenEffect = statementOf(SequentialStat, 1, 3);
  thenEffect.abstractTreePtr = integerLeaf(ImmediateCode::Zero);
  Statement thenExit = statementOf(GotoStat, 1, 3);
  thenExit.targetBlock = &end;
  place(thenBranch, thenEffect, &thenExit);

  Statement elseEffect = statementOf(SequentialStat, 2, 4);
  elseEffect.abstractTreePtr = integerLeaf(ImmediateCode::MinusOne);
  Statement elseExit = statementOf(GotoStat, 2, 4);
  elseExit.targetBlock = &end;
  place(elseBranch, elseEffect, &elseExit);

  Statement finalReturn = statementOf(ReturnStat, 3, 5);
  place(end, finalReturn);

  std::string expected = "#Code for Function choose"
                         "\nStart Of New Block 0\n"
                         "Conditional Statement\tSequenceNumber:- 0\n"
                         "SourceLine Number:-2\n"
                         "True Block: 2 FalseBlock: 1\n"
                         "The Abstract Tree\n" +
                         treeDumpOf(condition.abstractTreePtr) +
                         "\nStart Of New Block 2\n"
                         "Sequential Statement\tSequenceNumber:- 1\n"
                         "SourceLine Number:-3\n"
                         "The Abstract Tree\n" +
                         treeDumpOf(thenEffect.abstractTreePtr) +
                         "Goto Statement\tSequenceNumber:- 1\n"
                         "SourceLine Number:-3\n"
                         "Target Block : 3\n"
                         "\nStart Of New Block 1\n"
                         "Sequential Statement\tSequenceNumber:- 2\n"
                         "SourceLine Number:-4\n"
                         "The Abstract Tree\n" +
                         treeDumpOf(elseEffect.abstractTreePtr) +
                         "Goto Statement\tSequenceNumber:- 2\n"
                         "SourceLine Number:-4\n"
                         "Target Block : 3\n"
                         "\nStart Of New Block 3\n"
                         "Return Statement\tSequenceNumber:- 3\n"
                         "SourceLine Number:-5\n";
  EXPECT_EQ(printedDump(code, function), expected);
  // Numbers live for one dump only: a second dump numbers from 0 again.
  EXPECT_EQ(printedDump(code, function), expected);

  releaseTree(condition.abstractTreePtr);
  releaseTree(thenEffect.abstractTreePtr);
  releaseTree(elseEffect.abstractTreePtr);
}

TEST(BlockDump, ForwardGotoNumbersItsTargetBeforeTheTargetsHeader) {
  IdentifierRecord function = functionNamed("forward");
  HandBuiltFunction code(3);
  Statement skip = statementOf(GotoStat, 0, 1);
  skip.targetBlock = &code.blocks[2];
  place(code.blocks[0], skip);
  Statement valueReturn = statementOf(ReturnStat, 1, 2);
  valueReturn.abstractTreePtr = integerLeaf(ImmediateCode::One);
  place(code.blocks[1], valueReturn);
  Statement back = statementOf(GotoStat, 2, 3);
  back.targetBlock = &code.blocks[1];
  place(code.blocks[2], back);

  EXPECT_EQ(printedDump(code, function),
            "#Code for Function forward"
            "\nStart Of New Block 0\n"
            "Goto Statement\tSequenceNumber:- 0\n"
            "SourceLine Number:-1\n"
            "Target Block : 1\n"
            "\nStart Of New Block 2\n"
            "Return Statement\tSequenceNumber:- 1\n"
            "SourceLine Number:-2\n"
            "The Abstract Tree\n" +
                treeDumpOf(valueReturn.abstractTreePtr) +
                "\nStart Of New Block 1\n"
                "Goto Statement\tSequenceNumber:- 2\n"
                "SourceLine Number:-3\n"
                "Target Block : 2\n");
  releaseTree(valueReturn.abstractTreePtr);
}

std::string dumpedThroughTheOption(HandBuiltFunction &code, const IdentifierRecord &function) {
  testing::internal::CaptureStdout();
  dumpFunctionBlocks(code.head(), &function);
  return testing::internal::GetCapturedStdout();
}

// The command line sets -d for the rest of the process, so that runs in a
// child process.
void dumpWithTheOption(HandBuiltFunction &code, const IdentifierRecord &function) {
  char program[] = "tavok", option[] = "-d", input[] = "/dev/null", output[] = "unused.wmlsc";
  char *arguments[] = {program, option, input, output};
  processCommandLine(4, arguments);
  std::string dumped = dumpedThroughTheOption(code, function);
  std::exit(dumped == printedDump(code, function) && !dumped.empty() ? 0 : 1);
}

TEST(BlockDump, PrintsOnlyWithTheDumpOption) {
  IdentifierRecord function = functionNamed("quiet");
  HandBuiltFunction code(1);
  Statement finalReturn = statementOf(ReturnStat, 0, 1);
  place(code.blocks[0], finalReturn);

  ASSERT_FALSE(isDumpEnabled());
  EXPECT_EQ(dumpedThroughTheOption(code, function), "");
  EXPECT_EXIT(dumpWithTheOption(code, function), testing::ExitedWithCode(0), "");
}

} // namespace
