#include "dictnary.h"

#include "chainsplit.h"
#include "fatal.h"
#include "freelist.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdlib>

// Released entries wait in front of the pool, linked through nextEntry.
static constinit BoundedFreeList<DictionaryEntry, &DictionaryEntry::nextEntry, 84, 42> freeEntries{};

static DictionaryEntry *takeEntry() { return freeEntries.take(); }

static void releaseEntry(DictionaryEntry *entry) { freeEntries.release(entry); }

int dictionaryEntryFreeListCount() { return freeEntries.count; }

static DictionaryEntry **chainOf(const Dictionary *dictionary, Word key) {
  const std::size_t index = chainsplit::chainIndex(
      dictionary->hashFunction(key), unsigned(dictionaryBucketCount), dictionary->splitLevel);
  return &dictionary->buckets[index];
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
                           .buckets = buckets,
                           .splitLevel = 0,
                           .entryCount = 0,
                           .insertionCount = 0};
  return dictionary;
}

// Doubles the chains once they hold more than their share of entries.
static void splitChainsWhenFull(Dictionary *dictionary) {
  if (dictionary->entryCount <= chainsplit::maximumLoad * unsigned(dictionary->bucketCount) ||
      dictionary->splitLevel == chainsplit::maximumSplitLevel)
    return;
  ++dictionary->splitLevel;
  dictionary->buckets = chainsplit::splitEveryChain(
      dictionary->buckets, std::size_t(dictionary->bucketCount), dictionary->splitLevel,
      [dictionary](const DictionaryEntry *entry) { return dictionary->hashFunction(entry->key); });
  dictionary->bucketCount *= 2;
}

void insertInDictionary(Dictionary *dictionary, Word key, Word data) {
  DictionaryEntry **link = linkToKey(dictionary, key);
  if (*link)
    return;
  DictionaryEntry *entry = takeEntry();
  *entry = DictionaryEntry{.key = key,
                           .data = data,
                           .nextEntry = nullptr,
                           .insertionNumber = dictionary->insertionCount++};
  *link = entry;
  ++dictionary->entryCount;
  splitChainsWhenFull(dictionary);
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
  --dictionary->entryCount;
  releaseEntry(entry);
}

// Every entry in home chain order, each home chain in insertion order;
// visit(entry) may release the entry. Returns as traverseDictionary does.
template <class Visit> static int visitInHomeChainOrder(const Dictionary *dictionary, Visit visit) {
  const std::size_t chainsPerHome = std::size_t(1) << dictionary->splitLevel;
  DictionaryEntry *oneHead;
  DictionaryEntry **heads = &oneHead;
  if (chainsPerHome > 1) {
    heads = static_cast<DictionaryEntry **>(std::calloc(chainsPerHome, sizeof(DictionaryEntry *)));
    if (!heads)
      fatalError(noMemorySpace);
  }
  auto insertedEarlier = [](const DictionaryEntry *a, const DictionaryEntry *b) {
    return a->insertionNumber < b->insertionNumber;
  };
  int result = 1;
  for (int home = 0; home < dictionaryBucketCount && result; ++home)
    result = chainsplit::visitMergedChains(dictionary->buckets + home * chainsPerHome,
                                           chainsPerHome, heads, insertedEarlier, visit, result);
  if (heads != &oneHead)
    std::free(heads);
  return result;
}

int traverseDictionary(const Dictionary *dictionary, Word argument, VisitFunction visitor) {
  return visitInHomeChainOrder(dictionary, [argument, visitor](const DictionaryEntry *entry) {
    return visitor(argument, entry->key, entry->data);
  });
}

void deleteDictionary(Dictionary *dictionary) {
  visitInHomeChainOrder(dictionary, [dictionary](DictionaryEntry *entry) {
    if (dictionary->deleteFunction)
      dictionary->deleteFunction(entry->key, entry->data);
    releaseEntry(entry);
    return 1;
  });
  std::free(dictionary->buckets);
  std::free(dictionary);
}
