// Expression emission: lowering for a value (leaves, placed constants,
// rewritten compound assignments, commas), emission for effect as statements
// of the current block, conditions as conditional statements with patch
// lists, the IR data records, and expressions too deep for recursion.
#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "emitstat.h"
#include "exprir.h"
#include "exprsion.h"
#include "identexp.h"
#include "shortckt.h"
#include "stmntir.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- building expressions

IdentifierRecord *variableRecord(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_VARIABLE};
  IdentifierRecord *record = findIdentifier(key);
  return record ? record : declareIdentifier(key);
}

Expression *var(const char *name) {
  variableRecord(name);
  return makeVariableExpression(internName(name));
}

// A call of a function without parameters, declared on first use.
Expression *call(const char *name) {
  IdentifierKey key{.name = internName(name), .nameSpace = FL_FUNCTION};
  if (!findIdentifier(key))
    declareIdentifier(key);
  return buildFunctionCall(makeFunctionExpression(key.name), nullptr);
}

Expression *integer(const char *text) { return integerLiteral(text); }

Expression *binary(ExpressionOperator op, Expression *left, Expression *right) {
  return buildBinaryExpression(op, left, right);
}

Expression *assign(ExpressionOperator op, const char *target, Expression *value) {
  return buildAssignment(op, var(target), value);
}

// ---------------------------------------------------------------- reading trees and blocks

ExpressionOperator opOf(const AbstractTree *tree) { return tree->treeOperator; }

bool isVariableLeaf(const AbstractTree *tree, const char *name) {
  return tree->treeOperator == IdentifierLeaf && tree->identifier.record == variableRecord(name) &&
         tree->identifier.index == variableRecord(name)->index;
}

// An empty current block: the one before is closed with a goto when it
// still ends in a sequential statement, and pending jumps are resolved.
BasicBlock *freshBlock() {
  resolvePendingJumps();
  if (currentBlockHasStatements() &&
      getCurrentBlock()->lastStatement->statementType == SequentialStat)
    appendStatement(createGotoStatement());
  return startNewBlock();
}

std::vector<Statement *> statementsOf(const BasicBlock *block) {
  std::vector<Statement *> statements;
  for (Statement *statement = block->firstStatement; statement;
       statement = statement == block->lastStatement ? nullptr : statement->nextStatementPtr)
    statements.push_back(statement);
  return statements;
}

// The tree of a lowered expression, taken out of its record as statements
// take theirs.
AbstractTree *lowered(Expression *expression) {
  irData *record = lowerExpression(expression);
  AbstractTree *tree = addTreeReference(abstractTreeOf(record));
  freeIrData(record);
  return tree;
}

// Runs body on a thread whose stack a walk that recursed once per level of
// the deep expressions below would overflow.
void runOnSmallStack(const std::function<void()> &body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void *argument) -> void * {
    (*static_cast<const std::function<void()> *>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// ---------------------------------------------------------------- lowering for a value

struct PlacementCase {
  const char *literal;
  bool isFloat;
  ConstantType constantType;
  ValueType valueType;
};

std::string keyOf(std::uint32_t bits) {
  std::string key;
  for (int shift = 28; shift >= 0; shift -= 4)
    key += static_cast<char>('0' + ((bits >> shift) & 0xF));
  return key;
}

TEST(Lowering, ConstantsArePlaced) {
  const PlacementCase cases[] = {
      {"0", false, ImmediateConstant, IntegerType},
      {"1", false, ImmediateConstant, IntegerType},
      {"2", false, IndirectConstant, IntegerType},
      {"1.5", true, IndirectConstant, FloatType},
  };
  for (const PlacementCase &row : cases) {
    SCOPED_TRACE(row.literal);
    Expression *literal = row.isFloat ? floatLiteral(row.literal) : integer(row.literal);
    ASSERT_NE(literal, nullptr);
    AbstractTree *tree = lowered(literal);
    ASSERT_EQ(opOf(tree), ConstantLeaf);
    EXPECT_EQ(tree->constantNode.constantType, row.constantType);
    EXPECT_EQ(tree->constantNode.valueType, row.valueType);
    releaseTree(tree);
    releaseExpression(literal);
  }

  AbstractTree *one = lowered(integer("1"));
  EXPECT_EQ(one->constantNode.value, static_cast<std::uint32_t>(ImmediateCode::One));
  AbstractTree *two = lowered(integer("2"));
  EXPECT_EQ(two->constantNode.value, addConstant(keyOf(2).c_str(), IntegerConstant));
  float oneAndAHalf = 1.5f;
  std::uint32_t bits;
  std::memcpy(&bits, &oneAndAHalf, sizeof bits);
  AbstractTree *floating = lowered(floatLiteral("1.5"));
  EXPECT_EQ(floating->constantNode.value, addConstant(keyOf(bits).c_str(), FloatConstant));
  for (AbstractTree *tree : {one, two, floating})
    releaseTree(tree);
}

TEST(Lowering, ConstantsEnterThePoolInEvaluationOrder) {
  int before = numberOfConstants();
  Expression *expression = binary(Subtract, integer("7340033"), binary(Multiply, integer("7340034"), var("a")));
  AbstractTree *tree = lowered(expression);
  EXPECT_EQ(numberOfConstants(), before + 2);
  EXPECT_EQ(firstOperand(tree)->constantNode.value, static_cast<std::uint32_t>(before));
  EXPECT_EQ(firstOperand(secondOperand(tree))->constantNode.value, static_cast<std::uint32_t>(before + 1));
  releaseTree(tree);
  releaseExpression(expression);
}

struct CompoundCase {
  ExpressionOperator compound;
  ExpressionOperator binaryOperator;
};

// x op= 3 becomes Assign(x, op(x, 3)) with two separate leaves for x; the
// expression itself is left as it was.
TEST(Lowering, CompoundAssignmentsAreRewritten) {
  const CompoundCase cases[] = {
      {MultiplyAssign, Multiply},           {DivideAssign, Divide},
      {IntegerDivideAssign, IntegerDivide}, {ModulusAssign, Modulus},
      {LeftShiftAssign, LeftShift},         {RightShiftAssign, RightShift},
      {RightShiftZeroFillAssign, RightShiftZeroFill},
      {BitAndAssign, BitAnd},               {BitXorAssign, BitXor},
      {BitOrAssign, BitOr},
  };
  for (const CompoundCase &row : cases) {
    SCOPED_TRACE(row.compound);
    Expression *expression = assign(row.compound, "x", integer("3"));
    ASSERT_NE(expression, nullptr);
    AbstractTree *tree = lowered(expression);
    ASSERT_EQ(opOf(tree), Assign);
    AbstractTree *target = firstOperand(tree);
    AbstractTree *value = secondOperand(tree);
    EXPECT_TRUE(isVariableLeaf(target, "x"));
    ASSERT_EQ(opOf(value), row.binaryOperator);
    EXPECT_TRUE(isVariableLeaf(firstOperand(value), "x"));
    EXPECT_NE(firstOperand(value), target);
    EXPECT_EQ(opOf(secondOperand(value)), ConstantLeaf);
    EXPECT_EQ(nthOperand(tree, 3), nullptr);
    releaseTree(tree);

    EXPECT_EQ(expression->exprOperator, row.compound);
    EXPECT_EQ(expression->successorList->expression->referenceCount, 1);
    EXPECT_EQ(expression->successorList->nextExpression->expression->referenceCount, 1);
    releaseExpression(expression);
  }
}

TEST(Lowering, AddAndSubtractAssignStayAsTheyAre) {
  for (ExpressionOperator op : {AddAssign, SubtractAssign}) {
    SCOPED_TRACE(op);
    Expression *expression = assign(op, "x", integer("2"));
    AbstractTree *tree = lowered(expression);
    EXPECT_EQ(opOf(tree), op);
    EXPECT_TRUE(isVariableLeaf(firstOperand(tree), "x"));
    EXPECT_EQ(opOf(secondOperand(tree)), ConstantLeaf);
    releaseTree(tree);
    releaseExpression(expression);
  }
}

TEST(Lowering, ACommaKeepsItsRightSideAndEmitsItsLeftSide) {
  BasicBlock *block = freshBlock();
  unsigned sequence = currentSequenceNumber();
  Expression *increment = buildUnaryExpression(PostIncrement, var("a"));
  Expression *expression = assign(Assign, "y", binary(Comma, increment, var("b")));
  ASSERT_NE(expression, nullptr);
  emitExpressionStatement(expression);

  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 2u);
  AbstractTree *first = statements[0]->abstractTreePtr;
  EXPECT_EQ(opOf(first), PostIncrement);
  EXPECT_TRUE(isVariableLeaf(firstOperand(first), "a"));
  AbstractTree *second = statements[1]->abstractTreePtr;
  ASSERT_EQ(opOf(second), Assign);
  EXPECT_TRUE(isVariableLeaf(firstOperand(second), "y"));
  EXPECT_TRUE(isVariableLeaf(secondOperand(second), "b"));
  // Within a value the comma is no step of its own.
  for (Statement *statement : statements)
    EXPECT_EQ(statement->sequenceNumber, sequence);
  EXPECT_EQ(currentSequenceNumber(), sequence + 1);
  releaseExpression(expression);
}

// ---------------------------------------------------------------- emission for effect

struct EffectCase {
  const char *source;
  std::function<Expression *()> build;
  std::vector<ExpressionOperator> statementTops;  // one per statement, in order
};

TEST(EffectEmission, ByOperator) {
  const EffectCase cases[] = {
      {"a;", [] { return var("a"); }, {}},
      {"1;", [] { return integer("1"); }, {}},
      {"-a;", [] { return buildUnaryExpression(UnaryMinus, var("a")); }, {}},
      {"a + f();", [] { return binary(Add, var("a"), call("f")); }, {FunctionCall}},
      {"f() * g();", [] { return binary(Multiply, call("f"), call("g")); }, {FunctionCall, FunctionCall}},
      {"typeof f();", [] { return buildUnaryExpression(TypeOf, call("f")); }, {FunctionCall}},
      {"a++;", [] { return buildUnaryExpression(PostIncrement, var("a")); }, {PostIncrement}},
      {"--a;", [] { return buildUnaryExpression(PreDecrement, var("a")); }, {PreDecrement}},
      {"a && f();", [] { return binary(LogicalAnd, var("a"), call("f")); }, {LogicalAnd}},
      {"a ? f() : b;", [] { return buildConditional(var("a"), call("f"), var("b")); }, {Conditional}},
      {"x = 1;", [] { return assign(Assign, "x", integer("1")); }, {Assign}},
      {"x -= 1;", [] { return assign(SubtractAssign, "x", integer("1")); }, {SubtractAssign}},
      {"x <<= 1;", [] { return assign(LeftShiftAssign, "x", integer("1")); }, {Assign}},
      {"f(), a, g();", [] { return binary(Comma, binary(Comma, call("f"), var("a")), call("g")); },
       {FunctionCall, FunctionCall}},
  };
  for (const EffectCase &row : cases) {
    SCOPED_TRACE(row.source);
    BasicBlock *block = freshBlock();
    Expression *expression = row.build();
    ASSERT_NE(expression, nullptr);
    emitExpressionStatement(expression);
    std::vector<ExpressionOperator> tops;
    for (Statement *statement : statementsOf(block)) {
      EXPECT_EQ(statement->statementType, SequentialStat);
      EXPECT_TRUE(isUnreferencedTree(statement->abstractTreePtr));
      tops.push_back(opOf(statement->abstractTreePtr));
    }
    EXPECT_EQ(tops, row.statementTops);
    releaseExpression(expression);
  }
}

TEST(EffectEmission, EachSideOfACommaIsAStepOfItsOwn) {
  BasicBlock *block = freshBlock();
  unsigned sequence = currentSequenceNumber();
  Expression *expression = binary(Comma, var("a"), var("b"));
  emitExpressionStatement(expression);
  EXPECT_TRUE(statementsOf(block).empty());
  EXPECT_EQ(currentSequenceNumber(), sequence + 2);
  releaseExpression(expression);

  // f(), g(); : the two calls carry consecutive numbers.
  expression = binary(Comma, call("f"), call("g"));
  emitExpressionStatement(expression);
  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0]->sequenceNumber, sequence + 2);
  EXPECT_EQ(statements[1]->sequenceNumber, sequence + 3);
  EXPECT_EQ(currentSequenceNumber(), sequence + 4);
  releaseExpression(expression);
}

TEST(EffectEmission, AStatementFollowingAConditionResolvesItsPendingJumps) {
  freshBlock();
  Expression *condition = var("a");
  emitBeginIf(condition);
  BlockListNode *conditionNode = currentBlockListNode()->previousBlock;
  ASSERT_NE(conditionNode, nullptr);
  Statement *conditional = conditionNode->blockPtr->lastStatement;
  ASSERT_EQ(conditional->statementType, ConditionalStat);

  Expression *branch = call("f");
  emitExpressionStatement(branch);
  BasicBlock *branchBlock = getCurrentBlock();
  EXPECT_EQ(conditional->trueBlock, branchBlock);
  EXPECT_EQ(opOf(branchBlock->firstStatement->abstractTreePtr), FunctionCall);
  emitEndIf();
  releaseExpression(branch);
  releaseExpression(condition);
}

// ---------------------------------------------------------------- conditions

TEST(Conditions, ATreeBecomesOneConditionalStatementEndingItsBlock) {
  BasicBlock *block = freshBlock();
  Expression *condition = binary(LogicalAnd, var("a"), var("b"));
  irData *record = lowerExpression(condition);
  BooleanLists *lists = shortCircuitListsOf(record);
  EXPECT_EQ(record->representationType, ShortCircuitRepresentation);
  EXPECT_EQ(shortCircuitListsOf(record), lists);

  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 1u);
  Statement *test = statements[0];
  EXPECT_EQ(test->statementType, ConditionalStat);
  AbstractTree *tree = test->abstractTreePtr;
  ASSERT_EQ(opOf(tree), LogicalAnd);
  EXPECT_TRUE(isVariableLeaf(firstOperand(tree), "a"));
  EXPECT_TRUE(isVariableLeaf(secondOperand(tree), "b"));

  ASSERT_NE(lists->trueList, nullptr);
  ASSERT_NE(lists->falseList, nullptr);
  EXPECT_EQ(lists->trueList->statementPtr, test);
  EXPECT_EQ(lists->trueList->branchSelector, 1);
  EXPECT_EQ(lists->trueList->nextEntry, nullptr);
  EXPECT_EQ(lists->falseList->statementPtr, test);
  EXPECT_EQ(lists->falseList->branchSelector, 0);
  EXPECT_EQ(lists->falseList->nextEntry, nullptr);

  EXPECT_NE(getCurrentBlock(), block);
  EXPECT_EQ(currentBlockHasStatements(), 0);
  freeIrData(record);
  // The tree is the statement's now: freeing the record left it alone.
  EXPECT_EQ(opOf(test->abstractTreePtr), LogicalAnd);
  releaseExpression(condition);
}

TEST(Conditions, AShortCircuitRecordIsNotATree) {
  freshBlock();
  Expression *condition = var("a");
  irData *record = lowerExpression(condition);
  shortCircuitListsOf(record);
  EXPECT_DEATH(abstractTreeOf(record), "AbstractTreeRepresentation");
  freeIrData(record);
  releaseExpression(condition);
}

// ---------------------------------------------------------------- records

TEST(IrData, FullFreeListIsTrimmedBeforeTakingTheRecord) {
  std::vector<irData *> taken;
  while (irDataFreeListCount() > 0)
    taken.push_back(newIrData(createAbstractTree(ConstantLeaf)));
  for (int i = static_cast<int>(taken.size()); i < 129; ++i)
    taken.push_back(newIrData(createAbstractTree(ConstantLeaf)));
  EXPECT_EQ(irDataFreeListCount(), 0);
  for (int i = 0; i < 128; ++i)
    freeIrData(taken[i]);
  EXPECT_EQ(irDataFreeListCount(), 128);
  freeIrData(taken[128]);
  EXPECT_EQ(irDataFreeListCount(), 64);
}

// ---------------------------------------------------------------- deep expressions

constexpr int deepLength = 30'000;

TEST(DeepExpressions, ALongChainLowersAndEmitsWithoutRecursion) {
  Expression *chain = call("f");
  for (int i = 0; i < deepLength; ++i)
    chain = binary(Add, chain, var("a"));
  ASSERT_NE(chain, nullptr);
  BasicBlock *block = freshBlock();
  AbstractTree *tree = nullptr;
  runOnSmallStack([&] {
    tree = lowered(chain);
    emitExpressionStatement(chain);
  });
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(opOf(tree), Add);
  EXPECT_TRUE(isVariableLeaf(secondOperand(tree), "a"));
  std::vector<Statement *> statements = statementsOf(block);
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_EQ(opOf(statements[0]->abstractTreePtr), FunctionCall);
  runOnSmallStack([&] {
    releaseTree(tree);
    releaseExpression(chain);
  });
}

// (((a, a), a), ... ) for its value: every left side is emitted for effect
// inside the lowering; a, (a, (a, ...)) nests the other way.
TEST(DeepExpressions, NestedCommasLowerWithoutRecursion) {
  Expression *leftNested = var("a");
  Expression *rightNested = var("b");
  for (int i = 0; i < deepLength; ++i) {
    leftNested = binary(Comma, leftNested, var("a"));
    rightNested = binary(Comma, var("a"), rightNested);
  }
  BasicBlock *block = freshBlock();
  unsigned sequence = currentSequenceNumber();
  AbstractTree *left = nullptr;
  AbstractTree *right = nullptr;
  runOnSmallStack([&] {
    left = lowered(leftNested);
    right = lowered(rightNested);
  });
  EXPECT_TRUE(isVariableLeaf(left, "a"));
  EXPECT_TRUE(isVariableLeaf(right, "b"));
  EXPECT_TRUE(statementsOf(block).empty());
  // Only the comma emitted for effect, inside the left-nested one, steps on.
  EXPECT_EQ(currentSequenceNumber(), sequence + deepLength - 1);
  releaseTree(left);
  releaseTree(right);
  runOnSmallStack([&] {
    releaseExpression(leftNested);
    releaseExpression(rightNested);
  });
}

TEST(DeepExpressions, NestedCompoundAssignmentsLowerWithoutRecursion) {
  constexpr int depth = 20'000;
  Expression *nested = integer("3");
  for (int i = 0; i < depth; ++i)
    nested = assign(MultiplyAssign, "x", nested);
  ASSERT_NE(nested, nullptr);
  AbstractTree *tree = nullptr;
  runOnSmallStack([&] { tree = lowered(nested); });
  ASSERT_EQ(opOf(tree), Assign);
  ASSERT_EQ(opOf(secondOperand(tree)), Multiply);
  EXPECT_EQ(opOf(secondOperand(secondOperand(tree))), Assign);
  runOnSmallStack([&] {
    releaseTree(tree);
    releaseExpression(nested);
  });
}

// A million terms, in a child process so that its memory does not stay with
// the other tests; the child ends without releasing it or scanning it for leaks.
TEST(DeepExpressions, AMillionTermChainLowers) {
  EXPECT_EXIT(
      {
        Expression *chain = var("a");
        for (int i = 1; i < 1'000'000; ++i)
          chain = binary(Add, chain, var("a"));
        AbstractTree *tree = nullptr;
        runOnSmallStack([&] { tree = lowered(chain); });
        std::_Exit(tree && opOf(tree) == Add && isVariableLeaf(secondOperand(tree), "a") ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------- stopped emission

TEST(ExpressionStatements, NothingIsEmittedOnceCodeBuildingHasStopped) {
  EXPECT_EXIT(
      {
        freshBlock();
        Expression *expression = call("f");
        abandonStatements();
        emitExpressionStatement(expression);
        std::exit(isEmitDisabled() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

} // namespace
