#include "stack.h"

#include "fatal.h"
#include "freelist.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released elements wait in front of the pool, linked through nextElement.
static constinit BoundedFreeList<StackElement, &StackElement::nextElement, 128, 64> freeElements{};

static StackElement *takeElement() { return freeElements.take(); }

static void releaseElement(StackElement *element) { freeElements.release(element); }

int stackElementFreeListCount() { return freeElements.count; }

Stack *createStack(StackDeleteFunction deleteFunction) {
  auto *stack = static_cast<Stack *>(std::calloc(1, sizeof(Stack)));
  if (!stack)
    fatalError(noMemorySpace);
  *stack = Stack{.deleteFunction = deleteFunction, .count = 0, .topElement = nullptr};
  return stack;
}

void pushOnStack(Stack *stack, Word data) {
  StackElement *element = takeElement();
  *element = StackElement{.data = data, .nextElement = stack->topElement};
  stack->topElement = element;
  ++stack->count;
}

Word popFromStack(Stack *stack) {
  StackElement *element = stack->topElement;
  if (!element)
    return 0;
  stack->topElement = element->nextElement;
  --stack->count;
  Word data = element->data;
  releaseElement(element);
  return data;
}

Word topOfStack(const Stack *stack) { return stack->topElement ? stack->topElement->data : 0; }

int traverseStack(const Stack *stack, Word argument, StackVisitFunction visitor) {
  int result = 1;
  for (const StackElement *element = stack->topElement; element; element = element->nextElement) {
    result = visitor(argument, element->data);
    if (!result)
      return 0;
  }
  return result;
}

int sizeOfStack(const Stack *stack) { return stack->count; }

void deleteStack(Stack *stack) {
  StackElement *element = stack->topElement;
  while (element) {
    StackElement *below = element->nextElement;
    if (stack->deleteFunction)
      stack->deleteFunction(element->data);
    releaseElement(element);
    element = below;
  }
  std::free(stack);
}
