#include "hashtabl.h"

#include "chainsplit.h"
#include "fatal.h"
#include "freelist.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released entries wait in front of the pool, linked through nextEntry.
static constinit BoundedFreeList<HashEntry, &HashEntry::nextEntry, 84, 42> freeEntries{};

static HashEntry *takeEntry() { return freeEntries.take(); }

static void releaseEntry(HashEntry *entry) { freeEntries.release(entry); }

int hashEntryFreeListCount() { return freeEntries.count; }

// The place where a walk along the key's chain stopped: every stored key
// before it orders after the sought key.
namespace {
struct ChainPosition {
  HashEntry **link;  // points at the stopping entry, or is the null link at the end
  bool equal;        // the stopping entry holds the sought key
};
} // namespace

// Walks past every stored key that orders after the sought one, one
// comparison per entry. A missing key belongs exactly at the stopping place.
static ChainPosition walkChain(const HashTable *table, Word key) {
  HashEntry **link = &table->buckets[chainsplit::chainIndex(
      table->hashFunction(key), unsigned(hashTableBucketCount), table->splitLevel)];
  for (; *link; link = &(*link)->nextEntry) {
    int comparison = table->compareFunction((*link)->key, key);
    if (comparison <= 0)
      return ChainPosition{.link = link, .equal = comparison == 0};
  }
  return ChainPosition{.link = link, .equal = false};
}

HashTable *createHashTable(CompareFunction compareFunction, DeleteFunction deleteFunction,
                           HashFunction hashFunction) {
  auto *table = static_cast<HashTable *>(std::calloc(1, sizeof(HashTable)));
  auto **buckets = static_cast<HashEntry **>(std::calloc(hashTableBucketCount, sizeof(HashEntry *)));
  if (!table || !buckets)
    fatalError(noMemorySpace);
  *table = HashTable{.compareFunction = compareFunction,
                     .deleteFunction = deleteFunction,
                     .hashFunction = hashFunction,
                     .bucketCount = hashTableBucketCount,
                     .buckets = buckets,
                     .splitLevel = 0,
                     .entryCount = 0};
  return table;
}

// Doubles the chains once they hold more than their share of entries.
static void splitChainsWhenFull(HashTable *table) {
  if (table->entryCount <= chainsplit::maximumLoad * unsigned(table->bucketCount) ||
      table->splitLevel == chainsplit::maximumSplitLevel)
    return;
  ++table->splitLevel;
  table->buckets = chainsplit::splitEveryChain(
      table->buckets, std::size_t(table->bucketCount), table->splitLevel,
      [table](const HashEntry *entry) { return table->hashFunction(entry->key); });
  table->bucketCount *= 2;
}

void insertInHashTable(HashTable *table, Word key, Word data) {
  ChainPosition position = walkChain(table, key);
  if (position.equal)
    return;
  HashEntry *entry = takeEntry();
  *entry = HashEntry{.key = key, .data = data, .nextEntry = *position.link};
  *position.link = entry;
  ++table->entryCount;
  splitChainsWhenFull(table);
}

Word findInHashTable(const HashTable *table, Word key) {
  ChainPosition position = walkChain(table, key);
  return position.equal ? (*position.link)->data : 0;
}

void removeFromHashTable(HashTable *table, Word key) {
  ChainPosition position = walkChain(table, key);
  if (!position.equal)
    return;
  HashEntry *entry = *position.link;
  if (table->deleteFunction)
    table->deleteFunction(entry->key, entry->data);
  *position.link = entry->nextEntry;
  --table->entryCount;
  releaseEntry(entry);
}

// Every entry in home chain order, each home chain in descending key order
// (the split chains of a home are merged); visit(entry) may release the
// entry. Returns as traverseHashTable does.
template <class Visit> static int visitInHomeChainOrder(const HashTable *table, Visit visit) {
  const std::size_t chainsPerHome = std::size_t(1) << table->splitLevel;
  HashEntry *oneHead;
  HashEntry **heads = &oneHead;
  if (chainsPerHome > 1) {
    heads = static_cast<HashEntry **>(std::calloc(chainsPerHome, sizeof(HashEntry *)));
    if (!heads)
      fatalError(noMemorySpace);
  }
  const CompareFunction compare = table->compareFunction;
  auto ordersAfter = [compare](const HashEntry *a, const HashEntry *b) {
    return compare(a->key, b->key) > 0;
  };
  int result = 1;
  for (int home = 0; home < hashTableBucketCount && result; ++home)
    result = chainsplit::visitMergedChains(table->buckets + home * chainsPerHome, chainsPerHome,
                                           heads, ordersAfter, visit, result);
  if (heads != &oneHead)
    std::free(heads);
  return result;
}

int traverseHashTable(const HashTable *table, Word argument, VisitFunction visitor) {
  return visitInHomeChainOrder(table, [argument, visitor](const HashEntry *entry) {
    return visitor(argument, entry->key, entry->data);
  });
}

// The delete function sees the entries in traversal order. Without one, the
// keys are not looked at: a caller may already have released what they point to.
void deleteHashTable(HashTable *table) {
  if (table->deleteFunction) {
    visitInHomeChainOrder(table, [table](HashEntry *entry) {
      table->deleteFunction(entry->key, entry->data);
      releaseEntry(entry);
      return 1;
    });
  } else {
    for (int chain = 0; chain < table->bucketCount; ++chain)
      for (HashEntry *entry = table->buckets[chain]; entry;) {
        HashEntry *next = entry->nextEntry;
        releaseEntry(entry);
        entry = next;
      }
  }
  std::free(table->buckets);
  std::free(table);
}
