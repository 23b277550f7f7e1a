#include "mempool.h"
#include "pagetabl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TAVOK_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVOK_TEST_UNDER_ASAN 1
#endif
#endif

#ifdef TAVOK_TEST_UNDER_ASAN
// A refused allocation must come back as null, as from the plain allocator.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=8192";
}
#else
#include <sys/resource.h>
#endif

namespace {

std::vector<char *> allocateUnits(MemPool *pool, int count) {
  std::vector<char *> units;
  for (int i = 0; i < count; ++i)
    units.push_back(static_cast<char *>(allocateFromMemPool(pool)));
  return units;
}

std::vector<int> locationsOfNextAllocations(MemPool *pool, int count) {
  std::vector<int> locations;
  for (char *unit : allocateUnits(pool, count))
    locations.push_back(getLocationNumber(pool, unit));
  return locations;
}

std::vector<int> range(int first, int last, std::vector<int> then = {}) { // both ends included
  std::vector<int> numbers;
  for (int n = first; n <= last; ++n)
    numbers.push_back(n);
  numbers.insert(numbers.end(), then.begin(), then.end());
  return numbers;
}

void freeUnits(MemPool *pool, const std::vector<char *> &units, int first, int last) {
  for (int i = first; i <= last; ++i)
    freeToMemPool(pool, units[i]);
}

} // namespace

TEST(MemPoolSizing, Buffer0HoldsAtLeast32UnitsAnd128Bytes) {
  const unsigned rows[][2] = {{1, 128}, {2, 64}, {3, 42}, {4, 32}, {12, 32}, {300, 32}};
  for (const auto &[unitSize, noOfUnits] : rows) {
    MemPool *pool = createMemPool(24, unitSize); // the requested count has no effect
    EXPECT_EQ(pool->noOfUnits, noOfUnits) << unitSize;
    deleteMemPool(pool);
  }
}

TEST(MemPoolBuffers, BuffersDoubleAndHoldTheirLocationsInOrder) {
  MemPool *pool = createMemPool(1024, 12);
  EXPECT_EQ(pool->bufferList[0], nullptr); // buffer 0 waits for the first allocation
  auto units = allocateUnits(pool, 97);
  EXPECT_EQ(pool->noOfBuffers, 2);
  const int startOfBuffer[] = {0, 32, 96};
  for (int i = 0; i < 97; ++i) {
    const int buffer = i < 32 ? 0 : i < 96 ? 1 : 2;
    const char *start = static_cast<char *>(pool->bufferList[buffer]);
    ASSERT_EQ(units[i], start + (i - startOfBuffer[buffer]) * 12) << i;
    ASSERT_EQ(getLocationNumber(pool, units[i]), i);
    ASSERT_EQ(std::string(units[i], 12), std::string(12, '\0')) << i;
  }
  deleteMemPool(pool);
}

TEST(MemPoolBuffers, EmptiedBuffer0IsKeptAndItsUnitsKeepTheirContents) {
  MemPool *pool = createMemPool(1024, 16);
  auto units = allocateUnits(pool, 32);
  void *buffer0 = pool->bufferList[0];
  std::memcpy(units[0], "left by user 0", 15);
  freeUnits(pool, units, 0, 31);
  EXPECT_EQ(pool->bufferList[0], buffer0);

  char *unit = static_cast<char *>(allocateFromMemPool(pool));
  EXPECT_EQ(unit, units[0]);
  EXPECT_STREQ(unit, "left by user 0");
  deleteMemPool(pool);
}

TEST(MemPoolBuffers, EmptiedBuffersAreReleasedAndTheHighestTakesAbsentSlotsWithIt) {
  struct Row { int firstFreed, secondFreed, buffersAfterFirst; };
  const Row rows[] = {{1, 2, 2}, {2, 1, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.firstFreed);
    MemPool *pool = createMemPool(1024, 12);
    auto units = allocateUnits(pool, 224); // buffers 0 to 2, full
    const int firstUnit[] = {0, 32, 96}, lastUnit[] = {31, 95, 223};
    std::memset(units[32], 0x5A, 12);
    freeUnits(pool, units, firstUnit[row.firstFreed], lastUnit[row.firstFreed]);
    EXPECT_EQ(pool->noOfBuffers, row.buffersAfterFirst);
    freeUnits(pool, units, firstUnit[row.secondFreed], lastUnit[row.secondFreed]);
    EXPECT_EQ(pool->noOfBuffers, 0);

    char *unit = static_cast<char *>(allocateFromMemPool(pool)); // buffer 0 is full
    EXPECT_EQ(getLocationNumber(pool, unit), 32);
    EXPECT_EQ(pool->noOfBuffers, 1);
    EXPECT_EQ(std::string(unit, 12), std::string(12, '\0')); // a new buffer is zero-filled
    deleteMemPool(pool);
  }
}

TEST(MemPoolBuffers, ReleasedBuffersAreRecreatedHighestFirstBeforeAnotherIsAppended) {
  MemPool *pool = createMemPool(1024, 12);
  auto units = allocateUnits(pool, 480); // buffers 0 to 3, full
  freeUnits(pool, units, 32, 223);       // buffers 1 and 2
  ASSERT_EQ(pool->bufferList[1], nullptr);
  ASSERT_EQ(pool->bufferList[2], nullptr);
  EXPECT_EQ(pool->noOfBuffers, 3);

  const std::vector<int> expected = range(96, 223, range(32, 95, {480}));
  EXPECT_EQ(locationsOfNextAllocations(pool, static_cast<int>(expected.size())), expected);
  EXPECT_EQ(pool->noOfBuffers, 4);
  deleteMemPool(pool);
}

TEST(MemPoolReuse, FreedUnitsWaitUntilTheHighestBufferIsFullAfterTheLastAllocation) {
  MemPool *pool = createMemPool(1024, 12);
  auto units = allocateUnits(pool, 106); // up to location 105 in buffer 2 (96..223)
  freeToMemPool(pool, units[5]);
  freeToMemPool(pool, units[100]); // behind the last allocation

  const std::vector<int> expected = range(106, 223, {5, 100, 224});
  EXPECT_EQ(locationsOfNextAllocations(pool, static_cast<int>(expected.size())), expected);
  deleteMemPool(pool);
}

TEST(MemPoolDescriptors, RecycledDescriptorStartsAfresh) {
  std::vector<MemPool *> pools;
  for (int i = 0; i < 100; ++i) { // the descriptor pool itself grows to three buffers
    pools.push_back(createMemPool(1024, 8));
    allocateUnits(pools.back(), 40);
  }
  for (MemPool *pool : pools)
    deleteMemPool(pool);

  MemPool *pool = createMemPool(1024, 20);
  EXPECT_EQ(pool->noOfBuffers, 0);
  EXPECT_EQ(pool->lastAllocatedUnit, nullptr);
  EXPECT_EQ(pool->bufferList[0], nullptr);
  EXPECT_EQ(locationsOfNextAllocations(pool, 3), range(0, 2));
  deleteMemPool(pool);
}

// Random allocations and releases against a model of the occupied units:
// locations stay unique and fixed, units never overlap, the bit set mirrors
// the model, and buffers come and go without losing a unit.
TEST(MemPoolModel, RandomAllocateAndFreeKeepsEveryUnitIntact) {
  for (unsigned unitSize : {1u, 3u, 12u, 40u}) {
    SCOPED_TRACE(unitSize);
    std::mt19937 random(unitSize);
    MemPool *pool = createMemPool(1024, unitSize);
    std::map<char *, int> locationOf;
    std::vector<char *> held;

    auto checkModel = [&] {
      std::set<int> locations;
      for (const auto &[unit, location] : locationOf) {
        ASSERT_EQ(getLocationNumber(pool, unit), location);
        ASSERT_TRUE(locations.insert(location).second) << location;
        ASSERT_TRUE(testBit(pool->occupancyBits, location));
        ASSERT_EQ(std::string(unit, unitSize), std::string(unitSize, char(location % 251 + 1)));
      }
      const unsigned capacity = ((1u << (pool->noOfBuffers + 1)) - 1) * pool->noOfUnits;
      unsigned setBits = 0;
      for (unsigned p = findNextSetBit(pool->occupancyBits, 0, capacity); p < capacity;
           p = findNextSetBit(pool->occupancyBits, p + 1, capacity))
        ++setBits;
      ASSERT_EQ(setBits, locationOf.size());
      ASSERT_TRUE(pool->noOfBuffers == 0 || pool->bufferList[pool->noOfBuffers]);
    };

    for (int step = 0; step < 6000; ++step) {
      const bool growing = (step / 1000) % 2 == 0; // phases, so that high buffers go
      if (held.empty() || random() % 100 < (growing ? 70u : 30u)) {
        char *unit = static_cast<char *>(allocateFromMemPool(pool));
        const int location = getLocationNumber(pool, unit);
        ASSERT_TRUE(locationOf.emplace(unit, location).second);
        std::memset(unit, location % 251 + 1, unitSize);
        held.push_back(unit);
      } else {
        std::swap(held[random() % held.size()], held.back());
        freeToMemPool(pool, held.back());
        locationOf.erase(held.back());
        held.pop_back();
      }
      if (step % 250 == 0) {
        ASSERT_NO_FATAL_FAILURE(checkModel());
      }
    }
    for (char *unit : held)
      freeToMemPool(pool, unit);
    EXPECT_EQ(pool->noOfBuffers, 0);
    for (int slot = 1; slot < 32; ++slot)
      EXPECT_EQ(pool->bufferList[slot], nullptr);
    deleteMemPool(pool);
  }
}

namespace {

// The allocation rules written out plainly: a bit per location, a flag per
// buffer, every search from scratch. The pool must hand out exactly the
// locations this model picks, however it speeds up its searches.
struct ReferencePool {
  unsigned noOfUnits;
  int noOfBuffers = 0;
  std::vector<bool> occupied;
  std::vector<bool> present = std::vector<bool>(64);
  bool lastAllocatedValid = false;
  unsigned lastAllocatedLocation = 0;

  explicit ReferencePool(unsigned units) : noOfUnits(units), occupied(units) {}

  unsigned capacity() const { return ((1u << (noOfBuffers + 1)) - 1) * noOfUnits; }
  unsigned start(int b) const { return ((1u << b) - 1) * noOfUnits; }
  unsigned units(int b) const { return noOfUnits << b; }
  int bufferOf(unsigned location) const {
    int b = 0;
    while (location >= start(b + 1))
      ++b;
    return b;
  }
  unsigned firstClear(unsigned from, unsigned limit) const {
    while (from < limit && occupied[from])
      ++from;
    return from;
  }
  unsigned take(unsigned location) {
    occupied[location] = true;
    lastAllocatedValid = true;
    lastAllocatedLocation = location;
    return location;
  }

  unsigned allocate() {
    const unsigned total = capacity();
    unsigned searchStart = start(noOfBuffers);
    if (lastAllocatedValid && lastAllocatedLocation > searchStart) {
      searchStart = lastAllocatedLocation + 1;
      if (searchStart < total && present[noOfBuffers] && !occupied[searchStart])
        return take(searchStart);
    }
    unsigned location = firstClear(searchStart, total);
    if (location < total && present[noOfBuffers])
      return take(location);
    int absent = -1;
    for (location = firstClear(0, total); location < total;) {
      const int b = bufferOf(location);
      if (present[b])
        return take(location);
      absent = b;
      location = firstClear(location + units(b), total);
    }
    if (absent < 0) {
      absent = ++noOfBuffers;
      occupied.resize(capacity());
    }
    present[absent] = true;
    return take(start(absent));
  }

  void release(unsigned location) {
    occupied[location] = false;
    if (lastAllocatedValid && lastAllocatedLocation == location)
      lastAllocatedValid = false;
    const int b = bufferOf(location);
    if (b == 0)
      return;
    bool empty = true;
    for (unsigned p = start(b); p < start(b) + units(b); ++p)
      empty = empty && !occupied[p];
    if (!empty)
      return;
    present[b] = false;
    if (b == noOfBuffers) {
      while (noOfBuffers > 0 && !present[noOfBuffers])
        --noOfBuffers;
      occupied.resize(capacity());
    }
  }
};

} // namespace

// Bursts of allocations and releases in every mix, from the low and the high
// end of the pool, so that buffers come and go, freed units wait behind the
// last allocation and released buffers are re-created.
TEST(MemPoolModel, LocationsFollowTheAllocationRulesExactly) {
  for (unsigned unitSize : {2u, 12u}) {
    SCOPED_TRACE(unitSize);
    std::mt19937 random(unitSize * 7 + 1);
    MemPool *pool = createMemPool(1024, unitSize);
    ReferencePool model(pool->noOfUnits);
    std::map<int, char *> unitAt;

    for (int step = 0; step < 30000; ++step) {
      const unsigned phase = (step / 700) % 5; // grow, churn, shrink from the top, churn low, shrink
      const unsigned allocatePercent[] = {80, 50, 20, 55, 10};
      if (unitAt.empty() || random() % 100 < allocatePercent[phase]) {
        char *unit = static_cast<char *>(allocateFromMemPool(pool));
        const int location = getLocationNumber(pool, unit);
        ASSERT_EQ(location, static_cast<int>(model.allocate())) << "step " << step;
        ASSERT_TRUE(unitAt.emplace(location, unit).second);
      } else {
        // Release near one end of the occupied locations or anywhere.
        auto chosen = unitAt.begin();
        const unsigned where = random() % 3;
        if (where == 1)
          chosen = std::prev(unitAt.end());
        else if (where == 2)
          std::advance(chosen, random() % unitAt.size());
        freeToMemPool(pool, chosen->second);
        model.release(static_cast<unsigned>(chosen->first));
        unitAt.erase(chosen);
      }
      ASSERT_EQ(pool->noOfBuffers, model.noOfBuffers) << "step " << step;
      for (int b = 0; b <= pool->noOfBuffers; ++b)
        ASSERT_EQ(pool->bufferList[b] != nullptr, model.present[b]) << "step " << step << " buffer " << b;
    }
    for (const auto &[location, unit] : unitAt)
      ASSERT_EQ(getLocationNumber(pool, unit), location);
    deleteMemPool(pool);
  }
}

TEST(MemPoolFailures, FreeingAForeignAddressIsCaught) {
  MemPool *pool = createMemPool(1024, 8);
  allocateUnits(pool, 2);
  long foreign = 0;
  EXPECT_DEATH(freeToMemPool(pool, &foreign), "currentRange");
  deleteMemPool(pool);
}

TEST(MemPoolFailures, FreeingAUnitTwiceIsCaught) {
  MemPool *pool = createMemPool(1024, 8);
  auto units = allocateUnits(pool, 40); // the second unit of buffer 1 keeps it present
  freeToMemPool(pool, units[33]);
  EXPECT_DEATH(freeToMemPool(pool, units[33]), "testBit");
  deleteMemPool(pool);
}

// Buffer 0 would take 128 GiB; the limit refuses it even where memory is overcommitted.
static void *allocateWithLimitedAddressSpace(MemPool *pool) {
#ifndef TAVOK_TEST_UNDER_ASAN
  const rlimit addressSpace{8ull << 30, 8ull << 30};
  setrlimit(RLIMIT_AS, &addressSpace);
#endif
  return allocateFromMemPool(pool);
}

TEST(MemPoolFailures, ExhaustedMemoryEndsTheRun) {
  MemPool *pool = createMemPool(1024, 0xFFFFFFFFu);
  EXPECT_EXIT(allocateWithLimitedAddressSpace(pool), ::testing::ExitedWithCode(1),
              "Fatal Error No memory space\n$");
  deleteMemPool(pool);
}

TEST(BitSetSearch, FindsAcrossWordBoundariesAndStopsAtTheLimit) {
  struct Row { unsigned from, limit, expected; };
  BitSet bits = createBitSet(200);
  for (unsigned index : {5u, 31u, 32u, 100u, 199u})
    setBit(bits, index, 7); // any non-zero value sets
  const Row setSearches[] = {
      {0, 200, 5},    {6, 200, 31},   {32, 200, 32},    {33, 200, 100}, // skips two words
      {33, 100, 100}, {33, 99, 99},   {101, 199, 199},  {101, 200, 199},
      {0, 5, 5},      {150, 120, 120}, {200, 200, 200},
  };
  for (const Row &row : setSearches)
    EXPECT_EQ(findNextSetBit(bits, row.from, row.limit), row.expected) << row.from << ".." << row.limit;

  for (unsigned index = 0; index < 200; ++index)
    setBit(bits, index, index != 7 && index != 64 && index != 150);
  const Row clearSearches[] = {
      {0, 200, 7}, {8, 200, 64}, {65, 150, 150}, {65, 151, 150}, {151, 200, 200}, {96, 128, 128},
  };
  for (const Row &row : clearSearches)
    EXPECT_EQ(findNextClearBit(bits, row.from, row.limit), row.expected) << row.from << ".." << row.limit;
  deleteBitSet(bits);
}

TEST(BitSetResize, KeepsOldBitsAndAddsClearOnes) {
  BitSet bits = createBitSet(40);
  for (unsigned index : {0u, 33u, 38u, 39u})
    setBit(bits, index, 1);
  bits = resizeBitSet(bits, 40, 35); // same word count: bits 38 and 39 linger
  bits = resizeBitSet(bits, 35, 300);
  EXPECT_EQ(findNextSetBit(bits, 1, 300), 33u);
  EXPECT_EQ(findNextSetBit(bits, 34, 300), 300u);
  bits = resizeBitSet(bits, 300, 20);
  EXPECT_EQ(testBit(bits, 0), 1);
  deleteBitSet(bits);
}

TEST(HashBytes, FoldsTheTopFourBitsIntoTheLowest) {
  const std::pair<std::string, unsigned> rows[] = {
      {"", 0}, {"abc", 0x6783}, {"abcdefgh", 0x89abc7f}, {std::string(8, '\xff'), 0xffffee0},
  };
  for (const auto &[bytes, hash] : rows)
    EXPECT_EQ(hashBytes(bytes.data(), bytes.size()), hash) << bytes;
}

TEST(PageTable, EveryUnitOfEveryRangeMapsToItsLocationAndRemovalSparesOtherRanges) {
  // Ranges from separate allocations, inserted in no particular address order.
  const unsigned unitCounts[] = {40, 3000, 1, 1021, 7};
  std::vector<std::vector<char>> blocks;
  for (unsigned count : unitCounts)
    blocks.emplace_back(count * 12);
  PageTable *table = createPageTable(12);
  int firstLocation = 0;
  std::vector<int> firstLocations;
  for (std::size_t r = 0; r < blocks.size(); ++r) {
    firstLocations.push_back(firstLocation);
    insertPageRange(table, blocks[r].data(), firstLocation, unitCounts[r]);
    firstLocation += static_cast<int>(unitCounts[r]) + 100;
  }
  auto checkRange = [&](std::size_t r) {
    for (unsigned i = 0; i < unitCounts[r]; ++i)
      ASSERT_EQ(lookupPage(table, blocks[r].data() + i * 12), firstLocations[r] + static_cast<int>(i))
          << r << "/" << i;
  };
  for (std::size_t r = 0; r < blocks.size(); ++r)
    checkRange(r);

  removePageRange(table, blocks[1].data(), unitCounts[1]);
  for (std::size_t r : {0, 2, 3, 4})
    checkRange(r);
  EXPECT_DEATH(lookupPage(table, blocks[1].data() + 12 * 5), "currentRange");
  EXPECT_DEATH(lookupPage(table, blocks[0].data() + 13), "currentRange"); // not a unit's start
  EXPECT_DEATH(deletePageTable(table), "rangeCount");
  for (std::size_t r : {4, 0, 3, 2})
    removePageRange(table, blocks[r].data(), unitCounts[r]);
  deletePageTable(table);
}
