// A last-in-first-out list of opaque data words. Popping an empty stack
// yields 0, so callers whose data is never 0 use 0 as "empty".
#pragma once

#include "words.h"

#include <type_traits>

// Called with each data word still on the stack when the stack is deleted.
using StackDeleteFunction = void (*)(Word data);
// Called once per element during a traversal; returning 0 stops it.
using StackVisitFunction = int (*)(Word argument, Word data);

struct StackElement {
  Word data;
  StackElement *nextElement;  // the element below; free-list link when released
};
static_assert(std::is_trivially_copyable_v<StackElement>);

struct Stack {
  StackDeleteFunction deleteFunction;  // may be null
  int count;
  StackElement *topElement;            // null when empty
};

// An empty stack; deleteFunction may be null.
Stack *createStack(StackDeleteFunction deleteFunction);
void pushOnStack(Stack *stack, Word data);
// The top data, removed; 0 and no change when the stack is empty.
Word popFromStack(Stack *stack);
// The top data, left in place; 0 when the stack is empty.
Word topOfStack(const Stack *stack);
// From the top down; returns 0 as soon as a visitor returns 0, else the last
// visitor result, 1 for an empty stack.
int traverseStack(const Stack *stack, Word argument, StackVisitFunction visitor);
int sizeOfStack(const Stack *stack);
// Calls the delete function for every element from the top down, then
// releases the elements and the descriptor.
void deleteStack(Stack *stack);

// Test and diagnostic accessor: released elements waiting in the free list.
int stackElementFreeListCount();
