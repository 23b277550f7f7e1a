#include "mempool.h"

#include "fatal.h"
#include "pagetabl.h"
#include "tavokassert.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <type_traits>

static_assert(std::is_trivially_copyable_v<MemPool>);
static_assert(std::is_trivially_copyable_v<BufferUse>);

namespace {
struct PoolModuleState {
  MemPool *descriptorPool;  // holds the descriptor of every other pool; never deleted
};

constexpr unsigned bitsPerWord = 32;
constexpr unsigned bufferListStep = 32;    // bufferList grows and shrinks by this many slots
constexpr std::size_t bufferGranule = 128; // buffer sizes are rounded up to this many bytes
constexpr unsigned minimumUnitsInBuffer0 = 32;
constexpr unsigned minimumBytesInBuffer0 = 128;
// Units an allocation run reaches ahead: eight words of the bit set.
constexpr unsigned runLookahead = 256;
} // namespace

static constinit PoolModuleState poolModule{};

// Every allocation of this module ends the run when memory is exhausted.
static void *allocateZeroed(std::size_t count, std::size_t size) {
  void *memory = std::calloc(count, size);
  if (!memory)
    fatalError(noMemorySpace);
  return memory;
}

static void *reallocate(void *memory, std::size_t bytes) {
  void *moved = std::realloc(memory, bytes);
  if (!moved)
    fatalError(noMemorySpace);
  return moved;
}

unsigned hashBytes(const void *bytes, std::size_t length) {
  const auto *byte = static_cast<const unsigned char *>(bytes);
  std::uint32_t hash = 0;
  for (std::size_t i = 0; i < length; ++i)
    hash = hashByteStep(hash, byte[i]);
  return hash;
}

// ---------------------------------------------------------------- bit sets

static std::size_t wordsForBits(unsigned bitCount) {
  return bitCount == 0 ? 1 : (bitCount - 1) / bitsPerWord + 1;
}

// Clears every bit from `from` to the end of the word array.
static void clearBitsFrom(BitSet bitSet, unsigned from, std::size_t wordCount) {
  std::size_t wordIndex = from / bitsPerWord;
  if (wordIndex >= wordCount)
    return;
  if (from % bitsPerWord != 0) {
    bitSet[wordIndex] &= (1u << (from % bitsPerWord)) - 1;
    ++wordIndex;
  }
  std::fill(bitSet + wordIndex, bitSet + wordCount, 0u);
}

BitSet createBitSet(unsigned bitCount) {
  return static_cast<BitSet>(allocateZeroed(wordsForBits(bitCount), sizeof(std::uint32_t)));
}

BitSet resizeBitSet(BitSet bitSet, unsigned oldBitCount, unsigned newBitCount) {
  const std::size_t newWordCount = wordsForBits(newBitCount);
  if (newWordCount != wordsForBits(oldBitCount))
    bitSet = static_cast<BitSet>(reallocate(bitSet, newWordCount * sizeof(std::uint32_t)));
  // Bits past the old count may be stale (a shrink keeps the last word as it
  // was) or uninitialised (fresh words from the reallocation).
  if (newBitCount > oldBitCount)
    clearBitsFrom(bitSet, oldBitCount, newWordCount);
  return bitSet;
}

int testBit(BitSet bitSet, unsigned index) {
  return (bitSet[index / bitsPerWord] >> (index % bitsPerWord)) & 1u;
}

void setBit(BitSet bitSet, unsigned index, int value) {
  const std::uint32_t mask = 1u << (index % bitsPerWord);
  if (value)
    bitSet[index / bitsPerWord] |= mask;
  else
    bitSet[index / bitsPerWord] &= ~mask;
}

// Searches for a bit that differs from `skipped` (0 finds set bits, all ones
// finds clear bits). Words made only of skipped bits are passed over whole;
// no word at or past the limit's word is read.
static unsigned findNextBitOtherThan(BitSet bitSet, unsigned from, unsigned limit,
                                     std::uint32_t skipped) {
  if (from >= limit)
    return limit;
  std::size_t wordIndex = from / bitsPerWord;
  const std::size_t lastWordIndex = (limit - 1) / bitsPerWord;
  std::uint32_t candidates = (bitSet[wordIndex] ^ skipped) & (~0u << (from % bitsPerWord));
  while (candidates == 0) {
    if (wordIndex == lastWordIndex)
      return limit;
    candidates = bitSet[++wordIndex] ^ skipped;
  }
  const unsigned found = static_cast<unsigned>(wordIndex * bitsPerWord) +
                         static_cast<unsigned>(std::countr_zero(candidates));
  return std::min(found, limit);
}

unsigned findNextSetBit(BitSet bitSet, unsigned from, unsigned limit) {
  return findNextBitOtherThan(bitSet, from, limit, 0u);
}

unsigned findNextClearBit(BitSet bitSet, unsigned from, unsigned limit) {
  return findNextBitOtherThan(bitSet, from, limit, ~0u);
}

void deleteBitSet(BitSet bitSet) { std::free(bitSet); }

// ---------------------------------------------------------------- buffers and locations

static unsigned startOfBuffer(const MemPool *memPoolPtr, int bufferNumber) {
  return ((1u << bufferNumber) - 1) * memPoolPtr->noOfUnits;
}

static unsigned unitsInBuffer(const MemPool *memPoolPtr, int bufferNumber) {
  return memPoolPtr->noOfUnits << bufferNumber;
}

// Absent buffers have a unit count of 0 and are never open.
static bool isOpenBuffer(const MemPool *memPoolPtr, int bufferNumber) {
  const BufferUse &use = memPoolPtr->bufferUse[bufferNumber];
  return use.unitsInUse < use.unitCount;
}

// Buffer b holds the locations from noOfUnits * (2^b - 1) up to
// noOfUnits * (2^(b+1) - 1), so b = floor(log2(location / noOfUnits + 1)).
static int bufferOfLocation(const MemPool *memPoolPtr, unsigned location) {
  return std::bit_width(location / memPoolPtr->noOfUnits + 1u) - 1;
}

// The length of bufferList is always noOfBuffers + 1 rounded up to a multiple of 32.
static std::size_t bufferListSlots(int noOfBuffers) {
  return (static_cast<std::size_t>(noOfBuffers) / bufferListStep + 1) * bufferListStep;
}

// capacity and lastBufferStart follow noOfBuffers.
static void setNoOfBuffers(MemPool *memPoolPtr, int noOfBuffers) {
  ASSERT(noOfBuffers >= 0);
  memPoolPtr->noOfBuffers = noOfBuffers;
  memPoolPtr->lastBufferStart = startOfBuffer(memPoolPtr, noOfBuffers);
  memPoolPtr->capacity = startOfBuffer(memPoolPtr, noOfBuffers + 1);
}

static void initialisePool(MemPool *memPoolPtr, unsigned unitSize) {
  ASSERT(unitSize > 0);
  const unsigned noOfUnits = std::max(minimumUnitsInBuffer0, minimumBytesInBuffer0 / unitSize);
  *memPoolPtr = MemPool{
      .noOfBuffers = 0,
      .noOfUnits = noOfUnits,
      .unitSize = unitSize,
      .unitShift = std::has_single_bit(unitSize) ? static_cast<unsigned>(std::countr_zero(unitSize))
                                                 : noUnitShift,
      .lastAllocatedUnit = nullptr,
      .lastAllocatedLocation = 0,
      .occupancyBits = createBitSet(noOfUnits),
      .bufferList = static_cast<void **>(allocateZeroed(bufferListStep, sizeof(void *))),
      .pageTable = createPageTable(unitSize),
      .bufferUse = static_cast<BufferUse *>(allocateZeroed(bufferListStep, sizeof(BufferUse))),
      .capacity = 0,
      .lastBufferStart = 0,
      .recent = RecentBuffer{},
      .run = AllocationRun{},
  };
  setNoOfBuffers(memPoolPtr, 0);
}

// Sets up the run after the unit just taken. The next allocation takes the
// unit after it when that one is clear and nothing before it is freed: in
// the highest buffer by the next-unit shortcut (or, after its first unit,
// by the search from there); in a lower buffer because the highest is full
// and this buffer is the lowest with a free unit, all of it before this unit
// occupied. The run is the clear locations that follow, looked at a few
// words ahead only, so that a run cut short by a free costs little.
static void startRunAfter(MemPool *memPoolPtr, int bufferNumber, void *unit, unsigned location) {
  AllocationRun &run = memPoolPtr->run;
  run.runEnd = 0;
  const bool inLowerBuffer = bufferNumber != memPoolPtr->noOfBuffers;
  if (inLowerBuffer && isOpenBuffer(memPoolPtr, memPoolPtr->noOfBuffers))
    return;
  const unsigned first = location + 1;
  const unsigned limit = std::min(startOfBuffer(memPoolPtr, bufferNumber + 1), first + runLookahead);
  run = AllocationRun{
      .nextUnit = static_cast<char *>(unit) + memPoolPtr->unitSize,
      .nextLocation = first,
      .runEnd = findNextSetBit(memPoolPtr->occupancyBits, first, limit),
      .use = &memPoolPtr->bufferUse[bufferNumber],
      .endsOnAnyFree = inLowerBuffer,
  };
}

// Every search below leaves all of the buffer before the location it takes
// occupied, except the next-unit shortcut in the highest buffer.
static void *takeLocation(MemPool *memPoolPtr, int bufferNumber, unsigned startOfBufferPos,
                          unsigned location) {
  setBit(memPoolPtr->occupancyBits, location, 1);
  BufferUse &use = memPoolPtr->bufferUse[bufferNumber];
  ++use.unitsInUse;
  if (location == use.lowestClearCandidate)
    ++use.lowestClearCandidate;
  void *unit = static_cast<char *>(memPoolPtr->bufferList[bufferNumber]) +
               static_cast<std::size_t>(location - startOfBufferPos) * memPoolPtr->unitSize;
  memPoolPtr->lastAllocatedUnit = unit;
  memPoolPtr->lastAllocatedLocation = static_cast<int>(location);
  startRunAfter(memPoolPtr, bufferNumber, unit, location);
  return unit;
}

// bufferList and bufferUse always have the same number of slots; added
// slots are absent buffers.
static void resizeBufferSlots(MemPool *memPoolPtr, std::size_t oldSlots, std::size_t newSlots) {
  memPoolPtr->bufferList =
      static_cast<void **>(reallocate(memPoolPtr->bufferList, newSlots * sizeof(void *)));
  memPoolPtr->bufferUse =
      static_cast<BufferUse *>(reallocate(memPoolPtr->bufferUse, newSlots * sizeof(BufferUse)));
  if (newSlots > oldSlots) {
    std::fill(memPoolPtr->bufferList + oldSlots, memPoolPtr->bufferList + newSlots, nullptr);
    std::fill(memPoolPtr->bufferUse + oldSlots, memPoolPtr->bufferUse + newSlots, BufferUse{});
  }
  // Both point into the old bufferUse.
  memPoolPtr->recent = RecentBuffer{};
  memPoolPtr->run = AllocationRun{};
}

// Adds a buffer slot above the highest one; returns its number. The new
// buffer's locations start at the old capacity.
static int appendBufferSlot(MemPool *memPoolPtr) {
  const unsigned oldCapacity = memPoolPtr->capacity;
  const unsigned long long newCapacity =
      oldCapacity + (static_cast<unsigned long long>(memPoolPtr->noOfUnits)
                     << (memPoolPtr->noOfBuffers + 1));
  // Locations are ints: a pool cannot number more units than that.
  if (newCapacity > INT_MAX)
    fatalError(noMemorySpace);
  const int noOfBuffers = memPoolPtr->noOfBuffers + 1;
  if (noOfBuffers % bufferListStep == 0)
    resizeBufferSlots(memPoolPtr, bufferListSlots(noOfBuffers - 1), bufferListSlots(noOfBuffers));
  memPoolPtr->occupancyBits = resizeBitSet(memPoolPtr->occupancyBits, oldCapacity,
                                           static_cast<unsigned>(newCapacity));
  setNoOfBuffers(memPoolPtr, noOfBuffers);
  return noOfBuffers;
}

// A fresh buffer is zero-filled, so a unit is zero the first time it is handed out.
static void createBuffer(MemPool *memPoolPtr, int bufferNumber, unsigned startOfBufferPos) {
  const unsigned units = unitsInBuffer(memPoolPtr, bufferNumber);
  const std::size_t bytes = static_cast<std::size_t>(units) * memPoolPtr->unitSize;
  const std::size_t roundedBytes = (bytes + bufferGranule - 1) / bufferGranule * bufferGranule;
  void *buffer = allocateZeroed(roundedBytes, 1);
  memPoolPtr->bufferList[bufferNumber] = buffer;
  ASSERT(startOfBufferPos == ((1u << bufferNumber) - 1) * memPoolPtr->noOfUnits);
  memPoolPtr->bufferUse[bufferNumber] =
      BufferUse{.unitsInUse = 0, .unitCount = units, .lowestClearCandidate = startOfBufferPos};
  insertPageRange(memPoolPtr->pageTable, buffer, static_cast<int>(startOfBufferPos), units);
}

static void releaseBuffer(MemPool *memPoolPtr, int bufferNumber) {
  void *buffer = memPoolPtr->bufferList[bufferNumber];
  removePageRange(memPoolPtr->pageTable, buffer, unitsInBuffer(memPoolPtr, bufferNumber));
  std::free(buffer);
  memPoolPtr->bufferList[bufferNumber] = nullptr;
  memPoolPtr->bufferUse[bufferNumber] = BufferUse{}; // deleteMemPool releases occupied buffers too
  // The addresses of a released buffer may come back as another buffer's.
  if (memPoolPtr->recent.bufferNumber == bufferNumber)
    memPoolPtr->recent = RecentBuffer{};
  memPoolPtr->run = AllocationRun{};
}

// After the highest buffer was released: drop the absent slots above the
// highest present buffer, with their share of bufferList and of the bit set.
static void shrinkToHighestPresentBuffer(MemPool *memPoolPtr, unsigned oldCapacity) {
  const std::size_t oldSlots = bufferListSlots(memPoolPtr->noOfBuffers);
  int noOfBuffers = memPoolPtr->noOfBuffers;
  while (noOfBuffers > 0 && !memPoolPtr->bufferList[noOfBuffers])
    --noOfBuffers;
  setNoOfBuffers(memPoolPtr, noOfBuffers);
  const std::size_t newSlots = bufferListSlots(noOfBuffers);
  if (newSlots != oldSlots)
    resizeBufferSlots(memPoolPtr, oldSlots, newSlots);
  memPoolPtr->occupancyBits =
      resizeBitSet(memPoolPtr->occupancyBits, oldCapacity, memPoolPtr->capacity);
}

// ---------------------------------------------------------------- pools

MemPool *createMemPool(unsigned /*requestedUnits: buffer 0 is sized by the unit size*/,
                       unsigned unitSize) {
  if (!poolModule.descriptorPool) {
    // The descriptor pool's own descriptor cannot come from itself.
    poolModule.descriptorPool = static_cast<MemPool *>(allocateZeroed(1, sizeof(MemPool)));
    initialisePool(poolModule.descriptorPool, sizeof(MemPool));
  }
  auto *memPoolPtr = static_cast<MemPool *>(allocateFromMemPool(poolModule.descriptorPool));
  initialisePool(memPoolPtr, unitSize);
  return memPoolPtr;
}

// The first clear location in [from, end) of a present buffer, or end. The
// search skips the locations known to be occupied, and a search that began
// at or below the candidate moves the candidate up to what it found.
static unsigned findClearLocationInBuffer(MemPool *memPoolPtr, int bufferNumber, unsigned from,
                                          unsigned end) {
  BufferUse &use = memPoolPtr->bufferUse[bufferNumber];
  const unsigned first = std::max(from, use.lowestClearCandidate);
  // Units freed in a row leave runs of clear bits, which are taken again in
  // a row: most often the first candidate is free.
  const unsigned location = first < end && !testBit(memPoolPtr->occupancyBits, first)
                                ? first
                                : findNextClearBit(memPoolPtr->occupancyBits, first, end);
  if (from <= use.lowestClearCandidate)
    use.lowestClearCandidate = location;
  return location;
}

// Units are handed out consecutively from the highest buffer; locations freed
// in lower buffers are reused only when the highest buffer has no free unit
// after the one handed out last.
void *allocateBySearch(MemPool *memPoolPtr) {
  const int lastBuffer = memPoolPtr->noOfBuffers;
  const unsigned capacity = memPoolPtr->capacity;
  const unsigned lastStart = memPoolPtr->lastBufferStart;

  // The rest of the highest buffer, after the unit handed out last when that
  // one is there: most often the very next unit.
  if (isOpenBuffer(memPoolPtr, lastBuffer)) {
    unsigned searchStart = lastStart;
    if (memPoolPtr->lastAllocatedUnit &&
        memPoolPtr->lastAllocatedLocation > static_cast<int>(lastStart)) {
      searchStart = static_cast<unsigned>(memPoolPtr->lastAllocatedLocation) + 1;
      if (searchStart < capacity && !testBit(memPoolPtr->occupancyBits, searchStart))
        return takeLocation(memPoolPtr, lastBuffer, lastStart, searchStart);
    }
    const unsigned location = findClearLocationInBuffer(memPoolPtr, lastBuffer, searchStart, capacity);
    if (location < capacity)
      return takeLocation(memPoolPtr, lastBuffer, lastStart, location);
  }

  // The first clear location of the whole pool that lies in a present
  // buffer: the lowest buffer with a unit to spare holds it.
  for (int bufferNumber = 0; bufferNumber <= lastBuffer; ++bufferNumber) {
    if (!isOpenBuffer(memPoolPtr, bufferNumber))
      continue;
    const unsigned start = startOfBuffer(memPoolPtr, bufferNumber);
    const unsigned end = start + unitsInBuffer(memPoolPtr, bufferNumber);
    const unsigned location = findClearLocationInBuffer(memPoolPtr, bufferNumber, start, end);
    ASSERT(location < end);
    return takeLocation(memPoolPtr, bufferNumber, start, location);
  }

  // Every present buffer is full: re-create the highest absent buffer, or
  // append one when there is none.
  int absentBuffer = lastBuffer;
  while (absentBuffer >= 0 && memPoolPtr->bufferList[absentBuffer])
    --absentBuffer;
  unsigned absentStart;
  if (absentBuffer < 0) {
    absentBuffer = appendBufferSlot(memPoolPtr);
    absentStart = capacity;
  } else {
    absentStart = startOfBuffer(memPoolPtr, absentBuffer);
  }
  createBuffer(memPoolPtr, absentBuffer, absentStart);
  return takeLocation(memPoolPtr, absentBuffer, absentStart, absentStart);
}

unsigned locateThroughPageTable(MemPool *memPoolPtr, const void *unit) {
  const unsigned location = static_cast<unsigned>(lookupPage(memPoolPtr->pageTable, unit));
  ASSERT(location < memPoolPtr->capacity);
  const int bufferNumber = bufferOfLocation(memPoolPtr, location);
  const auto firstAddress = reinterpret_cast<std::uintptr_t>(memPoolPtr->bufferList[bufferNumber]);
  memPoolPtr->recent = RecentBuffer{
      .firstAddress = firstAddress,
      .byteCount = static_cast<std::uintptr_t>(unitsInBuffer(memPoolPtr, bufferNumber)) *
                   memPoolPtr->unitSize,
      .firstLocation = startOfBuffer(memPoolPtr, bufferNumber),
      .bufferNumber = bufferNumber,
      .use = &memPoolPtr->bufferUse[bufferNumber],
  };
  return location;
}

void releaseEmptiedBuffer(MemPool *memPoolPtr, int bufferNumber) {
  // The count says the buffer is empty; the bit set, which orders the
  // searches, must agree. This scan costs no more than the buffer's creation.
  const unsigned startOfBufferPos = startOfBuffer(memPoolPtr, bufferNumber);
  const unsigned endOfBufferPos = startOfBufferPos + unitsInBuffer(memPoolPtr, bufferNumber);
  const unsigned nextOccupiedPos =
      findNextSetBit(memPoolPtr->occupancyBits, startOfBufferPos, endOfBufferPos);
  ASSERT(nextOccupiedPos == endOfBufferPos);

  releaseBuffer(memPoolPtr, bufferNumber);
  if (bufferNumber == memPoolPtr->noOfBuffers)
    shrinkToHighestPresentBuffer(memPoolPtr, endOfBufferPos);
}

// A burst of frees mostly stays in one buffer: the units of the buffer
// located last are freed with its counts and the bit set held in locals, and
// a unit of another buffer, or the one that empties its buffer, goes the
// general way, which makes its buffer the recent one.
void freeUnitsToMemPool(MemPool *memPoolPtr, void *const *units, int count) {
  int next = 0;
  while (next < count) {
    const RecentBuffer recent = memPoolPtr->recent;
    const int first = next;
    if (recent.byteCount != 0) {
      BitSet occupancyBits = memPoolPtr->occupancyBits;
      unsigned lowestClearCandidate = recent.use->lowestClearCandidate;
      // Buffer 0 is never released, so its last unit is freed here too; the
      // last unit of any other buffer is left to the general way.
      const unsigned unitsToEmpty = recent.use->unitsInUse - (recent.bufferNumber == 0 ? 0 : 1);
      const int end = count - next > static_cast<int>(unitsToEmpty) ? next + static_cast<int>(unitsToEmpty)
                                                                   : count;
      for (; next < end; ++next) {
        const std::uintptr_t offset =
            reinterpret_cast<std::uintptr_t>(units[next]) - recent.firstAddress;
        if (offset >= recent.byteCount)
          break;
        const unsigned location = recent.firstLocation + unitsInBytes(memPoolPtr, offset);
        std::uint32_t &word = occupancyBits[location / bitsPerWord];
        const std::uint32_t mask = 1u << (location % bitsPerWord);
        // A unit freed twice would be counted out twice. The bit is set, so
        // flipping it clears it.
        ASSERT((word & mask) != 0);
        word ^= mask;
        lowestClearCandidate = std::min(lowestClearCandidate, location);
      }
      if (next != first) {
        recent.use->unitsInUse -= static_cast<unsigned>(next - first);
        recent.use->lowestClearCandidate = lowestClearCandidate;
        // The unit handed out last was among them when its bit is now clear.
        const std::uintptr_t lastOffset =
            reinterpret_cast<std::uintptr_t>(memPoolPtr->lastAllocatedUnit) - recent.firstAddress;
        if (memPoolPtr->lastAllocatedUnit && lastOffset < recent.byteCount &&
            !testBit(occupancyBits, recent.firstLocation + unitsInBytes(memPoolPtr, lastOffset))) {
          memPoolPtr->lastAllocatedUnit = nullptr;
          memPoolPtr->run.runEnd = 0;
        }
        if (memPoolPtr->run.endsOnAnyFree)
          memPoolPtr->run.runEnd = 0;
      }
    }
    if (next < count)
      freeToMemPool(memPoolPtr, units[next++]);
  }
}

// Occupied units go with their buffers; nothing is called for them.
void deleteMemPool(MemPool *memPoolPtr) {
  ASSERT(memPoolPtr != poolModule.descriptorPool);
  for (int bufferNumber = 0; bufferNumber <= memPoolPtr->noOfBuffers; ++bufferNumber)
    if (memPoolPtr->bufferList[bufferNumber])
      releaseBuffer(memPoolPtr, bufferNumber);
  deleteBitSet(memPoolPtr->occupancyBits);
  std::free(memPoolPtr->bufferList);
  std::free(memPoolPtr->bufferUse);
  deletePageTable(memPoolPtr->pageTable);
  freeToMemPool(poolModule.descriptorPool, memPoolPtr);
}
