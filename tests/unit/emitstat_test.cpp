#include "emitstat.h"

#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"
#include "identexp.h"
#include "stmntir.h"
#include "strtable.h"
#include "wmllex.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A block as plain data, taken before the blocks are released. Targets are
// positions in the block list; -1 none, -2 a block outside the list.
struct StatementShape {
  StatementType type;
  unsigned sequenceNumber;
  unsigned sourceLine;
  int target;       // goto
  int trueTarget;   // conditional
  int falseTarget;  // conditional
  bool hasTree;
  ExpressionOperator treeOperator;
  ConstantDescriptor constant;  // a constant leaf's placed descriptor
  const IdentifierRecord *assignedVariable;  // an assignment's target
};

using BlockShape = std::vector<StatementShape>;
using FunctionShape = std::vector<BlockShape>;

FunctionShape capturedShape;

int positionOf(const std::map<const BasicBlock *, int> &positions, const BasicBlock *block) {
  if (!block)
    return -1;
  auto found = positions.find(block);
  return found == positions.end() ? -2 : found->second;
}

StatementShape shapeOf(const std::map<const BasicBlock *, int> &positions, const Statement *statement) {
  StatementShape shape{};
  shape.type = statement->statementType;
  shape.sequenceNumber = statement->sequenceNumber;
  shape.sourceLine = statement->sourceLineNumber;
  shape.target = shape.trueTarget = shape.falseTarget = -1;
  const AbstractTree *tree = nullptr;
  switch (statement->statementType) {
  case GotoStat:
    shape.target = positionOf(positions, statement->targetBlock);
    break;
  case ConditionalStat:
    shape.trueTarget = positionOf(positions, statement->trueBlock);
    shape.falseTarget = positionOf(positions, statement->falseBlock);
    tree = statement->abstractTreePtr;
    break;
  case SequentialStat:
  case ReturnStat:
    tree = statement->abstractTreePtr;
    break;
  }
  if (tree) {
    shape.hasTree = true;
    shape.treeOperator = tree->treeOperator;
    if (tree->treeOperator == ConstantLeaf)
      shape.constant = tree->constantNode;
    if (tree->treeOperator == Assign)
      shape.assignedVariable = firstOperand(tree)->identifier.record;
  }
  return shape;
}

void captureFunctionBody(BasicBlock *firstBlock) {
  BlockListNode *head = currentBlockListNode();
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->blockPtr, firstBlock);
  std::map<const BasicBlock *, int> positions;
  for (BlockListNode *node = head; node; node = node->nextBlock)
    positions.emplace(node->blockPtr, static_cast<int>(positions.size()));
  capturedShape.clear();
  for (BlockListNode *node = head; node; node = node->nextBlock) {
    BlockShape block;
    for (Statement *s = node->blockPtr->firstStatement; s; s = s->nextStatementPtr) {
      block.push_back(shapeOf(positions, s));
      if (s->statementType != SequentialStat)
        break;
    }
    capturedShape.push_back(block);
  }
}

// Function names are never dropped, so every test defines a fresh one.
IdentifierRecord *beginFunction() {
  static int functionCount = 0;
  std::string name = "emitted" + std::to_string(++functionCount);
  IdentifierRecord *function = declareIdentifier({internName(name.c_str()), FL_FUNCTION});
  EXPECT_NE(function, nullptr);
  EXPECT_TRUE(defineFunction(function, 0));
  // Source lines start at 1; the end line is remembered as the grammar does
  // at the closing brace.
  setLineNumber(1);
  rememberStatementLine();
  beginFunctionDefinition(function);
  return function;
}

// Closes the definition and returns its blocks as they were handed to code generation.
FunctionShape endFunction() {
  capturedShape.clear();
  setFunctionBodyInspector(captureFunctionBody);
  endFunctionDefinition();
  setFunctionBodyInspector(nullptr);
  return capturedShape;
}

IdentifierRecord *declareLocal(const char *name) {
  IdentifierRecord *variable = declareIdentifier({internName(name), FL_VARIABLE});
  EXPECT_NE(variable, nullptr);
  if (variable) {  // as the declaration's grammar action does
    variable->subSpaceData.objectData.variableType = LocalVariable;
    recordVariableDebugInfo(variable);
  }
  return variable;
}

Expression *variable(const char *name) { return makeVariableExpression(internName(name)); }
Expression *number(const char *text) { return integerLiteral(text); }
Expression *lessThan(const char *name, const char *limit) {
  return buildBinaryExpression(Lesser, variable(name), number(limit));
}
Expression *assign(const char *name, Expression *value) {
  return buildAssignment(Assign, variable(name), value);
}
Expression *increment(const char *name) { return buildUnaryExpression(PostIncrement, variable(name)); }

void release(Expression *expression) {
  if (expression)
    releaseExpression(expression);
}

// The grammar's actions, each with its release.
void expressionStatement(Expression *expression) {
  ASSERT_NE(expression, nullptr);
  emitExpressionStatement(expression);
  release(expression);
}
void beginIf(Expression *condition) {
  emitBeginIf(condition);
  release(condition);
}
void loopTest(Expression *condition) {
  enterLoop();
  emitLoopTest(condition);
  release(condition);
}
void endLoop() {
  leaveLoop();
  emitEndLoop();
}
void beginFor(Expression *initial, Expression *condition, Expression *step) {
  enterLoop();
  emitBeginFor(initial, condition, step);
  release(initial);
  release(condition);
  release(step);
}

// Expected layouts, blocks numbered in list order: "Ct/f" a conditional, "Gt" a goto,
// "S" a sequential statement, "R" a return, "RV" a return with a value.
std::string describe(const FunctionShape &shape) {
  std::string text;
  for (std::size_t b = 0; b < shape.size(); ++b) {
    text += std::to_string(b) + ":";
    for (const StatementShape &s : shape[b]) {
      switch (s.type) {
      case SequentialStat:
        text += " S";
        break;
      case ConditionalStat:
        text += " C" + std::to_string(s.trueTarget) + "/" + std::to_string(s.falseTarget);
        break;
      case GotoStat:
        text += " G" + std::to_string(s.target);
        break;
      case ReturnStat:
        text += s.hasTree ? " RV" : " R";
        break;
      }
    }
    text += ";";
  }
  return text;
}

} // namespace

TEST(LoopLayout, WhileAtFunctionStartTestsInTheFirstBlock) {
  beginFunction();
  declareLocal("i");
  loopTest(lessThan("i", "10"));
  expressionStatement(assign("i", buildBinaryExpression(Add, variable("i"), number("1"))));
  endLoop();
  FunctionShape shape = endFunction();
  // The head holds the test; the body jumps back to it; the false exit
  // reaches the block after the loop.
  EXPECT_EQ(describe(shape), "0: C1/2;1: S G0;2: R;");
  EXPECT_EQ(shape[0][0].treeOperator, Lesser);
  EXPECT_EQ(shape[1][0].treeOperator, Assign);
}

TEST(LoopLayout, WhileAfterStatementsIsEnteredByAGoto) {
  beginFunction();
  declareLocal("i");
  expressionStatement(assign("i", number("0")));
  loopTest(lessThan("i", "10"));
  expressionStatement(increment("i"));
  endLoop();
  FunctionShape shape = endFunction();
  EXPECT_EQ(describe(shape), "0: S G1;1: C2/3;2: S G1;3: R;");
}

TEST(LoopLayout, ForWithoutConditionTestsImmediateOneWithoutOwnStep) {
  beginFunction();
  declareLocal("i");
  beginFor(nullptr, nullptr, nullptr);
  expressionStatement(assign("i", number("1")));
  emitBreak();
  endLoop();
  FunctionShape shape = endFunction();
  // The end of the body after the break is unreachable and removed.
  EXPECT_EQ(describe(shape), "0: C1/2;1: S G2;2: R;");
  const StatementShape &test = shape[0][0];
  EXPECT_EQ(test.treeOperator, ConstantLeaf);
  EXPECT_EQ(test.constant.constantType, static_cast<std::uint32_t>(ImmediateConstant));
  EXPECT_EQ(test.constant.value, static_cast<std::uint32_t>(ImmediateCode::One));
  // The missing condition is no source step: the body's first statement shares its number.
  EXPECT_EQ(shape[1][0].sequenceNumber, test.sequenceNumber);
}

TEST(LoopLayout, ForConditionIsASourceStepOfItsOwn) {
  beginFunction();
  declareLocal("i");
  beginFor(nullptr, lessThan("i", "3"), nullptr);
  expressionStatement(increment("i"));
  endLoop();
  FunctionShape shape = endFunction();
  EXPECT_EQ(describe(shape), "0: C1/2;1: S G0;2: R;");
  EXPECT_EQ(shape[1][0].sequenceNumber, shape[0][0].sequenceNumber + 1);
}

TEST(LoopLayout, ContinueAndBodyEndRunTheIncrementThenTheCondition) {
  beginFunction();
  declareLocal("i");
  declareLocal("x");
  beginFor(assign("i", number("0")), lessThan("i", "10"), increment("i"));
  expressionStatement(assign("x", number("1")));
  emitContinue();
  endLoop();
  FunctionShape shape = endFunction();
  // 0 initialiser, 1 condition, 2 increment, 3 body ending in the continue,
  // 4 after the loop.
  EXPECT_EQ(describe(shape), "0: S G1;1: C3/4;2: S G1;3: S G2;4: R;");
  EXPECT_EQ(shape[2][0].treeOperator, PostIncrement);
}

TEST(LoopLayout, BreakLeavesOnlyTheInnermostLoop) {
  beginFunction();
  declareLocal("i");
  declareLocal("j");
  loopTest(lessThan("i", "10"));
  loopTest(lessThan("j", "5"));
  expressionStatement(increment("j"));
  emitBreak();
  endLoop();
  expressionStatement(increment("i"));
  endLoop();
  FunctionShape shape = endFunction();
  // The break (in block 2) and the inner false exit reach the outer body's
  // rest (block 3), not the end of the outer loop (block 4).
  EXPECT_EQ(describe(shape), "0: C1/4;1: C2/3;2: S G3;3: S G0;4: R;");
  EXPECT_FALSE(isInsideLoop());
}

TEST(LoopLayout, DeeplyNestedLoopsChainTheirExitsToTheEnclosingHead) {
  // Around the nesting stack's word boundaries.
  for (int depth : {1, 31, 32, 33, 64, 65, 100}) {
    SCOPED_TRACE(depth);
    beginFunction();
    declareLocal("i");
    for (int level = 0; level < depth; ++level)
      loopTest(lessThan("i", "1"));
    expressionStatement(increment("i"));
    for (int level = 0; level < depth; ++level)
      endLoop();
    FunctionShape shape = endFunction();
    ASSERT_EQ(shape.size(), static_cast<std::size_t>(depth + 2));
    // Each head continues into the next; an inner loop's false exit goes
    // straight back to its enclosing head, the outermost one's to the end.
    for (int level = 0; level < depth; ++level) {
      ASSERT_EQ(shape[level].size(), 1u);
      EXPECT_EQ(shape[level][0].type, ConditionalStat);
      EXPECT_EQ(shape[level][0].trueTarget, level + 1);
      EXPECT_EQ(shape[level][0].falseTarget, level == 0 ? depth + 1 : level - 1);
    }
    EXPECT_EQ(shape[depth].back().target, depth - 1);
    EXPECT_EQ(describe({shape.back()}), "0: R;");
  }
}

TEST(DecisionLayout, IfWithoutElseJoinsTheFollowingStatement) {
  beginFunction();
  declareLocal("i");
  beginIf(lessThan("i", "1"));
  expressionStatement(assign("i", number("2")));
  emitEndIf();
  expressionStatement(assign("i", number("3")));
  FunctionShape shape = endFunction();
  // The false exit and the goto after the branch meet at the next
  // statement; the final return joins that block.
  EXPECT_EQ(describe(shape), "0: C1/2;1: S G2;2: S R;");
}

TEST(DecisionLayout, IfElseBranchesBothJumpToTheBlockAfter) {
  beginFunction();
  declareLocal("i");
  setLineNumber(2);
  beginIf(lessThan("i", "1"));
  setLineNumber(3);
  expressionStatement(assign("i", number("2")));
  setLineNumber(5);  // the parser has read past the else
  emitBeginElse();
  expressionStatement(assign("i", number("3")));
  emitEndIf();
  FunctionShape shape = endFunction();
  EXPECT_EQ(describe(shape), "0: C1/2;1: S G3;2: S G3;3: R;");
  // The then-branch's goto belongs to its last statement's line.
  EXPECT_EQ(shape[1][1].sourceLine, 3u);
}

TEST(DecisionLayout, BreakAsThenBranchNeedsNoGotoOfItsOwn) {
  beginFunction();
  declareLocal("i");
  loopTest(lessThan("i", "10"));
  beginIf(lessThan("i", "5"));
  emitBreak();
  emitEndIf();
  expressionStatement(increment("i"));
  endLoop();
  FunctionShape shape = endFunction();
  // The if's true exit joins the loop's exits directly; the block holding
  // only the if's closing goto is unreachable and gone.
  EXPECT_EQ(describe(shape), "0: C1/3;1: C3/2;2: S G0;3: R;");
}

TEST(FunctionLayout, FinalReturnFollowsAnExplicitReturn) {
  beginFunction();
  declareLocal("i");
  Expression *value = variable("i");
  emitReturn(value);
  release(value);
  FunctionShape shape = endFunction();
  // Nothing reaches the final return, so it is removed.
  EXPECT_EQ(describe(shape), "0: RV;");
  EXPECT_EQ(shape[0][0].treeOperator, IdentifierLeaf);
}

TEST(FunctionLayout, FinalReturnTakesTheEarlierOfEndLineAndCurrentLine) {
  struct Case {
    int rememberedLine;
    int currentLine;
    unsigned expected;
  };
  const Case cases[] = {{7, 9, 7}, {9, 7, 7}, {4, 4, 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rememberedLine);
    beginFunction();
    setLineNumber(c.rememberedLine);
    rememberStatementLine();
    setLineNumber(c.currentLine);
    FunctionShape shape = endFunction();
    ASSERT_EQ(describe(shape), "0: R;");
    EXPECT_EQ(shape[0][0].sourceLine, c.expected);
  }
}

TEST(VariableInitialisation, InitialiserBecomesOneAssignment) {
  beginFunction();
  IdentifierRecord *x = declareLocal("x");
  declareLocal("y");  // without initialiser: nothing is emitted
  emitVariableInitialisation(x, number("1"));
  FunctionShape shape = endFunction();
  ASSERT_EQ(describe(shape), "0: S R;");
  EXPECT_EQ(shape[0][0].treeOperator, Assign);
  EXPECT_EQ(shape[0][0].assignedVariable, x);
}

TEST(VariableInitialisation, OutOfRangeInitialiserEmitsNothing) {
  beginFunction();
  IdentifierRecord *x = declareLocal("x");
  // 2147483648 is in range only under a unary minus.
  emitVariableInitialisation(x, number("2147483648"));
  FunctionShape shape = endFunction();
  EXPECT_EQ(describe(shape), "0: R;");
}

// The first counted error stops emission for the rest of the run, so these
// run in a child process, which reports a broken expectation by its status.
TEST(StoppedEmission, DefinitionsStillOpenAndCloseAfterAnErrorMidLoop) {
  EXPECT_EXIT(
      {
        beginFunction();
        declareLocal("i");
        loopTest(lessThan("i", "10"));
        beginIf(lessThan("i", "5"));
        abandonStatements();  // what counting the first error does
        if (!isEmitDisabled() || !isStatementBuildingStopped())
          std::exit(2);
        // The rest of the function is still parsed and calls in.
        emitBreak();
        emitEndIf();
        endLoop();
        IdentifierRecord *y = declareLocal("y");
        emitVariableInitialisation(y, number("3"));
        Expression *value = variable("y");
        emitReturn(value);
        release(value);
        endFunctionDefinition();
        // The next definition keeps its bookkeeping and builds nothing; the
        // first one's variables are gone, so i is declared afresh.
        beginFunction();
        if (!declareLocal("i"))
          std::exit(3);
        beginFor(nullptr, nullptr, increment("i"));
        emitContinue();
        endLoop();
        endFunctionDefinition();
        std::exit(isInsideLoop() ? 4 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(StoppedEmission, AbandonedDefinitionIsReplacedByTheNextOne) {
  EXPECT_EXIT(
      {
        beginFunction();
        abandonStatements();
        // Error recovery gave up inside the first definition, which stays open.
        beginFunction();
        endFunctionDefinition();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The flags can only be switched on, by the command line, so debug
// information runs in a child process.
[[noreturn]] void compileWithDebugInformation() {
  char inputName[] = "/tmp/emitstat_testXXXXXX";
  int descriptor = mkstemp(inputName);
  if (descriptor < 0)
    std::exit(2);
  close(descriptor);
  std::string outputName = std::string(inputName) + ".out";
  char program[] = "tavok";
  char option[] = "-g";
  char *arguments[] = {program, option, inputName, outputName.data()};
  processCommandLine(4, arguments);
  std::remove(inputName);
  if (!isDebugInfoEnabled())
    std::exit(3);

  beginFunction();
  declareLocal("i");
  Expression *value = variable("i");
  emitReturn(value);
  release(value);
  if (describe(endFunction()) != "0: RV;1: R;")
    std::exit(4);

  beginFunction();
  declareLocal("i");
  beginFor(nullptr, nullptr, nullptr);
  expressionStatement(assign("i", number("1")));
  emitBreak();
  endLoop();
  // Block 2 is the end of the body after the break.
  if (describe(endFunction()) != "0: C1/3;1: S G3;2: G0;3: R;")
    std::exit(5);
  std::exit(0);
}

TEST(DebugInformation, KeepsUnreachableBlocks) {
  EXPECT_EXIT(compileWithDebugInformation(), ::testing::ExitedWithCode(0), "");
}
