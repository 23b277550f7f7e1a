// Code generation from hand-built blocks and trees: the smallest form of every
// instruction, jumps included, at both sides of its thresholds; jump layouts
// that must settle; rare selection rules; the -g line table; any tree depth.
#include "codegen.h"

#include "codegen_misc.h"
#include "exprir.h"
#include "treebuilder.h"
#include "stmntir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

// The command-line flags live with the driver; here -g is switched per test.
static int debugInfoEnabled = 0;
int isDumpEnabled() { return 0; }
int isDebugInfoEnabled() { return debugInfoEnabled; }

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes left, const Bytes &right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

AbstractTree *constant(ValueType type, ConstantType placement, std::uint32_t value) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode =
      ConstantDescriptor{.signParity = 0, .valueType = type, .constantType = placement, .value = value};
  return leaf;
}

AbstractTree *pooled(std::uint32_t index) { return constant(IntegerType, IndirectConstant, index); }

// first + v1 + v1 + ...: loads and additions, one byte each but a first
// variable above 31, which takes two.
AbstractTree *sum(int leaves, std::uint32_t first = 1) {
  AbstractTree *chain = variable(first);
  for (int i = 1; i < leaves; ++i)
    chain = node(Add, {chain, variable(1)});
  return chain;
}

AbstractTree *sumOfSize(int bytes) { return bytes % 2 ? sum((bytes + 1) / 2) : sum(bytes / 2, 40); }

Bytes selectedBytes(AbstractTree *tree, bool asStatement) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  tree->valueDiscarded = asStatement;
  AsmCodeList *list = asStatement ? selectStatementExpression(tree) : selectExpression(tree);
  Bytes bytes;
  for (const AsmCode *code = list ? list->first : nullptr; code; code = code->next) {
    ByteBuffer *encoded = encodeInstruction(code);
    bytes.insert(bytes.end(), encoded->bytes, encoded->bytes + encoded->size);
    freeByteBuffer(encoded);
  }
  freeAsmCodeList(list);
  releaseTree(tree);
  return bytes;
}

Bytes value(AbstractTree *tree) { return selectedBytes(tree, false); }
Bytes statement(AbstractTree *tree) { return selectedBytes(tree, true); }

Bytes slice(const Bytes &bytes, int before, int after) { return Bytes(bytes.begin() + before, bytes.end() - after); }

// One function built by hand: blocks in list order, each ending in a
// conditional, goto or return statement.
struct HandBuiltFunction {
  std::deque<BasicBlock> blocks;
  std::deque<BlockListNode> nodes;
  std::deque<Statement> statements;
  std::uint32_t line = 1;  // of the statements added next

  explicit HandBuiltFunction(int blockCount) : blocks(blockCount), nodes(blockCount) {
    for (int i = 0; i < blockCount; ++i)
      nodes[i] = BlockListNode{.blockPtr = &blocks[i],
                               .previousBlock = i > 0 ? &nodes[i - 1] : nullptr,
                               .nextBlock = i + 1 < blockCount ? &nodes[i + 1] : nullptr};
  }
  ~HandBuiltFunction() {
    for (Statement &added : statements)
      if (added.statementType != GotoStat && added.abstractTreePtr)
        releaseTree(added.abstractTreePtr);
  }

  Statement &add(int block, StatementType type, AbstractTree *tree) {
    BasicBlock &target = blocks[block];
    Statement &added = statements.emplace_back();
    added.sourceLineNumber = line;
    added.statementType = type;
    added.abstractTreePtr = tree;
    added.previousStatementPtr = target.lastStatement;
    (target.lastStatement ? target.lastStatement->nextStatementPtr : target.firstStatement) = &added;
    target.lastStatement = &added;
    return added;
  }
  // Statements selecting to exactly bytes bytes.
  void filler(int block, int bytes) {
    if (bytes == 1)
      add(block, SequentialStat, node(PostIncrement, {variable(0)}));
    else if (bytes > 1)
      add(block, SequentialStat, node(Assign, {variable(0), sumOfSize(bytes - 1)}));
  }
  void conditional(int block, AbstractTree *condition, int trueBlock, int falseBlock) {
    Statement &test = add(block, ConditionalStat, condition);
    test.trueBlock = &blocks[trueBlock];
    test.falseBlock = &blocks[falseBlock];
  }
  void jump(int block, int target) { add(block, GotoStat, nullptr).targetBlock = &blocks[target]; }
  void returns(int block) { add(block, ReturnStat, nullptr); }

  Bytes code() {
    resetInstructionSelection();
    ByteBuffer *code = generateBlockListCode(&nodes[0]);
    Bytes bytes = code ? Bytes(code->bytes, code->bytes + code->size) : Bytes{};
    freeByteBuffer(code);
    return bytes;
  }
};

// One block of a layout: filler bytes, then a goto, a test of v0 or a return.
struct Block {
  int filler;
  int go = -1;
  int ifTrue = -1, ifFalse = -1;
};

Bytes layout(std::initializer_list<Block> blocks) {
  HandBuiltFunction function(static_cast<int>(blocks.size()));
  int i = 0;
  for (const Block &block : blocks) {
    function.filler(i, block.filler);
    if (block.go >= 0)
      function.jump(i, block.go);
    else if (block.ifTrue >= 0)
      function.conditional(i, variable(0), block.ifTrue, block.ifFalse);
    else
      function.returns(i);
    ++i;
  }
  return function.code();
}

Bytes fillerBytes(int bytes) { return slice(layout({{bytes}}), 0, 1); }

// The bytes of one jump between blocks over distance bytes: counted from the
// byte after a forward jump, from the first byte of a backward one (a
// condition's load is one byte). A block without code lies in between at 0.
Bytes forward(int distance) { return slice(layout({{0, 2}, {distance, 2}, {0}}), 0, distance + 1); }
Bytes conditionalForward(int distance) {
  return slice(layout({{0, -1, 1, 2}, {distance, 2}, {0}}), 1, distance + 1);
}
Bytes backward(int distance) { return slice(layout({{distance, 0}, {0}}), distance, 1); }
Bytes conditionalBackward(int distance) { return slice(layout({{distance - 1, -1, 1, 0}, {0}}), distance, 1); }

// The jump of a || over its right operand, and the jump of a ?: over its
// else-value, of skipped bytes each: expression jumps are sized at selection.
Bytes orJump(int skipped) {
  return slice(value(node(LogicalOr, {variable(0), sumOfSize(skipped - 1)})), 2, skipped);  // + tobool
}
Bytes elseJump(int skipped) {
  return slice(value(node(Conditional, {variable(0), variable(2), sumOfSize(skipped)})), 3, skipped);
}

struct Row {
  const char *name;
  Bytes (*make)();
  Bytes expected;
  const char *dies = nullptr;  // instead, the run ends with this message
};

constexpr const char *internalError = "Assertion failed";
constexpr const char *jumpLimit = "Error: Jump offset exceeds limit";

void check(std::span<const Row> rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.dies)
      EXPECT_DEATH(row.make(), row.dies);
    else
      EXPECT_EQ(row.make(), row.expected);
  }
}

TEST(InstructionForms, SmallestFormAtBothSidesOfEveryThreshold) {
  const Row rows[] = {
      {"load_var 31", [] { return value(variable(31)); }, {0xFF}},
      {"load_var 32", [] { return value(variable(32)); }, {0x0E, 0x20}},
      {"load_var 255", [] { return value(variable(255)); }, {0x0E, 0xFF}},
      {"load_var 256", [] { return value(variable(256)); }, {}, internalError},
      {"store_var 15", [] { return statement(node(Assign, {variable(15), variable(0)})); }, {0xE0, 0x4F}},
      {"store_var 16", [] { return statement(node(Assign, {variable(16), variable(0)})); }, {0xE0, 0x0F, 0x10}},
      {"store_var 256", [] { return statement(node(Assign, {variable(256), variable(0)})); }, {}, internalError},
      {"incr_var 7", [] { return statement(node(PostIncrement, {variable(7)})); }, {0x77}},
      {"incr_var 8", [] { return statement(node(PreIncrement, {variable(8)})); }, {0x10, 0x08}},
      {"incr_var 256", [] { return statement(node(PreIncrement, {variable(256)})); }, {}, internalError},
      {"decr_var 0 has no short form", [] { return statement(node(PostDecrement, {variable(0)})); }, {0x11, 0x00}},
      {"load_const 15", [] { return value(pooled(15)); }, {0x5F}},
      {"load_const 16", [] { return value(pooled(16)); }, {0x12, 0x10}},
      {"load_const 255", [] { return value(pooled(255)); }, {0x12, 0xFF}},
      {"load_const 256", [] { return value(pooled(256)); }, {0x13, 0x01, 0x00}},
      {"load_const 65535", [] { return value(pooled(65535)); }, {0x13, 0xFF, 0xFF}},
      {"load_const 65536", [] { return value(pooled(65536)); }, {}, internalError},
      {"call 7", [] { return value(node(FunctionCall, {variable(7)})); }, {0x67}},
      {"call 8", [] { return value(node(FunctionCall, {variable(8)})); }, {0x09, 0x08}},
      {"call 255", [] { return value(node(FunctionCall, {variable(255)})); }, {0x09, 0xFF}},
      // The front end refuses the 257th function name.
      {"call 256", [] { return value(node(FunctionCall, {variable(256)})); }, {}, internalError},
      {"call_lib f7 l255", [] { return value(node(LibraryFunctionCall, {pooled(255), pooled(7)})); }, {0x6F, 0xFF}},
      {"call_lib f8 l0", [] { return value(node(LibraryFunctionCall, {pooled(0), pooled(8)})); }, {0x0A, 0x08, 0x00}},
      {"call_lib f255 l255", [] { return value(node(LibraryFunctionCall, {pooled(255), pooled(255)})); },
       {0x0A, 0xFF, 0xFF}},
      {"call_lib f3 l256", [] { return value(node(LibraryFunctionCall, {pooled(256), pooled(3)})); },
       {0x0B, 0x03, 0x01, 0x00}},
      {"call_lib f255 l65535", [] { return value(node(LibraryFunctionCall, {pooled(65535), pooled(255)})); },
       {0x0B, 0xFF, 0xFF, 0xFF}},
      {"call_lib f256", [] { return value(node(LibraryFunctionCall, {pooled(0), pooled(256)})); }, {}, internalError},
      {"call_lib l65536", [] { return value(node(LibraryFunctionCall, {pooled(65536), pooled(0)})); }, {},
       internalError},
      {"call_url u255 n255", [] { return value(node(ExternalFunctionCall, {pooled(255), pooled(255)})); },
       {0x0C, 0xFF, 0xFF, 0x00}},
      {"call_url u256 n2", [] { return value(node(ExternalFunctionCall, {pooled(256), pooled(2)})); },
       {0x0D, 0x01, 0x00, 0x00, 0x02, 0x00}},
      {"call_url u1 n256", [] { return value(node(ExternalFunctionCall, {pooled(1), pooled(256)})); },
       {0x0D, 0x00, 0x01, 0x01, 0x00, 0x00}},
      {"call_url with 256 arguments",
       [] {
         AbstractTree *call = node(ExternalFunctionCall, {pooled(0), pooled(1)});
         for (int i = 0; i < 256; ++i)
           appendChild(call, variable(0));
         return value(call);
       },
       {}, internalError},
      {"jump_fw 0 over blocks without code", [] { return forward(0); }, {0x80}},
      {"jump_fw 31", [] { return forward(31); }, {0x9F}},
      {"jump_fw 32", [] { return forward(32); }, {0x01, 0x20}},
      {"jump_fw 255", [] { return forward(255); }, {0x01, 0xFF}},
      {"jump_fw 256", [] { return forward(256); }, {0x02, 0x01, 0x00}},
      {"jump_fw 65535", [] { return forward(65535); }, {0x02, 0xFF, 0xFF}},
      {"jump_fw 65536", [] { return forward(65536); }, {}, jumpLimit},
      {"tjump_fw 0", [] { return conditionalForward(0); }, {0xC0}},
      {"tjump_fw 31", [] { return conditionalForward(31); }, {0xDF}},
      {"tjump_fw 32", [] { return conditionalForward(32); }, {0x05, 0x20}},
      {"tjump_fw 255", [] { return conditionalForward(255); }, {0x05, 0xFF}},
      {"tjump_fw 256", [] { return conditionalForward(256); }, {0x06, 0x01, 0x00}},
      {"jump_bw 0 to itself", [] { return backward(0); }, {0xA0}},
      {"jump_bw 31", [] { return backward(31); }, {0xBF}},
      {"jump_bw 32", [] { return backward(32); }, {0x03, 0x20}},
      {"jump_bw 255", [] { return backward(255); }, {0x03, 0xFF}},
      {"jump_bw 256", [] { return backward(256); }, {0x04, 0x01, 0x00}},
      {"jump_bw 65535", [] { return backward(65535); }, {0x04, 0xFF, 0xFF}},
      {"jump_bw 65536", [] { return backward(65536); }, {}, jumpLimit},
      {"tjump_bw 1 has no short form", [] { return conditionalBackward(1); }, {0x07, 0x01}},
      {"tjump_bw 255", [] { return conditionalBackward(255); }, {0x07, 0xFF}},
      {"tjump_bw 256", [] { return conditionalBackward(256); }, {0x08, 0x01, 0x00}},
      {"|| over 31", [] { return orJump(31); }, {0xDF}},
      {"|| over 32", [] { return orJump(32); }, {0x05, 0x20}},
      {"|| over 255", [] { return orJump(255); }, {0x05, 0xFF}},
      {"|| over 256", [] { return orJump(256); }, {0x06, 0x01, 0x00}},
      {"|| over 65535", [] { return orJump(65535); }, {0x06, 0xFF, 0xFF}},
      {"|| over 65536", [] { return orJump(65536); }, {}, jumpLimit},
      {"?: else of 31", [] { return elseJump(31); }, {0x9F}},
      {"?: else of 32", [] { return elseJump(32); }, {0x01, 0x20}},
      {"?: else of 255", [] { return elseJump(255); }, {0x01, 0xFF}},
      {"?: else of 256", [] { return elseJump(256); }, {0x02, 0x01, 0x00}},
      {"?: else of 65535", [] { return elseJump(65535); }, {0x02, 0xFF, 0xFF}},
      {"?: else of 65536", [] { return elseJump(65536); }, {}, jumpLimit},
  };
  check(rows);
}

// Jumps start at three bytes and shrink round after round. Where the two
// jumps of one block would trade sizes forever, sizes may only grow once a
// round repeats: a jump then keeps a larger form than its offset needs.
TEST(JumpSelection, LayoutsSettle) {
  const Row rows[] = {
      // A skips block 1 and B; A reaches the smaller form only once B has shrunk.
      {"shrinking B brings A to one byte", [] { return layout({{0, 2}, {30, 3}, {0}, {0}}); },
       Bytes{0x9F} + fillerBytes(30) + Bytes{0x81, 0x3B, 0x3B}},
      {"shrinking B brings A to two bytes", [] { return layout({{0, 2}, {254, 3}, {0}, {0}}); },
       Bytes{0x01, 0xFF} + fillerBytes(254) + Bytes{0x81, 0x3B, 0x3B}},
      // The last jump of block 1 keeps two bytes for an offset of 31.
      {"trading sizes around 31", [] { return layout({{31, 2}, {27, -1, 4, 3}, {30, 3}, {1, 4}, {0}}); },
       fillerBytes(31) + Bytes{0x01, 32} + fillerBytes(27) + Bytes{0xE0, 0x05, 32, 0x01, 31} + fillerBytes(30) +
           fillerBytes(1) + Bytes{0x3B}},
      // The conditional jump of block 1 keeps three bytes for an offset of 255.
      {"trading sizes around 255", [] { return layout({{0, 2}, {243, -1, 4, 3}, {253, 3}, {2, 4}, {0}}); },
       Bytes{0x01, 249} + fillerBytes(243) + Bytes{0xE0, 0x06, 0x00, 0xFF, 0x01, 0xFF} + fillerBytes(253) +
           fillerBytes(2) + Bytes{0x3B}},
      {"a backward conditional jump before a forward one", [] { return layout({{3, -1, 2, 0}, {0}, {0}}); },
       fillerBytes(3) + Bytes{0xE0, 0x07, 0x04, 0x81, 0x3B, 0x3B}},
  };
  check(rows);
}

// Without the line table the jumps between blocks are never instructions:
// they are written from the settled layout. Both ways give the same Code.
TEST(JumpSelection, SameCodeWithAndWithoutTheLineTable) {
  const std::function<Bytes()> layouts[] = {
      [] { return layout({{0, 2}, {30, 3}, {0}, {0}}); },
      [] { return layout({{31, 2}, {27, -1, 4, 3}, {30, 3}, {1, 4}, {0}}); },
      [] { return layout({{0, 2}, {243, -1, 4, 3}, {253, 3}, {2, 4}, {0}}); },
      [] { return layout({{3, -1, 2, 0}, {0}, {0}}); },
      [] { return layout({{40, 0}, {300, -1, 0, 3}, {2, 1}, {0}}); },
  };
  for (const auto &make : layouts) {
    const Bytes withoutLines = make();
    debugInfoEnabled = 1;
    const Bytes withLines = make();
    freeByteBuffer(takeDebugLineBuffer());
    debugInfoEnabled = 0;
    EXPECT_EQ(withoutLines, withLines);
  }
}

// ---------------------------------------------------------------- selection rules

Bytes branch(AbstractTree *condition, int trueBlock, int falseBlock) {
  HandBuiltFunction function(4);
  function.conditional(0, condition, trueBlock, falseBlock);
  for (int block = 1; block < 4; ++block)
    function.returns(block);
  return function.code();
}

AbstractTree *boolean(ImmediateCode code) {
  return constant(BooleanType, ImmediateConstant, static_cast<std::uint32_t>(code));
}

TEST(Selection, OperatorAndConditionRules) {
  const Row rows[] = {
      {"a = a + b for its value: add_asg, then a load",
       [] { return value(node(Assign, {variable(2), node(Add, {variable(2), variable(1)})})); },
       {0xE1, 0x1D, 0x02, 0xE2}},
      {"a += b for its value", [] { return value(node(AddAssign, {variable(4), variable(1)})); },
       {0xE1, 0x1D, 0x04, 0xE4}},
      {"++a for its value", [] { return value(node(PreIncrement, {variable(1)})); }, {0x71, 0xE1}},
      {"a-- for its value", [] { return value(node(PostDecrement, {variable(1)})); }, {0xE1, 0x11, 0x01}},
      // tobool ends a right operand, once: the parent converts its left operand.
      {"(a && b) || c",
       [] { return value(node(LogicalOr, {node(LogicalAnd, {variable(0), variable(1)}), variable(2)})); },
       {0xE0, 0x34, 0xC1, 0xE1, 0x35, 0xC2, 0xE2, 0x36}},
      {"a && (b || c)",
       [] { return value(node(LogicalAnd, {variable(0), node(LogicalOr, {variable(1), variable(2)})})); },
       {0xE0, 0x34, 0xC5, 0xE1, 0x35, 0xC2, 0xE2, 0x36}},
      // Entering the right &&, the node entered last is the left &&, not the ||.
      {"(a && b) || (c && d)",
       [] {
         return value(node(LogicalOr, {node(LogicalAnd, {variable(0), variable(1)}),
                                       node(LogicalAnd, {variable(2), variable(3)})}));
       },
       {0xE0, 0x34, 0xC1, 0xE1, 0x35, 0xC5, 0xE2, 0x34, 0xC2, 0xE3, 0x36}},
      {"c ? f() : y as a statement",
       [] { return statement(node(Conditional, {variable(0), node(FunctionCall, {variable(0)}), variable(2)})); },
       {0xE0, 0xC2, 0x60, 0x81, 0xE2, 0x37}},
      // Conditional statements; blocks 1 to 3 each hold a bare return.
      {"true, neither target next: only the jump", [] { return branch(boolean(ImmediateCode::True), 2, 3); },
       {0x81, 0x3B, 0x3B, 0x3B}},
      {"false is not known true", [] { return branch(boolean(ImmediateCode::False), 1, 2); },
       {0x1A, 0xC1, 0x3B, 0x3B, 0x3B}},
      {"a string is not known true", [] { return branch(constant(StringType, IndirectConstant, 0), 1, 2); },
       {0x50, 0xC1, 0x3B, 0x3B, 0x3B}},
      {"a, false target next", [] { return branch(variable(0), 2, 1); }, {0xE0, 0xC1, 0x81, 0x3B, 0x3B, 0x3B}},
      {"a, neither target next", [] { return branch(variable(0), 2, 3); }, {0xE0, 0xC3, 0x81, 0x3B, 0x3B, 0x3B}},
      {"a, both targets one later block", [] { return branch(variable(0), 2, 2); },
       {0xE0, 0x37, 0x81, 0x3B, 0x3B, 0x3B}},
  };
  check(rows);
}

// A new entry, offset and line, wherever the line changes: the many
// instructions of one line share one, a goto without code adds none.
TEST(LineTable, AnEntryPerChangeOfLine) {
  debugInfoEnabled = 1;
  freeByteBuffer(takeDebugLineBuffer());
  HandBuiltFunction function(2);
  function.line = 5;
  function.filler(0, 130);
  function.line = 6;
  function.jump(0, 1);
  function.line = 200;
  function.returns(1);
  EXPECT_EQ(function.code().size(), 131u);
  EXPECT_EQ(debugLineCount(), 2u);
  ByteBuffer *lines = takeDebugLineBuffer();
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(Bytes(lines->bytes, lines->bytes + lines->size), (Bytes{0x00, 0x05, 0x81, 0x02, 0x81, 0x48}));
  freeByteBuffer(lines);
  debugInfoEnabled = 0;
}

// Each statement's entry is at its first instruction: a statement's bytes,
// or for a goto its jump, which comes after the block's other bytes.
TEST(LineTable, EveryStatementWithCodeAtItsFirstInstruction) {
  debugInfoEnabled = 1;
  freeByteBuffer(takeDebugLineBuffer());
  HandBuiltFunction function(3);
  function.line = 5;
  function.filler(0, 3);
  function.line = 6;
  function.filler(0, 1);
  function.line = 7;
  function.jump(0, 2);
  function.line = 8;
  function.returns(1);
  function.line = 9;
  function.returns(2);
  EXPECT_EQ(function.code(), (Bytes{0x0E, 0x28, 0x40, 0x70, 0x81, 0x3B, 0x3B}));
  EXPECT_EQ(debugLineCount(), 5u);
  ByteBuffer *lines = takeDebugLineBuffer();
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(Bytes(lines->bytes, lines->bytes + lines->size), (Bytes{0, 5, 3, 6, 4, 7, 5, 8, 6, 9}));
  freeByteBuffer(lines);
  debugInfoEnabled = 0;
}

// ---------------------------------------------------------------- tree release

// A statement's tree goes as soon as its instructions are selected, so the
// instructions of the next statements are made of its cells; the logical
// node remembered for the tobool rule goes with it. Two identical statements
// must select identical code, the first one's release notwithstanding, and
// a goto keeps its target.
TEST(TreeRelease, EachStatementsTreeGoesOnceSelected) {
  auto logicalAssignment = [] {
    return node(Assign, {variable(0), node(LogicalOr, {node(LogicalAnd, {variable(1), variable(2)}),
                                                      node(LogicalOr, {variable(3), variable(4)})})});
  };
  HandBuiltFunction function(2);
  function.add(0, SequentialStat, logicalAssignment());
  function.add(0, SequentialStat, logicalAssignment());
  function.jump(0, 1);
  function.add(1, ReturnStat, node(LogicalAnd, {variable(5), variable(6)}));
  const Bytes code = function.code();
  ASSERT_GT(code.size(), 4u);
  HandBuiltFunction single(1);
  single.add(0, SequentialStat, logicalAssignment());
  single.returns(0);
  const Bytes one = single.code();
  ASSERT_GE(code.size(), 2 * (one.size() - 1));
  EXPECT_EQ(Bytes(code.begin(), code.begin() + (one.size() - 1)), Bytes(one.begin(), one.end() - 1));
  EXPECT_EQ(Bytes(code.begin() + (one.size() - 1), code.begin() + 2 * (one.size() - 1)),
            Bytes(one.begin(), one.end() - 1));
  for (const Statement &statement : function.statements) {
    SCOPED_TRACE(statement.statementType);
    if (statement.statementType == GotoStat)
      EXPECT_EQ(statement.targetBlock, &function.blocks[1]);
    else
      EXPECT_EQ(statement.abstractTreePtr, nullptr);
  }
}

// ---------------------------------------------------------------- depth

// The trees stay in the tree pool until the process ends: releasing them is
// the tree module's business.
TEST(DeepTrees, AreSelectedWithoutRecursion) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  constexpr int terms = 1000000;
  AsmCodeList *list = selectExpression(sum(terms));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size, 2u * terms - 1);
  EXPECT_EQ(list->last->operation, Operation::Add);
  freeAsmCodeList(list);

  // Nested through the condition and the left operand, which no jump spans;
  // every level adds four one-byte instructions.
  constexpr int depth = 200000;
  resetInstructionSelection();
  AbstractTree *tree = variable(0);
  for (int i = 0; i < depth; ++i)
    tree = i % 2 ? node(Conditional, {tree, variable(1), variable(2)}) : node(LogicalOr, {tree, variable(3)});
  list = selectExpression(tree);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size, 1u + 4u * depth);
  freeAsmCodeList(list);
}

} // namespace
