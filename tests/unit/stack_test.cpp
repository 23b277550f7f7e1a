#include "stack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<Word> deletedData;
void recordDeletion(Word data) { deletedData.push_back(data); }

int collectUntilZeroData(Word argument, Word data) {
  fromWord<std::vector<Word> *>(argument)->push_back(data);
  return static_cast<int>(data);
}

} // namespace

TEST(StackOrder, LastInFirstOut) {
  Stack *stack = createStack(nullptr);
  EXPECT_EQ(popFromStack(stack), 0u);
  EXPECT_EQ(topOfStack(stack), 0u);
  EXPECT_EQ(sizeOfStack(stack), 0);

  for (Word data : {11, 22, 33})
    pushOnStack(stack, data);
  EXPECT_EQ(sizeOfStack(stack), 3);
  EXPECT_EQ(topOfStack(stack), 33u);
  EXPECT_EQ(popFromStack(stack), 33u);
  EXPECT_EQ(popFromStack(stack), 22u);
  EXPECT_EQ(sizeOfStack(stack), 1);
  EXPECT_EQ(popFromStack(stack), 11u);
  EXPECT_EQ(popFromStack(stack), 0u);
  EXPECT_EQ(sizeOfStack(stack), 0);
  deleteStack(stack);
}

TEST(StackTraversal, GoesTopDownAndStopsOnZero) {
  Stack *stack = createStack(nullptr);
  std::vector<Word> seen;
  EXPECT_EQ(traverseStack(stack, toWord(&seen), collectUntilZeroData), 1);
  EXPECT_TRUE(seen.empty());

  for (Word data : {4, 0, 7, 9})
    pushOnStack(stack, data);
  EXPECT_EQ(traverseStack(stack, toWord(&seen), collectUntilZeroData), 0);
  EXPECT_EQ(seen, (std::vector<Word>{9, 7, 0}));
  popFromStack(stack);
  popFromStack(stack);
  popFromStack(stack);  // 4 left
  EXPECT_EQ(traverseStack(stack, toWord(&seen), collectUntilZeroData), 4) << "last visitor result";
  deleteStack(stack);
}

TEST(StackDeletion, ReportsRemainingElementsTopFirst) {
  deletedData.clear();
  Stack *stack = createStack(recordDeletion);
  for (Word data : {1, 2, 3, 4})
    pushOnStack(stack, data);
  popFromStack(stack);
  EXPECT_TRUE(deletedData.empty()) << "popped data belongs to the caller";
  deleteStack(stack);
  EXPECT_EQ(deletedData, (std::vector<Word>{3, 2, 1}));
}

TEST(StackElementSupply, FullFreeListIsTrimmedToHalf) {
  Stack *stack = createStack(nullptr);
  for (Word data = 1; data <= 300; ++data)  // more than the list can hold: it runs empty
    pushOnStack(stack, data);
  EXPECT_EQ(stackElementFreeListCount(), 0);
  for (int pop = 0; pop < 128; ++pop)
    popFromStack(stack);
  EXPECT_EQ(stackElementFreeListCount(), 128);
  popFromStack(stack);
  EXPECT_EQ(stackElementFreeListCount(), 64);
  deleteStack(stack);
}
