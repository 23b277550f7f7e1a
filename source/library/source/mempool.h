// A memory pool hands out fixed-size units from buffers that double in size,
// takes single units back in any order, knows the location number of every
// unit it handed out, and releases a buffer (any but the first) as soon as
// its last unit is freed. A unit handed out again keeps its old contents.
#pragma once

#include <cstddef>
#include <cstdint>

// One bit per location; bit i is bit (i mod 32) of word i div 32.
using BitSet = std::uint32_t *;

struct PageTable;

// What a pool knows about one buffer beyond its bits: the count makes "is it
// full, is it empty" one comparison, and every location of the buffer below
// lowestClearCandidate is known to be occupied, so a search for a free unit
// starts there instead of at the buffer's start.
struct BufferUse {
  unsigned unitsInUse;
  unsigned lowestClearCandidate;
};

struct MemPool {
  int noOfBuffers;            // highest buffer slot in use; 0 while only buffer 0 exists
  unsigned noOfUnits;         // units in buffer 0; buffer b holds noOfUnits << b
  unsigned unitSize;          // bytes per unit, as requested
  void *lastAllocatedUnit;    // null at creation and after that unit is freed
  int lastAllocatedLocation;  // location of lastAllocatedUnit
  BitSet occupancyBits;       // set = occupied
  void **bufferList;          // buffer starts by number; length a multiple of 32
  PageTable *pageTable;       // unit address -> location number
  BufferUse *bufferUse;       // by buffer number; as many slots as bufferList
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
void *allocateFromMemPool(MemPool *memPoolPtr);
void freeToMemPool(MemPool *memPoolPtr, void *unit);
int getLocationNumber(MemPool *memPoolPtr, const void *unit);
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
