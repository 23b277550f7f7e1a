#include "mempool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
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
    occupied[location] = lastAllocatedValid = true;
    return lastAllocatedLocation = location;
  }

  // Freed units wait until the highest buffer is full after the last
  // allocation; then the lowest present gap; then a released buffer, highest
  // first; only then a new buffer.
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

  // An emptied buffer other than buffer 0 is released; the highest takes
  // the absent slots below it along.
  void release(unsigned location) {
    occupied[location] = false;
    if (lastAllocatedValid && lastAllocatedLocation == location)
      lastAllocatedValid = false;
    const int b = bufferOf(location);
    if (b == 0)
      return;
    for (unsigned p = start(b); p < start(b) + units(b); ++p)
      if (occupied[p])
        return;
    present[b] = false;
    if (b == noOfBuffers) {
      while (noOfBuffers > 0 && !present[noOfBuffers])
        --noOfBuffers;
      occupied.resize(capacity());
    }
  }
};

// Bursts of allocations and releases in every mix, from the low and the high
// end of the pool, so that buffers come and go, freed units wait behind the
// last allocation and released buffers are re-created. Every unit keeps its
// location and its bytes, and the occupancy bits mirror the model.
TEST(MemPoolModel, LocationsFollowTheAllocationRulesAndUnitsStayIntact) {
  std::vector<MemPool *> earlier;  // so that the pools below get recycled descriptors
  for (int i = 0; i < 100; ++i) {
    earlier.push_back(createMemPool(1024, 8));
    for (int unit = 0; unit < 40; ++unit)
      allocateFromMemPool(earlier.back());
  }
  for (MemPool *pool : earlier)
    deleteMemPool(pool);

  for (unsigned unitSize : {1u, 3u, 12u, 40u}) {
    SCOPED_TRACE(unitSize);
    std::mt19937 random(unitSize * 7 + 1);
    MemPool *pool = createMemPool(1024, unitSize);
    ReferencePool model(pool->noOfUnits);
    std::map<int, char *> unitAt;
    auto fill = [](int location) { return char(location % 251 + 1); };

    auto releaseUnits = [&](std::map<int, char *>::iterator first, std::map<int, char *>::iterator last) {
      for (; first != last; first = unitAt.erase(first)) {
        freeToMemPool(pool, first->second);
        model.release(static_cast<unsigned>(first->first));
      }
    };

    // Buffers 0 to 3 fill up before step 0; then random phases: grow, churn,
    // shrink from the top, churn low, shrink.
    const unsigned allocatePercent[] = {80, 50, 20, 55, 10};
    for (int step = -static_cast<int>(model.start(4)); step < 30000; ++step) {
      if (step < 0 || (step > 0 && (unitAt.empty() || random() % 100 < allocatePercent[(step / 700) % 5]))) {
        char *unit = static_cast<char *>(allocateFromMemPool(pool));
        const int location = getLocationNumber(pool, unit);
        ASSERT_EQ(location, static_cast<int>(model.allocate())) << "step " << step;
        ASSERT_TRUE(unitAt.emplace(location, unit).second);
        std::memset(unit, fill(location), unitSize);
      } else if (step == 0) {  // buffers 1 and 2 whole: both come back, highest first
        releaseUnits(unitAt.lower_bound(static_cast<int>(model.start(1))),
                     unitAt.lower_bound(static_cast<int>(model.start(3))));
      } else {  // the lowest, the highest or any unit
        auto chosen = unitAt.begin();
        const unsigned where = random() % 3;
        if (where == 1)
          chosen = std::prev(unitAt.end());
        else if (where == 2)
          std::advance(chosen, random() % unitAt.size());
        releaseUnits(chosen, std::next(chosen));
      }
      ASSERT_EQ(pool->noOfBuffers, model.noOfBuffers) << "step " << step;
      for (int b = 0; b <= pool->noOfBuffers; ++b)
        ASSERT_EQ(pool->bufferList[b] != nullptr, model.present[b]) << "step " << step << " buffer " << b;
      if (step % 500 != 0)
        continue;
      for (const auto &[location, unit] : unitAt) {
        ASSERT_EQ(getLocationNumber(pool, unit), location);
        ASSERT_EQ(std::string(unit, unitSize), std::string(unitSize, fill(location)));
      }
      const unsigned capacity = model.capacity();
      for (unsigned p = 0; p < capacity; ++p)
        ASSERT_EQ(testBit(pool->occupancyBits, p), model.occupied[p] ? 1 : 0) << p;
    }
    for (const auto &[location, unit] : unitAt)
      freeToMemPool(pool, unit);
    EXPECT_EQ(pool->noOfBuffers, 0);
    for (int slot = 1; slot < 32; ++slot)
      EXPECT_EQ(pool->bufferList[slot], nullptr);
    deleteMemPool(pool);
  }
}

// Allocations in a row and the frees that must end them, in a pool of
// 8-byte units (buffers of 32, 64 and 128 units from locations 0, 32, 96).
// Positive steps take a unit and expect its location; negative steps free
// the unit at location -step - 1.
TEST(MemPoolRuns, UnitsTakenInARowFollowTheAllocationRules) {
  struct Case {
    const char *what;
    std::vector<int> steps;
  };
  auto freeAt = [](int location) { return -location - 1; };
  const Case cases[] = {
      {"a run in a lower buffer starts at its lowest gap and goes on while the highest is full",
       {freeAt(5), freeAt(40), freeAt(41), freeAt(42), 5, 40, 41, 42}},
      {"a free in the highest buffer ends a run in a lower buffer",
       {freeAt(40), freeAt(41), freeAt(42), 40, freeAt(150), 150, 41, 42}},
      {"a free before a run in a lower buffer ends it",
       {freeAt(40), freeAt(41), freeAt(42), 40, freeAt(3), 3, 41, 42}},
      {"a free behind the last unit taken in the highest buffer leaves the run going",
       {freeAt(200), freeAt(201), freeAt(202), freeAt(10), 10, 200, freeAt(150), 201, 202, 150}},
      {"freeing the unit taken last ends the next-unit shortcut",
       {freeAt(200), freeAt(201), freeAt(202), 200, freeAt(200), freeAt(120), 120, 200, 201, 202}},
      {"past a run the search skips occupied words to the next gap, then makes a buffer",
       {freeAt(100), freeAt(101), freeAt(102), freeAt(103), freeAt(104), freeAt(190), freeAt(191), 100,
        101, 102, 103, 104, 190, 191, 224}},
  };
  for (const Case &testCase : cases) {
    SCOPED_TRACE(testCase.what);
    MemPool *pool = createMemPool(1024, 8);
    std::map<int, void *> unitAt;
    for (int location = 0; location < 224; ++location)
      unitAt[location] = allocateFromMemPool(pool);
    for (int step : testCase.steps) {
      if (step < 0) {
        const int location = -step - 1;
        freeToMemPool(pool, unitAt.at(location));
        unitAt.erase(location);
        continue;
      }
      void *unit = allocateFromMemPool(pool);
      ASSERT_EQ(getLocationNumber(pool, unit), step);
      unitAt[step] = unit;
    }
    deleteMemPool(pool);
  }
}

// freeUnitsToMemPool against freeToMemPool one unit at a time: two pools
// driven alike, one freeing bursts whole and the other unit by unit, must
// hand out the same locations afterwards and agree on every bit and buffer.
// The bursts mix buffers, empty buffers (the highest among them), and hold
// the unit taken last.
TEST(MemPoolBursts, FreeingABurstEqualsFreeingItsUnitsOneByOne) {
  std::mt19937 random(11);
  MemPool *oneByOne = createMemPool(1024, 16);
  MemPool *inBursts = createMemPool(1024, 16);
  std::vector<std::pair<void *, void *>> live;  // the same unit in both pools
  auto expectSamePools = [&](int round) {
    ASSERT_EQ(oneByOne->noOfBuffers, inBursts->noOfBuffers) << round;
    for (int b = 0; b <= oneByOne->noOfBuffers; ++b)
      ASSERT_EQ(oneByOne->bufferList[b] != nullptr, inBursts->bufferList[b] != nullptr) << round;
    const unsigned capacity = ((1u << (oneByOne->noOfBuffers + 1)) - 1) * oneByOne->noOfUnits;
    for (unsigned p = 0; p < capacity; ++p)
      ASSERT_EQ(testBit(oneByOne->occupancyBits, p), testBit(inBursts->occupancyBits, p)) << round << " " << p;
  };
  for (int round = 0; round < 3000; ++round) {
    const int allocations = static_cast<int>(random() % (round % 50 == 0 ? 600 : 40));
    for (int i = 0; i < allocations; ++i) {
      void *a = allocateFromMemPool(oneByOne);
      void *b = allocateFromMemPool(inBursts);
      ASSERT_EQ(getLocationNumber(oneByOne, a), getLocationNumber(inBursts, b)) << round;
      live.emplace_back(a, b);
    }
    // A burst: the newest units (the one taken last among them), a stretch
    // from the middle, or units from anywhere; now and then all of them.
    std::vector<void *> burst;
    const unsigned kind = random() % 4;
    std::size_t count = live.empty() ? 0 : random() % std::min<std::size_t>(live.size(), 70) + 1;
    if (round % 97 == 0)
      count = live.size();
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t index = live.size() - 1;
      if (kind == 1)
        index = live.size() / 2 < live.size() ? live.size() / 2 : 0;
      else if (kind >= 2)
        index = random() % live.size();
      freeToMemPool(oneByOne, live[index].first);
      burst.push_back(live[index].second);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(index));
    }
    freeUnitsToMemPool(inBursts, burst.data(), static_cast<int>(burst.size()));
    expectSamePools(round);
    if (HasFatalFailure())
      return;
  }
  for (auto [a, b] : live) {
    freeToMemPool(oneByOne, a);
    freeUnitsToMemPool(inBursts, &b, 1);
  }
  EXPECT_EQ(inBursts->noOfBuffers, 0);
  deleteMemPool(oneByOne);
  deleteMemPool(inBursts);
}

// Buffer 0 would take 128 GiB; the limit refuses it even where memory is overcommitted.
void *allocateWithLimitedAddressSpace(MemPool *pool) {
#ifndef TAVOK_TEST_UNDER_ASAN
  const rlimit addressSpace{8ull << 30, 8ull << 30};
  setrlimit(RLIMIT_AS, &addressSpace);
#endif
  return allocateFromMemPool(pool);
}

TEST(MemPoolFailures, ExhaustedMemoryEndsTheRun) {
  MemPool *huge = createMemPool(1024, 0xFFFFFFFFu);
  EXPECT_EXIT(allocateWithLimitedAddressSpace(huge), ::testing::ExitedWithCode(1), "Fatal Error No memory space\n$");
  deleteMemPool(huge);
}

// Random bits, searches and resizes against a vector of bools, at densities
// at which searches skip whole words; a grown set must not show bits that a
// shrink left behind in its last word.
TEST(BitSets, MatchAVectorOfBoolsThroughSearchesAndResizes) {
  std::mt19937 random(5);
  unsigned size = 200;
  BitSet bits = createBitSet(size);
  std::vector<bool> model(size);
  auto firstFrom = [&](unsigned from, unsigned limit, bool value) {
    for (; from < limit; ++from)
      if (model[from] == value)
        return from;
    return limit;
  };
  for (int round = 0; round < 300; ++round) {
    const unsigned percentSet = round % 3 == 0 ? 1 : round % 3 == 1 ? 50 : 99;
    for (int change = 0; change < 100; ++change) {
      const unsigned index = random() % size, value = random() % 100 < percentSet ? random() % 3 + 1 : 0;
      setBit(bits, index, static_cast<int>(value));  // any non-zero value sets
      model[index] = value != 0;
    }
    for (int search = 0; search < 50; ++search) {
      const unsigned from = random() % (size + 1), limit = random() % (size + 1);
      ASSERT_EQ(findNextSetBit(bits, from, limit), firstFrom(from, limit, true)) << from << ".." << limit;
      ASSERT_EQ(findNextClearBit(bits, from, limit), firstFrom(from, limit, false)) << from << ".." << limit;
    }
    for (unsigned index = 0; index < size; ++index)
      ASSERT_EQ(testBit(bits, index), model[index] ? 1 : 0) << index;
    const unsigned newSize = random() % 400 + 1;
    bits = resizeBitSet(bits, size, newSize);
    model.resize(size = newSize);  // added bits are clear
  }
  deleteBitSet(bits);
}

} // namespace
