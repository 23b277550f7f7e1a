#include "pagetabl.h"

#include "fatal.h"
#include "tavokassert.h"

#include <algorithm>
#include <cstdlib>
#include <type_traits>

static_assert(std::is_trivially_copyable_v<PageRange>);

namespace {
constexpr int initialRangeSlots = 8; // a pool's buffers rarely pass this; the array doubles
} // namespace

static void *allocateZeroed(std::size_t count, std::size_t size) {
  void *memory = std::calloc(count, size);
  if (!memory)
    fatalError(noMemorySpace);
  return memory;
}

static std::uintptr_t addressOf(const void *unit) { return reinterpret_cast<std::uintptr_t>(unit); }

// The index of the first range that starts after the address: the range
// before it is the only one that can hold the address.
static int rangesStartingAtOrBefore(const PageTable *table, std::uintptr_t address) {
  const PageRange *begin = table->ranges;
  const PageRange *end = begin + table->rangeCount;
  const PageRange *after = std::upper_bound(
      begin, end, address,
      [](std::uintptr_t sought, const PageRange &range) { return sought < range.firstAddress; });
  return static_cast<int>(after - begin);
}

// The range holding the unit at this address, or null when no present range
// has a unit there.
static const PageRange *rangeOfUnit(PageTable *table, std::uintptr_t address) {
  auto holds = [](const PageRange &range, std::uintptr_t sought) {
    return sought >= range.firstAddress && sought < range.endAddress;
  };
  int index = table->recentRange;
  if (index >= table->rangeCount || !holds(table->ranges[index], address)) {
    index = rangesStartingAtOrBefore(table, address) - 1;
    if (index < 0 || !holds(table->ranges[index], address))
      return nullptr;
    table->recentRange = index;
  }
  const PageRange *range = &table->ranges[index];
  if ((address - range->firstAddress) % table->unitSize != 0)
    return nullptr;
  return range;
}

PageTable *createPageTable(unsigned unitSize) {
  ASSERT(unitSize > 0);
  auto *table = static_cast<PageTable *>(allocateZeroed(1, sizeof(PageTable)));
  *table = PageTable{
      .unitSize = unitSize,
      .rangeCount = 0,
      .rangeCapacity = initialRangeSlots,
      .ranges = static_cast<PageRange *>(allocateZeroed(initialRangeSlots, sizeof(PageRange))),
      .recentRange = 0,
  };
  return table;
}

static void makeRoomForOneMoreRange(PageTable *table) {
  if (table->rangeCount < table->rangeCapacity)
    return;
  const int slots = table->rangeCapacity * 2;
  auto *moved =
      static_cast<PageRange *>(std::realloc(table->ranges, static_cast<std::size_t>(slots) * sizeof(PageRange)));
  if (!moved)
    fatalError(noMemorySpace);
  table->ranges = moved;
  table->rangeCapacity = slots;
}

void insertPageRange(PageTable *table, const void *firstUnit, int firstLocation,
                     unsigned unitCount) {
  ASSERT(unitCount > 0);
  const std::uintptr_t firstAddress = addressOf(firstUnit);
  const PageRange inserted{
      .firstAddress = firstAddress,
      .endAddress = firstAddress + static_cast<std::uintptr_t>(unitCount) * table->unitSize,
      .firstLocation = firstLocation,
  };
  const int position = rangesStartingAtOrBefore(table, firstAddress);
  // The ranges are separate buffers: neither neighbour may reach into the new one.
  ASSERT(position == 0 || table->ranges[position - 1].endAddress <= firstAddress);
  ASSERT(position == table->rangeCount || inserted.endAddress <= table->ranges[position].firstAddress);
  makeRoomForOneMoreRange(table);
  std::copy_backward(table->ranges + position, table->ranges + table->rangeCount,
                     table->ranges + table->rangeCount + 1);
  table->ranges[position] = inserted;
  ++table->rangeCount;
}

int lookupPage(PageTable *table, const void *unit) {
  const std::uintptr_t address = addressOf(unit);
  const PageRange *currentRange = rangeOfUnit(table, address);
  ASSERT(currentRange);
  return currentRange->firstLocation +
         static_cast<int>((address - currentRange->firstAddress) / table->unitSize);
}

void removePageRange(PageTable *table, const void *firstUnit, unsigned unitCount) {
  const std::uintptr_t firstAddress = addressOf(firstUnit);
  const PageRange *currentRange = rangeOfUnit(table, firstAddress);
  ASSERT(currentRange);
  ASSERT(currentRange->firstAddress == firstAddress &&
         currentRange->endAddress ==
             firstAddress + static_cast<std::uintptr_t>(unitCount) * table->unitSize);
  PageRange *removed = table->ranges + (currentRange - table->ranges);
  std::copy(removed + 1, table->ranges + table->rangeCount, removed);
  --table->rangeCount;
}

void deletePageTable(PageTable *table) {
  ASSERT(table->rangeCount == 0);
  std::free(table->ranges);
  std::free(table);
}
