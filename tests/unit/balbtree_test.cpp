#include "balbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

int compareNumbers(Word storedKey, Word soughtKey) {
  return storedKey > soughtKey ? 1 : storedKey < soughtKey ? -1 : 0;
}

using Entries = std::vector<std::pair<Word, Word>>;

Entries deletedEntries;
void recordDeletion(Word key, Word data) { deletedEntries.emplace_back(key, data); }

int collectKey(Word argument, Word key, Word) {
  fromWord<std::vector<Word> *>(argument)->push_back(key);
  return 1;
}

// Walks the tree the slow way and checks every slope against the real
// heights; returns the height of the subtree.
int checkedHeight(const TreeNode *node, Entries &inOrder) {
  if (!node)
    return 0;
  int smallerHeight = checkedHeight(node->smallerChild, inOrder);
  inOrder.emplace_back(node->key, node->data);
  int largerHeight = checkedHeight(node->largerChild, inOrder);
  EXPECT_EQ(node->slope, largerHeight - smallerHeight) << "at key " << node->key;
  EXPECT_TRUE(node->slope >= -1 && node->slope <= 1) << "at key " << node->key;
  return std::max(smallerHeight, largerHeight) + 1;
}

void expectMatches(const BalancedTree *tree, const std::map<Word, Word> &model) {
  Entries inOrder;
  checkedHeight(tree->rootNode, inOrder);
  ASSERT_EQ(inOrder, Entries(model.begin(), model.end()));
}

} // namespace

struct RandomRun {
  const char *name;
  unsigned seed;
  Word keyRange;
  int operations;
};

TEST(BalancedTreeUpdates, StayBalancedAndMatchAMapUnderRandomInsertsAndRemovals) {
  const RandomRun runs[] = {
      {"dense keys, many repeats", 1, 16, 2000},
      {"medium", 7, 300, 4000},
      {"sparse keys", 42, 100000, 3000},
  };
  for (const RandomRun &run : runs) {
    SCOPED_TRACE(run.name);
    deletedEntries.clear();
    BalancedTree *tree = createBalancedTree(compareNumbers, recordDeletion);
    std::map<Word, Word> model;
    std::mt19937 random(run.seed);
    for (int step = 0; step < run.operations; ++step) {
      Word key = random() % run.keyRange + 1;
      if (random() % 5 < 3) {
        Word data = key * 1000 + step;
        insertInBalancedTree(tree, key, data);
        model.emplace(key, data);  // a present key keeps its data
      } else {
        std::size_t deletedBefore = deletedEntries.size();
        removeFromBalancedTree(tree, key);
        auto found = model.find(key);
        if (found == model.end()) {
          EXPECT_EQ(deletedEntries.size(), deletedBefore);
        } else {
          ASSERT_EQ(deletedEntries.size(), deletedBefore + 1);
          EXPECT_EQ(deletedEntries.back(), Entries::value_type(*found));
          model.erase(found);
        }
      }
      ASSERT_NO_FATAL_FAILURE(expectMatches(tree, model));
      Word probe = random() % run.keyRange + 1;
      EXPECT_EQ(isInBalancedTree(tree, probe), model.count(probe) ? 1 : 0);
      EXPECT_EQ(findInBalancedTree(tree, probe), model.count(probe) ? model[probe] : 0);
    }
    deletedEntries.clear();
    deleteBalancedTree(tree);
    EXPECT_EQ(deletedEntries, Entries(model.begin(), model.end()))
        << "deletion reports every entry in ascending order";
  }
}

TEST(BalancedTreeRotations, ThreeKeysLeaveTheMiddleKeyInTheFirstNode) {
  const std::vector<Word> orders[] = {{1, 2, 3}, {3, 2, 1}, {1, 3, 2}, {3, 1, 2}};
  for (const std::vector<Word> &order : orders) {
    SCOPED_TRACE(::testing::PrintToString(order));
    BalancedTree *tree = createBalancedTree(compareNumbers, nullptr);
    insertInBalancedTree(tree, order[0], order[0] * 10);
    TreeNode *firstNode = tree->rootNode;
    insertInBalancedTree(tree, order[1], order[1] * 10);
    insertInBalancedTree(tree, order[2], order[2] * 10);
    ASSERT_EQ(tree->rootNode, firstNode);
    EXPECT_EQ(firstNode->key, 2u);
    EXPECT_EQ(firstNode->data, 20u);
    ASSERT_TRUE(firstNode->smallerChild && firstNode->largerChild);
    EXPECT_EQ(firstNode->smallerChild->key, 1u);
    EXPECT_EQ(firstNode->largerChild->key, 3u);
    EXPECT_EQ(firstNode->slope, 0);
    EXPECT_EQ(firstNode->smallerChild->slope, 0);
    EXPECT_EQ(firstNode->largerChild->slope, 0);
    deleteBalancedTree(tree);
  }
}

TEST(BalancedTreeDeleteFunction, InsertOfAPresentKeyKeepsDataAndCallsNothing) {
  deletedEntries.clear();
  BalancedTree *tree = createBalancedTree(compareNumbers, recordDeletion);
  insertInBalancedTree(tree, 5, 50);
  insertInBalancedTree(tree, 5, 99);
  EXPECT_EQ(findInBalancedTree(tree, 5), 50u);
  EXPECT_TRUE(deletedEntries.empty());
  removeFromBalancedTree(tree, 6);
  EXPECT_TRUE(deletedEntries.empty());
  deleteBalancedTree(tree);
}

TEST(BalancedTreeDeleteFunction, RemovalReportsTheRemovedEntryNotTheNodeThatLeaves) {
  deletedEntries.clear();
  BalancedTree *tree = createBalancedTree(compareNumbers, recordDeletion);
  for (Word key = 1; key <= 7; ++key)
    insertInBalancedTree(tree, key, key * 10);
  ASSERT_EQ(tree->rootNode->key, 4u);
  TreeNode *root = tree->rootNode;

  removeFromBalancedTree(tree, 4);  // inner: its successor's node leaves
  EXPECT_EQ(deletedEntries, (Entries{{4, 40}}));
  EXPECT_EQ(tree->rootNode, root);
  EXPECT_EQ(root->key, 5u);
  EXPECT_EQ(findInBalancedTree(tree, 5), 50u);
  EXPECT_EQ(isInBalancedTree(tree, 4), 0);

  for (Word key : {1, 2, 3, 5, 6})
    removeFromBalancedTree(tree, key);
  deletedEntries.clear();
  removeFromBalancedTree(tree, 7);  // the only entry
  EXPECT_EQ(tree->rootNode, nullptr);
  EXPECT_EQ(deletedEntries, (Entries{{7, 70}}));
  deleteBalancedTree(tree);
}

namespace {
struct StopAfter {
  int calls;
  int stopAt;
};
int stopOnCall(Word argument, Word key, Word) {
  auto *state = fromWord<StopAfter *>(argument);
  return ++state->calls == state->stopAt ? 0 : static_cast<int>(key);
}
} // namespace

TEST(BalancedTreeTraversal, VisitsInOrderAndStopsOnZero) {
  BalancedTree *tree = createBalancedTree(compareNumbers, nullptr);
  StopAfter empty{0, 1};
  EXPECT_EQ(traverseBalancedTree(tree, toWord(&empty), stopOnCall), 1);
  EXPECT_EQ(traverseBalancedTreeBackwards(tree, toWord(&empty), stopOnCall), 1);
  EXPECT_EQ(empty.calls, 0);

  for (Word key : {8, 3, 12, 1, 5, 9, 14, 4})
    insertInBalancedTree(tree, key, 0);
  std::vector<Word> forwards, backwards;
  EXPECT_EQ(traverseBalancedTree(tree, toWord(&forwards), collectKey), 1);
  EXPECT_EQ(traverseBalancedTreeBackwards(tree, toWord(&backwards), collectKey), 1);
  EXPECT_EQ(forwards, (std::vector<Word>{1, 3, 4, 5, 8, 9, 12, 14}));
  EXPECT_EQ(backwards, (std::vector<Word>{14, 12, 9, 8, 5, 4, 3, 1}));

  StopAfter third{0, 3};
  EXPECT_EQ(traverseBalancedTree(tree, toWord(&third), stopOnCall), 0);
  EXPECT_EQ(third.calls, 3);
  StopAfter never{0, -1};
  EXPECT_EQ(traverseBalancedTree(tree, toWord(&never), stopOnCall), 14) << "last visitor result";
  EXPECT_EQ(traverseBalancedTreeBackwards(tree, toWord(&never), stopOnCall), 1);
  deleteBalancedTree(tree);
}

TEST(BalancedTreeNodeSupply, FullFreeListIsTrimmedToHalf) {
  BalancedTree *tree = createBalancedTree(compareNumbers, nullptr);
  for (Word key = 1; key <= 100; ++key)  // more than the list can hold: it runs empty
    insertInBalancedTree(tree, key, key);
  EXPECT_EQ(treeNodeFreeListCount(), 0);
  for (Word key = 1; key <= 42; ++key)
    removeFromBalancedTree(tree, key);
  EXPECT_EQ(treeNodeFreeListCount(), 42);
  removeFromBalancedTree(tree, 43);
  EXPECT_EQ(treeNodeFreeListCount(), 21);
  deleteBalancedTree(tree);
}
