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

// Emits the next operand for effect, or finishes the frame when there is none.
static void emitNextOperandForEffect(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  ExpressionList *operand = frame->nextOperand;
  if (!operand) {
    finishFrame(walk, nullptr);
    return;
  }
  frame->nextOperand = operand->nextExpression;
  pushFrame(walk, EmissionGoal::Effect, operand->expression);
}

static void appendSequentialStatement(AbstractTree *tree) {
  appendStatement(createSequentialStatement(tree));
}

static void enterEffectFrame(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  Expression *expression = frame->expression;
  switch (effectOf(expression->exprOperator)) {
  case Effect::Nothing:
    finishFrame(walk, nullptr);
    return;
  case Effect::AsStatement:
    frame->stage = FrameStage::StatementValue;
    pushFrame(walk, EmissionGoal::Value, expression);
    return;
  case Effect::OperandsForEffect:
    frame->stage = FrameStage::Operands;
    frame->nextOperand = expression->successorList;
    emitNextOperandForEffect(walk);
    return;
  case Effect::CommaSides:
    ASSERT(expression->successorList && expression->successorList->nextExpression);
    frame->stage = FrameStage::CommaLeft;
    pushFrame(walk, EmissionGoal::Effect, expression->successorList->expression);
    return;
  }
}

void stepEffectFrame(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  switch (frame->stage) {
  case FrameStage::Entered:
    enterEffectFrame(walk);
    return;
  case FrameStage::StatementValue:
    // The statement takes over the tree from the record a lowering would
    // have handed it in: the tree stays unreferenced, owned by the statement.
    ASSERT(walk->finishedTree);
    appendSequentialStatement(walk->finishedTree);
    finishFrame(walk, nullptr);
    return;
  case FrameStage::Operands:
    emitNextOperandForEffect(walk);
    return;
  case FrameStage::CommaLeft:
    // Each side of a comma is a source-level step of its own.
    advanceSequenceNumber();
    frame->stage = FrameStage::CommaRight;
    pushFrame(walk, EmissionGoal::Effect, frame->expression->successorList->nextExpression->expression);
    return;
  case FrameStage::CommaRight:
    finishFrame(walk, nullptr);
    return;
  }
  ASSERT(!"an effect frame in a stage of its own");
}

void emitExpressionForEffect(Expression *expression) {
  runEmissionWalk(EmissionGoal::Effect, expression);
}
