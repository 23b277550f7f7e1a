#include "hashtabl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<Word, Word>>;

int compareCalls;
int compareNumbers(Word storedKey, Word soughtKey) {
  ++compareCalls;
  return storedKey > soughtKey ? 1 : storedKey < soughtKey ? -1 : 0;
}
unsigned sameHash(Word) { return 3; }
unsigned keyAsHash(Word key) { return static_cast<unsigned>(key); }

Entries deletedEntries;
void recordDeletion(Word key, Word data) { deletedEntries.emplace_back(key, data); }

int collectEntry(Word argument, Word key, Word data) {
  fromWord<Entries *>(argument)->emplace_back(key, data);
  return 1;
}

Entries entriesOf(const HashTable *table) {
  Entries entries;
  traverseHashTable(table, toWord(&entries), collectEntry);
  return entries;
}

} // namespace

TEST(HashTableChains, KeepDescendingOrderWhateverTheInsertionOrder) {
  std::vector<Word> order{5, 7, 9};
  do {
    SCOPED_TRACE(::testing::PrintToString(order));
    HashTable *table = createHashTable(compareNumbers, nullptr, sameHash);
    for (Word key : order)
      insertInHashTable(table, key, key * 10);
    EXPECT_EQ(entriesOf(table), (Entries{{9, 90}, {7, 70}, {5, 50}}));
    deleteHashTable(table);
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(HashTableChains, LookupStopsAtTheFirstKeyOrderingBefore) {
  HashTable *table = createHashTable(compareNumbers, nullptr, sameHash);
  for (Word key : {5, 9, 7})
    insertInHashTable(table, key, key * 10);
  struct Lookup {
    Word key;
    Word data;
    int comparisons;
  };
  const Lookup lookups[] = {{10, 0, 1}, {9, 90, 1}, {8, 0, 2}, {5, 50, 3}, {4, 0, 3}};
  for (const Lookup &lookup : lookups) {
    SCOPED_TRACE(lookup.key);
    compareCalls = 0;
    EXPECT_EQ(findInHashTable(table, lookup.key), lookup.data);
    EXPECT_EQ(compareCalls, lookup.comparisons);
  }
  deleteHashTable(table);
}

TEST(HashTableChains, TraversalGoesByBucketNumber) {
  HashTable *table = createHashTable(compareNumbers, nullptr, keyAsHash);
  for (Word key : {1500, 2, 1021, 0})  // buckets 479, 2, 0, 0
    insertInHashTable(table, key, 1);
  EXPECT_EQ(entriesOf(table), (Entries{{1021, 1}, {0, 1}, {2, 1}, {1500, 1}}));
  deleteHashTable(table);
}

TEST(HashTableDeleteFunction, CalledOnlyForEntriesThatLeave) {
  deletedEntries.clear();
  HashTable *table = createHashTable(compareNumbers, recordDeletion, sameHash);
  for (Word key : {1, 2, 3, 4})
    insertInHashTable(table, key, key * 10);
  insertInHashTable(table, 2, 99);
  removeFromHashTable(table, 8);
  removeFromHashTable(table, 0);
  EXPECT_TRUE(deletedEntries.empty());
  EXPECT_EQ(findInHashTable(table, 2), 20u) << "a present key keeps its data";

  removeFromHashTable(table, 3);
  EXPECT_EQ(deletedEntries, (Entries{{3, 30}}));
  EXPECT_EQ(entriesOf(table), (Entries{{4, 40}, {2, 20}, {1, 10}}));

  deletedEntries.clear();
  deleteHashTable(table);
  EXPECT_EQ(deletedEntries, (Entries{{4, 40}, {2, 20}, {1, 10}}));
}

namespace {
int stopAtTwo(Word argument, Word key, Word) {
  ++*fromWord<int *>(argument);
  return key == 2 ? 0 : 6;
}
} // namespace

TEST(HashTableTraversal, StopsOnZeroAndReturnsTheLastResult) {
  HashTable *table = createHashTable(compareNumbers, nullptr, keyAsHash);
  int calls = 0;
  EXPECT_EQ(traverseHashTable(table, toWord(&calls), stopAtTwo), 1);
  EXPECT_EQ(calls, 0);
  for (Word key : {1, 2, 3})
    insertInHashTable(table, key, 0);
  EXPECT_EQ(traverseHashTable(table, toWord(&calls), stopAtTwo), 0);
  EXPECT_EQ(calls, 2);
  removeFromHashTable(table, 2);
  EXPECT_EQ(traverseHashTable(table, toWord(&calls), stopAtTwo), 6);
  deleteHashTable(table);
}

TEST(HashTableEntrySupply, FullFreeListIsTrimmedToHalf) {
  HashTable *table = createHashTable(compareNumbers, nullptr, keyAsHash);
  for (Word key = 0; key < 200; ++key)  // more than the list can hold: it runs empty
    insertInHashTable(table, key, key);
  EXPECT_EQ(hashEntryFreeListCount(), 0);
  for (Word key = 0; key < 84; ++key)
    removeFromHashTable(table, key);
  EXPECT_EQ(hashEntryFreeListCount(), 84);
  removeFromHashTable(table, 84);
  EXPECT_EQ(hashEntryFreeListCount(), 42);
  deleteHashTable(table);
}
