// The walk behind expression emission. Lowering for a value and emission for
// effect call each other (a comma lowered for its value emits its left side
// for effect; an assignment emitted for effect is lowered for its value), and
// the source decides how deep an expression is, so both run as one walk over
// an explicit stack of frames instead of recursing. A frame is stepped when
// it is entered and again each time the frame it pushed has finished; the
// steps follow, operator by operator, what a recursive lowering would do, so
// trees, statements and pool constants come out in the same order.
// Internal to emitcode, emitop and emitefct.
#pragma once

#include "tavokassert.h"

#include <cstddef>
#include <cstdint>

struct AbstractTree;
struct AbstractTreeList;
struct Expression;
struct ExpressionList;

enum class EmissionGoal : std::uint8_t {
  Value,   // lower into an abstract tree
  Effect,  // append the statements that carry the side effects
};

// Where a frame stands; what each stage means depends on the operator.
enum class FrameStage : std::uint8_t {
  Entered,         // not stepped yet
  Operands,        // the operands are being emitted one after the other
  CommaLeft,       // a comma's left side is being emitted for effect
  CommaRight,      // a comma's right side is being emitted
  StatementValue,  // the whole expression is being lowered to become a statement
};

struct EmissionFrame {
  Expression *expression;        // a compound assignment's rewrite once it is made
  Expression *rewrite;           // that rewrite, released when the frame finishes
  ExpressionList *nextOperand;   // the operand to emit after the current one
  AbstractTree *tree;            // Value: the node receiving the children
  AbstractTreeList *lastChild;   // Value: the tree's last child so far, null before the first
  std::uint32_t childCount;      // Value: the tree's children so far
  EmissionGoal goal;
  FrameStage stage;
};

struct EmissionWalk {
  EmissionFrame *frames;  // frames[height - 1] is the one being stepped
  std::size_t height;
  std::size_t capacity;
  AbstractTree *finishedTree;  // the result of the Value frame that finished last
};

// Runs the walk for one expression to the end. The tree for Value, null for Effect.
AbstractTree *runEmissionWalk(EmissionGoal goal, Expression *expression);

// The three run for every operator of every expression, so they are
// defined here, where both halves of the walk inline them.
inline EmissionFrame *topFrame(EmissionWalk *walk);
// The pushed frame is the next one stepped: the frame below must not be
// touched through an old pointer afterwards.
inline void pushFrame(EmissionWalk *walk, EmissionGoal goal, Expression *expression);
// Pops the top frame and hands its result (null for Effect) to the frame below.
inline void finishFrame(EmissionWalk *walk, AbstractTree *result);
// Makes room for at least one more frame.
void growFrames(EmissionWalk *walk);

// One step of the top frame, by goal.
void stepValueFrame(EmissionWalk *walk);
void stepEffectFrame(EmissionWalk *walk);

// ---------------------------------------------------------------- inline frame operations

inline EmissionFrame *topFrame(EmissionWalk *walk) {
  ASSERT(walk->height > 0);
  return &walk->frames[walk->height - 1];
}

inline void pushFrame(EmissionWalk *walk, EmissionGoal goal, Expression *expression) {
  if (walk->height == walk->capacity)
    growFrames(walk);
  walk->frames[walk->height] = EmissionFrame{.expression = expression,
                                             .rewrite = nullptr,
                                             .nextOperand = nullptr,
                                             .tree = nullptr,
                                             .lastChild = nullptr,
                                             .childCount = 0,
                                             .goal = goal,
                                             .stage = FrameStage::Entered};
  walk->height += 1;
}

inline void finishFrame(EmissionWalk *walk, AbstractTree *result) {
  ASSERT(walk->height > 0);
  walk->height -= 1;
  walk->finishedTree = result;
}
