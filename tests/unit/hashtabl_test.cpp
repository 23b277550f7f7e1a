#include "hashtabl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

namespace {
// Keys share hashes in threes, and the hashes spread unevenly over the home
// chains.
unsigned sharedHash(Word key) { return static_cast<unsigned>(key / 3 * 977); }

// The order of an unsplit table: home chain by home chain, each descending.
std::vector<Word> homeChainOrder(std::vector<Word> keys) {
  std::sort(keys.begin(), keys.end(), [](Word a, Word b) {
    const unsigned homeA = sharedHash(a) % 1021, homeB = sharedHash(b) % 1021;
    return homeA != homeB ? homeA < homeB : a > b;
  });
  return keys;
}

std::vector<Word> keysOf(const Entries &entries) {
  std::vector<Word> keys;
  for (const auto &[key, data] : entries)
    keys.push_back(key);
  return keys;
}
} // namespace

// A large table keeps lookups short, yet traversal and deletion still see
// the entries in the order of 1021 sorted chains.
TEST(HashTableGrowth, LargeTableKeepsTheOrderOfItsHomeChainsAndShortLookups) {
  std::vector<Word> keys;
  for (Word key = 0; key < 30000; ++key)
    keys.push_back(key * 5);
  std::mt19937 random(11);
  std::shuffle(keys.begin(), keys.end(), random);
  deletedEntries.clear();
  HashTable *table = createHashTable(compareNumbers, recordDeletion, sharedHash);
  for (Word key : keys)
    insertInHashTable(table, key, key + 1);
  EXPECT_EQ(keysOf(entriesOf(table)), homeChainOrder(keys));

  compareCalls = 0;
  for (Word key : keys)
    ASSERT_EQ(findInHashTable(table, key), key + 1);
  for (Word key = 1; key < 3000; key += 5)
    ASSERT_EQ(findInHashTable(table, key), 0u);
  EXPECT_LT(compareCalls, 4 * 33000) << "chains stay short";

  std::vector<Word> kept;
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (i % 3 == 0)
      removeFromHashTable(table, keys[i]);
    else
      kept.push_back(keys[i]);
  EXPECT_EQ(deletedEntries.size(), keys.size() - kept.size());
  EXPECT_EQ(keysOf(entriesOf(table)), homeChainOrder(kept));

  int calls = 0;
  const Word stopKey = homeChainOrder(kept)[500];
  auto stopAt = [](Word argument, Word key, Word) {
    auto *state = fromWord<std::pair<int *, Word> *>(argument);
    ++*state->first;
    return key == state->second ? 0 : 1;
  };
  std::pair<int *, Word> state{&calls, stopKey};
  EXPECT_EQ(traverseHashTable(table, toWord(&state), stopAt), 0);
  EXPECT_EQ(calls, 501);

  deletedEntries.clear();
  deleteHashTable(table);
  EXPECT_EQ(keysOf(deletedEntries), homeChainOrder(kept));
}

namespace {
bool keysReleased;
int compareLiveNumbers(Word storedKey, Word soughtKey) {
  EXPECT_FALSE(keysReleased) << "a key was compared after its owner released it";
  return compareNumbers(storedKey, soughtKey);
}
} // namespace

// Owners often release what their keys point to before the table; without a
// delete function, deleting even a grown table looks at no key.
TEST(HashTableGrowth, DeletionWithoutDeleteFunctionComparesNoKey) {
  keysReleased = false;
  HashTable *table = createHashTable(compareLiveNumbers, nullptr, sharedHash);
  for (Word key = 0; key < 10000; ++key)
    insertInHashTable(table, key, key);
  keysReleased = true;
  deleteHashTable(table);
  keysReleased = false;
}
