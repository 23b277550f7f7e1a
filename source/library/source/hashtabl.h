// The large keyed store of opaque key and data words: 1021 home chains,
// each kept in descending order by the caller's compare function, so that a
// search stops at the first stored key that orders at or before the sought
// one. A table that fills up splits its home chains (see chainsplit.h), so
// searches stay short; traversals still go home chain by home chain, each in
// descending order.
#pragma once

#include "callback.h"
#include "words.h"

#include <type_traits>

struct HashEntry {
  Word key;
  Word data;
  HashEntry *nextEntry;  // a key ordering before this one; free-list link when released
};
static_assert(std::is_trivially_copyable_v<HashEntry>);

struct HashTable {
  CompareFunction compareFunction;
  DeleteFunction deleteFunction;  // may be null
  HashFunction hashFunction;
  int bucketCount;                // chains: hashTableBucketCount << splitLevel
  HashEntry **buckets;
  int splitLevel;                 // each home chain is split into 2^splitLevel chains
  unsigned entryCount;
};

inline constexpr int hashTableBucketCount = 1021;  // home chains

// An empty table; deleteFunction may be null.
HashTable *createHashTable(CompareFunction compareFunction, DeleteFunction deleteFunction,
                           HashFunction hashFunction);
// A key that is already stored keeps its data and nothing is called.
void insertInHashTable(HashTable *table, Word key, Word data);
// The data of the equal key, or 0 when there is none.
Word findInHashTable(const HashTable *table, Word key);
// An absent key is no error; a present one is passed to the delete function.
void removeFromHashTable(HashTable *table, Word key);
// Home chains in order, each from its head; returns 0 as soon as a visitor
// returns 0, else the last visitor result, 1 for an empty table.
int traverseHashTable(const HashTable *table, Word argument, VisitFunction visitor);
// Calls the delete function for every entry in traversal order, then
// releases the entries, the buckets and the descriptor. Only a table with a
// delete function compares its keys here.
void deleteHashTable(HashTable *table);

// Test and diagnostic accessor: released entries waiting in the free list.
int hashEntryFreeListCount();
