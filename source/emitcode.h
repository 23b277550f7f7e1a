// Expression emission: lowering a parsed expression into an abstract tree
// for its value, emitting it for its effect as statements of the current
// block, and turning a condition into a conditional statement with true and
// false patch lists.
#pragma once

#include <cstdint>
#include <type_traits>

struct AbstractTree;
struct BooleanLists;
struct Expression;

enum RepresentationType : std::uint32_t {
  AbstractTreeRepresentation = 1,
  ShortCircuitRepresentation = 2,
};

// The carrier of a lowered expression.
struct irData {
  RepresentationType representationType;
  void *data;  // AbstractTree or BooleanLists
};
static_assert(std::is_trivially_copyable_v<irData>);

irData *newIrData(AbstractTree *tree);
// Releases the tree or the pair, then the record.
void freeIrData(irData *record);
AbstractTree *abstractTreeOf(const irData *record);
// A tree record is first turned into a conditional statement ending the
// current block.
BooleanLists *shortCircuitListsOf(irData *record);

// Lowering for a value: always a tree record.
irData *lowerExpression(Expression *expression);
// A condition: lowered, then tested by a conditional statement that ends the
// current block (a new, empty block is current afterwards); its true and
// false exits, which the caller owns.
BooleanLists lowerCondition(Expression *condition);
// Appends the statements that carry the expression's side effects.
void emitExpressionForEffect(Expression *expression);
// An expression statement: resolves pending jumps, emits for effect and
// advances the sequence number. Does nothing once code building has stopped.
void emitExpressionStatement(Expression *expression);

// The same four, each releasing the expression as releaseExpression would,
// node by node as the walk leaves it: a statement's expression is not walked
// a second time to be freed. Lowering for a value hands back the bare tree,
// unreferenced, for the caller to own. The statement releases the expression
// even once code building has stopped.
AbstractTree *lowerAndReleaseExpression(Expression *expression);
BooleanLists lowerAndReleaseCondition(Expression *condition);
void emitAndReleaseForEffect(Expression *expression);
void emitAndReleaseExpressionStatement(Expression *expression);

// Test and diagnostic accessor: released records waiting in the free list.
int irDataFreeListCount();
