#include "dictnary.h"

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
  DictionaryEntry *freeList;
  int freeListCount;
};
} // namespace
static constinit EntrySupply supply{};

constexpr int freeListMaximum = 84;
constexpr int freeListTrimmedTo = 42;

static DictionaryEntry *takeEntry() {
  if (supply.freeList) {
    ASSERT(supply.freeListCount);
    DictionaryEntry *entry = supply.freeList;
    supply.freeList = entry->nextEntry;
    --supply.freeListCount;
    return entry;
  }
  if (!supply.listPoolPtr)
    supply.listPoolPtr = createMemPool(1024, sizeof(DictionaryEntry));
  return static_cast<DictionaryEntry *>(allocateFromMemPool(supply.listPoolPtr));
}

static void releaseEntry(DictionaryEntry *entry) {
  ASSERT(supply.listPoolPtr);
  if (supply.freeListCount < freeListMaximum) {
    entry->nextEntry = supply.freeList;
    supply.freeList = entry;
    ++supply.freeListCount;
    return;
  }
  freeToMemPool(supply.listPoolPtr, entry);
  while (supply.freeListCount > freeListTrimmedTo) {
    DictionaryEntry *surplus = supply.freeList;
    supply.freeList = surplus->nextEntry;
    --supply.freeListCount;
    freeToMemPool(supply.listPoolPtr, surplus);
  }
}

int dictionaryEntryFreeListCount() { return supply.freeListCount; }

static DictionaryEntry **chainOf(const Dictionary *dictionary, Word key) {
  return &dictionary->buckets[dictionary->hashFunction(key) % unsigned(dictionary->bucketCount)];
}

// The link that points at the entry with an equal key, or the null link at
// the end of the chain.
static DictionaryEntry **linkToKey(const Dictionary *dictionary, Word key) {
  DictionaryEntry **link = chainOf(dictionary, key);
  while (*link && dictionary->compareFunction((*link)->key, key) != 0)
    link = &(*link)->nextEntry;
  return link;
}

Dictionary *createDictionary(CompareFunction compareFunction, DeleteFunction deleteFunction,
                             HashFunction hashFunction) {
  auto *dictionary = static_cast<Dictionary *>(std::calloc(1, sizeof(Dictionary)));
  auto **buckets =
      static_cast<DictionaryEntry **>(std::calloc(dictionaryBucketCount, sizeof(DictionaryEntry *)));
  if (!dictionary || !buckets)
    fatalError(noMemorySpace);
  *dictionary = Dictionary{.compareFunction = compareFunction,
                           .deleteFunction = deleteFunction,
                           .hashFunction = hashFunction,
                           .bucketCount = dictionaryBucketCount,
                           .buckets = buckets};
  return dictionary;
}

void insertInDictionary(Dictionary *dictionary, Word key, Word data) {
  DictionaryEntry **link = linkToKey(dictionary, key);
  if (*link)
    return;
  DictionaryEntry *entry = takeEntry();
  *entry = DictionaryEntry{.key = key, .data = data, .nextEntry = nullptr};
  *link = entry;
}

Word findInDictionary(const Dictionary *dictionary, Word key) {
  const DictionaryEntry *entry = *linkToKey(dictionary, key);
  return entry ? entry->data : 0;
}

void removeFromDictionary(Dictionary *dictionary, Word key) {
  DictionaryEntry **link = linkToKey(dictionary, key);
  DictionaryEntry *entry = *link;
  if (!entry)
    return;
  if (dictionary->deleteFunction)
    dictionary->deleteFunction(entry->key, entry->data);
  *link = entry->nextEntry;
  releaseEntry(entry);
}

int traverseDictionary(const Dictionary *dictionary, Word argument, VisitFunction visitor) {
  int result = 1;
  for (int bucket = 0; bucket < dictionary->bucketCount; ++bucket)
    for (const DictionaryEntry *entry = dictionary->buckets[bucket]; entry; entry = entry->nextEntry) {
      result = visitor(argument, entry->key, entry->data);
      if (!result)
        return 0;
    }
  return result;
}

void deleteDictionary(Dictionary *dictionary) {
  for (int bucket = 0; bucket < dictionary->bucketCount; ++bucket) {
    DictionaryEntry *entry = dictionary->buckets[bucket];
    while (entry) {
      DictionaryEntry *next = entry->nextEntry;
      if (dictionary->deleteFunction)
        dictionary->deleteFunction(entry->key, entry->data);
      releaseEntry(entry);
      entry = next;
    }
  }
  std::free(dictionary->buckets);
  std::free(dictionary);
}
