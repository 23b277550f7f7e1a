// A dictionary is a small hash table of opaque key and data words: 211
// home chains, each kept in insertion order. Only equality of keys matters,
// so the compare function may return any non-zero value for unequal keys.
// A dictionary that fills up splits its home chains (see chainsplit.h), so
// lookups stay short; traversals still go home chain by home chain, each in
// insertion order.
#pragma once

#include "callback.h"
#include "words.h"

#include <cstdint>
#include <type_traits>

struct DictionaryEntry {
  Word key;
  Word data;
  DictionaryEntry *nextEntry;     // later in the chain; free-list link when released
  std::uint64_t insertionNumber;  // orders the entries of a split home chain
};
static_assert(std::is_trivially_copyable_v<DictionaryEntry>);

struct Dictionary {
  CompareFunction compareFunction;
  DeleteFunction deleteFunction;  // may be null
  HashFunction hashFunction;
  int bucketCount;                // chains: dictionaryBucketCount << splitLevel
  DictionaryEntry **buckets;
  int splitLevel;                 // each home chain is split into 2^splitLevel chains
  unsigned entryCount;
  std::uint64_t insertionCount;   // entries ever inserted
};

inline constexpr int dictionaryBucketCount = 211;  // home chains

// An empty dictionary; deleteFunction may be null.
Dictionary *createDictionary(CompareFunction compareFunction, DeleteFunction deleteFunction,
                             HashFunction hashFunction);
// A key that is already stored keeps its data and nothing is called;
// a new key goes to the end of its chain.
void insertInDictionary(Dictionary *dictionary, Word key, Word data);
// The data of the equal key, or 0 when there is none.
Word findInDictionary(const Dictionary *dictionary, Word key);
// An absent key is no error; a present one is passed to the delete function.
void removeFromDictionary(Dictionary *dictionary, Word key);
// Home chains in order, each from its head; returns 0 as soon as a visitor
// returns 0, else the last visitor result, 1 for an empty dictionary.
int traverseDictionary(const Dictionary *dictionary, Word argument, VisitFunction visitor);
// Calls the delete function for every entry in traversal order, then
// releases the entries, the buckets and the descriptor.
void deleteDictionary(Dictionary *dictionary);

// Test and diagnostic accessor: released entries waiting in the free list.
int dictionaryEntryFreeListCount();
