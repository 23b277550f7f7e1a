// The page table maps the address of every unit of a pool's present buffers
// back to its location number. A pool hands it whole buffers: each is one
// range of equally spaced units with consecutive locations, so the table
// keeps one record per range, sorted by address, and finds a unit's range by
// halving. A pool holding n units has about log2(n) buffers, so a lookup
// costs a few comparisons however large the pool grows.
#pragma once

#include <cstdint>

// Addresses are kept as numbers: ranges from separate allocations are
// ordered against each other, which pointers may not be.
struct PageRange {
  std::uintptr_t firstAddress;  // the range's first unit
  std::uintptr_t endAddress;    // first address past its last unit
  int firstLocation;            // location of the first unit; each next unit has the next one
};

struct PageTable {
  unsigned unitSize;  // address step between consecutive units
  int rangeCount;     // ranges in use, at the front of `ranges`
  int rangeCapacity;  // slots allocated for `ranges`
  PageRange *ranges;  // ascending by address; ranges never overlap
  int recentRange;    // the range of the last lookup: units are often freed near each other
};

PageTable *createPageTable(unsigned unitSize);
void insertPageRange(PageTable *table, const void *firstUnit, int firstLocation, unsigned unitCount);
// The address must be that of a unit of a present range.
int lookupPage(PageTable *table, const void *unit);
// The range must be present, as inserted: same first unit, same count.
void removePageRange(PageTable *table, const void *firstUnit, unsigned unitCount);
// Every range must already be removed.
void deletePageTable(PageTable *table);
