// A dictionary is a small hash table of opaque key and data words: 211
// chains, each kept in insertion order. Only equality of keys matters, so
// the compare function may return any non-zero value for unequal keys.
#pragma once

#include "callback.h"
#include "words.h"

#include <type_traits>

struct DictionaryEntry {
  Word key;
  Word data;
  DictionaryEntry *nextEntry;  // later in the chain; free-list link when released
};
static_assert(std::is_trivially_copyable_v<DictionaryEntry>);

struct Dictionary {
  CompareFunction compareFunction;
  DeleteFunction deleteFunction;  // may be null
  HashFunction hashFunction;
  int bucketCount;                // always dictionaryBucketCount
  DictionaryEntry **buckets;
};

inline constexpr int dictionaryBucketCount = 211;

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
// Buckets in order, each chain from its head; returns 0 as soon as a visitor
// returns 0, else the last visitor result, 1 for an empty dictionary.
int traverseDictionary(const Dictionary *dictionary, Word argument, VisitFunction visitor);
// Calls the delete function for every entry in traversal order, then
// releases the entries, the buckets and the descriptor.
void deleteDictionary(Dictionary *dictionary);

// Test and diagnostic accessor: released entries waiting in the free list.
int dictionaryEntryFreeListCount();
