// Instruction selection: statements and abstract trees become instruction
// lists, and single instructions become their bytes. The form of an indexed
// instruction is chosen by its constructor; jumps between blocks stay
// abstract until jump selection, jumps inside an expression are final at once.
#include "codegen.h"

#include "codegen_misc.h"
#include "errorhlr.h"
#include "fatal.h"
#include "exprir.h"
#include "jumpselection.h"
#include "stmntir.h"
#include "tavokassert.h"
#include "wmllex.h"
#include "wrapper.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
struct SelectionState {
  // The && or || node entered last. Deliberately never restored when a
  // logical node is left: the tobool rule reads whatever was entered before.
  AbstractTree *enclosingLogicalNode;
  // While a function is parsed a jump that is too long ends nothing yet:
  // it is noted, and the statement waits for the function's end.
  bool longJumpsDeferred;
  bool longJumpMet;
};

// One operator node on its way through selection: its operands are selected
// first, left to right, into the frame; then the node's own rule joins them.
struct SelectionFrame {
  AbstractTree *node;
  AbstractTreeList *pendingOperands;  // operands still to select, in order
  AbstractTree *parentCandidate;      // && and ||: the logical node entered before this one
  std::uint32_t operandCount;         // operands selected so far
  bool accumulating;                  // Assign: isAccumulatingAssignment, asked once
  AsmCodeList *operandCode[3];        // per operand; a call joins all its arguments in [0]
};
static_assert(std::is_trivially_copyable_v<SelectionFrame>);
} // namespace

static constinit SelectionState selection{};

void resetInstructionSelection() { selection.enclosingLogicalNode = nullptr; }

// ---------------------------------------------------------------- operators

static bool isComparison(ExpressionOperator treeOperator) {
  switch (treeOperator) {
  case Greater:
  case Lesser:
  case GreaterOrEqual:
  case LesserOrEqual:
  case Equal:
  case NotEqual:
    return true;
  default:
    return false;
  }
}

// The comparison that holds exactly when the given one fails.
static ExpressionOperator negatedComparison(ExpressionOperator treeOperator) {
  switch (treeOperator) {
  case Greater:
    return LesserOrEqual;
  case LesserOrEqual:
    return Greater;
  case Lesser:
    return GreaterOrEqual;
  case GreaterOrEqual:
    return Lesser;
  case Equal:
    return NotEqual;
  case NotEqual:
    return Equal;
  default:
    break;
  }
  ASSERT(!"negated operator is a comparison");
  return treeOperator;
}

// eq to tobool: their result is a boolean already.
static bool producesBoolean(Operation operation) {
  const auto value = static_cast<std::uint32_t>(operation);
  return value >= static_cast<std::uint32_t>(Operation::Eq) &&
         value <= static_cast<std::uint32_t>(Operation::ToBool);
}

// ---------------------------------------------------------------- leaves and limits

std::uint32_t leafIndex(const AbstractTree *tree) {
  ASSERT((tree->treeOperator == IdentifierLeaf) || (tree->treeOperator == ConstantLeaf));
  if (tree->treeOperator == IdentifierLeaf)
    return tree->identifier.index;
  ASSERT(tree->constantNode.constantType == IndirectConstant);
  return tree->constantNode.value;
}

static std::uint32_t codeSize(const AsmCodeList *code) { return code ? code->size : 0; }

// A jump over selected code inside one expression: 65535 bytes is the widest
// offset the format has, and the run ends beyond it.
static std::uint32_t expressionJumpDistance(const AsmCodeList *skippedCode) {
  const std::uint32_t distance = codeSize(skippedCode);
  if (distance > 65535 && selection.longJumpsDeferred) {
    selection.longJumpMet = true;
    return 0;  // any distance the jump can hold: the code is thrown away
  }
  if (distance > 65535) {
    jumpSizeForOffset(distance > INT_MAX ? INT_MAX : static_cast<int>(distance));
    ASSERT(!"an offset beyond 65535 ends the run");
  }
  return distance;
}

// The front end gives function indices only up to 255 ("Number of functions
// exceed maximum limit" for the next name), so every callee has a call form.
static std::uint32_t callableFunctionIndex(const AbstractTree *callee) {
  const std::uint32_t index = leafIndex(callee);
  ASSERT(index <= 255);
  return index;
}

static AsmCodeList *selectLeaf(const AbstractTree *leaf) {
  if (leaf->treeOperator == IdentifierLeaf)
    return makeLoadVar(leaf->identifier.index);
  ASSERT(leaf->treeOperator == ConstantLeaf);
  if (leaf->constantNode.constantType == IndirectConstant)
    return makeLoadConst(leaf->constantNode.value);
  return makeImmediateConst(leaf->constantNode.value);
}

// ---------------------------------------------------------------- operator rules

// a = a + b and a = a - b: the value's first operand is the target itself, so
// the instruction that adds to or subtracts from the variable does it all.
static bool isAccumulatingAssignment(const AbstractTree *assignment) {
  const AbstractTree *target = firstOperand(assignment);
  const AbstractTree *value = secondOperand(assignment);
  if (value->treeOperator != Add && value->treeOperator != Subtract)
    return false;
  const AbstractTree *rightChild1 = firstOperand(value);
  const AbstractTree *rightChild2 = secondOperand(value);
  ASSERT(rightChild1);
  ASSERT(rightChild2);
  return target->treeOperator == IdentifierLeaf && rightChild1->treeOperator == IdentifierLeaf &&
         rightChild2->treeOperator == IdentifierLeaf &&
         rightChild1->identifier.index == target->identifier.index;
}

// The operands whose code the node's rule joins: a call's arguments only, an
// assignment's value (or, accumulating, the value's second operand) only.
static AbstractTreeList *operandsToSelect(const AbstractTree *node, bool accumulating) {
  switch (node->treeOperator) {
  case FunctionCall:
    return operandsAfterFirst(node);
  case ExternalFunctionCall:
    return externalCallArguments(node);
  case LibraryFunctionCall:
    return libraryCallArguments(node);
  case Assign:
    if (accumulating)
      return secondOperand(node)->succList->next;
    return node->succList->next;
  case AddAssign:
  case SubtractAssign:
    return node->succList->next;
  default:
    ASSERT(node->succList);
    return node->succList;
  }
}

static AsmCodeList *finishCall(const SelectionFrame &frame) {
  const AbstractTree *node = frame.node;
  AsmCodeList *arguments = frame.operandCode[0];
  switch (node->treeOperator) {
  case FunctionCall:
    return appendAsmLists(arguments, makeCall(callableFunctionIndex(firstOperand(node))), nullptr);
  case ExternalFunctionCall:
    return appendAsmLists(arguments,
                          makeCallUrl(leafIndex(nthOperand(node, 1)), leafIndex(nthOperand(node, 2)),
                                      frame.operandCount),
                          nullptr);
  case LibraryFunctionCall:
    return appendAsmLists(arguments,
                          makeCallLib(leafIndex(nthOperand(node, 2)), leafIndex(nthOperand(node, 1))),
                          nullptr);
  default:
    break;
  }
  ASSERT(!"node is a call");
  return nullptr;
}

static AsmCodeList *finishUnaryOrBinary(const SelectionFrame &frame) {
  const ExpressionOperator op = frame.node->treeOperator;
  return appendAsmLists(frame.operandCode[0], frame.operandCode[1], makeOperation(op));
}

// There is no unary-plus instruction; negating twice converts the operand
// to a number as unary plus does.
static AsmCodeList *finishUnaryPlus(const SelectionFrame &frame) {
  return appendAsmLists(frame.operandCode[0], makeOperation(UnaryMinus), makeOperation(UnaryMinus));
}

static AsmCodeList *finishIncrementOrDecrement(const SelectionFrame &frame) {
  const ExpressionOperator op = frame.node->treeOperator;
  AsmCodeList *change = makeIncrDecrVar(op, leafIndex(firstOperand(frame.node)));
  AsmCodeList *load = frame.operandCode[0];
  // Post: the old value is loaded before the change; pre: the new one after.
  if (op == PostIncrement || op == PostDecrement)
    return appendAsmLists(load, change, nullptr);
  return appendAsmLists(change, load, nullptr);
}

// Logical nodes are entered before their operands are selected.
static void enterLogicalNode(SelectionFrame &frame) {
  frame.parentCandidate = selection.enclosingLogicalNode;
  selection.enclosingLogicalNode = frame.node;
}

// The right operand's value is the result when it is reached, so it must be
// a boolean: tobool, unless it is one already or the enclosing && or || will
// convert it (this node is that one's left operand).
static AsmCodeList *finishLogical(const SelectionFrame &frame) {
  AsmCodeList *left = frame.operandCode[0];
  AsmCodeList *right = frame.operandCode[1];
  ASSERT(right);
  const AbstractTree *parent = frame.parentCandidate;
  const bool parentConverts = parent && firstOperand(parent) == frame.node;
  if (!producesBoolean(right->last->operation) && !parentConverts)
    right = appendAsmLists(right, makeToBool(), nullptr);
  const std::uint32_t distance = expressionJumpDistance(right);
  AsmCodeList *shortCircuit =
      frame.node->treeOperator == LogicalAnd ? makeScAnd(distance) : makeScOr(distance);
  return appendAsmLists(left, shortCircuit, right);
}

// condition, tjump over the then-value and its jump, then-value, jump over
// the else-value, else-value.
static AsmCodeList *finishConditional(const SelectionFrame &frame) {
  AsmCodeList *condition = frame.operandCode[0];
  AsmCodeList *thenValue = frame.operandCode[1];
  AsmCodeList *elseValue = frame.operandCode[2];
  thenValue = appendAsmLists(thenValue, makeJumpFw(expressionJumpDistance(elseValue)), nullptr);
  AsmCodeList *skipThen = makeTJumpFw(expressionJumpDistance(thenValue));
  return appendAsmLists(appendAsmLists(condition, skipThen, thenValue), elseValue, nullptr);
}

static AsmCodeList *loadAssignedValue(const AbstractTree *node, AsmCodeList *code,
                                      std::uint32_t target) {
  if (node->valueDiscarded)
    return code;
  return appendAsmLists(code, makeLoadVar(target), nullptr);
}

static AsmCodeList *finishAssign(const SelectionFrame &frame) {
  const AbstractTree *node = frame.node;
  const std::uint32_t target = leafIndex(firstOperand(node));
  AsmCodeList *code = frame.operandCode[0];
  if (frame.accumulating) {
    AsmCodeList *change =
        secondOperand(node)->treeOperator == Add ? makeAddAsg(target) : makeSubAsg(target);
    return loadAssignedValue(node, appendAsmLists(code, change, nullptr), target);
  }
  return loadAssignedValue(node, appendAsmLists(code, makeStoreVar(target), nullptr), target);
}

static AsmCodeList *finishCompoundAssign(const SelectionFrame &frame) {
  const AbstractTree *node = frame.node;
  const std::uint32_t target = leafIndex(firstOperand(node));
  AsmCodeList *change = node->treeOperator == AddAssign ? makeAddAsg(target) : makeSubAsg(target);
  return loadAssignedValue(node, appendAsmLists(frame.operandCode[0], change, nullptr), target);
}

// The operators whose rule is their operands' code, then the operation:
// finishUnaryOrBinary's in finishNode.
static bool joinsOperandsThenOperation(ExpressionOperator op) {
  switch (op) {
  case IsValid:
  case TypeOf:
  case UnaryMinus:
  case LogicalNot:
  case ComplementOf:
  case IntegerDivide:
  case RightShiftZeroFill:
  case Multiply:
  case Divide:
  case Modulus:
  case Add:
  case Subtract:
  case LeftShift:
  case RightShift:
  case Greater:
  case Lesser:
  case GreaterOrEqual:
  case LesserOrEqual:
  case Equal:
  case NotEqual:
  case BitAnd:
  case BitXor:
  case BitOr:
    return true;
  default:
    return false;
  }
}

// Such an operator over one or two leaves, the commonest inner node, is
// selected without a frame: the leaves' loads, then the operation, made in
// the order finishing a frame would make them. Null for any other node.
static AsmCodeList *trySelectOperatorOverLeaves(const AbstractTree *node) {
  if (!joinsOperandsThenOperation(node->treeOperator))
    return nullptr;
  const AbstractTreeList *first = childList(node);
  const AbstractTreeList *second = first->next;
  if (!isLeafOperator(first->abstractTree->treeOperator))
    return nullptr;
  if (second && (second->next || !isLeafOperator(second->abstractTree->treeOperator)))
    return nullptr;
  AsmCodeList *left = selectLeaf(first->abstractTree);
  AsmCodeList *right = second ? selectLeaf(second->abstractTree) : nullptr;
  return appendAsmLists(left, right, makeOperation(node->treeOperator));
}

static AsmCodeList *finishNode(const SelectionFrame &frame) {
  switch (frame.node->treeOperator) {
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
    return finishCall(frame);
  case IsValid:
  case TypeOf:
  case UnaryMinus:
  case LogicalNot:
  case ComplementOf:
  case IntegerDivide:
  case RightShiftZeroFill:
  case Multiply:
  case Divide:
  case Modulus:
  case Add:
  case Subtract:
  case LeftShift:
  case RightShift:
  case Greater:
  case Lesser:
  case GreaterOrEqual:
  case LesserOrEqual:
  case Equal:
  case NotEqual:
  case BitAnd:
  case BitXor:
  case BitOr:
    return finishUnaryOrBinary(frame);
  case UnaryPlus:
    return finishUnaryPlus(frame);
  case PostIncrement:
  case PostDecrement:
  case PreIncrement:
  case PreDecrement:
    return finishIncrementOrDecrement(frame);
  case LogicalAnd:
  case LogicalOr:
    return finishLogical(frame);
  case Conditional:
    return finishConditional(frame);
  case Assign:
    return finishAssign(frame);
  case AddAssign:
  case SubtractAssign:
    return finishCompoundAssign(frame);
  case IdentifierLeaf:
  case ConstantLeaf:
  case MultiplyAssign:
  case DivideAssign:
  case IntegerDivideAssign:
  case ModulusAssign:
  case LeftShiftAssign:
  case RightShiftAssign:
  case RightShiftZeroFillAssign:
  case BitAndAssign:
  case BitXorAssign:
  case BitOrAssign:
  case Comma:
    break;
  }
  ASSERT(!"operator occurs in abstract trees");
  return nullptr;
}

// ---------------------------------------------------------------- the walk

namespace {
// The frames of one selection; frames[height - 1] is the node being selected.
// The storage grows by realloc: a large block is moved by remapping its
// pages rather than by copying them, so a very deep tree's stack is not
// copied again at every doubling.
struct SelectionStack {
  SelectionFrame *frames;
  std::size_t height;
  std::size_t capacity;
};
} // namespace

// The storage of the last finished selection, kept for the next one unless
// a very deep tree needed it (as with the emission walk's frames).
static constinit SelectionStack spareSelectionStack{};
constexpr std::size_t largestSpareSelectionFrames = 4096;

static void growSelectionStack(SelectionStack &stack) {
  const std::size_t capacity = stack.capacity ? stack.capacity * 2 : 64;
  void *frames = std::realloc(stack.frames, capacity * sizeof(SelectionFrame));
  if (!frames)
    fatalError(noMemorySpace);
  stack.frames = static_cast<SelectionFrame *>(frames);
  stack.capacity = capacity;
}

// Keeps the finished stack's storage for the next selection, unless the one
// kept already is at least as large (a nested selection's, should there be
// one) or the finished one is above the bound.
static void keepSpareSelectionStack(SelectionStack &stack) {
  if (stack.capacity > spareSelectionStack.capacity && stack.capacity <= largestSpareSelectionFrames) {
    std::free(spareSelectionStack.frames);
    spareSelectionStack = SelectionStack{.frames = stack.frames, .height = 0, .capacity = stack.capacity};
  } else {
    std::free(stack.frames);
  }
}

static void enterNode(SelectionStack &stack, AbstractTree *node) {
  const bool accumulating = node->treeOperator == Assign && isAccumulatingAssignment(node);
  SelectionFrame frame{.node = node,
                       .pendingOperands = operandsToSelect(node, accumulating),
                       .parentCandidate = nullptr,
                       .operandCount = 0,
                       .accumulating = accumulating,
                       .operandCode = {nullptr, nullptr, nullptr}};
  if (node->treeOperator == LogicalAnd || node->treeOperator == LogicalOr)
    enterLogicalNode(frame);
  if (stack.height == stack.capacity)
    growSelectionStack(stack);
  stack.frames[stack.height] = frame;
  stack.height += 1;
}

static void keepOperandCode(SelectionFrame &frame, AsmCodeList *code) {
  switch (frame.node->treeOperator) {
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
    frame.operandCode[0] = appendAsmLists(frame.operandCode[0], code, nullptr);
    break;
  default:
    ASSERT(frame.operandCount < 3);
    frame.operandCode[frame.operandCount] = code;
    break;
  }
  ++frame.operandCount;
}

// Post-order over an explicit stack, so that the source decides the depth of
// no call chain: the instructions come out exactly as a recursive selection,
// operands left to right, would make them.
AsmCodeList *selectExpression(AbstractTree *tree) {
  ASSERT(tree);
  if (isLeafOperator(tree->treeOperator))
    return selectLeaf(tree);
  if (AsmCodeList *overLeaves = trySelectOperatorOverLeaves(tree))
    return overLeaves;
  // The stack's storage is taken from the last selection; a nested
  // selection, should there be one, finds none and grows its own.
  SelectionStack stack = spareSelectionStack;
  spareSelectionStack = SelectionStack{};
  enterNode(stack, tree);
  AsmCodeList *code = nullptr;
  for (;;) {
    SelectionFrame &top = stack.frames[stack.height - 1];
    if (top.pendingOperands) {
      AbstractTree *operand = top.pendingOperands->abstractTree;
      top.pendingOperands = top.pendingOperands->next;
      if (isLeafOperator(operand->treeOperator)) {
        keepOperandCode(top, selectLeaf(operand));
      } else if (AsmCodeList *overLeaves = trySelectOperatorOverLeaves(operand)) {
        keepOperandCode(top, overLeaves);
      } else {
        enterNode(stack, operand);
      }
      continue;
    }
    code = finishNode(top);
    stack.height -= 1;
    if (stack.height == 0)
      break;
    keepOperandCode(stack.frames[stack.height - 1], code);
  }
  keepSpareSelectionStack(stack);
  return code;
}

// ---------------------------------------------------------------- statements

// An assignment whose value is discarded leaves nothing; every other
// expression statement (a call, &&, ||, ?:) leaves its value, which goes.
static bool leavesValue(const AbstractTree *tree) {
  switch (tree->treeOperator) {
  case Assign:
  case AddAssign:
  case SubtractAssign:
    return !tree->valueDiscarded;
  default:
    return true;
  }
}

static AsmCodeList *withValueDropped(AsmCodeList *code) {
  return code ? appendAsmLists(code, makePop(), nullptr) : nullptr;
}

AsmCodeList *selectStatementExpression(AbstractTree *tree) {
  ASSERT(tree);
  switch (tree->treeOperator) {
  case PreIncrement:
  case PostIncrement:
  case PreDecrement:
  case PostDecrement:
    return makeIncrDecrVar(tree->treeOperator, leafIndex(firstOperand(tree)));
  default:
    break;
  }
  AsmCodeList *code = selectExpression(tree);
  return leavesValue(tree) ? withValueDropped(code) : code;
}

// Without -g a condition that cannot fail needs no test. Only constants are
// known: a non-zero integer or true.
static bool isKnownTrue(const AbstractTree *condition) {
  if (isDebugInfoEnabled() || condition->treeOperator != ConstantLeaf)
    return false;
  const ConstantDescriptor &constant = condition->constantNode;
  switch (constant.valueType) {
  case IntegerType:
    return constant.constantType == IndirectConstant ||
           constant.value != static_cast<std::uint32_t>(ImmediateCode::Zero);
  case BooleanType:
    return constant.constantType == ImmediateConstant &&
           constant.value == static_cast<std::uint32_t>(ImmediateCode::True);
  default:
    return false;
  }
}

// A conditional jump leaves towards the false target when the condition
// fails; the next block is reached by falling through.
static AsmCodeList *selectConditionalStatement(Statement *statement, const BasicBlock *next) {
  AbstractTree *condition = statement->abstractTreePtr;
  ASSERT(condition);
  BasicBlock *trueTarget = statement->trueBlock;
  BasicBlock *falseTarget = statement->falseBlock;
  const bool trueIsNext = next && trueTarget == next;
  const bool falseIsNext = next && falseTarget == next;
  const bool knownTrue = isKnownTrue(condition);

  if (trueIsNext && falseIsNext)
    return withValueDropped(selectExpression(condition));
  if (trueIsNext)
    return knownTrue ? nullptr
                     : appendAsmLists(selectExpression(condition), makeConJump(falseTarget), nullptr);
  if (trueTarget == falseTarget) {
    AsmCodeList *test = knownTrue ? nullptr : withValueDropped(selectExpression(condition));
    return appendAsmLists(test, makeUnconJump(trueTarget), nullptr);
  }
  if (falseIsNext && isComparison(condition->treeOperator)) {
    // The negated test fails exactly when the original holds: its jump goes
    // to the true target and the false target is fallen into.
    condition->treeOperator = negatedComparison(condition->treeOperator);
    return appendAsmLists(selectExpression(condition), makeConJump(trueTarget), nullptr);
  }
  if (knownTrue)
    return makeUnconJump(trueTarget);
  AsmCodeList *toFalse = makeConJump(falseTarget);
  AsmCode *conditionalJump = toFalse->first;
  AsmCodeList *code = appendAsmLists(selectExpression(condition), toFalse, makeUnconJump(trueTarget));
  // Jump selection sizes the second-last jump of the block on its own.
  code->conditionalJump = conditionalJump;
  return code;
}

static AsmCodeList *selectSequentialStatement(Statement *statement) {
  ASSERT(statement->abstractTreePtr);
  statement->abstractTreePtr->valueDiscarded = 1;
  return selectStatementExpression(statement->abstractTreePtr);
}

AsmCodeList *trySelectSequentialStatement(Statement *statement) {
  ASSERT(statement->statementType == SequentialStat);
  selection.longJumpsDeferred = true;
  selection.longJumpMet = false;
  AsmCodeList *code = selectSequentialStatement(statement);
  selection.longJumpsDeferred = false;
  if (selection.longJumpMet) {
    freeAsmCodeList(code);
    return nullptr;
  }
  return code;
}

AsmCodeList *selectStatement(Statement *statement, BlockListNode *currentPosition) {
  ASSERT(statement);
  ASSERT(currentPosition);
  const BasicBlock *next = currentPosition->nextBlock ? currentPosition->nextBlock->blockPtr : nullptr;
  switch (statement->statementType) {
  case SequentialStat:
    return selectSequentialStatement(statement);
  case ConditionalStat:
    return selectConditionalStatement(statement, next);
  case GotoStat:
    if (next && statement->targetBlock == next)
      return nullptr;
    return makeUnconJump(statement->targetBlock);
  case ReturnStat:
    if (!statement->abstractTreePtr)
      return makeReturn(nullptr);
    return appendAsmLists(selectExpression(statement->abstractTreePtr),
                          makeReturn(statement->abstractTreePtr), nullptr);
  }
  ASSERT(!"statement type");
  return nullptr;
}

// ---------------------------------------------------------------- encoding

namespace {
// Where an instruction's operands go after (or into) its opcode byte.
enum class OperandLayout {
  None,          // the opcode alone
  InOpcode,      // operand1 in the low bits of the opcode
  InOpcodeU8,    // call_lib_s: operand1 in the opcode, operand2 u8
  U8,            // operand1
  U16,           // operand1
  U8U8,          // call_lib
  U8U16,         // call_lib_w
  U8U8U8,        // call_url
  U16U16U8,      // call_url_w
  NeverEncoded,  // none and the abstract jumps
};

struct OperandFormat {
  OperandLayout layout;
  std::uint8_t shortFormMask;  // the width of an operand inside the opcode
};
} // namespace

static OperandFormat operandFormat(Operation operation) {
  switch (operation) {
  case Operation::None:
  case Operation::ConJumpFw:
  case Operation::ConJumpBw:
  case Operation::UnconJumpFw:
  case Operation::UnconJumpBw:
    return {OperandLayout::NeverEncoded, 0};
  case Operation::JumpFwS:
  case Operation::JumpBwS:
  case Operation::TJumpFwS:
  case Operation::LoadVarS:
    return {OperandLayout::InOpcode, 31};
  case Operation::StoreVarS:
  case Operation::LoadConstS:
    return {OperandLayout::InOpcode, 15};
  case Operation::CallS:
  case Operation::IncrVarS:
    return {OperandLayout::InOpcode, 7};
  case Operation::CallLibS:
    return {OperandLayout::InOpcodeU8, 7};
  case Operation::JumpFw:
  case Operation::JumpBw:
  case Operation::TJumpFw:
  case Operation::TJumpBw:
  case Operation::Call:
  case Operation::LoadVar:
  case Operation::StoreVar:
  case Operation::IncrVar:
  case Operation::DecrVar:
  case Operation::LoadConst:
  case Operation::AddAsg:
  case Operation::SubAsg:
    return {OperandLayout::U8, 0};
  case Operation::JumpFwW:
  case Operation::JumpBwW:
  case Operation::TJumpFwW:
  case Operation::TJumpBwW:
  case Operation::LoadConstW:
    return {OperandLayout::U16, 0};
  case Operation::CallLib:
    return {OperandLayout::U8U8, 0};
  case Operation::CallLibW:
    return {OperandLayout::U8U16, 0};
  case Operation::CallUrl:
    return {OperandLayout::U8U8U8, 0};
  case Operation::CallUrlW:
    return {OperandLayout::U16U16U8, 0};
  case Operation::Const0:
  case Operation::Const1:
  case Operation::ConstM1:
  case Operation::ConstEs:
  case Operation::ConstInvalid:
  case Operation::ConstTrue:
  case Operation::ConstFalse:
  case Operation::Incr:
  case Operation::Decr:
  case Operation::UMinus:
  case Operation::Add:
  case Operation::Sub:
  case Operation::Mul:
  case Operation::Div:
  case Operation::IDiv:
  case Operation::Rem:
  case Operation::BAnd:
  case Operation::BOr:
  case Operation::BXor:
  case Operation::BNot:
  case Operation::BLShift:
  case Operation::BRsShift:
  case Operation::BRszShift:
  case Operation::Eq:
  case Operation::Le:
  case Operation::Lt:
  case Operation::Ge:
  case Operation::Gt:
  case Operation::Ne:
  case Operation::Not:
  case Operation::ScAnd:
  case Operation::ScOr:
  case Operation::ToBool:
  case Operation::Pop:
  case Operation::TypeOf:
  case Operation::IsValid:
  case Operation::Return:
  case Operation::ReturnEs:
  case Operation::Debug:
    return {OperandLayout::None, 0};
  }
  ASSERT(!"operation is in the opcode table");
  return {OperandLayout::NeverEncoded, 0};
}

// The operations that must never reach the encoder say so before the
// assertion, by their family's name.
static void reportUnencodable(Operation operation) {
  switch (operation) {
  case Operation::None:
    std::fputs("Op_none encountered\n", stderr);
    break;
  case Operation::ConJumpFw:
  case Operation::ConJumpBw:
    std::fputs("Op_con_jump encountered\n", stderr);
    break;
  case Operation::UnconJumpFw:
  case Operation::UnconJumpBw:
    std::fputs("Op_uncon_jump encountered\n", stderr);
    break;
  default:
    break;
  }
  ASSERT(!"abstract instructions are replaced before encoding");
}

namespace {
struct EncodedBytes {
  std::uint8_t *bytes;
  int count;
  void u8(std::uint32_t value) { bytes[count++] = static_cast<std::uint8_t>(value & 0xFF); }
  void u16(std::uint32_t value) {
    u8(value >> 8);
    u8(value);
  }
};
} // namespace

ByteBuffer *encodeInstruction(const AsmCode *instruction) {
  ASSERT(instruction);
  const int size = opcodeRow(instruction->operation).size;
  auto *buffer = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
  *buffer = ByteBuffer{.size = static_cast<std::uint32_t>(size),
                       .bytes = static_cast<std::uint8_t *>(checkedAllocate(size, 1))};
  encodeInstructionAt(instruction, buffer->bytes);
  return buffer;
}

int encodeInstructionAt(const AsmCode *instruction, std::uint8_t *bytes) {
  ASSERT(instruction);
  const auto value = static_cast<std::uint32_t>(instruction->operation);
  ASSERT(value < std::size(opcodeTable));
  const OpcodeRow &row = opcodeTable[value];
  const OperandFormat format = operandFormat(instruction->operation);
  if (format.layout == OperandLayout::NeverEncoded)
    reportUnencodable(instruction->operation);

  EncodedBytes out{.bytes = bytes, .count = 0};
  const std::uint32_t operand1 = instruction->operand1;
  const std::uint32_t operand2 = instruction->operand2;
  const std::uint32_t operand3 = instruction->operand3;
  switch (format.layout) {
  case OperandLayout::None:
    out.u8(row.opcode);
    break;
  case OperandLayout::InOpcode:
    out.u8(row.opcode | (operand1 & format.shortFormMask));
    break;
  case OperandLayout::InOpcodeU8:
    out.u8(row.opcode | (operand1 & format.shortFormMask));
    out.u8(operand2);
    break;
  case OperandLayout::U8:
    out.u8(row.opcode);
    out.u8(operand1);
    break;
  case OperandLayout::U16:
    out.u8(row.opcode);
    out.u16(operand1);
    break;
  case OperandLayout::U8U8:
    out.u8(row.opcode);
    out.u8(operand1);
    out.u8(operand2);
    break;
  case OperandLayout::U8U16:
    out.u8(row.opcode);
    out.u8(operand1);
    out.u16(operand2);
    break;
  case OperandLayout::U8U8U8:
    out.u8(row.opcode);
    out.u8(operand1);
    out.u8(operand2);
    out.u8(operand3);
    break;
  case OperandLayout::U16U16U8:
    out.u8(row.opcode);
    out.u16(operand1);
    out.u16(operand2);
    out.u8(operand3);
    break;
  case OperandLayout::NeverEncoded:
    break;
  }
  ASSERT(out.count == row.size);
  return out.count;
}
