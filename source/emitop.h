// The walk behind expression emission. Lowering for a value and emission for
// effect call each other (a comma lowered for its value emits its left side
// for effect; an assignment emitted for effect is lowered for its value), and
// the source decides how deep an expression is, so both run as one walk over
// an explicit stack of frames instead of recursing. The walk either enters an
// expression for a goal, or hands the result of what it entered last to the
// top frame; the steps follow, operator by operator, what a recursive
// lowering would do, so trees, statements and pool constants come out in the
// same order. A frame is pushed only for an operator that must come back
// after an operand: leaves, operators over leaves and the last side of a
// comma or of an operator emitted for effect are taken without one.
// A walk that releases the expression frees each node it owns (one nobody
// else holds) as soon as it has read what it needs of it.
// Internal to emitcode, emitop and emitefct.
#pragma once

#include "exprsion.h"
#include "tavokassert.h"

#include <cstddef>
#include <cstdint>

struct AbstractTree;
struct AbstractTreeList;

enum class EmissionGoal : std::uint8_t {
  Value,   // lower into an abstract tree
  Effect,  // append the statements that carry the side effects
};

// What a frame waits for, and so what it does with the result handed to it.
enum class FrameKind : std::uint8_t {
  ValueOperands,     // Value: adds the tree as a child and lowers the next operands
  ValueAfterComma,   // Value: the comma's left side is done; its right side takes the frame's place
  ReleaseRewrite,    // Value: releases the compound assignment's rewrite and passes the tree on
  EffectOperands,    // Effect: emits the next operands
  EffectAfterComma,  // Effect: a new sequence number, then the right side takes the frame's place
  StatementValue,    // Effect: the tree becomes a sequential statement
};

// 32 bytes: a very deep expression holds one frame per level.
struct EmissionFrame {
  union {
    ExpressionList *nextOperand;  // the operand kinds: the operand after the current one
    Expression *rightSide;        // the comma kinds: the right side
    Expression *rewrite;          // ReleaseRewrite
  };
  AbstractTree *tree;           // ValueOperands: the node receiving the children
  AbstractTreeList *lastChild;  // ValueOperands: the tree's last child so far, null before the first
  std::uint32_t childCount;     // ValueOperands: the tree's children so far
  FrameKind kind;
  // The operand kinds: the operator is the walk's, and so are its remaining
  // operand items; the comma kinds: the right side is the walk's.
  bool owned;
};
static_assert(sizeof(EmissionFrame) <= 32);

// Frames live in chunks that are never moved: a very deep expression's stack
// grows by a chunk twice the size of the one below, not by copying the
// frames it has. A chunk made once stays linked above its lower neighbour
// until the walk ends, so a stack that goes up and down across a chunk's
// edge makes and frees nothing.
struct FrameChunk {
  FrameChunk *below;    // null for the first chunk
  FrameChunk *above;    // null until made
  std::size_t capacity;  // frames
};

struct EmissionWalk {
  EmissionFrame *top;         // past the top frame, in the current chunk
  EmissionFrame *chunkFirst;  // the current chunk's frames
  EmissionFrame *chunkEnd;
  FrameChunk *chunk;          // the current chunk; null before the first push
  FrameChunk *firstChunk;
  std::size_t height;         // frames in every chunk
  bool madeChunkPastSpares;   // a chunk that is not kept for the next walk was made
  Expression *entering;       // the expression to enter next; null: hand finishedTree to the top frame
  EmissionGoal enteringGoal;
  bool enteringOwned;         // the walk frees the entered expression's nodes nobody else holds
  AbstractTree *finishedTree;  // what the expression entered last made: its tree, null for Effect
};

// What becomes of the expression once the walk is done with it.
enum class Disposal : std::uint8_t {
  Keep,     // the caller releases it afterwards, or keeps it
  Release,  // released by the walk, as releaseExpression would
};

// Runs the walk for one expression to the end. The tree for Value, null for Effect.
AbstractTree *runEmissionWalk(EmissionGoal goal, Expression *expression, Disposal disposal);

// The walk's moves. Each step of the walk ends in exactly one of them: an
// expression to enter next (after pushing or keeping a frame that waits for
// it), or a finished result for the top frame.
inline void enterNext(EmissionWalk *walk, EmissionGoal goal, Expression *expression, bool owned);
inline void finishWith(EmissionWalk *walk, AbstractTree *result);
// Frames do not move: a pointer to a frame stays good until it is popped.
inline EmissionFrame *pushFrame(EmissionWalk *walk, FrameKind kind);
inline EmissionFrame *topFrame(EmissionWalk *walk);
inline void popFrame(EmissionWalk *walk);
// The chunk above the current one, made when there is none yet, becomes
// current and empty; the chunk below, full, becomes current.
void enterChunkAbove(EmissionWalk *walk);
void enterChunkBelow(EmissionWalk *walk);

// The effect half, in emitefct.cpp: entering an expression for effect, and
// the steps of the three effect kinds of frame.
void enterForEffect(EmissionWalk *walk, Expression *expression, bool owned);
// A comma for either goal: a frame of this kind waits with the right side
// while the left side is entered for effect.
void enterComma(EmissionWalk *walk, Expression *comma, bool owned, FrameKind kind);
// An operand item's expression; an item of a node the walk owns is freed and
// drops its reference, and *ownedOperand tells whether that was the last.
inline Expression *takeOperand(ExpressionList *item, bool ownedItem, bool *ownedOperand);
// Frees an operand item, and the operand when that was its last holder, of
// a leaf the walk passes over without lowering it.
void passOverLeaf(ExpressionList *item, bool ownedItem);
void resumeEffectFrame(EmissionWalk *walk, EmissionFrame *frame);

// ---------------------------------------------------------------- inline walk operations

inline void enterNext(EmissionWalk *walk, EmissionGoal goal, Expression *expression, bool owned) {
  walk->entering = expression;
  walk->enteringGoal = goal;
  walk->enteringOwned = owned;
}

inline void finishWith(EmissionWalk *walk, AbstractTree *result) { walk->finishedTree = result; }

inline EmissionFrame *pushFrame(EmissionWalk *walk, FrameKind kind) {
  if (walk->top == walk->chunkEnd)
    enterChunkAbove(walk);
  EmissionFrame *frame = walk->top;
  walk->top += 1;
  walk->height += 1;
  frame->kind = kind;
  return frame;
}

// The top frame is always in the current chunk: a pop that empties a chunk
// with frames below it moves down.
inline EmissionFrame *topFrame(EmissionWalk *walk) {
  ASSERT(walk->height > 0);
  return walk->top - 1;
}

inline void popFrame(EmissionWalk *walk) {
  ASSERT(walk->height > 0);
  walk->top -= 1;
  walk->height -= 1;
  if (walk->top == walk->chunkFirst && walk->height > 0)
    enterChunkBelow(walk);
}

[[gnu::always_inline]] inline Expression *takeOperand(ExpressionList *item, bool ownedItem, bool *ownedOperand) {
  Expression *operand = item->expression;
  *ownedOperand = false;
  if (ownedItem) {
    returnItemToFreeList(expressionFreeLists, item);
    *ownedOperand = dropOperandReference(operand);
  }
  return operand;
}
