// Code blocks: the selected instructions of one function, kept per basic
// block, laid out in block-list order, handed to jump selection and finally
// encoded into the function's Code bytes.
#pragma once

#include "codegen.h"
#include "exprsion.h"
#include "recordpool.h"
#include "tavokassert.h"

#include <array>
#include <cstdint>
#include <iterator>
#include <type_traits>

struct AbstractTree;
struct BasicBlock;
struct BlockListNode;
struct Statement;

// One selected instruction. The abstract jumps keep their target block until
// jump selection replaces it by the offset in operand1.
struct AsmCode {
  Operation operation;
  std::uint16_t operand1;  // index, offset or distance
  std::uint16_t operand2;  // library index; function name index of call_url
  std::uint8_t operand3;   // argument count of call_url
  std::uint32_t lineNo;    // source line of the statement; never 0
  BasicBlock *targetBlock; // abstract jumps only
  AsmCode *next;
};
static_assert(std::is_trivially_copyable_v<AsmCode>);

// Never empty: no code is a null list.
struct AsmCodeList {
  std::uint32_t size;  // table sizes summed; an abstract jump counts 3
  AsmCode *first;
  // A block ending in a conditional jump followed by an unconditional one:
  // that conditional jump, its second-last instruction.
  AsmCode *conditionalJump;
  AsmCode *last;
};
static_assert(std::is_trivially_copyable_v<AsmCodeList>);

// Without the line table, a block's instructions are encoded as soon as it is
// selected, while they are still in the cache, and only its jumps to other
// blocks stay in its list for jump selection: its Code is its early code,
// then its encoded bytes, then its list.
struct CgBlockInfo {
  std::uint32_t blockId;      // position in the block list, from 0
  std::uint32_t startOffset;  // within the function's Code; final after jump selection
  AsmCodeList *asmCodeListPtr;  // null for a block without code left to encode
  std::uint32_t encodedStart;   // offset of the block's bytes in the function's selected code
  std::uint32_t encodedSize;    // 0: nothing encoded at selection
};
static_assert(std::is_trivially_copyable_v<CgBlockInfo>);

// The source line every new instruction records; the block walker sets it
// from each statement. Reading it before a line is set is an internal error.
void setCurrentSourceLineNumber(std::uint32_t line);
std::uint32_t currentSourceLineNumber();

// ---------------------------------------------------------------- operator mapping

struct OperatorMapping {
  ExpressionOperator treeOperator;
  Operation operation;
};

inline constexpr OperatorMapping operatorMappings[] = {
    {IsValid, Operation::IsValid},
    {TypeOf, Operation::TypeOf},
    {IntegerDivide, Operation::IDiv},
    {RightShiftZeroFill, Operation::BRszShift},
    {UnaryMinus, Operation::UMinus},
    {LogicalNot, Operation::Not},
    {ComplementOf, Operation::BNot},
    {Multiply, Operation::Mul},
    {Divide, Operation::Div},
    {Modulus, Operation::Rem},
    {Add, Operation::Add},
    {Subtract, Operation::Sub},
    {LeftShift, Operation::BLShift},
    {RightShift, Operation::BRsShift},
    {Greater, Operation::Gt},
    {Lesser, Operation::Lt},
    {GreaterOrEqual, Operation::Ge},
    {LesserOrEqual, Operation::Le},
    {Equal, Operation::Eq},
    {NotEqual, Operation::Ne},
    {BitAnd, Operation::BAnd},
    {BitXor, Operation::BXor},
    {BitOr, Operation::BOr},
};

// Indexed by operator; None for the operators without a single instruction.
inline constexpr std::array<Operation, numberOfOperators> operationOfOperator = [] {
  std::array<Operation, numberOfOperators> table{};
  for (const OperatorMapping &mapping : operatorMappings)
    table[mapping.treeOperator] = mapping.operation;
  return table;
}();

// The one instruction of an operator that maps to one: the unary and binary
// operators other than the increments, unary plus, the logical and
// conditional operators and the assignments (an internal error for those).
// Selection asks for most operator nodes, so it is defined here.
inline Operation operatorToOperation(ExpressionOperator treeOperator) {
  ASSERT(treeOperator < numberOfOperators);
  const Operation operation = operationOfOperator[treeOperator];
  ASSERT(operation != Operation::None);
  return operation;
}


// ---------------------------------------------------------------- instruction forms

// One form of an instruction family: usable when every operand is below its
// limit. An unused operand has a limit no 32-bit value reaches.
struct InstructionForm {
  Operation operation;
  std::uint64_t limits[3];
};

// The forms of one family, smallest first.
struct FormFamily {
  int formCount;
  InstructionForm forms[3];
};

inline constexpr std::uint64_t anyValue = std::uint64_t{1} << 32;

constexpr InstructionForm form(Operation operation, std::uint64_t limit1, std::uint64_t limit2 = anyValue,
                               std::uint64_t limit3 = anyValue) {
  return InstructionForm{operation, {limit1, limit2, limit3}};
}

// Short forms carry the operand in the opcode's low bits (5, 4 or 3 of them);
// normal forms in one byte, wide forms in two.
inline constexpr FormFamily loadVariableForms{2, {form(Operation::LoadVarS, 32), form(Operation::LoadVar, 256)}};
inline constexpr FormFamily storeVariableForms{2, {form(Operation::StoreVarS, 16), form(Operation::StoreVar, 256)}};
inline constexpr FormFamily incrementVariableForms{2, {form(Operation::IncrVarS, 8), form(Operation::IncrVar, 256)}};
inline constexpr FormFamily decrementVariableForms{1, {form(Operation::DecrVar, 256)}};
inline constexpr FormFamily addToVariableForms{1, {form(Operation::AddAsg, 256)}};
inline constexpr FormFamily subtractFromVariableForms{1, {form(Operation::SubAsg, 256)}};
inline constexpr FormFamily loadConstantForms{
    3, {form(Operation::LoadConstS, 16), form(Operation::LoadConst, 256), form(Operation::LoadConstW, 65536)}};
inline constexpr FormFamily callScriptForms{2, {form(Operation::CallS, 8), form(Operation::Call, 256)}};
// Library function index first, library index second.
inline constexpr FormFamily callLibraryForms{
    3, {form(Operation::CallLibS, 8, 256), form(Operation::CallLib, 256, 256), form(Operation::CallLibW, 256, 65536)}};
// Url index, function name index, argument count: the count is always one byte.
inline constexpr FormFamily callExternalForms{
    2, {form(Operation::CallUrl, 256, 256, 256), form(Operation::CallUrlW, 65536, 65536, 256)}};
inline constexpr FormFamily forwardJumpForms{
    3, {form(Operation::JumpFwS, 32), form(Operation::JumpFw, 256), form(Operation::JumpFwW, 65536)}};
inline constexpr FormFamily forwardConditionalJumpForms{
    3, {form(Operation::TJumpFwS, 32), form(Operation::TJumpFw, 256), form(Operation::TJumpFwW, 65536)}};

// The smallest form of the family the operands fit; beyond the widest form
// an internal error (the front end keeps indices, counts and distances in range).
// Selection chooses a form for most instructions it makes, so it is defined here.
inline Operation chooseForm(const FormFamily &family, std::uint32_t operand1, std::uint32_t operand2 = 0,
                            std::uint32_t operand3 = 0) {
  int chosen = 0;
  while (chosen < family.formCount) {
    const std::uint64_t *limits = family.forms[chosen].limits;
    if (operand1 < limits[0] && operand2 < limits[1] && operand3 < limits[2])
      break;
    ++chosen;
  }
  ASSERT(chosen < family.formCount);
  return family.forms[chosen].operation;
}

// incr_var for the increment operators, decr_var for the decrement operators;
// any other operator is an internal error.
inline Operation incrementOrDecrementForm(ExpressionOperator treeOperator, std::uint32_t variableIndex) {
  const bool increment = treeOperator == PreIncrement || treeOperator == PostIncrement;
  const bool decrement = treeOperator == PreDecrement || treeOperator == PostDecrement;
  ASSERT(increment || decrement);
  return chooseForm(increment ? incrementVariableForms : decrementVariableForms, variableIndex);
}

// Indexed by the immediate-constant code.
inline constexpr Operation immediateConstantOperations[] = {
    Operation::Const0,     Operation::Const1,       Operation::ConstM1, Operation::ConstTrue,
    Operation::ConstFalse, Operation::ConstInvalid, Operation::ConstEs,
};
static_assert(std::size(immediateConstantOperations) == static_cast<std::size_t>(ImmediateCode::EmptyString) + 1);

// const_0 to const_es; a code outside 0 to 6 is an internal error.
inline Operation immediateConstantOperation(std::uint32_t immediateCode) {
  ASSERT(immediateCode < std::size(immediateConstantOperations));
  return immediateConstantOperations[immediateCode];
}

// Instruction constructors: one instruction in a list of its own, in the
// smallest form its operands allow; an operand beyond the widest form is an
// internal error. The front end keeps every operand in range.
AsmCodeList *makeLoadVar(std::uint32_t variableIndex);
AsmCodeList *makeStoreVar(std::uint32_t variableIndex);
AsmCodeList *makeIncrDecrVar(ExpressionOperator treeOperator, std::uint32_t variableIndex);
AsmCodeList *makeAddAsg(std::uint32_t variableIndex);
AsmCodeList *makeSubAsg(std::uint32_t variableIndex);
AsmCodeList *makeLoadConst(std::uint32_t constantIndex);
AsmCodeList *makeImmediateConst(std::uint32_t immediateCode);
AsmCodeList *makeCall(std::uint32_t functionIndex);
AsmCodeList *makeCallLib(std::uint32_t libraryFunctionIndex, std::uint32_t libraryIndex);
AsmCodeList *makeCallUrl(std::uint32_t urlIndex, std::uint32_t functionNameIndex, std::uint32_t argumentCount);
AsmCodeList *makeJumpFw(std::uint32_t distance);
AsmCodeList *makeTJumpFw(std::uint32_t distance);
AsmCodeList *makeOperation(ExpressionOperator treeOperator);
AsmCodeList *makeToBool();
AsmCodeList *makePop();
// return with a value to return, return_es without one.
AsmCodeList *makeReturn(const AbstractTree *returnValue);
// scand / scor followed by the conditional jump over distance bytes.
AsmCodeList *makeScAnd(std::uint32_t distance);
AsmCodeList *makeScOr(std::uint32_t distance);
// Abstract jumps to another block of the walk: backward when the target has
// been laid out at or before the current block, forward otherwise. Only
// while generateBlockListCode selects a block.
AsmCodeList *makeConJump(BasicBlock *target);
AsmCodeList *makeUnconJump(BasicBlock *target);

// The same abstract jumps before they are made instructions: the block
// walker hands the jumps of a block whose other code is encoded already to
// jump selection in this form, and never makes their records.
struct BlockJump {
  Operation operation;  // one of the four abstract jumps; None for no jump
  BasicBlock *target;
};
// The jumps that end a block: `conditional` is the conditional jump of a
// conditional-then-unconditional pair, `last` the block's last instruction
// when that is a jump.
struct BlockJumps {
  BlockJump conditional;
  BlockJump last;
};
inline constexpr BlockJump noBlockJump{Operation::None, nullptr};
BlockJump conJumpTo(BasicBlock *target);
BlockJump unconJumpTo(BasicBlock *target);
// The jumps as makeConJump and makeUnconJump make them, in a list whose
// conditionalJump is the pair's conditional jump; null for none.
AsmCodeList *makeBlockJumps(const BlockJumps &jumps);

// Joins up to three lists, each possibly null, in order; the later lists'
// records are freed, their instructions now belong to the result. The
// result's conditionalJump is that of the last list joined.
// Selection joins lists at every node, so this is defined below, where
// selection inlines it.
inline AsmCodeList *appendAsmLists(AsmCodeList *first, AsmCodeList *second, AsmCodeList *third);
// Frees every instruction of the list and the list; null is ignored.
void freeAsmCodeList(AsmCodeList *list);

// Early code: in a compilation run (an output file named) without -d and -g,
// a block's leading sequential statements are selected and encoded while the
// function is parsed, so that a long function never holds its trees and
// instructions at once. Their bytes are final: jumps inside an expression are
// concrete, and nothing such a statement selects depends on the layout. The
// bytes of all blocks share one buffer per function, in block-list order.
//
// Whether this run selects while it parses.
bool selectsWhileParsing();
// Empties the early code at the start of a function, and again after it.
void beginEarlyCode();
void endEarlyCode();
// Selects the statement, which the caller then releases, and appends its
// bytes to the block's early code; block must be the last block to get any.
// False, with nothing changed, when the statement must wait for the
// function's end: one of its expression jumps is too long (the run ends only
// if the statement is still selected then) or the early code is full.
bool selectStatementEarly(Statement *statement, BasicBlock *block);

// The function's Code: lays the blocks out, selects them, sizes the jumps
// and assembles. Null when no block produced code. Every block gets a
// CgBlockInfo for the walk; the assembly releases them again.
ByteBuffer *generateBlockListCode(BlockListNode *blockList);
// Selects the block's statements, up to its control statement, into its
// asmCodeListPtr.
void selectBlock(BasicBlock *block);
// Encodes every block's final instructions into one Code buffer (null when
// no block has code), with a line-table entry per instruction under -g, and
// releases the blocks' instructions and CgBlockInfos.
ByteBuffer *assembleBlockList(BlockListNode *blockList);

// The walk of the current function.
std::uint32_t numberOfBasicBlocks();  // valid until the next function starts
BlockListNode *currentBasicBlock();   // the node of the block being selected
std::uint32_t getBlockId(const BasicBlock *block);

// ---------------------------------------------------------------- inline list joining

// later's instructions move to the end of earlier, whose record survives.
inline AsmCodeList *joinTwoAsmLists(AsmCodeList *earlier, AsmCodeList *later) {
  if (!earlier)
    return later;
  if (!later)
    return earlier;
  earlier->last->next = later->first;
  earlier->last = later->last;
  // Only a jump pair at the very end of a block is a conditional jump slot.
  earlier->conditionalJump = later->conditionalJump;
  earlier->size += later->size;
  giveRecordCell(later);
  return earlier;
}

inline AsmCodeList *appendAsmLists(AsmCodeList *first, AsmCodeList *second, AsmCodeList *third) {
  return joinTwoAsmLists(joinTwoAsmLists(first, second), third);
}
