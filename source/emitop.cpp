// Lowering for a value: every expression becomes a fresh abstract tree whose
// children are its operands in evaluation order. Constants are placed as
// their leaves are lowered, compound assignments other than += and -= are
// rewritten into plain assignments, and a comma leaves only its right side.
#include "emitop.h"

#include "binopexp.h"
#include "constpool.h"
#include "emitcode.h"
#include "exprir.h"
#include "exprsion.h"
#include "fatal.h"
#include "tavokassert.h"

#include <cstdlib>

// ---------------------------------------------------------------- the walk

void growFrames(EmissionWalk *walk) {
  std::size_t capacity = walk->capacity ? walk->capacity * 2 : 64;
  void *frames = std::realloc(walk->frames, capacity * sizeof(EmissionFrame));
  if (!frames)
    fatalError(noMemorySpace);
  walk->frames = static_cast<EmissionFrame *>(frames);
  walk->capacity = capacity;
}

namespace {
// The frames of the largest finished walk, kept for the next ones: a walk
// runs for every expression, and most need only a few frames. A walk started
// inside another one finds none and grows its own. The frames of a very deep
// walk are given back: kept, they would add to the memory of every later
// step of the run (6 MB on the 4 MB deep benchmark unit, for a few per cent
// of its time).
struct SpareFrames {
  EmissionFrame *frames;
  std::size_t capacity;
};
} // namespace

static constinit SpareFrames spareFrames{};
constexpr std::size_t largestSpareFrameCount = 4096;

AbstractTree *runEmissionWalk(EmissionGoal goal, Expression *expression) {
  EmissionWalk walk{.frames = spareFrames.frames,
                    .height = 0,
                    .capacity = spareFrames.capacity,
                    .finishedTree = nullptr};
  spareFrames = SpareFrames{};
  pushFrame(&walk, goal, expression);
  while (walk.height > 0) {
    if (topFrame(&walk)->goal == EmissionGoal::Value)
      stepValueFrame(&walk);
    else
      stepEffectFrame(&walk);
  }
  if (walk.capacity > spareFrames.capacity && walk.capacity <= largestSpareFrameCount) {
    std::free(spareFrames.frames);
    spareFrames = SpareFrames{.frames = walk.frames, .capacity = walk.capacity};
  } else {
    std::free(walk.frames);
  }
  return walk.finishedTree;
}

// ---------------------------------------------------------------- lowering by operator

namespace {

// What lowering makes of each operator.
enum class Lowering {
  IdentifierCopy,  // a leaf with the identifier's index word and record
  PlacedConstant,  // a leaf with the placed constant
  OperatorNode,    // a node with the same operator, the operands as children
  Rewritten,       // x op= y lowered as x = x op y
  CommaValue,      // the left side for effect, the right side's tree
};

} // namespace

static Lowering loweringOf(ExpressionOperator op) {
  switch (op) {
  case IdentifierLeaf:
    return Lowering::IdentifierCopy;
  case ConstantLeaf:
    return Lowering::PlacedConstant;
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
  case Conditional:
  case IsValid:
  case TypeOf:
  case PostIncrement:
  case PostDecrement:
  case PreIncrement:
  case PreDecrement:
  case UnaryPlus:
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
  case LogicalAnd:
  case LogicalOr:
  case AddAssign:
  case SubtractAssign:
  case Assign:
    return Lowering::OperatorNode;
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
    return Lowering::Rewritten;
  case Comma:
    return Lowering::CommaValue;
  }
  ASSERT(!"an operator that cannot be lowered");
  return Lowering::OperatorNode;
}

// The binary operator behind each rewritten compound assignment.
static ExpressionOperator binaryOperatorOf(ExpressionOperator compound) {
  switch (compound) {
  case MultiplyAssign:
    return Multiply;
  case DivideAssign:
    return Divide;
  case IntegerDivideAssign:
    return IntegerDivide;
  case ModulusAssign:
    return Modulus;
  case LeftShiftAssign:
    return LeftShift;
  case RightShiftAssign:
    return RightShift;
  case RightShiftZeroFillAssign:
    return RightShiftZeroFill;
  case BitAndAssign:
    return BitAnd;
  case BitXorAssign:
    return BitXor;
  case BitOrAssign:
    return BitOr;
  default:
    break;
  }
  ASSERT(!"a compound assignment with its own instruction or no compound at all");
  return compound;
}

// How many children a node of each operator has once lowered; -1 for calls,
// whose callee or index leaves come first and whose argument count varies.
static int childCountOf(ExpressionOperator op) {
  switch (op) {
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
    return -1;
  case Conditional:
    return 3;
  case IsValid:
  case TypeOf:
  case PostIncrement:
  case PostDecrement:
  case PreIncrement:
  case PreDecrement:
  case UnaryPlus:
  case UnaryMinus:
  case LogicalNot:
  case ComplementOf:
    return 1;
  default:
    return 2;
  }
}

static AbstractTree *identifierLeafTree(const Expression *expression) {
  AbstractTree *leaf = createAbstractTree(IdentifierLeaf);
  leaf->identifier = expression->identifier;
  return leaf;
}

static AbstractTree *constantLeafTree(const Expression *expression) {
  AbstractTree *leaf = createAbstractTree(ConstantLeaf);
  leaf->constantNode = placeConstant(expression->constant);
  return leaf;
}

// x op= y becomes x = (x op y); the target leaf x is shared by both nodes.
// The rewrite holds its own references, so releasing it afterwards leaves
// the original expression as it was.
static Expression *rewriteCompoundAssignment(Expression *compound) {
  ExpressionList *operands = compound->successorList;
  ASSERT(operands && operands->nextExpression && !operands->nextExpression->nextExpression);
  Expression *target = operands->expression;
  Expression *value = operands->nextExpression->expression;
  Expression *binary = buildBinaryExpression(binaryOperatorOf(compound->exprOperator), target, value);
  ASSERT(binary);
  Expression *simplifiedExpression = buildAssignment(Assign, target, binary);
  ASSERT(simplifiedExpression);
  return simplifiedExpression;
}

// The frame remembers the last child, so that a call of many arguments is
// not walked once per argument.
static void addChild(EmissionFrame *frame, AbstractTree *child) {
  frame->lastChild = appendChildAfter(frame->tree, frame->lastChild, child);
  frame->childCount += 1;
}

// A leaf operand is lowered on the spot; what a frame of its own would do
// for it is exactly this, in the same order. Inlined into both of its
// callers: it runs for every leaf.
[[gnu::always_inline]] static inline AbstractTree *leafTreeOf(const Expression *expression) {
  switch (expression->exprOperator) {
  case IdentifierLeaf:
    return identifierLeafTree(expression);
  case ConstantLeaf:
    return constantLeafTree(expression);
  default:
    return nullptr;
  }
}

static bool isLeafExpression(const Expression *expression) {
  return expression->exprOperator == IdentifierLeaf || expression->exprOperator == ConstantLeaf;
}

// An operator node whose operands are all leaves, the commonest inner node,
// is lowered without a frame of its own: the node, then each leaf and the
// child item holding it, taken in the order the frame would take them. Null,
// with nothing taken, for any other expression.
static AbstractTree *tryLowerOperatorOverLeaves(const Expression *expression) {
  if (loweringOf(expression->exprOperator) != Lowering::OperatorNode)
    return nullptr;
  for (const ExpressionList *operand = expression->successorList; operand; operand = operand->nextExpression)
    if (!isLeafExpression(operand->expression))
      return nullptr;
  AbstractTree *tree = createAbstractTree(expression->exprOperator);
  AbstractTreeList *lastChild = nullptr;
  [[maybe_unused]] int childCount = 0;
  for (const ExpressionList *operand = expression->successorList; operand; operand = operand->nextExpression) {
    lastChild = appendChildAfter(tree, lastChild, leafTreeOf(operand->expression));
    childCount += 1;
  }
  [[maybe_unused]] const int expectedChildren = childCountOf(tree->treeOperator);
  ASSERT(expectedChildren < 0 ? childCount >= 1 : childCount == expectedChildren);
  return tree;
}

// Lowers the next operand as a child of the frame's node, or finishes the
// node when every operand has been lowered.
static void lowerNextOperand(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  while (ExpressionList *operand = frame->nextOperand) {
    frame->nextOperand = operand->nextExpression;
    AbstractTree *child = leafTreeOf(operand->expression);
    if (!child)
      child = tryLowerOperatorOverLeaves(operand->expression);
    if (!child) {
      pushFrame(walk, EmissionGoal::Value, operand->expression);
      return;
    }
    addChild(frame, child);
  }
  AbstractTree *tree = frame->tree;
  const int expectedChildren = childCountOf(tree->treeOperator);
  ASSERT(expectedChildren < 0 ? frame->childCount >= 1
                              : frame->childCount == static_cast<std::uint32_t>(expectedChildren));
  if (frame->rewrite)
    releaseExpression(frame->rewrite);
  finishFrame(walk, tree);
}

static void startOperatorNode(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  frame->tree = createAbstractTree(frame->expression->exprOperator);
  frame->nextOperand = frame->expression->successorList;
  frame->stage = FrameStage::Operands;
  lowerNextOperand(walk);
}

static void enterValueFrame(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  Expression *expression = frame->expression;
  switch (loweringOf(expression->exprOperator)) {
  case Lowering::IdentifierCopy:
    finishFrame(walk, identifierLeafTree(expression));
    return;
  case Lowering::PlacedConstant:
    finishFrame(walk, constantLeafTree(expression));
    return;
  case Lowering::OperatorNode:
    startOperatorNode(walk);
    return;
  case Lowering::Rewritten:
    frame->rewrite = rewriteCompoundAssignment(expression);
    frame->expression = frame->rewrite;
    startOperatorNode(walk);
    return;
  case Lowering::CommaValue:
    ASSERT(expression->successorList && expression->successorList->nextExpression);
    frame->stage = FrameStage::CommaLeft;
    pushFrame(walk, EmissionGoal::Effect, expression->successorList->expression);
    return;
  }
}

void stepValueFrame(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  switch (frame->stage) {
  case FrameStage::Entered:
    enterValueFrame(walk);
    return;
  case FrameStage::Operands: {
    AbstractTree *childTree = walk->finishedTree;
    ASSERT(childTree);
    // The child's record would give its tree one extra reference and drop
    // it again; the parent's list then holds the only one.
    addChild(frame, childTree);
    lowerNextOperand(walk);
    return;
  }
  case FrameStage::CommaLeft:
    frame->stage = FrameStage::CommaRight;
    pushFrame(walk, EmissionGoal::Value, frame->expression->successorList->nextExpression->expression);
    return;
  case FrameStage::CommaRight:
    finishFrame(walk, walk->finishedTree);
    return;
  case FrameStage::StatementValue:
    break;
  }
  ASSERT(!"a value frame in a stage of its own");
}

irData *lowerExpression(Expression *expression) {
  return newIrData(runEmissionWalk(EmissionGoal::Value, expression));
}
