#include "stack.h"

#include "fatal.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released elements wait in a bounded list in front of the pool, linked
// through nextElement; when it is full it is cut to half, so that a burst of
// releases gives most units back to the pool.
namespace {
struct ElementSupply {
  MemPool *nodePool;  // created by the first element taken
  StackElement *freeNodeList;
  int freeNodeCount;
};
} // namespace
static constinit ElementSupply supply{};

constexpr int freeNodeMaximum = 128;
constexpr int freeNodeTrimmedTo = 64;

static StackElement *takeElement() {
  if (supply.freeNodeList) {
    ASSERT(supply.freeNodeCount);
    StackElement *element = supply.freeNodeList;
    supply.freeNodeList = element->nextElement;
    --supply.freeNodeCount;
    return element;
  }
  if (!supply.nodePool)
    supply.nodePool = createMemPool(1024, sizeof(StackElement));
  return static_cast<StackElement *>(allocateFromMemPool(supply.nodePool));
}

static void releaseElement(StackElement *element) {
  ASSERT(supply.nodePool);
  if (supply.freeNodeCount < freeNodeMaximum) {
    element->nextElement = supply.freeNodeList;
    supply.freeNodeList = element;
    ++supply.freeNodeCount;
    return;
  }
  freeToMemPool(supply.nodePool, element);
  while (supply.freeNodeCount > freeNodeTrimmedTo) {
    StackElement *surplus = supply.freeNodeList;
    supply.freeNodeList = surplus->nextElement;
    --supply.freeNodeCount;
    freeToMemPool(supply.nodePool, surplus);
  }
}

int stackElementFreeListCount() { return supply.freeNodeCount; }

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
