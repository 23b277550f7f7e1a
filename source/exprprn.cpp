#include "exprprn.h"

#include "exprir.h"
#include "exprtrvl.h"
#include "strtable.h"
#include "tavokassert.h"

#include <cstdio>
#include <iterator>

// The dump's own label for each operator, by value; the increments and the
// unary minus read differently from their enumerators. The leaves are
// printed from their payload, and RightShiftZeroFillAssign never reaches a
// tree, so those three have none.
static constexpr const char *operatorLabels[numberOfOperators] = {
    nullptr,                 // IdentifierLeaf
    nullptr,                 // ConstantLeaf
    "FunctionCall",          //
    "ExternalFunctionCall",  //
    "LibraryFunctionCall",   //
    "IsValid",               //
    "TypeOf",                //
    "IntegerDivide",         //
    "RightShiftZeroFill",    //
    "PostfixIncrement",      //
    "PostfixDecrement",      //
    "PrefixIncrement",       //
    "PrefixDecrement",       //
    "UnaryPlus",             //
    "Unary Minus",           //
    "LogicalNot",            //
    "ComplementOf",          //
    "Multiply",              //
    "Divide",                //
    "Modulus",               //
    "Add",                   //
    "Subtract",              //
    "LeftShift",             //
    "RightShift",            //
    "Greater",               //
    "Lesser",                //
    "GreaterOrEqual",        //
    "LesserOrEqual",         //
    "Equal",                 //
    "NotEqual",              //
    "BitAnd",                //
    "BitXor",                //
    "BitOr",                 //
    "LogicalAnd",            //
    "LogicalOr",             //
    "Conditional",           //
    "Assign",                //
    "MultiplyAssign",        //
    "DivideAssign",          //
    "IntegerDivideAssign",   //
    "ModulusAssign",         //
    "AddAssign",             //
    "SubtractAssign",        //
    "LeftShiftAssign",       //
    "RightShiftAssign",      //
    nullptr,                 // RightShiftZeroFillAssign
    "BitAndAssign",          //
    "BitXorAssign",          //
    "BitOrAssign",           //
    "Comma",                 //
};

// The seven immediate constants, by code.
static constexpr const char *immediateLabels[] = {
    "ImmediateConstant: Zero",    "ImmediateConstant: One",   "ImmediateConstant: MinusOne",
    "ImmediateConstant: True",    "ImmediateConstant: False", "ImmediateConstant: Invalid",
    "ImmediateConstant: EmptyString",
};
static_assert(std::size(immediateLabels) == 7);

static void printConstantLabel(const ConstantDescriptor &constant) {
  if (constant.constantType == IndirectConstant) {
    std::printf("%s: %d", "IndirectConstant", static_cast<int>(constant.value));
    return;
  }
  ASSERT(constant.value < std::size(immediateLabels));
  std::printf("%s", immediateLabels[constant.value]);
}

static void printLabel(const AbstractTree *node) {
  switch (node->treeOperator) {
  case IdentifierLeaf:
    printName(node->identifier.record->key.name);
    return;
  case ConstantLeaf:
    printConstantLabel(node->constantNode);
    return;
  default:
    break;
  }
  ASSERT(node->treeOperator < numberOfOperators && operatorLabels[node->treeOperator]);
  std::printf("%s", operatorLabels[node->treeOperator]);
}

static int printNodeLine(Word, AbstractTree *node, TreeTraversal *treeTraversalPtr) {
  std::printf("%d\t", treeTraversalOrder(treeTraversalPtr, node));
  printLabel(node);
  if (!isLeafOperator(node->treeOperator)) {
    for (const AbstractTreeList *succList = node->succList; succList; succList = succList->next) {
      ASSERT(isVisitedOnTreeTraversal(treeTraversalPtr, succList->abstractTree));
      std::printf(",%d", treeTraversalOrder(treeTraversalPtr, succList->abstractTree));
    }
  }
  std::printf("\n");
  return 1;
}

void printAbstractTree(AbstractTree *tree) { traverseTree(tree, 0, printNodeLine); }
