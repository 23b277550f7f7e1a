// Expression nodes: the trees the parse actions build for every WMLScript
// expression. A node is shared by reference count: it counts the operand
// lists that hold it, and releasing a node nobody holds frees it and drops
// one reference from each operand. Nodes and list nodes are recycled through
// bounded free lists in front of their memory pools.
#pragma once

#include "tavokassert.h"

#include <cstdint>
#include <span>
#include <type_traits>

struct IdentifierRecord;

// The operators, with their fixed values. Operand order per operator is the
// order of evaluation.
enum ExpressionOperator : std::uint32_t {
  IdentifierLeaf = 0,        // leaf: a variable or a function name
  ConstantLeaf = 1,          // leaf: a constant descriptor
  FunctionCall = 2,          // callee IdentifierLeaf, then the arguments
  ExternalFunctionCall = 3,  // URL-pragma index leaf, function-name leaf, arguments
  LibraryFunctionCall = 4,   // library-index leaf, function-index leaf, arguments
  IsValid = 5,
  TypeOf = 6,
  IntegerDivide = 7,
  RightShiftZeroFill = 8,
  PostIncrement = 9,  // the four increments take an IdentifierLeaf
  PostDecrement = 10,
  PreIncrement = 11,
  PreDecrement = 12,
  UnaryPlus = 13,
  UnaryMinus = 14,
  LogicalNot = 15,
  ComplementOf = 16,
  Multiply = 17,
  Divide = 18,
  Modulus = 19,
  Add = 20,
  Subtract = 21,
  LeftShift = 22,
  RightShift = 23,
  Greater = 24,
  Lesser = 25,
  GreaterOrEqual = 26,
  LesserOrEqual = 27,
  Equal = 28,
  NotEqual = 29,
  BitAnd = 30,
  BitXor = 31,
  BitOr = 32,
  LogicalAnd = 33,
  LogicalOr = 34,
  Conditional = 35,  // condition, then-value, else-value
  Assign = 36,       // every assignment: target IdentifierLeaf, value
  MultiplyAssign = 37,
  DivideAssign = 38,
  IntegerDivideAssign = 39,
  ModulusAssign = 40,
  AddAssign = 41,
  SubtractAssign = 42,
  LeftShiftAssign = 43,
  RightShiftAssign = 44,
  RightShiftZeroFillAssign = 45,
  BitAndAssign = 46,
  BitXorAssign = 47,
  BitOrAssign = 48,
  Comma = 49,  // left (value discarded), right
};
inline constexpr int numberOfOperators = 50;

inline bool isLeafOperator(ExpressionOperator op) { return op == IdentifierLeaf || op == ConstantLeaf; }

// What a constant is.
enum ValueType : std::uint32_t {
  IntegerType = 0,
  FloatType = 1,
  StringType = 2,
  BooleanType = 3,
  InvalidType = 4,
};

enum ConstantType : std::uint32_t {
  ImmediateConstant = 0,  // value is a direct value or an immediate code
  IndirectConstant = 1,   // value is a constant-pool index
};

// The constants the instruction set loads without an operand.
enum class ImmediateCode : std::uint32_t {
  Zero = 0,
  One = 1,
  MinusOne = 2,
  True = 3,
  False = 4,
  Invalid = 5,
  EmptyString = 6,
};

// The payload of a ConstantLeaf. signParity is read for integers only: the
// literal 2147483648 starts at 1, every folded unary minus over it adds 1,
// and a use of an integer whose signParity is odd is out of range.
struct ConstantDescriptor {
  std::int32_t signParity;
  std::uint32_t valueType;     // ValueType
  std::uint32_t constantType;  // ConstantType
  std::uint32_t value;         // integer, float bits, pool index or immediate code
};

struct ExpressionList;

// The payload of an IdentifierLeaf: a copy of the record's index word
// (variable index or function index) and the record itself.
struct IdentifierLeafData {
  std::uint32_t index;
  IdentifierRecord *record;
};

struct Expression {
  std::uint32_t nodeNumber;  // location in the node pool; unique among live nodes
  ExpressionOperator exprOperator;
  std::int32_t referenceCount;  // operand lists holding this node
  union {
    ExpressionList *successorList;  // operators: the first operand
    IdentifierLeafData identifier;  // IdentifierLeaf
    ConstantDescriptor constant;    // ConstantLeaf
    Expression *nextFreeNode;       // while in the free list
  };
};
static_assert(std::is_trivially_copyable_v<Expression>);

// An operand list: the operands of one node, in order.
struct ExpressionList {
  Expression *expression;
  ExpressionList *nextExpression;
};

// An argument list collected by the parser for a call. It holds no
// reference: the call builders copy its expressions into the call node.
struct ParameterList {
  Expression *expression;
  ParameterList *next;
};

// A node with referenceCount 0; every other field is the caller's to fill.
Expression *createExpression();
// An operator node without operands.
Expression *createOperatorExpression(ExpressionOperator op);
// Appends operand at the end of node's operand list and counts the reference.
void appendOperand(Expression *node, Expression *operand);
// An operator node with these operands in order: createOperatorExpression,
// then appendOperand for each, without walking the list for each.
Expression *createOperatorWithOperands(ExpressionOperator op, std::span<Expression *const> operands);
// The same for the two operands of a binary operator or an assignment, the
// commonest node, without the loop over a span.
Expression *createBinaryOperator(ExpressionOperator op, Expression *left, Expression *right);
// The same for the one operand of a unary operator or an increment.
Expression *createUnaryOperator(ExpressionOperator op, Expression *operand);
// Drops one reference, or frees an unreferenced node and drops one reference
// from each of its operands (operands nobody holds any more are freed too).
void releaseExpression(Expression *node);
bool isUnreferenced(const Expression *node);

// The same release done piece by piece, by a walk that lowers an expression
// and frees its nodes as it leaves them. A node nobody holds is the walk's:
// it frees the node's operand items as it passes them, drops the reference
// each item held, and frees the node once it has read what it needs of it.
// An operand still held elsewhere is only dereferenced, and neither it nor
// anything below it is freed.
//
// Drops the reference an operand item held; true when nobody holds the node
// any more, which makes it the caller's to free.
inline bool dropOperandReference(Expression *node);

inline constexpr int expressionFreeListBound = 64;
inline constexpr int expressionListFreeListBound = 128;

// The two free lists in front of the pools. They are visible so that a walk
// freeing nodes one at a time pushes them without a call; only this module
// and the operations below change them.
struct ExpressionFreeLists {
  Expression *nodes;  // linked through nextFreeNode
  int nodeCount;
  ExpressionList *items;  // linked through nextExpression
  int itemCount;
};
extern constinit ExpressionFreeLists expressionFreeLists;
// A node nobody holds, or an operand item, onto its free list; a full list
// is trimmed to half, the record and the surplus going back to the pool.
// The node's items, and the item's node, are not touched.
inline void returnNodeToFreeList(ExpressionFreeLists &lists, Expression *node);
inline void returnItemToFreeList(ExpressionFreeLists &lists, ExpressionList *item);
// The trimming halves of the two, out of line: they run once in 32 or 64.
void trimNodeFreeList(ExpressionFreeLists &lists, Expression *node);
void trimItemFreeList(ExpressionFreeLists &lists, ExpressionList *item);

inline bool dropOperandReference(Expression *node) {
  ASSERT(node->referenceCount > 0);
  node->referenceCount -= 1;
  return node->referenceCount == 0;
}

inline void returnNodeToFreeList(ExpressionFreeLists &lists, Expression *node) {
  if (lists.nodeCount == expressionFreeListBound) {
    trimNodeFreeList(lists, node);
    return;
  }
  node->nextFreeNode = lists.nodes;
  lists.nodes = node;
  lists.nodeCount += 1;
}

inline void returnItemToFreeList(ExpressionFreeLists &lists, ExpressionList *item) {
  if (lists.itemCount == expressionListFreeListBound) {
    trimItemFreeList(lists, item);
    return;
  }
  item->nextExpression = lists.items;
  lists.items = item;
  lists.itemCount += 1;
}

// The operands of a node in order, as an array-free walk.
inline Expression *firstOperand(const Expression *node) { return node->successorList->expression; }

// A one-argument list; the argument count restarts at 1.
ParameterList *createParameterList(Expression *expression);
// Null when the list would exceed 255 arguments: the limit is reported and
// the whole list freed.
ParameterList *appendParameter(ParameterList *list, Expression *expression);
// Frees the list nodes and releases the expressions nobody references. A
// builder that gives up after copying some arguments into a call node frees
// the list first and then releases the node: the other order would leave the
// list pointing at released arguments.
void freeParameterList(ParameterList *list);
// A call node over the callee's leaves and then the list's expressions, in
// order, whose list nodes go back to their pool: createOperatorWithOperands,
// appendOperand for each argument and freeParameterList, in one pass.
Expression *createCallWithArguments(ExpressionOperator op, std::span<Expression *const> callee,
                                    ParameterList *arguments);
int parameterListLength(const ParameterList *list);

// Test and diagnostic accessors: nodes waiting in the two free lists.
int expressionFreeListCount();
int expressionListFreeListCount();
