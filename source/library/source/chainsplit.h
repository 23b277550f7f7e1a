// Growth shared by the dictionary and the hash table. Each keeps a fixed
// number of home buckets (hash modulo a prime), which decides the order of a
// traversal. When a table fills up, every home bucket is split into 2, 4,
// 8 ... chains by further bits of the hash, so that chains stay short; the
// chains of one home bucket sit next to each other. A traversal merges them
// back into the one chain the home bucket would have held unsplit, so the
// order every caller sees is independent of the growth.
#pragma once

#include "fatal.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace chainsplit {

// A table grows when it holds more than this many entries per chain.
inline constexpr unsigned maximumLoad = 2;
// Past this, chains just grow longer (a few hundred million entries).
inline constexpr int maximumSplitLevel = 20;

// Which of the 2^splitLevel chains of its home bucket a hash goes to: the top
// bits of a multiplicative scramble, so that every bit of the hash counts
// (hashes of addresses differ mostly in their middle bits). Raising the level
// by one keeps chain s's entries in chains 2s and 2s + 1.
inline unsigned splitOf(unsigned hash, int splitLevel) {
  if (splitLevel == 0)
    return 0;
  const std::uint32_t scrambled = static_cast<std::uint32_t>(hash) * 2654435769u;
  return scrambled >> (32 - splitLevel);
}

inline std::size_t chainIndex(unsigned hash, unsigned homeBuckets, int splitLevel) {
  return (static_cast<std::size_t>(hash % homeBuckets) << splitLevel) + splitOf(hash, splitLevel);
}

// Moves every entry into a chain array for splitLevel + 1, keeping the order
// of each chain; returns the new array. Entry has a `nextEntry` link; hashOf
// gives an entry's hash.
template <class Entry, class HashOf>
Entry **splitEveryChain(Entry **chains, std::size_t chainCount, int newSplitLevel, HashOf hashOf) {
  auto **split = static_cast<Entry **>(std::calloc(chainCount * 2, sizeof(Entry *)));
  if (!split)
    fatalError(noMemorySpace);
  for (std::size_t index = 0; index < chainCount; ++index) {
    // Chain s of a home bucket becomes chains 2s and 2s + 1 of the same home.
    Entry **tails[2] = {&split[index * 2], &split[index * 2 + 1]};
    for (Entry *entry = chains[index]; entry;) {
      Entry *next = entry->nextEntry;
      Entry **&tail = tails[splitOf(hashOf(entry), newSplitLevel) & 1u];
      entry->nextEntry = nullptr;
      *tail = entry;
      tail = &entry->nextEntry;
      entry = next;
    }
  }
  std::free(chains);
  return split;
}

// Visits the entries of one home bucket's chains (chainCount of them from
// `chains`) in merged order: comesFirst(a, b) says whether a precedes b, and
// each chain is already in that order. The visitor may release the entry it
// is given. Returns 0 as soon as the visitor returns 0, else the visitor's
// last result, or `result` when there is no entry. `heads` is scratch space
// for chainCount pointers.
template <class Entry, class ComesFirst, class Visit>
int visitMergedChains(Entry *const *chains, std::size_t chainCount, Entry **heads,
                      ComesFirst comesFirst, Visit visit, int result) {
  std::size_t headCount = 0;
  for (std::size_t index = 0; index < chainCount; ++index)
    if (chains[index])
      heads[headCount++] = chains[index];
  // The heap's top is the head that comes first.
  auto comesLater = [&comesFirst](Entry *a, Entry *b) { return comesFirst(b, a); };
  std::make_heap(heads, heads + headCount, comesLater);
  while (headCount > 0) {
    std::pop_heap(heads, heads + headCount, comesLater);
    Entry *entry = heads[headCount - 1];
    Entry *next = entry->nextEntry; // read before the visitor may release the entry
    result = visit(entry);
    if (!result)
      return 0;
    if (next) {
      heads[headCount - 1] = next;
      std::push_heap(heads, heads + headCount, comesLater);
    } else {
      --headCount;
    }
  }
  return result;
}

} // namespace chainsplit
