#include "dictnary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<Word, Word>>;

int differ(Word storedKey, Word soughtKey) { return storedKey != soughtKey; }
unsigned sameHash(Word) { return 7; }
unsigned keyAsHash(Word key) { return static_cast<unsigned>(key); }

Entries deletedEntries;
void recordDeletion(Word key, Word data) { deletedEntries.emplace_back(key, data); }

int collectEntry(Word argument, Word key, Word data) {
  fromWord<Entries *>(argument)->emplace_back(key, data);
  return 1;
}

Entries entriesOf(const Dictionary *dictionary) {
  Entries entries;
  traverseDictionary(dictionary, toWord(&entries), collectEntry);
  return entries;
}

} // namespace

TEST(DictionaryChains, KeepInsertionOrderAndFindTheEqualKey) {
  Dictionary *dictionary = createDictionary(differ, nullptr, sameHash);
  for (Word key : {5, 9, 7})
    insertInDictionary(dictionary, key, key * 10);
  EXPECT_EQ(entriesOf(dictionary), (Entries{{5, 50}, {9, 90}, {7, 70}}));
  EXPECT_EQ(findInDictionary(dictionary, 9), 90u);
  EXPECT_EQ(findInDictionary(dictionary, 7), 70u);
  EXPECT_EQ(findInDictionary(dictionary, 8), 0u);
  deleteDictionary(dictionary);
}

TEST(DictionaryChains, TraversalGoesByBucketNumber) {
  Dictionary *dictionary = createDictionary(differ, nullptr, keyAsHash);
  for (Word key : {300, 5, 211, 0})  // buckets 89, 5, 0, 0
    insertInDictionary(dictionary, key, 1);
  EXPECT_EQ(entriesOf(dictionary), (Entries{{211, 1}, {0, 1}, {5, 1}, {300, 1}}));
  deleteDictionary(dictionary);
}

TEST(DictionaryDeleteFunction, CalledOnlyForEntriesThatLeave) {
  deletedEntries.clear();
  Dictionary *dictionary = createDictionary(differ, recordDeletion, sameHash);
  for (Word key : {1, 2, 3, 4})
    insertInDictionary(dictionary, key, key * 10);
  insertInDictionary(dictionary, 2, 99);
  removeFromDictionary(dictionary, 8);
  EXPECT_TRUE(deletedEntries.empty());
  EXPECT_EQ(findInDictionary(dictionary, 2), 20u) << "a present key keeps its data";

  removeFromDictionary(dictionary, 2);  // from the middle of the chain
  EXPECT_EQ(deletedEntries, (Entries{{2, 20}}));
  EXPECT_EQ(entriesOf(dictionary), (Entries{{1, 10}, {3, 30}, {4, 40}}));

  deletedEntries.clear();
  deleteDictionary(dictionary);
  EXPECT_EQ(deletedEntries, (Entries{{1, 10}, {3, 30}, {4, 40}}));
}

namespace {
int stopAtThree(Word argument, Word key, Word) {
  ++*fromWord<int *>(argument);
  return key == 3 ? 0 : 5;
}
} // namespace

TEST(DictionaryTraversal, StopsOnZeroAndReturnsTheLastResult) {
  Dictionary *dictionary = createDictionary(differ, nullptr, keyAsHash);
  int calls = 0;
  EXPECT_EQ(traverseDictionary(dictionary, toWord(&calls), stopAtThree), 1);
  EXPECT_EQ(calls, 0);
  for (Word key : {1, 2, 3, 4})
    insertInDictionary(dictionary, key, 0);
  EXPECT_EQ(traverseDictionary(dictionary, toWord(&calls), stopAtThree), 0);
  EXPECT_EQ(calls, 3);
  removeFromDictionary(dictionary, 3);
  EXPECT_EQ(traverseDictionary(dictionary, toWord(&calls), stopAtThree), 5);
  deleteDictionary(dictionary);
}

TEST(DictionaryEntrySupply, FullFreeListIsTrimmedToHalf) {
  Dictionary *dictionary = createDictionary(differ, nullptr, keyAsHash);
  for (Word key = 0; key < 200; ++key)  // more than the list can hold: it runs empty
    insertInDictionary(dictionary, key, key);
  EXPECT_EQ(dictionaryEntryFreeListCount(), 0);
  for (Word key = 0; key < 84; ++key)
    removeFromDictionary(dictionary, key);
  EXPECT_EQ(dictionaryEntryFreeListCount(), 84);
  removeFromDictionary(dictionary, 84);
  EXPECT_EQ(dictionaryEntryFreeListCount(), 42);
  deleteDictionary(dictionary);
}

namespace {
int comparisons;
int countedDiffer(Word storedKey, Word soughtKey) {
  ++comparisons;
  return storedKey != soughtKey;
}

// Keys share hashes in threes, and the hashes spread unevenly over the home
// chains.
unsigned sharedHash(Word key) { return static_cast<unsigned>(key / 3 * 977); }

// The order of an unsplit dictionary: home chain by home chain, each in
// insertion order.
std::vector<Word> homeChainOrder(const std::vector<Word> &insertionOrder) {
  std::vector<Word> keys = insertionOrder;
  std::stable_sort(keys.begin(), keys.end(),
                   [](Word a, Word b) { return sharedHash(a) % 211 < sharedHash(b) % 211; });
  return keys;
}

std::vector<Word> keysOf(const Entries &entries) {
  std::vector<Word> keys;
  for (const auto &[key, data] : entries)
    keys.push_back(key);
  return keys;
}
} // namespace

// A large dictionary keeps lookups short, yet traversal and deletion still
// see the entries in the order of 211 chains in insertion order.
TEST(DictionaryGrowth, LargeDictionaryKeepsTheOrderOfItsHomeChainsAndShortLookups) {
  std::vector<Word> keys;
  for (Word key = 0; key < 20000; ++key)
    keys.push_back(key * 7);
  std::mt19937 random(5);
  std::shuffle(keys.begin(), keys.end(), random);
  Dictionary *dictionary = createDictionary(countedDiffer, recordDeletion, sharedHash);
  for (Word key : keys)
    insertInDictionary(dictionary, key, key + 1);
  EXPECT_EQ(keysOf(entriesOf(dictionary)), homeChainOrder(keys));

  comparisons = 0;
  for (Word key : keys)
    ASSERT_EQ(findInDictionary(dictionary, key), key + 1);
  EXPECT_LT(comparisons, 4 * 20000) << "chains stay short";

  // Removed keys inserted again go to the end of their home chain.
  std::vector<Word> order;
  std::vector<Word> removed;
  for (std::size_t i = 0; i < keys.size(); ++i)
    (i % 4 == 0 ? removed : order).push_back(keys[i]);
  for (Word key : removed)
    removeFromDictionary(dictionary, key);
  for (std::size_t i = 0; i < removed.size(); i += 2) {
    insertInDictionary(dictionary, removed[i], removed[i] + 1);
    order.push_back(removed[i]);
  }
  EXPECT_EQ(keysOf(entriesOf(dictionary)), homeChainOrder(order));

  deletedEntries.clear();
  deleteDictionary(dictionary);
  EXPECT_EQ(keysOf(deletedEntries), homeChainOrder(order));
}
