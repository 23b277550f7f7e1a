// A memory pool hands out fixed-size units from buffers that double in size,
// takes single units back in any order, knows the location number of every
// unit it handed out, and releases a buffer (any but the first) as soon as
// its last unit is freed. A unit handed out again keeps its old contents.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavokassert.h"

// One bit per location; bit i is bit (i mod 32) of word i div 32.
using BitSet = std::uint32_t *;

struct PageTable;

// What a pool knows about one buffer beyond its bits: the counts make "is it
// full, is it empty" one comparison, and every location of the buffer below
// lowestClearCandidate is known to be occupied, so a search for a free unit
// starts there instead of at the buffer's start.
struct BufferUse {
  unsigned unitsInUse;
  unsigned unitCount;  // noOfUnits << buffer number while present, else 0
  unsigned lowestClearCandidate;
};

// The buffer whose unit was located last: units are freed near each other,
// so most frees find their location here without the page table.
struct RecentBuffer {
  std::uintptr_t firstAddress;  // 0 when no buffer is remembered
  std::uintptr_t byteCount;     // units times unitSize; 0 when no buffer is remembered
  unsigned firstLocation;
  int bufferNumber;
  BufferUse *use;               // bufferUse[bufferNumber]
};

// The units the next allocations take one after the other, as long as
// nothing is freed that comes before them: clear locations right after the
// unit taken last, in the highest buffer (the next-unit shortcut), or in the
// lowest buffer with a free unit while the highest buffer is full. Empty
// when runEnd is 0.
struct AllocationRun {
  void *nextUnit;
  unsigned nextLocation;
  unsigned runEnd;          // first location past the run
  BufferUse *use;           // of the run's buffer
  bool endsOnAnyFree;       // a run in a lower buffer: any free may change the next unit
};

struct MemPool {
  int noOfBuffers;            // highest buffer slot in use; 0 while only buffer 0 exists
  unsigned noOfUnits;         // units in buffer 0; buffer b holds noOfUnits << b
  unsigned unitSize;          // bytes per unit, as requested
  unsigned unitShift;         // log2 of unitSize when that is a power of two, else noUnitShift
  void *lastAllocatedUnit;    // null at creation and after that unit is freed
  int lastAllocatedLocation;  // location of the unit handed out last, set by every allocation
  BitSet occupancyBits;       // set = occupied
  void **bufferList;          // buffer starts by number; length a multiple of 32
  PageTable *pageTable;       // unit address -> location number
  BufferUse *bufferUse;       // by buffer number; as many slots as bufferList
  unsigned capacity;          // locations of buffers 0 to noOfBuffers
  unsigned lastBufferStart;   // first location of buffer noOfBuffers
  RecentBuffer recent;
  AllocationRun run;
};

// Shift-and-fold hash of bytes, shared by every hash table; "abc" hashes to 0x6783.
unsigned hashBytes(const void *bytes, std::size_t length);
// One byte's step of hashBytes, for callers that hash text while they read it:
// hashBytes(b, n) is hashByteStep applied to b[0] .. b[n-1], starting from 0.
inline std::uint32_t hashByteStep(std::uint32_t hash, unsigned char byte) {
  hash = (hash << 4) + byte;
  // The top four bits are folded into the lowest four and cleared.
  const std::uint32_t top = hash >> 28;
  return top != 0 ? (hash ^ top) & 0x0FFFFFFFu : hash;
}

// The requested count has no effect: buffer 0 always holds max(32, 128 / unitSize) units.
MemPool *createMemPool(unsigned requestedUnits, unsigned unitSize);
// Never returns null: exhausted memory ends the run with "No memory space".
inline void *allocateFromMemPool(MemPool *memPoolPtr);
inline void freeToMemPool(MemPool *memPoolPtr, void *unit);
// Frees count units in this order, as freeToMemPool one by one would.
void freeUnitsToMemPool(MemPool *memPoolPtr, void *const *units, int count);
inline int getLocationNumber(MemPool *memPoolPtr, const void *unit);
// Releases every buffer, occupied units included; nothing is called for them.
void deleteMemPool(MemPool *memPoolPtr);

BitSet createBitSet(unsigned bitCount);
BitSet resizeBitSet(BitSet bitSet, unsigned oldBitCount, unsigned newBitCount);
int testBit(BitSet bitSet, unsigned index);
void setBit(BitSet bitSet, unsigned index, int value);
// Smallest index in [from, limit) whose bit is set (clear), or limit.
unsigned findNextSetBit(BitSet bitSet, unsigned from, unsigned limit);
unsigned findNextClearBit(BitSet bitSet, unsigned from, unsigned limit);
void deleteBitSet(BitSet bitSet);

// ---------------------------------------------------------------- fast paths
// Every expression node and operand list passes through a pool, a deep
// expression by the hundred thousand, so the common cases are inline: the
// next unit of the allocation run, and a unit of the buffer located last.
// Everything else is decided by the out-of-line routines below.

// The general case of allocateFromMemPool: every search, buffer creation.
void *allocateBySearch(MemPool *memPoolPtr);
// Locates a unit outside the recent buffer through the page table, and
// remembers its buffer as the recent one.
unsigned locateThroughPageTable(MemPool *memPoolPtr, const void *unit);
// Releases an emptied buffer other than buffer 0 and, for the highest,
// the absent slots below it.
void releaseEmptiedBuffer(MemPool *memPoolPtr, int bufferNumber);

inline void *allocateFromMemPool(MemPool *memPoolPtr) {
  AllocationRun &run = memPoolPtr->run;
  const unsigned location = run.nextLocation;
  if (location < run.runEnd) {
    // lowestClearCandidate stays as it is: it is a lower bound, and the
    // searches that start from it move it up over occupied units.
    memPoolPtr->occupancyBits[location / 32] |= 1u << (location % 32);
    ++run.use->unitsInUse;
    void *unit = run.nextUnit;
    memPoolPtr->lastAllocatedUnit = unit;
    memPoolPtr->lastAllocatedLocation = static_cast<int>(location);
    run.nextUnit = static_cast<char *>(unit) + memPoolPtr->unitSize;
    run.nextLocation = location + 1;
    return unit;
  }
  return allocateBySearch(memPoolPtr);
}

// unitShift of a pool whose unit size is not a power of two.
inline constexpr unsigned noUnitShift = ~0u;

// The number of whole units in byteOffset bytes. Every freed unit is
// located through this, and a division takes several times as long as the
// rest of the step: the pools' records are 16 or 32 bytes, so it is a shift.
inline unsigned unitsInBytes(const MemPool *memPoolPtr, std::uintptr_t byteOffset) {
  if (memPoolPtr->unitShift != noUnitShift)
    return static_cast<unsigned>(byteOffset >> memPoolPtr->unitShift);
  return static_cast<unsigned>(byteOffset / memPoolPtr->unitSize);
}

// The location of a unit of the recent buffer, or through the page table.
inline unsigned locateUnit(MemPool *memPoolPtr, const void *unit) {
  const auto address = reinterpret_cast<std::uintptr_t>(unit);
  const RecentBuffer &recent = memPoolPtr->recent;
  if (address - recent.firstAddress < recent.byteCount)
    return recent.firstLocation + unitsInBytes(memPoolPtr, address - recent.firstAddress);
  return locateThroughPageTable(memPoolPtr, unit);
}

inline int getLocationNumber(MemPool *memPoolPtr, const void *unit) {
  // Numbering the unit just allocated needs no look-up.
  const unsigned locationNumber = unit && unit == memPoolPtr->lastAllocatedUnit
                                      ? static_cast<unsigned>(memPoolPtr->lastAllocatedLocation)
                                      : locateUnit(memPoolPtr, unit);
  ASSERT(locationNumber < memPoolPtr->capacity);
  return static_cast<int>(locationNumber);
}

// The unit's contents are not touched: it keeps them until it is handed out
// and overwritten again.
inline void freeToMemPool(MemPool *memPoolPtr, void *unit) {
  // locateUnit leaves the unit's buffer as the recent one, so the location
  // lies in a present buffer.
  const unsigned freedLocation = locateUnit(memPoolPtr, unit);
  BufferUse &use = *memPoolPtr->recent.use;
  if (unit == memPoolPtr->lastAllocatedUnit) {
    memPoolPtr->lastAllocatedUnit = nullptr;
    memPoolPtr->run.runEnd = 0;
  }
  if (memPoolPtr->run.endsOnAnyFree)
    memPoolPtr->run.runEnd = 0;
  std::uint32_t &word = memPoolPtr->occupancyBits[freedLocation / 32];
  const std::uint32_t mask = 1u << (freedLocation % 32);
  // A unit freed twice would be counted out twice. The bit is set, so
  // flipping it clears it.
  ASSERT((word & mask) != 0);
  word ^= mask;
  if (freedLocation < use.lowestClearCandidate)
    use.lowestClearCandidate = freedLocation;
  // Buffer 0 is never released.
  if (--use.unitsInUse == 0 && memPoolPtr->recent.bufferNumber != 0)
    releaseEmptiedBuffer(memPoolPtr, memPoolPtr->recent.bufferNumber);
}
