// The page table maps the address of every unit of a pool's present buffers
// back to its location number. The entries of one buffer are allocated as one
// block, in unit order.
#pragma once

struct PageEntry {
  const void *unitAddress;
  int locationNumber;
  PageEntry *nextEntry;
};

struct PageTable {
  int bucketCount;  // always 1021
  unsigned unitSize;
  PageEntry **buckets;
};

PageTable *createPageTable(unsigned unitSize);
void insertPageRange(PageTable *table, const void *firstUnit, int firstLocation, unsigned unitCount);
// The address must be present; a found entry moves to the front of its chain.
int lookupPage(PageTable *table, const void *unit);
void removePageRange(PageTable *table, const void *firstUnit, unsigned unitCount);
// Every chain must already be empty.
void deletePageTable(PageTable *table);
