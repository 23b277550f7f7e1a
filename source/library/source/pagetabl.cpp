#include "pagetabl.h"

#include "fatal.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdint>
#include <cstdlib>
#include <type_traits>

static_assert(std::is_trivially_copyable_v<PageEntry>);

namespace {
constexpr int pageTableBuckets = 1021; // a prime, so address strides spread over the chains
} // namespace

static void *allocateZeroed(std::size_t count, std::size_t size) {
  void *memory = std::calloc(count, size);
  if (!memory)
    fatalError(noMemorySpace);
  return memory;
}

// The chain of an address: the hash of the address value's own bytes.
static PageEntry **chainOf(PageTable *table, const void *unit) {
  const unsigned bucket = hashBytes(&unit, sizeof unit) % static_cast<unsigned>(table->bucketCount);
  return &table->buckets[bucket];
}

// The entry of a present address, moved to the front of its chain so that a
// unit looked up again is found at once.
static PageEntry *findMovingToFront(PageTable *table, const void *unit) {
  PageEntry **chain = chainOf(table, unit);
  PageEntry *previousNode = nullptr;
  PageEntry *currentNode = *chain;
  while (currentNode && currentNode->unitAddress != unit) {
    previousNode = currentNode;
    currentNode = currentNode->nextEntry;
  }
  ASSERT(currentNode);
  if (previousNode) {
    previousNode->nextEntry = currentNode->nextEntry;
    currentNode->nextEntry = *chain;
    *chain = currentNode;
  }
  return currentNode;
}

static void unlinkEntry(PageTable *table, const void *unit) {
  PageEntry **link = chainOf(table, unit);
  PageEntry *currentNode = *link;
  while (currentNode && currentNode->unitAddress != unit) {
    link = &currentNode->nextEntry;
    currentNode = currentNode->nextEntry;
  }
  ASSERT(currentNode);
  *link = currentNode->nextEntry;
}

PageTable *createPageTable(unsigned unitSize) {
  auto *table = static_cast<PageTable *>(allocateZeroed(1, sizeof(PageTable)));
  *table = PageTable{
      .bucketCount = pageTableBuckets,
      .unitSize = unitSize,
      .buckets = static_cast<PageEntry **>(allocateZeroed(pageTableBuckets, sizeof(PageEntry *))),
  };
  return table;
}

// One block of entries per range, in unit order: removePageRange releases it
// through the entry of the first unit.
void insertPageRange(PageTable *table, const void *firstUnit, int firstLocation,
                     unsigned unitCount) {
  ASSERT(unitCount > 0);
  auto *block = static_cast<PageEntry *>(allocateZeroed(unitCount, sizeof(PageEntry)));
  const char *address = static_cast<const char *>(firstUnit);
  for (unsigned i = 0; i < unitCount; ++i, address += table->unitSize) {
    PageEntry **chain = chainOf(table, address);
    block[i] = PageEntry{.unitAddress = address,
                         .locationNumber = firstLocation + static_cast<int>(i),
                         .nextEntry = *chain};
    *chain = &block[i];
  }
}

int lookupPage(PageTable *table, const void *unit) {
  return findMovingToFront(table, unit)->locationNumber;
}

static bool isInBlock(const PageEntry *entry, const PageEntry *block, unsigned unitCount) {
  const auto address = reinterpret_cast<std::uintptr_t>(entry);
  const auto blockStart = reinterpret_cast<std::uintptr_t>(block);
  return address >= blockStart && address < blockStart + unitCount * sizeof(PageEntry);
}

// Unlinks every entry that lies in the block; returns how many there were.
static unsigned unlinkBlockFromAllChains(PageTable *table, const PageEntry *block,
                                         unsigned unitCount) {
  unsigned unlinked = 0;
  for (int bucket = 0; bucket < table->bucketCount; ++bucket) {
    PageEntry **link = &table->buckets[bucket];
    while (PageEntry *currentNode = *link) {
      if (isInBlock(currentNode, block, unitCount)) {
        *link = currentNode->nextEntry;
        ++unlinked;
      } else {
        link = &currentNode->nextEntry;
      }
    }
  }
  return unlinked;
}

void removePageRange(PageTable *table, const void *firstUnit, unsigned unitCount) {
  PageEntry *block = findMovingToFront(table, firstUnit);
  if (unitCount < static_cast<unsigned>(table->bucketCount)) {
    const char *address = static_cast<const char *>(firstUnit);
    for (unsigned i = 0; i < unitCount; ++i, address += table->unitSize)
      unlinkEntry(table, address);
  } else {
    // A range with at least one entry per chain on average: one sweep over
    // the table costs less than a chain walk per address, and keeps the
    // release of a large buffer linear in the size of the table.
    const unsigned unlinked = unlinkBlockFromAllChains(table, block, unitCount);
    ASSERT(unlinked == unitCount);
  }
  std::free(block);
}

void deletePageTable(PageTable *table) {
  for (int bucket = 0; bucket < table->bucketCount; ++bucket) {
    const PageEntry *listPtr = table->buckets[bucket];
    ASSERT(!listPtr);
  }
  std::free(table->buckets);
  std::free(table);
}
