// Early code: a compilation run selects a block's leading sequential
// statements while the function is parsed. Whatever the body, the function's
// Code is the one selecting everything at the function's end gives; the
// statements so selected are gone from the blocks; a statement whose
// expression jump is too long waits for the function's end, where the run
// ends only if its block is still there.
#include "codegen_misc.h"

#include "binopexp.h"
#include "codegen.h"
#include "constpool.h"
#include "emitcode.h"
#include "emitstat.h"
#include "identexp.h"
#include "stmntir.h"
#include "strtable.h"
#include "wmllex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- the grammar's actions, each with its release

Expression *var(const char *name) { return makeVariableExpression(internName(name)); }
Expression *num(const char *text) { return integerLiteral(text); }
Expression *binary(ExpressionOperator op, Expression *left, Expression *right) {
  return buildBinaryExpression(op, left, right);
}
Expression *assign(ExpressionOperator op, const char *target, Expression *value) {
  return buildAssignment(op, var(target), value);
}
Expression *call(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_FUNCTION};
  if (!findIdentifier(key))
    declareIdentifier(key);
  return buildFunctionCall(makeFunctionExpression(key.name), nullptr);
}

void statement(Expression *expression) {
  emitExpressionStatement(expression);
  releaseExpression(expression);
}
void beginIf(Expression *condition) {
  emitBeginIf(condition);
  releaseExpression(condition);
}
void loopTest(Expression *condition) {
  enterLoop();
  emitLoopTest(condition);
  releaseExpression(condition);
}
void endLoop() {
  leaveLoop();
  emitEndLoop();
}

// a + a + ... : two bytes of code per term.
Expression *longSum(int terms) {
  Expression *sum = var("a");
  for (int i = 1; i < terms; ++i)
    sum = binary(Add, sum, var("a"));
  return sum;
}

// ---- one function

// What the statement layer hands to code generation, seen by the inspector.
struct BodyShape {
  int keptSequentialStatements = 0;
  std::uint64_t earlyCodeBytes = 0;
};
BodyShape shape;

void inspectBody(BasicBlock *) {
  shape = BodyShape{};
  for (BlockListNode *node = currentBlockListNode(); node; node = node->nextBlock) {
    const BasicBlock *block = node->blockPtr;
    shape.earlyCodeBytes += block->earlyCodeSize;
    for (const Statement *s = block->firstStatement; s && s->statementType == SequentialStat;
         s = s->nextStatementPtr)
      shape.keptSequentialStatements += 1;
  }
}

// As the declaration's grammar action does.
void declareLocals() {
  for (const char *name : {"a", "b", "c"}) {
    IdentifierRecord *variable = declareIdentifier({internName(name), FL_VARIABLE});
    variable->subSpaceData.objectData.variableType = LocalVariable;
    recordVariableDebugInfo(variable);
  }
}

const FunctionRecord *recordOf(const IdentifierRecord *function) {
  for (const FunctionRecord *record = functionList(); record; record = record->next)
    if (record->identifier == function)
      return record;
  return nullptr;
}

// Opens a fresh function of locals a, b and c; with early set the run is a
// compilation run (an output file named).
IdentifierRecord *beginFunction(bool early) {
  static int functionCount = 0;
  const std::string name = "early" + std::to_string(++functionCount);
  IdentifierRecord *function = declareIdentifier({internName(name.c_str()), FL_FUNCTION});
  EXPECT_NE(function, nullptr);
  EXPECT_TRUE(defineFunction(function, 0));
  setOutputFileName(early ? "early.wmlsc" : nullptr);
  setLineNumber(1);
  rememberStatementLine();
  beginFunctionDefinition(function);
  declareLocals();
  return function;
}

// Compiles body as a fresh function; returns its header and Code.
Bytes compileFunction(const std::function<void()> &body, bool early) {
  IdentifierRecord *function = beginFunction(early);
  body();
  setFunctionBodyInspector(inspectBody);
  endFunctionDefinition();
  setFunctionBodyInspector(nullptr);
  setOutputFileName(nullptr);
  const FunctionRecord *record = recordOf(function);
  if (!record || !record->code)
    return {};
  return Bytes(record->code->bytes, record->code->bytes + record->code->size);
}

struct BodyCase {
  const char *name;
  std::function<void()> body;
};

const std::vector<BodyCase> &bodyCases() {
  static const std::vector<BodyCase> cases = {
      {"assignments and calls",
       [] {
         statement(assign(Assign, "a", binary(Add, var("a"), num("1"))));
         statement(assign(Assign, "a", binary(Add, var("a"), var("b"))));  // add_asg
         statement(assign(Assign, "b", binary(Subtract, binary(Multiply, var("a"), num("2")), var("b"))));
         statement(assign(AddAssign, "a", var("b")));
         statement(assign(MultiplyAssign, "a", num("3")));
         statement(buildUnaryExpression(PreIncrement, var("a")));
         statement(buildUnaryExpression(PostDecrement, var("b")));
         statement(call("helper"));
         statement(assign(Assign, "a", assign(Assign, "b", num("100000"))));
       }},
      {"expression jumps",
       [] {
         statement(assign(Assign, "a", binary(LogicalOr, binary(LogicalAnd, var("a"), var("b")), var("c"))));
         statement(assign(Assign, "c", buildConditional(var("a"), var("b"), num("7"))));
         statement(binary(LogicalAnd, var("a"), call("helper")));
       }},
      {"loops and branches around early code",
       [] {
         statement(assign(Assign, "a", num("0")));
         loopTest(binary(Lesser, var("a"), num("10")));
         statement(assign(Assign, "a", binary(Add, var("a"), num("1"))));
         statement(assign(Assign, "b", binary(Multiply, var("b"), var("a"))));
         endLoop();
         beginIf(binary(Greater, var("b"), num("5")));
         statement(assign(Assign, "c", var("b")));
         emitBeginElse();
         statement(assign(Assign, "c", var("a")));
         emitEndIf();
         emitReturn(nullptr);
       }},
      {"a loop whose body needs wide jumps",
       [] {
         loopTest(binary(Lesser, var("a"), num("10")));
         for (int i = 0; i < 200; ++i)
           statement(assign(Assign, "b", binary(Add, var("b"), binary(Multiply, var("a"), var("c")))));
         endLoop();
       }},
      {"a long jump that waits for the end",
       [] {
         statement(assign(Assign, "a", num("1")));
         statement(assign(Assign, "b", buildConditional(var("c"), longSum(33000), num("0"))));
         statement(assign(Assign, "a", num("2")));
       }},
  };
  return cases;
}

} // namespace

TEST(EarlyCode, GivesTheCodeOfSelectionAtTheFunctionsEnd) {
  for (const BodyCase &bodyCase : bodyCases()) {
    if (std::string(bodyCase.name).starts_with("a long jump"))
      continue;  // its late selection ends the run; see below
    SCOPED_TRACE(bodyCase.name);
    const Bytes late = compileFunction(bodyCase.body, false);
    EXPECT_EQ(shape.earlyCodeBytes, 0u);
    const Bytes early = compileFunction(bodyCase.body, true);
    EXPECT_GT(shape.earlyCodeBytes, 0u);
    EXPECT_EQ(shape.keptSequentialStatements, 0);
    EXPECT_FALSE(late.empty());
    EXPECT_EQ(early, late);
  }
}

TEST(EarlyCode, AStatementTooLongToSelectIsKeptWithTheRestOfItsBlock) {
  // In a block nothing reaches, the statement is never selected: the run
  // goes on, and only the statement before it was selected early.
  const BodyCase &longJump = bodyCases().back();
  const auto unreachable = [&] {
    emitReturn(nullptr);
    longJump.body();
  };
  const Bytes late = compileFunction(unreachable, false);
  const Bytes early = compileFunction(unreachable, true);
  EXPECT_EQ(early, late);
}

TEST(EarlyCode, ATooLongJumpEndsTheRunOnlyAtTheFunctionsEnd) {
  const BodyCase &longJump = bodyCases().back();
  EXPECT_EXIT(
      {
        beginFunction(true);
        longJump.body();
        std::fputs("body parsed\n", stderr);
        setFunctionBodyInspector([](BasicBlock *block) {
          inspectBody(block);
          // The first statement went early; the long one and the one after
          // it wait in the block.
          std::fprintf(stderr, "kept %d\n", shape.keptSequentialStatements);
        });
        endFunctionDefinition();
        std::exit(0);
      },
      testing::ExitedWithCode(1), "body parsed\nkept 2\n.*Jump offset exceeds limit");
}

TEST(EarlyCode, AFunctionOfManyStatementsKeepsNoneOfThem) {
  const auto body = [] {
    for (int i = 0; i < 20000; ++i)
      statement(assign(Assign, "a", binary(Add, var("a"), num("1"))));
  };
  const Bytes early = compileFunction(body, true);
  EXPECT_EQ(shape.keptSequentialStatements, 0);
  // load_var_s, const_1, add, store_var_s for every statement.
  EXPECT_EQ(shape.earlyCodeBytes, 4u * 20000u);
  EXPECT_EQ(early, compileFunction(body, false));
}

// The first counted error stops statement building for the rest of the run,
// so this runs in a child process.
TEST(EarlyCode, AStatementWaitingForSelectionGoesWithItsBlockOnAnError) {
  EXPECT_EXIT(
      {
        beginFunction(true);
        statement(assign(Assign, "a", num("1")));
        statement(assign(Assign, "b", var("a")));  // waits for the next statement
        abandonStatements();  // what counting the first error does
        endFunctionDefinition();
        beginFunction(true);  // the next definition still opens and closes
        statement(assign(Assign, "c", num("2")));
        endFunctionDefinition();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}
