// Emission for effect: an expression whose value is discarded leaves only
// the statements that carry its side effects. Operators that only compute
// pass the question on to their operands; calls, increments, assignments,
// && and || and ?: become sequential statements of the current block.
#include "emitcode.h"
#include "emitop.h"

#include "exprsion.h"
#include "stmntir.h"
#include "tavokassert.h"

namespace {

// What emission for effect makes of each operator.
enum class Effect {
  Nothing,            // leaves: no side effect
  AsStatement,        // the expression lowered for its value, as a statement
  OperandsForEffect,  // each operand in order for effect; the operator itself nothing
  CommaSides,         // the left side, a new sequence number, the right side
};

} // namespace

static Effect effectOf(ExpressionOperator op) {
  switch (op) {
  case IdentifierLeaf:
  case ConstantLeaf:
    return Effect::Nothing;
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
    return Effect::AsStatement;
  case IsValid:
  case TypeOf:
  case IntegerDivide:
  case RightShiftZeroFill:
  case UnaryPlus:
  case UnaryMinus:
  case LogicalNot:
  case ComplementOf:
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
    return Effect::OperandsForEffect;
  case PostIncrement:
  case PostDecrement:
  case PreIncrement:
  case PreDecrement:
    return Effect::AsStatement;
  // Instruction selection evaluates && and || with their short circuit.
  case LogicalAnd:
  case LogicalOr:
  case Conditional:
    return Effect::AsStatement;
  case Assign:
  case AddAssign:
  case SubtractAssign:
    return Effect::AsStatement;
  // Lowering for a value rewrites them first.
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
    return Effect::AsStatement;
  case Comma:
    return Effect::CommaSides;
  }
  ASSERT(!"an operator above Comma");
  return Effect::Nothing;
}

static void appendSequentialStatement(AbstractTree *tree) {
  appendStatement(createSequentialStatement(tree));
}

// Emits the operands from this one on: leaves have no effect and are passed
// over; the last operand with one takes the frame's place. The frame is the
// operator's own once it has one, else null.
// When the walk owns the operator, its items are freed as they are passed,
// and so are the leaves nobody else holds.
static void emitOperandsForEffect(EmissionWalk *walk, ExpressionList *operand, EmissionFrame *frame, bool owned) {
  while (operand && isLeafOperator(operand->expression->exprOperator)) {
    ExpressionList *next = operand->nextExpression;
    passOverLeaf(operand, owned);
    operand = next;
  }
  if (!operand) {
    if (frame)
      popFrame(walk);
    finishWith(walk, nullptr);
    return;
  }
  ExpressionList *next = operand->nextExpression;
  bool operandOwned;
  Expression *expression = takeOperand(operand, owned, &operandOwned);
  if (!next) {
    if (frame)
      popFrame(walk);
  } else {
    if (!frame)
      frame = pushFrame(walk, FrameKind::EffectOperands);
    frame->nextOperand = next;
    frame->owned = owned;
  }
  enterNext(walk, EmissionGoal::Effect, expression, operandOwned);
}

void enterForEffect(EmissionWalk *walk, Expression *expression, bool owned) {
  switch (effectOf(expression->exprOperator)) {
  case Effect::Nothing:
    finishWith(walk, nullptr);
    if (owned)
      returnNodeToFreeList(expressionFreeLists, expression);
    return;
  case Effect::AsStatement:
    pushFrame(walk, FrameKind::StatementValue);
    enterNext(walk, EmissionGoal::Value, expression, owned);
    return;
  case Effect::OperandsForEffect: {
    ExpressionList *operands = expression->successorList;
    if (owned)
      returnNodeToFreeList(expressionFreeLists, expression);
    emitOperandsForEffect(walk, operands, nullptr, owned);
    return;
  }
  case Effect::CommaSides:
    enterComma(walk, expression, owned, FrameKind::EffectAfterComma);
    return;
  }
}

void resumeEffectFrame(EmissionWalk *walk, EmissionFrame *frame) {
  switch (frame->kind) {
  case FrameKind::StatementValue:
    // The statement takes over the tree from the record a lowering would
    // have handed it in: the tree stays unreferenced, owned by the statement.
    ASSERT(walk->finishedTree);
    appendSequentialStatement(walk->finishedTree);
    popFrame(walk);
    finishWith(walk, nullptr);
    return;
  case FrameKind::EffectOperands:
    emitOperandsForEffect(walk, frame->nextOperand, frame, frame->owned);
    return;
  case FrameKind::EffectAfterComma: {
    // Each side of a comma is a source-level step of its own; the right
    // side takes the frame's place.
    advanceSequenceNumber();
    Expression *rightSide = frame->rightSide;
    const bool owned = frame->owned;
    popFrame(walk);
    enterNext(walk, EmissionGoal::Effect, rightSide, owned);
    return;
  }
  default:
    break;
  }
  ASSERT(!"a value frame among the effect steps");
}

// Most expression statements are a call, an assignment or an increment,
// whose tree is the statement: lowered for a value by a walk of its own,
// without an effect frame waiting for it.
static void emitForEffect(Expression *expression, Disposal disposal) {
  if (effectOf(expression->exprOperator) == Effect::AsStatement)
    appendSequentialStatement(runEmissionWalk(EmissionGoal::Value, expression, disposal));
  else
    runEmissionWalk(EmissionGoal::Effect, expression, disposal);
}

void emitExpressionForEffect(Expression *expression) { emitForEffect(expression, Disposal::Keep); }

void emitAndReleaseForEffect(Expression *expression) { emitForEffect(expression, Disposal::Release); }
