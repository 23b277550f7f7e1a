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

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>

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
static constexpr int childCountByOperator(ExpressionOperator op) {
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

// The same as a table: every finished node is checked against it.
static constexpr auto childCounts = [] {
  std::array<std::int8_t, numberOfOperators> counts{};
  for (int op = 0; op < numberOfOperators; ++op)
    counts[op] = static_cast<std::int8_t>(childCountByOperator(static_cast<ExpressionOperator>(op)));
  return counts;
}();

static int childCountOf(ExpressionOperator op) {
  ASSERT(op < numberOfOperators);
  return childCounts[op];
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

// A leaf operand is lowered on the spot. Inlined: it runs for every leaf.
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

// The node being lowered and where its operands stand: what a ValueOperands
// frame keeps while an operand of the node is lowered.
struct OperandCursor {
  AbstractTree *tree;
  AbstractTreeList *lastChild;  // null before the first child
  ExpressionList *nextOperand;
  std::uint32_t childCount;
  bool owned;  // the remaining operand items are the walk's to free
};

// The cursor remembers the last child, so that a call of many arguments is
// not walked once per argument. Inlined: it runs for every child.
[[gnu::always_inline]] static inline void addChild(OperandCursor &cursor, AbstractTree *child) {
  cursor.lastChild = appendChildAfter(cursor.tree, cursor.lastChild, child);
  cursor.childCount += 1;
}

static OperandCursor cursorOf(const EmissionFrame *frame) {
  return OperandCursor{.tree = frame->tree,
                       .lastChild = frame->lastChild,
                       .nextOperand = frame->nextOperand,
                       .childCount = frame->childCount,
                       .owned = frame->owned};
}

static void keepCursor(EmissionFrame *frame, const OperandCursor &cursor) {
  frame->nextOperand = cursor.nextOperand;
  frame->tree = cursor.tree;
  frame->lastChild = cursor.lastChild;
  frame->childCount = cursor.childCount;
  frame->owned = cursor.owned;
}

// The cursor of a node about to be lowered. A node the walk owns is freed
// here: its operator and operand list are all the walk needs of it.
[[gnu::always_inline]] static inline OperandCursor startOperatorNode(Expression *expression, bool owned) {
  OperandCursor cursor{.tree = createAbstractTree(expression->exprOperator),
                       .lastChild = nullptr,
                       .nextOperand = expression->successorList,
                       .childCount = 0,
                       .owned = owned};
  if (owned)
    returnNodeToFreeList(expressionFreeLists, expression);
  return cursor;
}

void passOverLeaf(ExpressionList *item, bool ownedItem) {
  bool owned;
  Expression *leaf = takeOperand(item, ownedItem, &owned);
  if (owned)
    returnNodeToFreeList(expressionFreeLists, leaf);
}

// Lowers operator nodes, the bulk of every expression, in one loop that
// holds the node being lowered in a cursor: leaves become children on the
// spot; at an operand that is an operator node the cursor goes into the
// node's frame (its own when it has one already, else a new one) and the
// loop goes down into the operand; a finished node whose parent waits in a
// ValueOperands frame becomes its child and the loop goes back up. It
// returns to the walk, with an expression to enter or a finished tree for
// the top frame, only at an operand lowered another way (a rewrite, a
// comma) or at a finished node whose result goes to a frame of another kind.
// It starts either at a node (frame null), or at the frame whose operand
// has just been lowered another way (node null).
static void lowerOperatorNodes(EmissionWalk *walk, Expression *node, bool owned, EmissionFrame *frame) {
  OperandCursor cursor;
  if (node) {
    cursor = startOperatorNode(node, owned);
  } else {
    ASSERT(walk->finishedTree);
    cursor = cursorOf(frame);
    addChild(cursor, walk->finishedTree);
  }
  for (;;) {
    if (ExpressionList *operand = cursor.nextOperand) {
      cursor.nextOperand = operand->nextExpression;
      bool owned;
      Expression *expression = takeOperand(operand, cursor.owned, &owned);
      if (AbstractTree *child = leafTreeOf(expression)) {
        addChild(cursor, child);
        if (owned)
          returnNodeToFreeList(expressionFreeLists, expression);
        continue;
      }
      if (!frame)
        frame = pushFrame(walk, FrameKind::ValueOperands);
      keepCursor(frame, cursor);
      if (loweringOf(expression->exprOperator) != Lowering::OperatorNode) {
        enterNext(walk, EmissionGoal::Value, expression, owned);
        return;
      }
      cursor = startOperatorNode(expression, owned);
      frame = nullptr;
      continue;
    }
    [[maybe_unused]] const int expectedChildren = childCountOf(cursor.tree->treeOperator);
    ASSERT(expectedChildren < 0 ? cursor.childCount >= 1
                                : cursor.childCount == static_cast<std::uint32_t>(expectedChildren));
    if (frame)
      popFrame(walk);
    AbstractTree *tree = cursor.tree;
    if (walk->height == 0 || topFrame(walk)->kind != FrameKind::ValueOperands) {
      finishWith(walk, tree);
      return;
    }
    frame = topFrame(walk);
    cursor = cursorOf(frame);
    // The child's record would give its tree one extra reference and drop
    // it again; the parent's list then holds the only one.
    addChild(cursor, tree);
  }
}

static void lowerOperatorNode(EmissionWalk *walk, Expression *expression, bool owned) {
  lowerOperatorNodes(walk, expression, owned, nullptr);
}

static void finishWithLeaf(EmissionWalk *walk, AbstractTree *leaf, Expression *expression, bool owned) {
  finishWith(walk, leaf);
  if (owned)
    returnNodeToFreeList(expressionFreeLists, expression);
}

void enterComma(EmissionWalk *walk, Expression *comma, bool owned, FrameKind kind) {
  ExpressionList *leftItem = comma->successorList;
  ASSERT(leftItem && leftItem->nextExpression);
  ExpressionList *rightItem = leftItem->nextExpression;
  if (owned)
    returnNodeToFreeList(expressionFreeLists, comma);
  bool leftOwned, rightOwned;
  Expression *left = takeOperand(leftItem, owned, &leftOwned);
  Expression *right = takeOperand(rightItem, owned, &rightOwned);
  EmissionFrame *frame = pushFrame(walk, kind);
  frame->rightSide = right;
  frame->owned = rightOwned;
  enterNext(walk, EmissionGoal::Effect, left, leftOwned);
}

static void enterForValue(EmissionWalk *walk, Expression *expression, bool owned) {
  switch (loweringOf(expression->exprOperator)) {
  case Lowering::IdentifierCopy:
    finishWithLeaf(walk, identifierLeafTree(expression), expression, owned);
    return;
  case Lowering::PlacedConstant:
    finishWithLeaf(walk, constantLeafTree(expression), expression, owned);
    return;
  case Lowering::OperatorNode:
    lowerOperatorNode(walk, expression, owned);
    return;
  case Lowering::Rewritten: {
    Expression *rewrite = rewriteCompoundAssignment(expression);
    if (owned) {
      // The rewrite holds the target and the value, so releasing the
      // compound frees only its own node and items; the rewrite, which
      // nobody else holds, is then the walk's.
      releaseExpression(expression);
      lowerOperatorNode(walk, rewrite, true);
      return;
    }
    // The frame below the rewrite's releases it once its tree is done.
    pushFrame(walk, FrameKind::ReleaseRewrite)->rewrite = rewrite;
    lowerOperatorNode(walk, rewrite, false);
    return;
  }
  case Lowering::CommaValue:
    enterComma(walk, expression, owned, FrameKind::ValueAfterComma);
    return;
  }
}

static void resumeValueOperands(EmissionWalk *walk, EmissionFrame *frame) {
  lowerOperatorNodes(walk, nullptr, false, frame);
}

static void resumeTopFrame(EmissionWalk *walk) {
  EmissionFrame *frame = topFrame(walk);
  switch (frame->kind) {
  case FrameKind::ValueOperands:
    resumeValueOperands(walk, frame);
    return;
  case FrameKind::ValueAfterComma: {
    // The right side's tree is the comma's: it is handed straight to the
    // frame below.
    Expression *rightSide = frame->rightSide;
    const bool owned = frame->owned;
    popFrame(walk);
    enterNext(walk, EmissionGoal::Value, rightSide, owned);
    return;
  }
  case FrameKind::ReleaseRewrite:
    releaseExpression(frame->rewrite);
    popFrame(walk);
    return;
  case FrameKind::EffectOperands:
  case FrameKind::EffectAfterComma:
  case FrameKind::StatementValue:
    resumeEffectFrame(walk, frame);
    return;
  }
  ASSERT(!"a frame of no known kind");
}

// ---------------------------------------------------------------- the walk

constexpr std::size_t firstChunkFrames = 64;
constexpr std::size_t largestSpareFrameCount = 4096;

static EmissionFrame *framesOf(FrameChunk *chunk) { return reinterpret_cast<EmissionFrame *>(chunk + 1); }
static_assert(sizeof(FrameChunk) % alignof(EmissionFrame) == 0);

static FrameChunk *makeFrameChunk(FrameChunk *below) {
  const std::size_t capacity = below ? 2 * below->capacity : firstChunkFrames;
  void *memory = std::malloc(sizeof(FrameChunk) + capacity * sizeof(EmissionFrame));
  if (!memory)
    fatalError(noMemorySpace);
  return new (memory) FrameChunk{.below = below, .above = nullptr, .capacity = capacity};
}

static void makeChunkCurrent(EmissionWalk *walk, FrameChunk *chunk) {
  walk->chunk = chunk;
  walk->chunkFirst = framesOf(chunk);
  walk->chunkEnd = walk->chunkFirst + chunk->capacity;
}

void enterChunkAbove(EmissionWalk *walk) {
  FrameChunk *above;
  if (!walk->chunk) {
    if (!walk->firstChunk)
      walk->firstChunk = makeFrameChunk(nullptr);
    above = walk->firstChunk;
  } else {
    if (!walk->chunk->above) {
      walk->chunk->above = makeFrameChunk(walk->chunk);
      walk->madeChunkPastSpares |= walk->chunk->above->capacity > largestSpareFrameCount / 2;
    }
    above = walk->chunk->above;
  }
  makeChunkCurrent(walk, above);
  walk->top = walk->chunkFirst;
}

void enterChunkBelow(EmissionWalk *walk) {
  ASSERT(walk->chunk->below);
  makeChunkCurrent(walk, walk->chunk->below);
  walk->top = walk->chunkEnd;
}

namespace {
// The chunks of the finished walks, kept for the next ones: a walk runs for
// every expression, and most need only a few frames. A walk started inside
// another one finds none and makes its own. Chunks past the first 4,032
// frames (64 to 2,048 a chunk) are given back: kept, a very deep
// expression's frames would add to the memory of every later step of the
// run (6 MB on the 4 MB deep benchmark unit, for a few per cent of its time).
struct SpareFrames {
  FrameChunk *firstChunk;
};
} // namespace

static constinit SpareFrames spareFrames{};

static void freeChunksFrom(FrameChunk *chunk) {
  while (chunk) {
    FrameChunk *above = chunk->above;
    std::free(chunk);
    chunk = above;
  }
}

// Keeps the lowest chunks, up to largestSpareFrameCount frames, for the
// next walk and frees the others; all of them when a walk inside this one
// has left its own. Chunks double from 64 frames, so only a walk that made
// a chunk of more than half the limit has chunks to give back.
static void keepSpareChunks(const EmissionWalk &walk) {
  FrameChunk *first = walk.firstChunk;
  if (spareFrames.firstChunk) {
    freeChunksFrom(first);
    return;
  }
  if (walk.madeChunkPastSpares) {
    std::size_t kept = 0;
    FrameChunk *lastKept = nullptr;
    for (FrameChunk *chunk = first; chunk && kept + chunk->capacity <= largestSpareFrameCount;
         chunk = chunk->above) {
      kept += chunk->capacity;
      lastKept = chunk;
    }
    ASSERT(lastKept);
    freeChunksFrom(lastKept->above);
    lastKept->above = nullptr;
  }
  spareFrames.firstChunk = first;
}

// A walk that releases the expression owns it when nobody holds it; a held
// one is only dereferenced, as releaseExpression would.
static bool takeRoot(Expression *expression, Disposal disposal) {
  if (disposal == Disposal::Keep)
    return false;
  if (expression->referenceCount > 0) {
    expression->referenceCount -= 1;
    return false;
  }
  return true;
}

// A root whose operands are all leaves is lowered without the walk.
static bool isOperatorOverLeaves(const Expression *expression) {
  if (loweringOf(expression->exprOperator) != Lowering::OperatorNode)
    return false;
  for (const ExpressionList *operand = expression->successorList; operand; operand = operand->nextExpression)
    if (!isLeafOperator(operand->expression->exprOperator))
      return false;
  return true;
}

// The same steps, in the same order, as lowerOperatorNodes takes for a node
// over leaves: the node's tree, the node freed, then each operand's item
// freed, its leaf tree made and added, the leaf freed.
static AbstractTree *lowerOperatorOverLeaves(Expression *expression, bool owned) {
  OperandCursor cursor = startOperatorNode(expression, owned);
  while (ExpressionList *operand = cursor.nextOperand) {
    cursor.nextOperand = operand->nextExpression;
    bool operandOwned;
    Expression *leaf = takeOperand(operand, cursor.owned, &operandOwned);
    addChild(cursor, leafTreeOf(leaf));
    if (operandOwned)
      returnNodeToFreeList(expressionFreeLists, leaf);
  }
  [[maybe_unused]] const int expectedChildren = childCountOf(cursor.tree->treeOperator);
  ASSERT(expectedChildren < 0 ? cursor.childCount >= 1
                              : cursor.childCount == static_cast<std::uint32_t>(expectedChildren));
  return cursor.tree;
}

// A root whose operands are leaves or operators over leaves, two levels
// at most, is lowered without the walk too.
static bool isShallowTree(const Expression *expression) {
  if (loweringOf(expression->exprOperator) != Lowering::OperatorNode)
    return false;
  for (const ExpressionList *operand = expression->successorList; operand; operand = operand->nextExpression)
    if (!isLeafOperator(operand->expression->exprOperator) && !isOperatorOverLeaves(operand->expression))
      return false;
  return true;
}

// The walk's steps again: an operand over leaves is lowered, and freed, when
// the walk would go down into it, and becomes a child once done.
static AbstractTree *lowerShallowTree(Expression *expression, bool owned) {
  OperandCursor cursor = startOperatorNode(expression, owned);
  while (ExpressionList *operand = cursor.nextOperand) {
    cursor.nextOperand = operand->nextExpression;
    bool operandOwned;
    Expression *child = takeOperand(operand, cursor.owned, &operandOwned);
    if (AbstractTree *leaf = leafTreeOf(child)) {
      addChild(cursor, leaf);
      if (operandOwned)
        returnNodeToFreeList(expressionFreeLists, child);
      continue;
    }
    addChild(cursor, lowerOperatorOverLeaves(child, operandOwned));
  }
  [[maybe_unused]] const int expectedChildren = childCountOf(cursor.tree->treeOperator);
  ASSERT(expectedChildren < 0 ? cursor.childCount >= 1
                              : cursor.childCount == static_cast<std::uint32_t>(expectedChildren));
  return cursor.tree;
}

static AbstractTree *lowerLeaf(Expression *expression, bool owned) {
  AbstractTree *leaf = leafTreeOf(expression);
  if (owned)
    returnNodeToFreeList(expressionFreeLists, expression);
  return leaf;
}

[[gnu::noinline]] static AbstractTree *runWalk(EmissionGoal goal, Expression *expression, Disposal disposal) {
  EmissionWalk walk{.top = nullptr,
                    .chunkFirst = nullptr,
                    .chunkEnd = nullptr,
                    .chunk = nullptr,
                    .firstChunk = spareFrames.firstChunk,
                    .height = 0,
                    .madeChunkPastSpares = false,
                    .entering = expression,
                    .enteringGoal = goal,
                    .enteringOwned = takeRoot(expression, disposal),
                    .finishedTree = nullptr};
  spareFrames = SpareFrames{};
  if (walk.firstChunk) {
    makeChunkCurrent(&walk, walk.firstChunk);
    walk.top = walk.chunkFirst;
  }
  for (;;) {
    if (Expression *entering = walk.entering) {
      walk.entering = nullptr;
      if (walk.enteringGoal == EmissionGoal::Value)
        enterForValue(&walk, entering, walk.enteringOwned);
      else
        enterForEffect(&walk, entering, walk.enteringOwned);
    } else if (walk.height > 0) {
      resumeTopFrame(&walk);
    } else {
      break;
    }
  }
  keepSpareChunks(walk);
  return goal == EmissionGoal::Value ? walk.finishedTree : nullptr;
}

// Most statements and conditions are a leaf, an operator over leaves
// (a = b, f(a, 1), i < 16, ++n) or one over such operators (a = b + 1,
// f(a - 1, -b)): their trees are made here, without the walk's stack and
// its setup.
AbstractTree *runEmissionWalk(EmissionGoal goal, Expression *expression, Disposal disposal) {
  if (goal == EmissionGoal::Value) {
    if (isLeafOperator(expression->exprOperator))
      return lowerLeaf(expression, takeRoot(expression, disposal));
    if (isShallowTree(expression))
      return lowerShallowTree(expression, takeRoot(expression, disposal));
  }
  return runWalk(goal, expression, disposal);
}

irData *lowerExpression(Expression *expression) {
  return newIrData(runEmissionWalk(EmissionGoal::Value, expression, Disposal::Keep));
}

AbstractTree *lowerAndReleaseExpression(Expression *expression) {
  return runEmissionWalk(EmissionGoal::Value, expression, Disposal::Release);
}
