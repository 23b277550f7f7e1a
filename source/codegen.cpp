#include "codegen.h"

#include "errorhlr.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// A buffer being written: the record handed out on the take, with its
// capacity and byte count kept beside it.
struct GrowingBuffer {
  ByteBuffer *buffer;  // null until the first byte after a take
  std::uint32_t capacity;
  std::uint32_t byteCount;
};

struct WriterState {
  const char *outputFileName;
  GrowingBuffer currentByteBuffer;  // every piece of the unit and the debug file
  GrowingBuffer debugLineBuffer;    // the line table of the function being generated
  std::uint32_t debugLineCount;     // entries in debugLineBuffer
  ByteBuffer *constantPoolBytes;    // saved by the constant pool's writer
  ByteBuffer *pragmaPoolBytes;      // saved by the pragma pool's writer
  MemPool *functionRecordPool;      // created with the first record
  FunctionRecord *functionListHead;
  FunctionRecord *functionListTail;
  int functionRecordCount;
};
} // namespace

static constinit WriterState writer{};

// Buffers grow in steps of this many bytes, so most bytes cost no resize.
constexpr std::uint64_t bufferGrowthStep = 512;
constexpr std::uint64_t largestBufferSize = 0xFFFFFFFFu;

void setOutputFileName(const char *name) { writer.outputFileName = name; }

const char *getOutputFileName() { return writer.outputFileName; }

// ---------------------------------------------------------------- byte buffers

[[noreturn]] static void bytecodeTooLarge() {
  std::fputs("Error: Bytecode size exceeds maximum limit\n", stderr);
  std::exit(1);
}

static void makeRoomForOneByte(GrowingBuffer &growing) {
  const std::uint64_t need = std::uint64_t{growing.byteCount} + 1;
  if (growing.capacity >= need)
    return;
  if (need > largestBufferSize)
    bytecodeTooLarge();
  const std::uint64_t rounded = (need + bufferGrowthStep - 1) / bufferGrowthStep * bufferGrowthStep;
  // A size that fits 32 bits but whose rounding does not keeps the exact need.
  const auto capacity = static_cast<std::uint32_t>(rounded > largestBufferSize ? need : rounded);
  if (!growing.buffer) {
    auto *buffer = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
    *buffer = ByteBuffer{.size = 0,
                         .bytes = static_cast<std::uint8_t *>(checkedAllocate(capacity, 1))};
    growing.buffer = buffer;
  } else {
    void *bytes = std::realloc(growing.buffer->bytes, capacity);
    if (!bytes) {
      std::fputs("Out of memory\n", stderr);
      std::exit(1);
    }
    growing.buffer->bytes = static_cast<std::uint8_t *>(bytes);
  }
  growing.capacity = capacity;
}

static void appendByte(GrowingBuffer &growing, std::uint8_t byte) {
  makeRoomForOneByte(growing);
  ASSERT(growing.buffer->size == growing.byteCount);
  growing.buffer->bytes[growing.buffer->size] = byte;
  ++growing.buffer->size;
  ++growing.byteCount;
}

static ByteBuffer *takeGrowingBuffer(GrowingBuffer &growing) {
  ByteBuffer *buffer = growing.buffer;
  growing = GrowingBuffer{.buffer = nullptr, .capacity = 0, .byteCount = 0};
  return buffer;
}

void emitByte(std::uint8_t byte) { appendByte(writer.currentByteBuffer, byte); }

ByteBuffer *takeByteBuffer() { return takeGrowingBuffer(writer.currentByteBuffer); }

void discardByteBuffer() {
  const ByteBuffer *buffer = writer.currentByteBuffer.buffer;
  if (buffer && buffer->size > 0)
    freeByteBuffer(takeByteBuffer());
}

void freeByteBuffer(ByteBuffer *buffer) {
  if (!buffer)
    return;
  std::free(buffer->bytes);
  std::free(buffer);
}

ByteBuffer *joinByteBuffers(ByteBuffer *first, ByteBuffer *second) {
  if (!first)
    return second;
  if (!second)
    return first;
  const std::uint64_t size = std::uint64_t{first->size} + second->size;
  if (size > largestBufferSize)
    bytecodeTooLarge();
  auto *joined = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
  // One byte at least, so that two empty pieces still make an array.
  *joined = ByteBuffer{.size = static_cast<std::uint32_t>(size),
                       .bytes = static_cast<std::uint8_t *>(checkedAllocate(size ? size : 1, 1))};
  if (first->size)
    std::memcpy(joined->bytes, first->bytes, first->size);
  if (second->size)
    std::memcpy(joined->bytes + first->size, second->bytes, second->size);
  freeByteBuffer(first);
  freeByteBuffer(second);
  return joined;
}

int encodeMbUInt32(std::uint32_t value, std::uint8_t bytes[maxMbUInt32Length]) {
  int groups = 1;
  while (groups < maxMbUInt32Length && (value >> (7 * groups)) != 0)
    ++groups;
  for (int i = 0; i < groups; ++i) {
    const int shift = 7 * (groups - 1 - i);
    const auto group = static_cast<std::uint8_t>((value >> shift) & 0x7F);
    bytes[i] = i + 1 < groups ? static_cast<std::uint8_t>(group | 0x80) : group;
  }
  return groups;
}

// ---------------------------------------------------------------- debug line table

void emitDebugByte(std::uint8_t byte) { appendByte(writer.debugLineBuffer, byte); }

void emitDebugMbUInt32(std::uint32_t value) {
  std::uint8_t bytes[maxMbUInt32Length];
  const int length = encodeMbUInt32(value, bytes);
  for (int i = 0; i < length; ++i)
    emitDebugByte(bytes[i]);
}

void countDebugLineEntry() { ++writer.debugLineCount; }

std::uint32_t debugLineCount() { return writer.debugLineCount; }

ByteBuffer *takeDebugLineBuffer() {
  writer.debugLineCount = 0;
  return takeGrowingBuffer(writer.debugLineBuffer);
}

// ---------------------------------------------------------------- saved pool pieces

void saveConstantPoolBytes() {
  // The pool is written once per compilation; a second save would lose bytes.
  ASSERT(!writer.constantPoolBytes);
  writer.constantPoolBytes = takeByteBuffer();
}

void savePragmaPoolBytes() {
  ASSERT(!writer.pragmaPoolBytes);
  writer.pragmaPoolBytes = takeByteBuffer();
}

ByteBuffer *takeConstantPoolBytes() {
  ByteBuffer *bytes = writer.constantPoolBytes;
  writer.constantPoolBytes = nullptr;
  return bytes;
}

ByteBuffer *takePragmaPoolBytes() {
  ByteBuffer *bytes = writer.pragmaPoolBytes;
  writer.pragmaPoolBytes = nullptr;
  return bytes;
}

// ---------------------------------------------------------------- function records

void addFunctionRecord(IdentifierRecord *identifier, unsigned index) {
  if (!writer.functionRecordPool)
    writer.functionRecordPool = createMemPool(1024, sizeof(FunctionRecord));
  auto *record = static_cast<FunctionRecord *>(allocateFromMemPool(writer.functionRecordPool));
  // Only the low byte reaches the file; the front end keeps the count in range.
  *record = FunctionRecord{.functionIndex = static_cast<std::uint16_t>(index),
                           .identifier = identifier,
                           .code = nullptr,
                           .debugRecord = nullptr,
                           .parameterNames = nullptr,
                           .localNames = nullptr,
                           .next = nullptr};
  if (writer.functionListTail)
    writer.functionListTail->next = record;
  else
    writer.functionListHead = record;
  writer.functionListTail = record;
  ++writer.functionRecordCount;
}

FunctionRecord *functionList() { return writer.functionListHead; }

int numberOfFunctionRecords() { return writer.functionRecordCount; }

// Until the back end exists a finished function keeps no code and the unit
// is not written; the front end and the intermediate code run for real.
void generateFunctionCode(IdentifierRecord *, BlockListNode *, int, int) {}

void writeCompiledUnit() {}

void writeDebugFile() {}
