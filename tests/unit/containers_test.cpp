// The support containers against plain models: the hash table (home chains
// descending), the dictionary (home chains in insertion order), the balanced
// tree (ascending) and the stack, through growth, removals and re-insertions.
#include "balbtree.h"
#include "dictnary.h"
#include "hashtabl.h"
#include "stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<Word, Word>>;

int comparisons;
int compareNumbers(Word storedKey, Word soughtKey) {
  ++comparisons;
  return storedKey > soughtKey ? 1 : storedKey < soughtKey ? -1 : 0;
}
int differ(Word storedKey, Word soughtKey) { return ++comparisons, storedKey != soughtKey; }
// Keys share hashes in threes, and the hashes spread unevenly over the home chains.
unsigned sharedHash(Word key) { return static_cast<unsigned>(key / 3 * 977); }

Entries deletedEntries;
void recordDeletion(Word key, Word data) { deletedEntries.emplace_back(key, data); }

// Collects entries until it holds stopAt of them; returns how many it holds.
struct Collector {
  Entries entries;
  std::size_t stopAt = SIZE_MAX;
};
int collect(Word argument, Word key, Word data) {
  auto *collector = fromWord<Collector *>(argument);
  collector->entries.emplace_back(key, data);
  return collector->entries.size() == collector->stopAt ? 0 : static_cast<int>(collector->entries.size());
}

using Traversal = std::function<int(Word, VisitFunction)>;
using OrderKey = std::pair<std::uint64_t, std::uint64_t>;

struct KeyedContainer {
  const char *name;
  std::function<void(Word, Word)> insert;
  std::function<Word(Word)> find;
  std::function<void(Word)> remove;
  Traversal traverse;
  std::function<void()> destroy;
  std::function<OrderKey(Word key, std::uint64_t insertion)> traversalOrder;
  double comparisonsPerLookup;  // at most, on average, once large
  std::function<void()> checkShape = [] {};
  Traversal traverseBackwards = nullptr;
};

// Checks every slope of the tree against the real heights; returns the height.
int checkedHeight(const TreeNode *node) {
  if (!node)
    return 0;
  const int smaller = checkedHeight(node->smallerChild), larger = checkedHeight(node->largerChild);
  if (node->slope != larger - smaller || std::abs(node->slope) > 1)
    ADD_FAILURE() << "slope " << node->slope << " at key " << node->key << ", heights " << smaller << "/" << larger;
  return std::max(smaller, larger) + 1;
}

struct RandomRun {
  unsigned seed;
  Word keyRange;
  int operations;
  unsigned insertPercent;
  int checkEvery;  // steps between full comparisons with the model
};
const RandomRun randomRuns[] = {
    {1, 16, 2000, 60, 1},           // dense keys, many repeats
    {7, 300, 4000, 60, 7},          // removals deep inside a tree of a few hundred
    {42, 200000, 30000, 80, 9999},  // large: hash chains split several times
};

// Random inserts, re-inserts and removals against a map: lookups, the delete
// function (only for entries that leave, with their own data), traversal
// order and its early stop, and the order of the final deletion.
void runAgainstModel(KeyedContainer &container, const RandomRun &run) {
  std::map<Word, std::pair<Word, std::uint64_t>> model;  // data, insertion number
  std::uint64_t insertions = 0;
  std::mt19937 random(run.seed);
  deletedEntries.clear();
  auto expectedOrder = [&] {
    std::map<OrderKey, std::pair<Word, Word>> sorted;
    for (const auto &[key, entry] : model)
      sorted.emplace(container.traversalOrder(key, entry.second), std::pair{key, entry.first});
    Entries entries;
    for (const auto &[order, entry] : sorted)
      entries.push_back(entry);
    return entries;
  };
  for (int step = 0; step < run.operations; ++step) {
    const Word key = random() % run.keyRange + 1;
    if (random() % 100 < run.insertPercent) {
      container.insert(key, key * 1000 + step);
      model.emplace(key, std::pair{key * 1000 + step, insertions++});  // a present key keeps its data
    } else {
      const auto found = model.find(key);
      const Entries leaving = found == model.end() ? Entries{} : Entries{{key, found->second.first}};
      container.remove(key);
      ASSERT_EQ(deletedEntries, leaving) << "step " << step;
      deletedEntries.clear();
      if (found != model.end())
        model.erase(found);
    }
    const Word probe = random() % run.keyRange + 1;
    ASSERT_EQ(container.find(probe), model.count(probe) ? model[probe].first : 0) << "step " << step;
    if (step % run.checkEvery != 0)
      continue;
    ASSERT_NO_FATAL_FAILURE(container.checkShape());
    const Entries expected = expectedOrder();
    const int lastResult = model.empty() ? 1 : static_cast<int>(model.size());
    Collector all, backwards, half{{}, model.size() / 2 + 1};
    ASSERT_EQ(container.traverse(toWord(&all), collect), lastResult);
    ASSERT_EQ(all.entries, expected) << "step " << step;
    if (container.traverseBackwards) {
      ASSERT_EQ(container.traverseBackwards(toWord(&backwards), collect), lastResult);
      ASSERT_EQ(backwards.entries, Entries(expected.rbegin(), expected.rend()));
    }
    if (!model.empty()) {
      EXPECT_EQ(container.traverse(toWord(&half), collect), 0);
      EXPECT_EQ(half.entries, Entries(expected.begin(), expected.begin() + half.stopAt));
    }
  }
  comparisons = 0;
  for (const auto &[key, entry] : model)
    ASSERT_EQ(container.find(key), entry.first);
  if (model.size() > 5000) {
    EXPECT_LE(comparisons, container.comparisonsPerLookup * model.size()) << "lookups stay short";
  }
  const Entries expected = expectedOrder();
  container.destroy();
  EXPECT_EQ(deletedEntries, expected) << "deletion reports every entry in traversal order";
}

TEST(KeyedContainers, MatchAModelThroughGrowthRemovalsAndReinsertions) {
  for (const RandomRun &run : randomRuns) {
    HashTable *hash = createHashTable(compareNumbers, recordDeletion, sharedHash);
    Dictionary *dictionary = createDictionary(differ, recordDeletion, sharedHash);
    BalancedTree *tree = createBalancedTree(compareNumbers, recordDeletion);
    KeyedContainer containers[] = {
        {"hash table", [&](Word k, Word d) { insertInHashTable(hash, k, d); },
         [&](Word k) { return findInHashTable(hash, k); }, [&](Word k) { removeFromHashTable(hash, k); },
         [&](Word a, VisitFunction v) { return traverseHashTable(hash, a, v); }, [&] { deleteHashTable(hash); },
         [](Word k, std::uint64_t) { return OrderKey{sharedHash(k) % 1021, ~k}; }, 4},  // descending
        {"dictionary", [&](Word k, Word d) { insertInDictionary(dictionary, k, d); },
         [&](Word k) { return findInDictionary(dictionary, k); },
         [&](Word k) { removeFromDictionary(dictionary, k); },
         [&](Word a, VisitFunction v) { return traverseDictionary(dictionary, a, v); },
         [&] { deleteDictionary(dictionary); },
         [](Word k, std::uint64_t insertion) { return OrderKey{sharedHash(k) % 211, insertion}; }, 4},
        {"balanced tree", [&](Word k, Word d) { insertInBalancedTree(tree, k, d); },
         [&](Word k) {
           const Word data = findInBalancedTree(tree, k);
           EXPECT_EQ(isInBalancedTree(tree, k), data ? 1 : 0);
           return data;
         },
         [&](Word k) { removeFromBalancedTree(tree, k); },
         [&](Word a, VisitFunction v) { return traverseBalancedTree(tree, a, v); },
         [&] { deleteBalancedTree(tree); }, [](Word k, std::uint64_t) { return OrderKey{0, k}; }, 40,
         [&] { checkedHeight(tree->rootNode); },
         [&](Word a, VisitFunction v) { return traverseBalancedTreeBackwards(tree, a, v); }},
    };
    for (KeyedContainer &container : containers) {
      SCOPED_TRACE(std::string(container.name) + ", seed " + std::to_string(run.seed));
      runAgainstModel(container, run);
    }
  }
}

// Owners often release what their keys point to before the table; without a
// delete function, deleting even a grown table looks at no key.
TEST(HashTableDeletion, WithoutADeleteFunctionComparesNoKey) {
  static bool keysReleased = false;
  HashTable *table = createHashTable(
      [](Word storedKey, Word soughtKey) {
        EXPECT_FALSE(keysReleased) << "a key was compared after its owner released it";
        return compareNumbers(storedKey, soughtKey);
      },
      nullptr, sharedHash);
  for (Word key = 0; key < 10000; ++key)
    insertInHashTable(table, key, key);
  keysReleased = true;
  deleteHashTable(table);
}

int collectFromStack(Word argument, Word data) { return collect(argument, data, 0); }

// Pushes and pops in phases, so that the stack grows and shrinks by hundreds
// and pops on an empty stack; traversal and deletion go from the top down.
TEST(Stack, MatchesAVectorThroughGrowthAndShrinking) {
  Stack *stack = createStack([](Word data) { deletedEntries.emplace_back(data, 0); });
  Entries model;  // bottom first
  std::mt19937 random(3);
  for (int step = 0; step < 20000; ++step) {
    if (step % 1000 == 0) {  // 1 for an empty stack, else the last visitor result
      Collector all;
      ASSERT_EQ(traverseStack(stack, toWord(&all), collectFromStack), model.empty() ? 1 : int(model.size()));
      ASSERT_EQ(all.entries, Entries(model.rbegin(), model.rend()));
    }
    if (random() % 100 < ((step / 2000) % 2 ? 30u : 70u)) {
      pushOnStack(stack, step + 1);
      model.emplace_back(step + 1, 0);
    } else {
      ASSERT_EQ(popFromStack(stack), model.empty() ? 0 : model.back().first);  // 0 and no change when empty
      if (!model.empty())
        model.pop_back();
    }
    ASSERT_EQ(sizeOfStack(stack), static_cast<int>(model.size()));
    ASSERT_EQ(topOfStack(stack), model.empty() ? 0 : model.back().first);
  }
  Collector three{{}, 3};
  EXPECT_EQ(traverseStack(stack, toWord(&three), collectFromStack), 0);
  EXPECT_EQ(three.entries, Entries(model.rbegin(), model.rbegin() + 3));
  deletedEntries.clear();
  deleteStack(stack);
  EXPECT_EQ(deletedEntries, Entries(model.rbegin(), model.rend()));
}

// Released nodes wait in a bounded free list; the release that finds it full
// trims it to half, so that a burst of removals gives memory back.
TEST(FreeLists, AFullListIsTrimmedToHalfAndTakenFromByInsertions) {
  HashTable *hash = createHashTable(compareNumbers, nullptr, sharedHash);
  Dictionary *dictionary = createDictionary(differ, nullptr, sharedHash);
  BalancedTree *tree = createBalancedTree(compareNumbers, nullptr);
  Stack *stack = createStack(nullptr);
  struct Row {
    int maximum;
    std::function<void(Word)> insert, remove;
    int (*freeCount)();
  };
  const Row rows[] = {
      {84, [&](Word k) { insertInHashTable(hash, k, k); }, [&](Word k) { removeFromHashTable(hash, k); },
       hashEntryFreeListCount},
      {84, [&](Word k) { insertInDictionary(dictionary, k, k); }, [&](Word k) { removeFromDictionary(dictionary, k); },
       dictionaryEntryFreeListCount},
      {42, [&](Word k) { insertInBalancedTree(tree, k, k); }, [&](Word k) { removeFromBalancedTree(tree, k); },
       treeNodeFreeListCount},
      {128, [&](Word k) { pushOnStack(stack, k); }, [&](Word) { popFromStack(stack); }, stackElementFreeListCount},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.maximum);
    for (Word key = 1; key <= 300; ++key)  // more than the list holds: it runs empty
      row.insert(key);
    EXPECT_EQ(row.freeCount(), 0);
    for (Word key = 1; key <= static_cast<Word>(row.maximum); ++key)
      row.remove(key);
    EXPECT_EQ(row.freeCount(), row.maximum);
    row.remove(row.maximum + 1);
    EXPECT_EQ(row.freeCount(), row.maximum / 2);
  }
  deleteHashTable(hash);
  deleteDictionary(dictionary);
  deleteBalancedTree(tree);
  deleteStack(stack);
}

} // namespace
