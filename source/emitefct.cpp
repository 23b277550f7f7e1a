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
static void emitOperandsForEffect(EmissionWalk *walk, ExpressionList *operand, EmissionFrame *frame) {
  while (operand && isLeafOperator(operand->expression->exprOperator))
    operand = operand->nextExpression;
  if (!operand || !operand->nextExpression) {
    if (frame)
      popFrame(walk);
    if (operand)
      enterNext(walk, EmissionGoal::Effect, operand->expression);
    else
      finishWith(walk, nullptr);
    return;
  }
  if (!frame)
    frame = pushFrame(walk, FrameKind::EffectOperands);
  frame->nextOperand = operand->nextExpression;
  enterNext(walk, EmissionGoal::Effect, operand->expression);
}

void enterForEffect(EmissionWalk *walk, Expression *expression) {
  switch (effectOf(expression->exprOperator)) {
  case Effect::Nothing:
    finishWith(walk, nullptr);
    return;
  case Effect::AsStatement:
    pushFrame(walk, FrameKind::StatementValue);
    enterNext(walk, EmissionGoal::Value, expression);
    return;
  case Effect::OperandsForEffect:
    emitOperandsForEffect(walk, expression->successorList, nullptr);
    return;
  case Effect::CommaSides:
    ASSERT(expression->successorList && expression->successorList->nextExpression);
    pushFrame(walk, FrameKind::EffectAfterComma)->rightSide = expression->successorList->nextExpression;
    enterNext(walk, EmissionGoal::Effect, expression->successorList->expression);
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
    emitOperandsForEffect(walk, frame->nextOperand, frame);
    return;
  case FrameKind::EffectAfterComma: {
    // Each side of a comma is a source-level step of its own; the right
    // side takes the frame's place.
    advanceSequenceNumber();
    Expression *rightSide = frame->rightSide->expression;
    popFrame(walk);
    enterNext(walk, EmissionGoal::Effect, rightSide);
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
void emitExpressionForEffect(Expression *expression) {
  if (effectOf(expression->exprOperator) == Effect::AsStatement)
    appendSequentialStatement(runEmissionWalk(EmissionGoal::Value, expression));
  else
    runEmissionWalk(EmissionGoal::Effect, expression);
}
