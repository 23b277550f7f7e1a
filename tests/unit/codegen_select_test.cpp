// Instruction selection: the form and bytes of every instruction family at
// both sides of its thresholds, the operator rules (accumulating assignment,
// discarded values, increments, && and || with tobool, ?:), the conditional
// statement's choice of jumps, and selection of trees of any depth.
#include "codegen.h"

#include "codegen_misc.h"
#include "exprir.h"
#include "stmntir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

// The command-line flags live with the driver; here -g is switched per test.
static int debugInfoEnabled = 0;
int isDumpEnabled() { return 0; }
int isDebugInfoEnabled() { return debugInfoEnabled; }

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- trees

AbstractTree *variable(std::uint32_t index) {
  AbstractTree *leaf = createAbstractTree(IdentifierLeaf);
  leaf->identifier = IdentifierLeafData{.index = index, .record = nullptr};
  return leaf;
}

AbstractTree *constant(ValueType type, ConstantType placement, std::uint32_t value) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = ConstantDescriptor{.signParity = 0,
                                          .valueType = type,
                                          .constantType = placement,
                                          .value = value};
  return leaf;
}

AbstractTree *poolConstant(std::uint32_t index) { return constant(IntegerType, IndirectConstant, index); }

AbstractTree *immediate(ImmediateCode code) {
  const ValueType type = code == ImmediateCode::True || code == ImmediateCode::False ? BooleanType
                         : code == ImmediateCode::Invalid                            ? InvalidType
                         : code == ImmediateCode::EmptyString                        ? StringType
                                                                                     : IntegerType;
  return constant(type, ImmediateConstant, static_cast<std::uint32_t>(code));
}

AbstractTree *node(ExpressionOperator op, std::initializer_list<AbstractTree *> children) {
  AbstractTree *tree = createAbstractTree(op);
  for (AbstractTree *child : children)
    appendChild(tree, child);
  return tree;
}

AbstractTree *call(std::uint32_t functionIndex, std::initializer_list<AbstractTree *> arguments) {
  AbstractTree *tree = node(FunctionCall, {variable(functionIndex)});
  for (AbstractTree *argument : arguments)
    appendChild(tree, argument);
  return tree;
}

AbstractTree *libraryCall(std::uint32_t library, std::uint32_t function,
                          std::initializer_list<AbstractTree *> arguments) {
  AbstractTree *tree = node(LibraryFunctionCall, {poolConstant(library), poolConstant(function)});
  for (AbstractTree *argument : arguments)
    appendChild(tree, argument);
  return tree;
}

AbstractTree *urlCall(std::uint32_t url, std::uint32_t name, std::initializer_list<AbstractTree *> arguments) {
  AbstractTree *tree = node(ExternalFunctionCall, {poolConstant(url), poolConstant(name)});
  for (AbstractTree *argument : arguments)
    appendChild(tree, argument);
  return tree;
}

// ---------------------------------------------------------------- lists

Bytes bytesOf(const AsmCodeList *list) {
  Bytes bytes;
  for (const AsmCode *code = list ? list->first : nullptr; code; code = code->next) {
    ByteBuffer *encoded = encodeInstruction(code);
    bytes.insert(bytes.end(), encoded->bytes, encoded->bytes + encoded->size);
    freeByteBuffer(encoded);
  }
  return bytes;
}

std::string namesOf(const AsmCodeList *list) {
  std::string names;
  for (const AsmCode *code = list ? list->first : nullptr; code; code = code->next) {
    if (!names.empty())
      names += ' ';
    names += opcodeRow(code->operation).name;
  }
  return names;
}

// Selects the tree as an expression (or, discarded, as an expression
// statement) and returns its bytes; the tree and the list are released.
Bytes expressionBytes(AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  AsmCodeList *list = selectExpression(tree);
  Bytes bytes = bytesOf(list);
  freeAsmCodeList(list);
  releaseTree(tree);
  return bytes;
}

Bytes statementBytes(AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  tree->valueDiscarded = 1;
  AsmCodeList *list = selectStatementExpression(tree);
  Bytes bytes = bytesOf(list);
  freeAsmCodeList(list);
  releaseTree(tree);
  return bytes;
}

std::string expressionNames(AbstractTree *tree) {
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  AsmCodeList *list = selectExpression(tree);
  std::string names = namesOf(list);
  freeAsmCodeList(list);
  releaseTree(tree);
  return names;
}

// ---------------------------------------------------------------- forms

struct FormCase {
  const char *name;
  AbstractTree *(*tree)();
  bool asStatement;
  Bytes expected;
};

const FormCase formCases[] = {
    {"load variable 31", [] { return variable(31); }, false, {0xFF}},
    {"load variable 32", [] { return variable(32); }, false, {0x0E, 0x20}},
    {"load variable 255", [] { return variable(255); }, false, {0x0E, 0xFF}},
    {"store variable 15", [] { return node(Assign, {variable(15), immediate(ImmediateCode::Zero)}); }, true,
     {0x14, 0x4F}},
    {"store variable 16", [] { return node(Assign, {variable(16), immediate(ImmediateCode::Zero)}); }, true,
     {0x14, 0x0F, 0x10}},
    {"i++ on 7", [] { return node(PostIncrement, {variable(7)}); }, true, {0x77}},
    {"++i on 8", [] { return node(PreIncrement, {variable(8)}); }, true, {0x10, 0x08}},
    {"i-- on 0", [] { return node(PostDecrement, {variable(0)}); }, true, {0x11, 0x00}},
    {"--i on 40", [] { return node(PreDecrement, {variable(40)}); }, true, {0x11, 0x28}},
    {"constant 15", [] { return poolConstant(15); }, false, {0x5F}},
    {"constant 16", [] { return poolConstant(16); }, false, {0x12, 0x10}},
    {"constant 255", [] { return poolConstant(255); }, false, {0x12, 0xFF}},
    {"constant 256", [] { return poolConstant(256); }, false, {0x13, 0x01, 0x00}},
    {"constant 65535", [] { return poolConstant(65535); }, false, {0x13, 0xFF, 0xFF}},
    {"call 7", [] { return call(7, {}); }, false, {0x67}},
    {"call 8", [] { return call(8, {}); }, false, {0x09, 0x08}},
    {"call 255", [] { return call(255, {}); }, false, {0x09, 0xFF}},
    {"call_lib f3 l0", [] { return libraryCall(0, 3, {}); }, false, {0x6B, 0x00}},
    {"call_lib f7 l255", [] { return libraryCall(255, 7, {}); }, false, {0x6F, 0xFF}},
    {"call_lib f8 l0", [] { return libraryCall(0, 8, {}); }, false, {0x0A, 0x08, 0x00}},
    {"call_lib f3 l256", [] { return libraryCall(256, 3, {}); }, false, {0x0B, 0x03, 0x01, 0x00}},
    {"call_lib f8 l300", [] { return libraryCall(300, 8, {}); }, false, {0x0B, 0x08, 0x01, 0x2C}},
    {"call_url u255 n255", [] { return urlCall(255, 255, {}); }, false, {0x0C, 0xFF, 0xFF, 0x00}},
    {"call_url u256 n2", [] { return urlCall(256, 2, {}); }, false, {0x0D, 0x01, 0x00, 0x00, 0x02, 0x00}},
    {"call_url u1 n300", [] { return urlCall(1, 300, {}); }, false, {0x0D, 0x00, 0x01, 0x01, 0x2C, 0x00}},
    {"immediate 0", [] { return immediate(ImmediateCode::Zero); }, false, {0x14}},
    {"immediate 1", [] { return immediate(ImmediateCode::One); }, false, {0x15}},
    {"immediate -1", [] { return immediate(ImmediateCode::MinusOne); }, false, {0x16}},
    {"immediate true", [] { return immediate(ImmediateCode::True); }, false, {0x19}},
    {"immediate false", [] { return immediate(ImmediateCode::False); }, false, {0x1A}},
    {"immediate invalid", [] { return immediate(ImmediateCode::Invalid); }, false, {0x18}},
    {"immediate empty string", [] { return immediate(ImmediateCode::EmptyString); }, false, {0x17}},
};

TEST(InstructionForms, EachFamilyAtBothSidesOfItsThresholds) {
  for (const FormCase &formCase : formCases) {
    SCOPED_TRACE(formCase.name);
    AbstractTree *tree = formCase.tree();
    EXPECT_EQ(formCase.asStatement ? statementBytes(tree) : expressionBytes(tree), formCase.expected);
  }
}

struct EncodingCase {
  const char *name;
  AsmCode instruction;
  Bytes expected;
};

AsmCode instruction(Operation operation, std::uint16_t operand1 = 0, std::uint16_t operand2 = 0,
                    std::uint8_t operand3 = 0) {
  return AsmCode{.operation = operation, .operand1 = operand1, .operand2 = operand2,
                 .operand3 = operand3, .lineNo = 1, .targetBlock = nullptr, .next = nullptr};
}

// The jump forms are chosen by jump selection; their bytes are laid out here.
const EncodingCase encodingCases[] = {
    {"jump_fw_s 31", instruction(Operation::JumpFwS, 31), {0x9F}},
    {"jump_fw 32", instruction(Operation::JumpFw, 32), {0x01, 0x20}},
    {"jump_fw_w 256", instruction(Operation::JumpFwW, 256), {0x02, 0x01, 0x00}},
    {"jump_bw_s 20", instruction(Operation::JumpBwS, 20), {0xB4}},
    {"jump_bw 40", instruction(Operation::JumpBw, 40), {0x03, 0x28}},
    {"jump_bw_w 300", instruction(Operation::JumpBwW, 300), {0x04, 0x01, 0x2C}},
    {"tjump_fw_s 0", instruction(Operation::TJumpFwS, 0), {0xC0}},
    {"tjump_fw 255", instruction(Operation::TJumpFw, 255), {0x05, 0xFF}},
    {"tjump_fw_w 65535", instruction(Operation::TJumpFwW, 65535), {0x06, 0xFF, 0xFF}},
    {"tjump_bw 5", instruction(Operation::TJumpBw, 5), {0x07, 0x05}},
    {"tjump_bw_w 4660", instruction(Operation::TJumpBwW, 0x1234), {0x08, 0x12, 0x34}},
    {"add_asg 3", instruction(Operation::AddAsg, 3), {0x1D, 0x03}},
};

TEST(InstructionEncoding, OperandsFollowTheOpcodeHighByteFirst) {
  for (const EncodingCase &encodingCase : encodingCases) {
    SCOPED_TRACE(encodingCase.name);
    ByteBuffer *encoded = encodeInstruction(&encodingCase.instruction);
    ASSERT_EQ(encoded->size, static_cast<std::uint32_t>(opcodeRow(encodingCase.instruction.operation).size));
    EXPECT_EQ(Bytes(encoded->bytes, encoded->bytes + encoded->size), encodingCase.expected);
    freeByteBuffer(encoded);
  }
}

TEST(InstructionEncodingDeathTest, AbstractJumpsNeverReachTheEncoder) {
  const AsmCode conditional = instruction(Operation::ConJumpFw, 3);
  EXPECT_DEATH(encodeInstruction(&conditional), "Op_con_jump encountered");
  const AsmCode unconditional = instruction(Operation::UnconJumpBw, 3);
  EXPECT_DEATH(encodeInstruction(&unconditional), "Op_uncon_jump encountered");
  const AsmCode none = instruction(Operation::None);
  EXPECT_DEATH(encodeInstruction(&none), "Op_none encountered");
}

// ---------------------------------------------------------------- operator rules

TEST(AssignmentSelection, AddingToTheTargetItselfUsesAddAsg) {
  // a = a + b, a = a - b: load b, add_asg / sub_asg a.
  EXPECT_EQ(statementBytes(node(Assign, {variable(0), node(Add, {variable(0), variable(1)})})),
            (Bytes{0xE1, 0x1D, 0x00}));
  EXPECT_EQ(statementBytes(node(Assign, {variable(0), node(Subtract, {variable(0), variable(1)})})),
            (Bytes{0xE1, 0x1E, 0x00}));
  // Its value, when needed, is loaded again.
  EXPECT_EQ(expressionBytes(node(Assign, {variable(2), node(Add, {variable(2), variable(1)})})),
            (Bytes{0xE1, 0x1D, 0x02, 0xE2}));
}

TEST(AssignmentSelection, OtherValuesAreComputedAndStored) {
  // a = a + 1: the constant is no identifier.
  EXPECT_EQ(statementBytes(node(Assign, {variable(0), node(Add, {variable(0), immediate(ImmediateCode::One)})})),
            (Bytes{0xE0, 0x15, 0x20, 0x40}));
  // a = b + a: the target is not the first operand.
  EXPECT_EQ(statementBytes(node(Assign, {variable(0), node(Add, {variable(1), variable(0)})})),
            (Bytes{0xE1, 0xE0, 0x20, 0x40}));
  // a = a * b: only addition and subtraction have such an instruction.
  EXPECT_EQ(statementBytes(node(Assign, {variable(0), node(Multiply, {variable(0), variable(1)})})),
            (Bytes{0xE0, 0xE1, 0x22, 0x40}));
}

TEST(AssignmentSelection, NestedAssignmentLoadsItsValueForTheOuterOne) {
  // x = (a = b): load b, store a, load a, store x.
  EXPECT_EQ(statementBytes(node(Assign, {variable(3), node(Assign, {variable(0), variable(1)})})),
            (Bytes{0xE1, 0x40, 0xE0, 0x43}));
}

TEST(AssignmentSelection, CompoundAddAndSubtract) {
  EXPECT_EQ(statementBytes(node(AddAssign, {variable(4), poolConstant(2)})), (Bytes{0x52, 0x1D, 0x04}));
  EXPECT_EQ(statementBytes(node(SubtractAssign, {variable(4), variable(1)})), (Bytes{0xE1, 0x1E, 0x04}));
  EXPECT_EQ(expressionBytes(node(AddAssign, {variable(4), variable(1)})), (Bytes{0xE1, 0x1D, 0x04, 0xE4}));
}

TEST(IncrementSelection, AsValueTheOldOrTheNewValueIsLoaded) {
  EXPECT_EQ(expressionNames(node(PostIncrement, {variable(1)})), "load_var_s incr_var_s");
  EXPECT_EQ(expressionNames(node(PreIncrement, {variable(1)})), "incr_var_s load_var_s");
  EXPECT_EQ(expressionNames(node(PostDecrement, {variable(1)})), "load_var_s decr_var");
  EXPECT_EQ(expressionNames(node(PreDecrement, {variable(1)})), "decr_var load_var_s");
}

TEST(OperatorSelection, UnaryPlusNegatesTwice) {
  EXPECT_EQ(expressionBytes(node(UnaryPlus, {variable(5)})), (Bytes{0xE5, 0x1F, 0x1F}));
}

TEST(CallSelection, ArgumentsInOrderThenTheCall) {
  EXPECT_EQ(expressionBytes(call(2, {variable(0), poolConstant(16)})), (Bytes{0xE0, 0x12, 0x10, 0x62}));
  EXPECT_EQ(expressionBytes(libraryCall(1, 0, {variable(0), variable(1)})), (Bytes{0xE0, 0xE1, 0x68, 0x01}));
  // The argument count is counted from the arguments.
  EXPECT_EQ(expressionBytes(urlCall(4, 5, {variable(0), variable(1), variable(2)})),
            (Bytes{0xE0, 0xE1, 0xE2, 0x0C, 0x04, 0x05, 0x03}));
}

TEST(CallSelection, AStatementDropsTheResult) {
  EXPECT_EQ(statementBytes(call(1, {variable(0)})), (Bytes{0xE0, 0x61, 0x37}));
  EXPECT_EQ(statementBytes(libraryCall(0, 0, {})), (Bytes{0x68, 0x00, 0x37}));
  EXPECT_EQ(statementBytes(urlCall(0, 1, {})), (Bytes{0x0C, 0x00, 0x01, 0x00, 0x37}));
}

// The front end refuses the 257th function name, so an index without a call
// form is a broken promise between modules.
TEST(CallSelectionDeathTest, AFunctionIndexWithoutACallFormIsAnInternalError) {
  EXPECT_DEATH(expressionBytes(call(256, {})), "index <= 255");
}

// ---------------------------------------------------------------- && and ||

TEST(LogicalSelection, RightOperandIsMadeBoolean) {
  // f(a) || g(b): call f, scor, tjump over g's call and tobool, call g, tobool.
  EXPECT_EQ(expressionBytes(node(LogicalOr, {call(0, {variable(0)}), call(1, {variable(1)})})),
            (Bytes{0xE0, 0x60, 0x35, 0xC3, 0xE1, 0x61, 0x36}));
}

TEST(LogicalSelection, ComparisonsAreBooleanAlready) {
  // (a < b) && (c < d)
  EXPECT_EQ(expressionBytes(node(LogicalAnd, {node(Lesser, {variable(0), variable(1)}),
                                              node(Lesser, {variable(2), variable(3)})})),
            (Bytes{0xE0, 0xE1, 0x2F, 0x34, 0xC3, 0xE2, 0xE3, 0x2F}));
  // !b is boolean too.
  EXPECT_EQ(expressionNames(node(LogicalOr, {variable(0), node(LogicalNot, {variable(1)})})),
            "load_var_s scor tjump_fw_s load_var_s not");
}

TEST(LogicalSelection, ALeftOperandIsConvertedByItsParent) {
  // (a && b) || c: the inner right operand b gets no tobool, c does.
  EXPECT_EQ(expressionBytes(node(LogicalOr, {node(LogicalAnd, {variable(0), variable(1)}), variable(2)})),
            (Bytes{0xE0, 0x34, 0xC1, 0xE1, 0x35, 0xC2, 0xE2, 0x36}));
  // a && (b || c): the inner node is a right operand; its own tobool ends
  // the outer right operand, so the outer one adds none.
  EXPECT_EQ(expressionBytes(node(LogicalAnd, {variable(0), node(LogicalOr, {variable(1), variable(2)})})),
            (Bytes{0xE0, 0x34, 0xC5, 0xE1, 0x35, 0xC2, 0xE2, 0x36}));
}

TEST(LogicalSelection, TheEnclosingNodeIsTheOneEnteredLast) {
  // (a && b) || (c && d): when the right && is entered, the node entered
  // last is the left &&, not the ||, so d gets its tobool.
  EXPECT_EQ(expressionNames(node(LogicalOr, {node(LogicalAnd, {variable(0), variable(1)}),
                                             node(LogicalAnd, {variable(2), variable(3)})})),
            "load_var_s scand tjump_fw_s load_var_s scor tjump_fw_s "
            "load_var_s scand tjump_fw_s load_var_s tobool");
}

TEST(LogicalSelection, AsAStatementTheValueIsDropped) {
  EXPECT_EQ(statementBytes(node(LogicalAnd, {variable(0), call(0, {})})),
            (Bytes{0xE0, 0x34, 0xC2, 0x60, 0x36, 0x37}));
}

// The right operand's code: k loads of variable 0 joined by additions, and
// tobool; one load of variable 40 makes the size odd.
AbstractTree *additionChain(int leaves, bool oneWideLoad) {
  AbstractTree *chain = variable(oneWideLoad ? 40 : 0);
  for (int i = 1; i < leaves; ++i)
    chain = node(Add, {chain, variable(0)});
  return chain;
}

TEST(LogicalSelection, AJumpOf65535BytesIsTheWidestForm) {
  AbstractTree *tree = node(LogicalOr, {variable(1), additionChain(32767, true)});
  const Bytes bytes = expressionBytes(tree);
  ASSERT_EQ(bytes.size(), 1u + 1u + 3u + 65535u);
  EXPECT_EQ((Bytes{bytes[0], bytes[1], bytes[2], bytes[3], bytes[4]}), (Bytes{0xE1, 0x35, 0x06, 0xFF, 0xFF}));
}

TEST(LogicalSelectionDeathTest, AJumpOf65536BytesEndsTheRun) {
  EXPECT_EXIT(expressionBytes(node(LogicalOr, {variable(1), additionChain(32768, false)})),
              ::testing::ExitedWithCode(1), "Error: Jump offset exceeds limit");
}

// ---------------------------------------------------------------- ?:

TEST(ConditionalSelection, JumpsOverEachBranch) {
  // c ? x : y: load c, tjump over x and its jump, load x, jump over y, load y.
  EXPECT_EQ(expressionBytes(node(Conditional, {variable(0), variable(1), variable(2)})),
            (Bytes{0xE0, 0xC2, 0xE1, 0x81, 0xE2}));
  // Both distances grow with the branches: a 32-byte else is jump_fw 32.
  const Bytes bytes = expressionBytes(node(Conditional, {variable(0), variable(1), additionChain(16, true)}));
  ASSERT_EQ(bytes.size(), 1u + 1u + 1u + 2u + 32u);
  EXPECT_EQ((Bytes{bytes[0], bytes[1], bytes[2], bytes[3], bytes[4]}), (Bytes{0xE0, 0xC3, 0xE1, 0x01, 0x20}));
}

TEST(ConditionalSelectionDeathTest, ABranchOf65536BytesEndsTheRun) {
  EXPECT_EXIT(expressionBytes(node(Conditional, {variable(0), variable(1), additionChain(32768, true)})),
              ::testing::ExitedWithCode(1), "Error: Jump offset exceeds limit");
}

TEST(ConditionalSelection, AsAStatementTheValueIsDropped) {
  EXPECT_EQ(statementBytes(node(Conditional, {variable(0), call(0, {}), variable(2)})),
            (Bytes{0xE0, 0xC2, 0x60, 0x81, 0xE2, 0x37}));
}

// ---------------------------------------------------------------- depth

TEST(DeepTrees, AMillionTermChainIsSelectedWithoutRecursion) {
  constexpr int terms = 1000000;
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  AbstractTree *chain = additionChain(terms, false);
  AsmCodeList *list = selectExpression(chain);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size, 2u * terms - 1);
  EXPECT_EQ(list->first->operation, Operation::LoadVarS);
  EXPECT_EQ(list->last->operation, Operation::Add);
  freeAsmCodeList(list);
  // The chain stays in the tree pool until the process ends: releasing it
  // is the tree module's business, and slow here for pool reasons.
}

TEST(DeepTrees, DeeplyNestedConditionalsAndLogicalOperators) {
  constexpr int depth = 200000;
  setCurrentSourceLineNumber(1);
  resetInstructionSelection();
  // Nested through the condition and the left operand, which no jump spans:
  // ((... ? x : y) || b) ? x : y ... Every level adds four one-byte instructions.
  AbstractTree *tree = variable(0);
  for (int i = 0; i < depth; ++i)
    tree = i % 2 ? node(Conditional, {tree, variable(1), variable(2)}) : node(LogicalOr, {tree, variable(3)});
  AsmCodeList *list = selectExpression(tree);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size, 1u + 4u * depth);
  EXPECT_EQ(list->first->operation, Operation::LoadVarS);
  EXPECT_EQ(list->last->operation, Operation::LoadVarS);
  freeAsmCodeList(list);
  // Left in the tree pool, as the chain above.
}

// ---------------------------------------------------------------- statements

// One function built by hand: blocks in list order, each with its statements.
struct HandBuiltFunction {
  std::deque<BasicBlock> blocks;
  std::deque<BlockListNode> nodes;
  std::deque<Statement> statements;
  std::vector<AbstractTree *> trees;

  explicit HandBuiltFunction(int blockCount) {
    for (int i = 0; i < blockCount; ++i) {
      blocks.push_back(BasicBlock{.cgBlockInfoPtr = nullptr, .firstStatement = nullptr, .lastStatement = nullptr});
      nodes.push_back(BlockListNode{.blockPtr = &blocks.back(), .previousBlock = nullptr, .nextBlock = nullptr});
    }
    for (int i = 0; i + 1 < blockCount; ++i) {
      nodes[i].nextBlock = &nodes[i + 1];
      nodes[i + 1].previousBlock = &nodes[i];
    }
  }
  ~HandBuiltFunction() {
    for (AbstractTree *tree : trees)
      releaseTree(tree);
  }

  Statement &add(int block, StatementType type, AbstractTree *tree) {
    statements.push_back(Statement{});
    Statement &statement = statements.back();
    statement.sourceLineNumber = 1;
    statement.statementType = type;
    statement.abstractTreePtr = tree;
    if (tree)
      trees.push_back(tree);
    BasicBlock &target = blocks[block];
    if (target.lastStatement)
      target.lastStatement->nextStatementPtr = &statement;
    else
      target.firstStatement = &statement;
    statement.previousStatementPtr = target.lastStatement;
    target.lastStatement = &statement;
    return statement;
  }
  void conditional(int block, AbstractTree *condition, int trueBlock, int falseBlock) {
    Statement &statement = add(block, ConditionalStat, condition);
    statement.trueBlock = &blocks[trueBlock];
    statement.falseBlock = &blocks[falseBlock];
  }
  void jump(int block, int target) { add(block, GotoStat, nullptr).targetBlock = &blocks[target]; }
  void returns(int block, AbstractTree *value = nullptr) { add(block, ReturnStat, value); }
  void returnsFromEveryBlockFrom(int first) {
    for (int i = first; i < static_cast<int>(blocks.size()); ++i)
      returns(i);
  }

  Bytes code() {
    resetInstructionSelection();
    ByteBuffer *code = generateBlockListCode(&nodes[0]);
    Bytes bytes = code ? Bytes(code->bytes, code->bytes + code->size) : Bytes{};
    freeByteBuffer(code);
    return bytes;
  }
};

struct ConditionCase {
  const char *name;
  bool debugInfo;
  AbstractTree *(*condition)();
  int trueBlock;
  int falseBlock;
  Bytes expected;  // blocks 1 to 3 each hold a bare return (0x3B)
};

AbstractTree *trueConstant() { return immediate(ImmediateCode::True); }
AbstractTree *aVariable() { return variable(0); }
AbstractTree *aGreaterThanB() { return node(Greater, {variable(0), variable(1)}); }

const ConditionCase conditionCases[] = {
    {"constant true, true target next, without -g", false, trueConstant, 1, 2, {0x3B, 0x3B, 0x3B}},
    {"constant true, true target next, with -g", true, trueConstant, 1, 2, {0x19, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"constant true, neither target next", false, trueConstant, 2, 3, {0x81, 0x3B, 0x3B, 0x3B}},
    {"constant true, both targets next", false, trueConstant, 1, 1, {0x19, 0x37, 0x3B, 0x3B, 0x3B}},
    {"pool integer is known true", false, [] { return poolConstant(3); }, 1, 2, {0x3B, 0x3B, 0x3B}},
    {"immediate 1 is known true", false, [] { return immediate(ImmediateCode::One); }, 1, 2, {0x3B, 0x3B, 0x3B}},
    {"zero is not known true", false, [] { return immediate(ImmediateCode::Zero); }, 1, 2,
     {0x14, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"false is not known true", false, [] { return immediate(ImmediateCode::False); }, 1, 2,
     {0x1A, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"a string is not known true", false, [] { return constant(StringType, IndirectConstant, 0); }, 1, 2,
     {0x50, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"a > b, false target next: negated", false, aGreaterThanB, 2, 1, {0xE0, 0xE1, 0x2E, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"a > b, true target next: as it is", false, aGreaterThanB, 1, 2, {0xE0, 0xE1, 0x31, 0xC1, 0x3B, 0x3B, 0x3B}},
    {"a, false target next: both jumps", false, aVariable, 2, 1, {0xE0, 0xC1, 0x81, 0x3B, 0x3B, 0x3B}},
    {"a, neither target next: both jumps", false, aVariable, 2, 3, {0xE0, 0xC3, 0x81, 0x3B, 0x3B, 0x3B}},
    {"a, both targets the same later block", false, aVariable, 2, 2, {0xE0, 0x37, 0x81, 0x3B, 0x3B, 0x3B}},
    {"a, both targets next", false, aVariable, 1, 1, {0xE0, 0x37, 0x3B, 0x3B, 0x3B}},
};

TEST(ConditionalStatementSelection, JumpsChosenByTheTargets) {
  for (const ConditionCase &conditionCase : conditionCases) {
    SCOPED_TRACE(conditionCase.name);
    debugInfoEnabled = conditionCase.debugInfo;
    HandBuiltFunction function(4);
    function.conditional(0, conditionCase.condition(), conditionCase.trueBlock, conditionCase.falseBlock);
    function.returnsFromEveryBlockFrom(1);
    EXPECT_EQ(function.code(), conditionCase.expected);
    debugInfoEnabled = 0;
  }
}

TEST(StatementSelection, GotoTheNextBlockIsNoJump) {
  HandBuiltFunction function(3);
  function.jump(0, 1);
  function.jump(1, 0);
  function.returns(2);
  // Block 1 jumps back to block 0, which has no code: offset 0.
  EXPECT_EQ(function.code(), (Bytes{0xA0, 0x3B}));
}

TEST(StatementSelection, ReturnWithAndWithoutValue) {
  HandBuiltFunction function(2);
  function.add(0, SequentialStat, node(Assign, {variable(1), variable(0)}));
  function.add(0, SequentialStat, node(PostIncrement, {variable(1)}));
  function.returns(0, node(Add, {variable(1), immediate(ImmediateCode::One)}));
  function.returns(1);
  // The assignment statement stores without loading again.
  EXPECT_EQ(function.code(), (Bytes{0xE0, 0x41, 0x71, 0xE1, 0x15, 0x20, 0x3A, 0x3B}));
}

} // namespace
