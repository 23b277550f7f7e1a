// Code blocks: the instruction constructors and their form thresholds, the
// joining of instruction lists, and the walk from a block list to Code bytes.
#include "codegen_misc.h"

#include "codegen.h"
#include "exprir.h"
#include "stmntir.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes contentsOf(const ByteBuffer *buffer) {
  return buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
}

// Every instruction of the list encoded, in order.
Bytes encodedList(const AsmCodeList *list) {
  Bytes bytes;
  for (const AsmCode *code = list->first; code; code = code->next) {
    ByteBuffer *encoded = encodeInstruction(code);
    const Bytes piece = contentsOf(encoded);
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    freeByteBuffer(encoded);
  }
  return bytes;
}

struct ConstructorCase {
  const char *name;
  std::function<AsmCodeList *()> make;
  Bytes expected;
};

const ConstructorCase singleInstructions[] = {
    {"load_var 31 short", [] { return makeLoadVar(31); }, {0xFF}},
    {"load_var 32 normal", [] { return makeLoadVar(32); }, {0x0E, 0x20}},
    {"load_var 255 normal", [] { return makeLoadVar(255); }, {0x0E, 0xFF}},
    {"store_var 15 short", [] { return makeStoreVar(15); }, {0x4F}},
    {"store_var 16 normal", [] { return makeStoreVar(16); }, {0x0F, 0x10}},
    {"incr_var 7 short", [] { return makeIncrDecrVar(PostIncrement, 7); }, {0x77}},
    {"incr_var 8 normal", [] { return makeIncrDecrVar(PreIncrement, 8); }, {0x10, 0x08}},
    {"decr_var 0 has no short form", [] { return makeIncrDecrVar(PostDecrement, 0); }, {0x11, 0x00}},
    {"decr_var 255", [] { return makeIncrDecrVar(PreDecrement, 255); }, {0x11, 0xFF}},
    {"add_asg 3", [] { return makeAddAsg(3); }, {0x1D, 0x03}},
    {"sub_asg 255", [] { return makeSubAsg(255); }, {0x1E, 0xFF}},
    {"load_const 15 short", [] { return makeLoadConst(15); }, {0x5F}},
    {"load_const 16 normal", [] { return makeLoadConst(16); }, {0x12, 0x10}},
    {"load_const 255 normal", [] { return makeLoadConst(255); }, {0x12, 0xFF}},
    {"load_const 256 wide", [] { return makeLoadConst(256); }, {0x13, 0x01, 0x00}},
    {"load_const 65535 wide", [] { return makeLoadConst(65535); }, {0x13, 0xFF, 0xFF}},
    {"const_0", [] { return makeImmediateConst(0); }, {0x14}},
    {"const_1", [] { return makeImmediateConst(1); }, {0x15}},
    {"const_m1", [] { return makeImmediateConst(2); }, {0x16}},
    {"const_true", [] { return makeImmediateConst(3); }, {0x19}},
    {"const_false", [] { return makeImmediateConst(4); }, {0x1A}},
    {"const_invalid", [] { return makeImmediateConst(5); }, {0x18}},
    {"const_es", [] { return makeImmediateConst(6); }, {0x17}},
    {"call 7 short", [] { return makeCall(7); }, {0x67}},
    {"call 8 normal", [] { return makeCall(8); }, {0x09, 0x08}},
    {"call 255 normal", [] { return makeCall(255); }, {0x09, 0xFF}},
    {"call_lib f3 l0 short", [] { return makeCallLib(3, 0); }, {0x6B, 0x00}},
    {"call_lib f7 l255 short", [] { return makeCallLib(7, 255); }, {0x6F, 0xFF}},
    {"call_lib f8 normal", [] { return makeCallLib(8, 0); }, {0x0A, 0x08, 0x00}},
    {"call_lib l256 wide even for a small f", [] { return makeCallLib(3, 256); }, {0x0B, 0x03, 0x01, 0x00}},
    {"call_lib l300 wide", [] { return makeCallLib(8, 300); }, {0x0B, 0x08, 0x01, 0x2C}},
    {"call_url 255 normal", [] { return makeCallUrl(255, 255, 255); }, {0x0C, 0xFF, 0xFF, 0xFF}},
    {"call_url url 256 wide", [] { return makeCallUrl(256, 1, 2); }, {0x0D, 0x01, 0x00, 0x00, 0x01, 0x02}},
    {"call_url name 256 wide", [] { return makeCallUrl(1, 256, 0); }, {0x0D, 0x00, 0x01, 0x01, 0x00, 0x00}},
    {"jump_fw 31 short", [] { return makeJumpFw(31); }, {0x9F}},
    {"jump_fw 32 normal", [] { return makeJumpFw(32); }, {0x01, 0x20}},
    {"jump_fw 255 normal", [] { return makeJumpFw(255); }, {0x01, 0xFF}},
    {"jump_fw 256 wide", [] { return makeJumpFw(256); }, {0x02, 0x01, 0x00}},
    {"tjump_fw 31 short", [] { return makeTJumpFw(31); }, {0xDF}},
    {"tjump_fw 32 normal", [] { return makeTJumpFw(32); }, {0x05, 0x20}},
    {"tjump_fw 255 normal", [] { return makeTJumpFw(255); }, {0x05, 0xFF}},
    {"tjump_fw 256 wide", [] { return makeTJumpFw(256); }, {0x06, 0x01, 0x00}},
    {"tobool", [] { return makeToBool(); }, {0x36}},
    {"pop", [] { return makePop(); }, {0x37}},
    {"return_es without a value", [] { return makeReturn(nullptr); }, {0x3B}},
};

TEST(InstructionConstructors, ChooseTheSmallestFormAtEachThreshold) {
  setCurrentSourceLineNumber(12);
  for (const ConstructorCase &row : singleInstructions) {
    SCOPED_TRACE(row.name);
    AsmCodeList *list = row.make();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, list->last);
    EXPECT_EQ(list->conditionalJump, nullptr);
    EXPECT_EQ(list->first->lineNo, 12u);
    EXPECT_EQ(list->size, row.expected.size());
    EXPECT_EQ(encodedList(list), row.expected);
    freeAsmCodeList(list);
  }
}

TEST(InstructionConstructors, ReturnWithAValue) {
  setCurrentSourceLineNumber(1);
  AbstractTree value{};
  AsmCodeList *list = makeReturn(&value);
  EXPECT_EQ(encodedList(list), (Bytes{0x3A}));
  freeAsmCodeList(list);
}

TEST(InstructionConstructors, ShortCircuitIsTheTestThenTheJumpOverTheRightOperand) {
  setCurrentSourceLineNumber(1);
  AsmCodeList *scand = makeScAnd(5);
  EXPECT_EQ(scand->size, 2u);
  EXPECT_NE(scand->first, scand->last);
  EXPECT_EQ(scand->conditionalJump, nullptr);
  EXPECT_EQ(encodedList(scand), (Bytes{0x34, 0xC5}));
  AsmCodeList *scor = makeScOr(40);
  EXPECT_EQ(scor->size, 3u);
  EXPECT_EQ(encodedList(scor), (Bytes{0x35, 0x05, 0x28}));
  freeAsmCodeList(scand);
  freeAsmCodeList(scor);
}

TEST(InstructionConstructors, EveryMappedOperatorIsOneInstruction) {
  const struct {
    ExpressionOperator treeOperator;
    std::uint8_t opcode;
  } rows[] = {
      {IsValid, 0x39},        {TypeOf, 0x38},         {IntegerDivide, 0x24}, {RightShiftZeroFill, 0x2C},
      {UnaryMinus, 0x1F},     {LogicalNot, 0x33},     {ComplementOf, 0x29},  {Multiply, 0x22},
      {Divide, 0x23},         {Modulus, 0x25},        {Add, 0x20},           {Subtract, 0x21},
      {LeftShift, 0x2A},      {RightShift, 0x2B},     {Greater, 0x31},       {Lesser, 0x2F},
      {GreaterOrEqual, 0x30}, {LesserOrEqual, 0x2E},  {Equal, 0x2D},         {NotEqual, 0x32},
      {BitAnd, 0x26},         {BitXor, 0x28},         {BitOr, 0x27},
  };
  setCurrentSourceLineNumber(1);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.treeOperator);
    AsmCodeList *list = makeOperation(row.treeOperator);
    EXPECT_EQ(encodedList(list), (Bytes{row.opcode}));
    freeAsmCodeList(list);
  }
}

using InternalErrorCase = std::pair<const char *, std::function<void()>>;

TEST(InstructionConstructorsDeathTest, OperandsBeyondTheWidestFormAreInternalErrors) {
  const InternalErrorCase cases[] = {
      {"load_var 256", [] { makeLoadVar(256); }},
      {"store_var 256", [] { makeStoreVar(256); }},
      {"incr_var 256", [] { makeIncrDecrVar(PostIncrement, 256); }},
      {"incr of an addition", [] { makeIncrDecrVar(Add, 1); }},
      {"load_const 65536", [] { makeLoadConst(65536); }},
      {"immediate code 7", [] { makeImmediateConst(7); }},
      {"call 256", [] { makeCall(256); }},
      {"call_lib f256", [] { makeCallLib(256, 0); }},
      {"call_lib l65536", [] { makeCallLib(0, 65536); }},
      {"call_url 256 arguments", [] { makeCallUrl(0, 0, 256); }},
      {"jump_fw 65536", [] { makeJumpFw(65536); }},
      {"logical and has no single instruction", [] { makeOperation(LogicalAnd); }},
      {"assignment has no single instruction", [] { makeOperation(Assign); }},
  };
  setCurrentSourceLineNumber(1);
  for (const auto &[name, make] : cases) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(make(), "Assertion failed");
  }
}

TEST(InstructionConstructorsDeathTest, AnInstructionNeedsASourceLine) {
  EXPECT_DEATH(
      {
        setCurrentSourceLineNumber(0);
        makePop();
      },
      "Assertion failed: walk.currentSourceLineNumber");
}

// ---------------------------------------------------------------- lists

std::vector<Operation> operationsOf(const AsmCodeList *list) {
  std::vector<Operation> operations;
  for (const AsmCode *code = list->first; code; code = code->next)
    operations.push_back(code->operation);
  return operations;
}

TEST(AsmLists, NullListsAreSkipped) {
  setCurrentSourceLineNumber(1);
  EXPECT_EQ(appendAsmLists(nullptr, nullptr, nullptr), nullptr);
  AsmCodeList *third = makePop();
  EXPECT_EQ(appendAsmLists(nullptr, nullptr, third), third);
  AsmCodeList *second = makeToBool();
  // The first list present keeps its record and takes the later ones.
  EXPECT_EQ(appendAsmLists(nullptr, second, third), second);
  EXPECT_EQ(operationsOf(second), (std::vector{Operation::ToBool, Operation::Pop}));
  EXPECT_EQ(second->size, 2u);
  freeAsmCodeList(second);
}

TEST(AsmLists, JoinKeepsOrderAndSumsSizes) {
  setCurrentSourceLineNumber(1);
  AsmCodeList *first = makeLoadConst(256);
  AsmCodeList *joined = appendAsmLists(first, makeLoadVar(40), makePop());
  EXPECT_EQ(joined, first);
  EXPECT_EQ(operationsOf(joined), (std::vector{Operation::LoadConstW, Operation::LoadVar, Operation::Pop}));
  EXPECT_EQ(joined->size, 6u);
  EXPECT_EQ(joined->last->operation, Operation::Pop);
  EXPECT_EQ(joined->last->next, nullptr);
  freeAsmCodeList(joined);
}

TEST(AsmLists, TheLaterListsConditionalJumpReplacesTheEarlierOne) {
  setCurrentSourceLineNumber(1);
  // A conditional jump slot is only the second-last instruction of a block:
  // whatever is joined after it takes its place, even without a slot.
  AsmCodeList *pair = appendAsmLists(makeTJumpFw(1), makeJumpFw(2), nullptr);
  pair->conditionalJump = pair->first;
  AsmCodeList *withSlot = appendAsmLists(makePop(), pair, nullptr);
  EXPECT_EQ(withSlot->conditionalJump->operation, Operation::TJumpFwS);
  AsmCodeList *afterwards = appendAsmLists(withSlot, makePop(), nullptr);
  EXPECT_EQ(afterwards->conditionalJump, nullptr);
  // A null second list leaves the slot alone.
  afterwards->conditionalJump = afterwards->first;
  EXPECT_EQ(appendAsmLists(afterwards, nullptr, nullptr)->conditionalJump, afterwards->first);
  freeAsmCodeList(afterwards);
}

// ---------------------------------------------------------------- block walk

// A small function built by hand: blocks in list order, statements appended
// with their source lines.
struct HandBuiltFunction {
  BasicBlock blocks[4];
  BlockListNode nodes[4];
  std::vector<Statement *> statements;
  std::vector<AbstractTree *> trees;

  explicit HandBuiltFunction(int blockCount) {
    for (int i = 0; i < blockCount; ++i) {
      blocks[i] = BasicBlock{.cgBlockInfoPtr = nullptr, .firstStatement = nullptr, .lastStatement = nullptr};
      nodes[i] = BlockListNode{.blockPtr = &blocks[i],
                               .previousBlock = i > 0 ? &nodes[i - 1] : nullptr,
                               .nextBlock = i + 1 < blockCount ? &nodes[i + 1] : nullptr};
    }
  }
  ~HandBuiltFunction() {
    for (AbstractTree *tree : trees)
      releaseTree(tree);
    for (Statement *statement : statements)
      delete statement;
  }

  Statement *append(int block, unsigned line, StatementType type) {
    auto *statement = new Statement{};
    statement->sourceLineNumber = line;
    statement->statementType = type;
    BasicBlock &target = blocks[block];
    if (target.lastStatement)
      target.lastStatement->nextStatementPtr = statement;
    else
      target.firstStatement = statement;
    statement->previousStatementPtr = target.lastStatement;
    target.lastStatement = statement;
    statements.push_back(statement);
    return statement;
  }
  void increment(int block, unsigned line, std::uint32_t variable) {
    AbstractTree *tree = createAbstractTree(PostIncrement);
    AbstractTree *leaf = createAbstractTree(IdentifierLeaf);
    leaf->identifier.index = variable;
    leaf->identifier.record = nullptr;
    appendChild(tree, leaf);
    trees.push_back(tree);
    append(block, line, SequentialStat)->abstractTreePtr = tree;
  }
  void returnNothing(int block, unsigned line) { append(block, line, ReturnStat)->abstractTreePtr = nullptr; }
  void jumpTo(int block, unsigned line, int target) {
    append(block, line, GotoStat)->targetBlock = &blocks[target];
  }

  Bytes generate() {
    ByteBuffer *code = generateBlockListCode(&nodes[0]);
    const Bytes bytes = contentsOf(code);
    freeByteBuffer(code);
    return bytes;
  }
};

TEST(BlockListCode, ALoneReturnIsOneByte) {
  HandBuiltFunction function(1);
  function.returnNothing(0, 1);
  EXPECT_EQ(function.generate(), (Bytes{0x3B}));
  EXPECT_EQ(numberOfBasicBlocks(), 1u);
  // The assembly releases the back end's record of every block.
  EXPECT_EQ(function.blocks[0].cgBlockInfoPtr, nullptr);
}

TEST(BlockListCode, StatementsOfOneBlockAreSelectedInOrder) {
  HandBuiltFunction function(1);
  function.increment(0, 2, 3);
  function.increment(0, 2, 9);
  function.returnNothing(0, 3);
  EXPECT_EQ(function.generate(), (Bytes{0x73, 0x10, 0x09, 0x3B}));
}

TEST(BlockListCode, AGotoToTheNextBlockProducesNoCode) {
  HandBuiltFunction function(2);
  function.jumpTo(0, 1, 1);
  function.returnNothing(1, 2);
  EXPECT_EQ(function.generate(), (Bytes{0x3B}));
  EXPECT_EQ(numberOfBasicBlocks(), 2u);
}

TEST(BlockListCode, JumpDirectionFollowsTheLayout) {
  {
    SCOPED_TRACE("forward to a block not laid out yet");
    HandBuiltFunction function(3);
    function.jumpTo(0, 1, 2);
    function.returnNothing(1, 2);
    function.returnNothing(2, 3);
    EXPECT_EQ(function.generate(), (Bytes{0x81, 0x3B, 0x3B}));  // jump_fw_s 1
  }
  {
    SCOPED_TRACE("backward to an earlier block");
    HandBuiltFunction function(2);
    function.returnNothing(0, 1);
    function.increment(1, 2, 0);
    function.jumpTo(1, 2, 0);
    EXPECT_EQ(function.generate(), (Bytes{0x3B, 0x70, 0xA2}));  // jump_bw_s 2
  }
  {
    SCOPED_TRACE("a block jumping to itself");
    HandBuiltFunction function(2);
    function.jumpTo(0, 1, 1);
    function.jumpTo(1, 2, 1);
    EXPECT_EQ(function.generate(), (Bytes{0xA0}));  // jump_bw_s 0
  }
}

// Runs in a child process: -g stays on for the rest of the process.
[[noreturn]] void generateWithLineTableAndExit() {
  char input[] = "/tmp/codegen_misc_test_XXXXXX";
  if (mkstemp(input) < 0)
    std::exit(3);
  char program[] = "tavok", debugOption[] = "-g", output[] = "/tmp/codegen_misc_test_out";
  char *argv[] = {program, debugOption, input, output};
  processCommandLine(4, argv);
  std::remove(input);
  HandBuiltFunction function(2);
  function.increment(0, 5, 1);   // line 5 at offset 0
  function.increment(0, 5, 2);   // the same line: no entry
  function.jumpTo(0, 6, 1);      // no code: no entry
  function.returnNothing(1, 7);  // line 7 at offset 2
  const Bytes code = function.generate();
  const std::uint32_t entries = debugLineCount();
  ByteBuffer *lineBuffer = takeDebugLineBuffer();
  const Bytes lineTable = contentsOf(lineBuffer);
  freeByteBuffer(lineBuffer);
  const bool expected =
      code == Bytes{0x71, 0x72, 0x3B} && entries == 2 && lineTable == Bytes{0x00, 0x05, 0x02, 0x07};
  std::exit(expected ? 0 : 2);
}

TEST(BlockListCodeDeathTest, DebugLineTableHasAnEntryPerChangeOfLine) {
  EXPECT_EXIT(generateWithLineTableAndExit(), ::testing::ExitedWithCode(0), "");
}

} // namespace
