// Statement emission beyond what one whole compilation shows: loops nested
// across the word boundaries of the nesting stack, and definitions that still
// open and close once the first error has stopped code building.
#include "emitstat.h"

#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "exprsion.h"
#include "identexp.h"
#include "stmntir.h"
#include "strtable.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace {

// The blocks handed to code generation, in list order: "Ct/f" a conditional,
// "Gt" a goto, "S" a sequential statement, "R" a return.
std::string capturedBody;

void describeBody(BasicBlock *) {
  std::map<const BasicBlock *, int> positions;
  for (BlockListNode *node = currentBlockListNode(); node; node = node->nextBlock)
    positions.emplace(node->blockPtr, static_cast<int>(positions.size()));
  capturedBody.clear();
  for (BlockListNode *node = currentBlockListNode(); node; node = node->nextBlock) {
    capturedBody += std::to_string(positions[node->blockPtr]) + ":";
    for (Statement *s = node->blockPtr->firstStatement; s;
         s = s->statementType == SequentialStat ? s->nextStatementPtr : nullptr) {
      if (s->statementType == SequentialStat)
        capturedBody += " S";
      else if (s->statementType == ConditionalStat)
        capturedBody +=
            " C" + std::to_string(positions[s->trueBlock]) + "/" + std::to_string(positions[s->falseBlock]);
      else if (s->statementType == GotoStat)
        capturedBody += " G" + std::to_string(positions[s->targetBlock]);
      else
        capturedBody += " R";
    }
    capturedBody += ";";
  }
}

// Function names are never dropped, so every definition gets a fresh one.
void beginFunction() {
  static int functionCount = 0;
  const std::string name = "emitted" + std::to_string(++functionCount);
  IdentifierRecord *function = declareIdentifier({internName(name.c_str()), FL_FUNCTION});
  ASSERT_NE(function, nullptr);
  ASSERT_TRUE(defineFunction(function, 0));
  setLineNumber(1);
  rememberStatementLine();
  beginFunctionDefinition(function);
}

std::string endFunction() {
  capturedBody.clear();
  setFunctionBodyInspector(describeBody);
  endFunctionDefinition();
  setFunctionBodyInspector(nullptr);
  return capturedBody;
}

IdentifierRecord *declareLocal(const char *name) {
  IdentifierRecord *variable = declareIdentifier({internName(name), FL_VARIABLE});
  if (variable) {  // as the declaration's grammar action does
    variable->subSpaceData.objectData.variableType = LocalVariable;
    recordVariableDebugInfo(variable);
  }
  return variable;
}

Expression *variable(const char *name) { return makeVariableExpression(internName(name)); }
Expression *lessThan(const char *name, const char *limit) {
  return buildBinaryExpression(Lesser, variable(name), integerLiteral(limit));
}
Expression *increment(const char *name) { return buildUnaryExpression(PostIncrement, variable(name)); }

// The grammar's actions, each with its release.
void release(Expression *expression) {
  if (expression)
    releaseExpression(expression);
}
void expressionStatement(Expression *expression) {
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

TEST(LoopLayout, NestedLoopsChainTheirExitsToTheEnclosingHead) {
  for (int depth : {1, 31, 32, 33, 64, 65, 100}) {
    SCOPED_TRACE(depth);
    beginFunction();
    declareLocal("i");
    for (int level = 0; level < depth; ++level)
      loopTest(lessThan("i", "1"));
    expressionStatement(increment("i"));
    for (int level = 0; level < depth; ++level)
      endLoop();
    // Each head continues into the next; an inner loop's false exit goes
    // straight back to its enclosing head, the outermost one's to the end.
    std::string expected;
    for (int level = 0; level < depth; ++level)
      expected += std::to_string(level) + ": C" + std::to_string(level + 1) + "/" +
                  std::to_string(level == 0 ? depth + 1 : level - 1) + ";";
    expected += std::to_string(depth) + ": S G" + std::to_string(depth - 1) + ";";
    expected += std::to_string(depth + 1) + ": R;";
    EXPECT_EQ(endFunction(), expected);
    EXPECT_FALSE(isInsideLoop());
  }
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
        emitVariableInitialisation(y, integerLiteral("3"));
        Expression *value = variable("y");
        emitReturn(value);
        release(value);
        endFunctionDefinition();
        // The next definition keeps its bookkeeping and builds nothing; the
        // first one's variables are gone, so i is declared afresh.
        beginFunction();
        if (!declareLocal("i"))
          std::exit(3);
        Expression *step = increment("i");
        enterLoop();
        emitBeginFor(nullptr, nullptr, step);
        release(step);
        emitContinue();
        endLoop();
        endFunctionDefinition();
        std::exit(isInsideLoop() ? 4 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(StoppedEmission, AnAbandonedDefinitionIsReplacedByTheNextOne) {
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

} // namespace
