// Cells for the records the compiler makes and releases by the million:
// instructions and their lists, block records, abstract trees and their
// child lists. Records of about the same size share one pool of cells, so
// the cells a function's trees give back as their instructions are
// selected are the cells those instructions are made of, and the memory of
// a function follows what it holds at once rather than the sum of its
// stages. Cells come from chunks taken from the general allocator, a chunk
// of thousands at a time; released cells wait in a free list and are handed
// out again first. Chunks are kept until the run ends.
#pragma once

#include "errorhlr.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

// Memory for what is written whole before it is read: as checkedAllocate,
// the same message when there is none, but not zero-filled, which for the
// record chunks and the Code buffers cost a pass over every byte.
#define allocateUnfilled(count, size) allocateUnfilledAt((count), (size), __FILE_NAME__, __LINE__)
inline void *allocateUnfilledAt(std::size_t count, std::size_t size, const char *moduleName, int line) {
  std::size_t bytes = 0;
  if (!__builtin_mul_overflow(count, size, &bytes) && bytes != 0)
    if (void *memory = std::malloc(bytes))
      return memory;
  // Nothing to give, or too much: the zero-filling allocator reports it.
  return checkedCalloc(count, size, moduleName, line);
}

template <std::size_t CellSize> class CellPool {
  static_assert(CellSize >= sizeof(void *) && CellSize % alignof(void *) == 0);

public:
  // A cell with whatever its last user left in it.
  void *take() {
    if (void *cell = freeCells) {
      std::memcpy(&freeCells, cell, sizeof freeCells);
      return cell;
    }
    if (nextFresh == chunkEnd)
      addChunk();
    void *cell = nextFresh;
    nextFresh += CellSize;
    return cell;
  }
  void give(void *cell) {
    std::memcpy(cell, &freeCells, sizeof freeCells);
    freeCells = cell;
  }

private:
  static constexpr std::size_t firstChunkCells = 2048;
  // Chunks double up to 16 times the first: a small unit takes little, a
  // large one few chunks. Cells are carved from the chunk only as they are
  // needed, so the untouched rest of the last chunk costs no memory.
  void addChunk() {
    const std::size_t count = firstChunkCells << std::min(chunkCount, 4u);
    nextFresh = static_cast<unsigned char *>(allocateUnfilled(count, CellSize));
    chunkEnd = nextFresh + count * CellSize;
    ++chunkCount;
  }

  void *freeCells = nullptr;
  unsigned char *nextFresh = nullptr;  // the next cell never handed out
  unsigned char *chunkEnd = nullptr;
  unsigned chunkCount = 0;
};

inline constinit CellPool<16> smallRecordCells;
inline constinit CellPool<32> recordCells;

// The pool whose cells fit the record: 16 or 32 bytes.
template <class Record> inline auto &cellPoolFor() {
  static_assert(alignof(Record) <= 16);
  static_assert(sizeof(Record) <= 32, "a record of at most 32 bytes");
  if constexpr (sizeof(Record) <= 16)
    return smallRecordCells;
  else
    return recordCells;
}

template <class Record> inline Record *takeRecordCell() {
  return static_cast<Record *>(cellPoolFor<Record>().take());
}

template <class Record> inline void giveRecordCell(Record *record) {
  cellPoolFor<Record>().give(static_cast<void *>(record));
}
