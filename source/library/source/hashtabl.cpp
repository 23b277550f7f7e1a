#include "hashtabl.h"

#include "fatal.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released entries wait in a bounded list in front of the pool, linked
// through nextEntry; when it is full it is cut to half, so that a burst of
// releases gives most units back to the pool.
namespace {
struct EntrySupply {
  MemPool *listPoolPtr;  // created by the first entry taken
  HashEntry *freeList;
  int freeListCount;
};
} // namespace
static constinit EntrySupply supply{};

constexpr int freeListMaximum = 84;
constexpr int freeListTrimmedTo = 42;

static HashEntry *takeEntry() {
  if (supply.freeList) {
    ASSERT(supply.freeListCount);
    HashEntry *entry = supply.freeList;
    supply.freeList = entry->nextEntry;
    --supply.freeListCount;
    return entry;
  }
  if (!supply.listPoolPtr)
    supply.listPoolPtr = createMemPool(1024, sizeof(HashEntry));
  return static_cast<HashEntry *>(allocateFromMemPool(supply.listPoolPtr));
}

static void releaseEntry(HashEntry *entry) {
  ASSERT(supply.listPoolPtr);
  if (supply.freeListCount < freeListMaximum) {
    entry->nextEntry = supply.freeList;
    supply.freeList = entry;
    ++supply.freeListCount;
    return;
  }
  freeToMemPool(supply.listPoolPtr, entry);
  while (supply.freeListCount > freeListTrimmedTo) {
    HashEntry *surplus = supply.freeList;
    supply.freeList = surplus->nextEntry;
    --supply.freeListCount;
    freeToMemPool(supply.listPoolPtr, surplus);
  }
}

int hashEntryFreeListCount() { return supply.freeListCount; }

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
  HashEntry **link = &table->buckets[table->hashFunction(key) % unsigned(table->bucketCount)];
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
                     .buckets = buckets};
  return table;
}

void insertInHashTable(HashTable *table, Word key, Word data) {
  ChainPosition position = walkChain(table, key);
  if (position.equal)
    return;
  HashEntry *entry = takeEntry();
  *entry = HashEntry{.key = key, .data = data, .nextEntry = *position.link};
  *position.link = entry;
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
  releaseEntry(entry);
}

int traverseHashTable(const HashTable *table, Word argument, VisitFunction visitor) {
  int result = 1;
  for (int bucket = 0; bucket < table->bucketCount; ++bucket)
    for (const HashEntry *entry = table->buckets[bucket]; entry; entry = entry->nextEntry) {
      result = visitor(argument, entry->key, entry->data);
      if (!result)
        return 0;
    }
  return result;
}

void deleteHashTable(HashTable *table) {
  for (int bucket = 0; bucket < table->bucketCount; ++bucket) {
    HashEntry *entry = table->buckets[bucket];
    while (entry) {
      HashEntry *next = entry->nextEntry;
      if (table->deleteFunction)
        table->deleteFunction(entry->key, entry->data);
      releaseEntry(entry);
      entry = next;
    }
  }
  std::free(table->buckets);
  std::free(table);
}
