#include "codegen.h"

#include "codegen_misc.h"
#include "constpool.h"
#include "errorhlr.h"
#include "mempool.h"
#include "outputfile.h"
#include "pragma.h"
#include "recordpool.h"
#include "strtable.h"
#include "tavokassert.h"
#include "wrapper.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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
  // The records again, indexed by function index: a definition finds its
  // record at once however many functions the unit names.
  FunctionRecord **recordsByIndex;
  std::uint32_t recordsByIndexCapacity;
  std::uint32_t lastDebugLine;  // the line of the last line-table entry
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

[[noreturn]] static void outOfMemory() {
  std::fputs("Out of memory\n", stderr);
  std::exit(1);
}

// Grows the buffer so that count more bytes fit: to the need rounded up to
// the growth step, which is where count single-byte steps would leave it.
static void makeRoomFor(GrowingBuffer &growing, std::size_t count) {
  const std::uint64_t need = std::uint64_t{growing.byteCount} + count;
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
                         .bytes = static_cast<std::uint8_t *>(allocateUnfilled(capacity, 1))};
    growing.buffer = buffer;
  } else {
    void *bytes = std::realloc(growing.buffer->bytes, capacity);
    if (!bytes)
      outOfMemory();
    growing.buffer->bytes = static_cast<std::uint8_t *>(bytes);
  }
  growing.capacity = capacity;
}

static void appendByte(GrowingBuffer &growing, std::uint8_t byte) {
  // Nearly every byte fits: the growth step is taken once per many bytes.
  if (growing.capacity > growing.byteCount) [[likely]] {
    growing.buffer->bytes[growing.byteCount] = byte;
    ++growing.buffer->size;
    ++growing.byteCount;
    return;
  }
  makeRoomFor(growing, 1);
  ASSERT(growing.buffer->size == growing.byteCount);
  growing.buffer->bytes[growing.buffer->size] = byte;
  ++growing.buffer->size;
  ++growing.byteCount;
}

// Counts count more bytes in the buffer and returns where they start; null
// for none.
static std::uint8_t *appendRoom(GrowingBuffer &growing, std::size_t count) {
  if (count == 0)
    return nullptr;
  if (growing.capacity - growing.byteCount < count)
    makeRoomFor(growing, count);
  ASSERT(growing.buffer->size == growing.byteCount);
  std::uint8_t *room = growing.buffer->bytes + growing.byteCount;
  // The room made above keeps the count within 32 bits.
  growing.buffer->size += static_cast<std::uint32_t>(count);
  growing.byteCount += static_cast<std::uint32_t>(count);
  return room;
}

static ByteBuffer *takeGrowingBuffer(GrowingBuffer &growing) {
  ByteBuffer *buffer = growing.buffer;
  growing = GrowingBuffer{.buffer = nullptr, .capacity = 0, .byteCount = 0};
  return buffer;
}

void emitByte(std::uint8_t byte) { appendByte(writer.currentByteBuffer, byte); }

void emitBytes(const std::uint8_t *bytes, std::size_t count) {
  if (std::uint8_t *room = appendRoom(writer.currentByteBuffer, count))
    std::memcpy(room, bytes, count);
}

std::uint8_t *emitRoom(std::size_t count) { return appendRoom(writer.currentByteBuffer, count); }

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
  ByteBuffer *pieces[] = {first, second};
  return joinByteBufferList(pieces, 2);
}

ByteBuffer *joinByteBufferList(ByteBuffer *const *pieces, std::size_t count) {
  std::uint64_t size = 0;
  std::size_t present = 0;
  ByteBuffer *onlyPiece = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (!pieces[i])
      continue;
    size += pieces[i]->size;
    ++present;
    onlyPiece = pieces[i];
  }
  if (present <= 1)
    return onlyPiece;
  if (size > largestBufferSize)
    bytecodeTooLarge();
  auto *joined = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
  // One byte at least, so that empty pieces still make an array.
  *joined = ByteBuffer{.size = static_cast<std::uint32_t>(size),
                       .bytes = static_cast<std::uint8_t *>(allocateUnfilled(size ? size : 1, 1))};
  std::uint32_t offset = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!pieces[i])
      continue;
    if (pieces[i]->size)
      std::memcpy(joined->bytes + offset, pieces[i]->bytes, pieces[i]->size);
    offset += pieces[i]->size;
    freeByteBuffer(pieces[i]);
  }
  return joined;
}

// The number of 7-bit groups a value needs, at least one.
static int mbUInt32Groups(std::uint32_t value) {
  if (value < (1u << 7))
    return 1;
  if (value < (1u << 14))
    return 2;
  if (value < (1u << 21))
    return 3;
  return value < (1u << 28) ? 4 : 5;
}

int encodeMbUInt32(std::uint32_t value, std::uint8_t bytes[maxMbUInt32Length]) {
  const int groups = mbUInt32Groups(value);
  // The last byte holds the lowest group and no continuation bit.
  bytes[groups - 1] = static_cast<std::uint8_t>(value & 0x7F);
  for (int i = groups - 2; i >= 0; --i) {
    value >>= 7;
    bytes[i] = static_cast<std::uint8_t>((value & 0x7F) | 0x80);
  }
  return groups;
}

// ---------------------------------------------------------------- debug line table

void emitDebugByte(std::uint8_t byte) { appendByte(writer.debugLineBuffer, byte); }

// The encoding writes exactly the bytes the value needs, so it goes straight
// into room of that size.
void emitDebugMbUInt32(std::uint32_t value) {
  const auto length = static_cast<std::size_t>(mbUInt32Groups(value));
  encodeMbUInt32(value, appendRoom(writer.debugLineBuffer, length));
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

static void rememberRecordByIndex(FunctionRecord *record, std::uint32_t index) {
  if (index >= writer.recordsByIndexCapacity) {
    std::uint32_t capacity = writer.recordsByIndexCapacity ? writer.recordsByIndexCapacity : 64;
    while (capacity <= index)
      capacity *= 2;
    void *grown = std::realloc(writer.recordsByIndex, capacity * sizeof(FunctionRecord *));
    if (!grown)
      outOfMemory();
    writer.recordsByIndex = static_cast<FunctionRecord **>(grown);
    for (std::uint32_t i = writer.recordsByIndexCapacity; i < capacity; ++i)
      writer.recordsByIndex[i] = nullptr;
    writer.recordsByIndexCapacity = capacity;
  }
  writer.recordsByIndex[index] = record;
}

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
  rememberRecordByIndex(record, index);
}

FunctionRecord *functionList() { return writer.functionListHead; }

int numberOfFunctionRecords() { return writer.functionRecordCount; }

static FunctionRecord *recordOfFunction(const IdentifierRecord *function) {
  const std::uint32_t index = getIdentifierIndex(function);
  FunctionRecord *currentFuncPtr =
      index < writer.recordsByIndexCapacity ? writer.recordsByIndex[index] : nullptr;
  ASSERT(currentFuncPtr);
  ASSERT(currentFuncPtr->identifier == function);
  return currentFuncPtr;
}

// ---------------------------------------------------------------- one function

// The header of a function entry: argument count, local count, code size.
static ByteBuffer *functionHeader(int parameterCount, int localVariableCount,
                                  std::uint32_t codeSize) {
  discardByteBuffer();
  emitByte(static_cast<std::uint8_t>(parameterCount));
  emitByte(static_cast<std::uint8_t>(localVariableCount));
  emitMbUInt32(codeSize);
  return takeByteBuffer();
}

// count entries of name id and variable index; the list holds exactly those.
static void emitVariableEntries(int count, const VariableDebugEntry *trav) {
  emitByte(static_cast<std::uint8_t>(count));
  for (int i = 0; i < count; ++i) {
    ASSERT(trav);
    emitMbUInt32(trav->name);
    emitByte(trav->variableIndex);
    trav = trav->next;
  }
  ASSERT(trav == nullptr);
}

// Name, index, variables and the line table of the function just generated.
static void buildDebugRecord(FunctionRecord *record, int parameterCount, int localVariableCount) {
  discardByteBuffer();
  emitMbUInt32(record->identifier->key.name);
  emitByte(static_cast<std::uint8_t>(record->functionIndex));
  record->parameterNames = getParameterDebugList();
  record->localNames = getLocalDebugList();
  emitVariableEntries(parameterCount, record->parameterNames);
  emitVariableEntries(localVariableCount, record->localNames);
  emitMbUInt32(debugLineCount());
  record->debugRecord = joinByteBuffers(takeByteBuffer(), takeDebugLineBuffer());
  // The list nodes go back to the symbol table now; the record must not
  // point at them once they are reused.
  resetDebugLists();
  record->parameterNames = nullptr;
  record->localNames = nullptr;
}

void generateFunctionCode(IdentifierRecord *function, BlockListNode *blocks, int parameterCount,
                          int localVariableCount) {
  FunctionRecord *record = recordOfFunction(function);
  ASSERT(!record->code);
  resetInstructionSelection();
  // Every function's line table starts with an entry at offset 0.
  writer.lastDebugLine = 0;
  ByteBuffer *code = generateBlockListCode(blocks);
  ByteBuffer *header = functionHeader(parameterCount, localVariableCount, code ? code->size : 0);
  record->code = joinByteBuffers(header, code);
  if (isDebugInfoEnabled())
    buildDebugRecord(record, parameterCount, localVariableCount);
}

void addLineEntry(const AsmCode *instruction, const ByteBuffer *codeSoFar) {
  const AsmCode *currentAsmCode = instruction;
  ASSERT(currentAsmCode);
  addLineEntryAt(currentAsmCode->lineNo, codeSoFar ? codeSoFar->size : 0);
}

void addLineEntryAt(std::uint32_t lineNo, std::uint32_t offset) {
  ASSERT(lineNo);
  if (lineNo == writer.lastDebugLine)
    return;
  emitDebugMbUInt32(offset);
  emitDebugMbUInt32(lineNo);
  writer.lastDebugLine = lineNo;
  countDebugLineEntry();
}

// ---------------------------------------------------------------- the compiled unit

static bool isExternFunction(const FunctionRecord *record) { return record->identifier->state != 0; }

namespace {
struct FunctionPoolCounts {
  std::uint16_t functionCount;  // every record
  std::uint32_t nameCount;      // extern functions
};
} // namespace

// Every function that was called must have been defined: each one that was
// not is reported, in index order, and the run ends. Otherwise the extern
// functions' name table is in the output buffer.
static FunctionPoolCounts writeFunctionNameTable() {
  FunctionPoolCounts counts{.functionCount = 0, .nameCount = 0};
  bool undefinedFunction = false;
  for (const FunctionRecord *record = writer.functionListHead; record; record = record->next) {
    ++counts.functionCount;
    const char *name = getNameText(record->identifier->key.name);
    if (!record->code) {
      std::fprintf(stderr, "Error: function \"%s\" not defined\n", name);
      undefinedFunction = true;
      continue;
    }
    if (undefinedFunction || !isExternFunction(record))
      continue;
    // The front end keeps an extern name within 255 bytes.
    const std::size_t length = std::strlen(name);
    ++counts.nameCount;
    emitByte(static_cast<std::uint8_t>(record->functionIndex));
    emitByte(static_cast<std::uint8_t>(length));
    emitBytes(reinterpret_cast<const std::uint8_t *>(name), length);
  }
  if (undefinedFunction)
    std::exit(1);
  return counts;
}

// Constant pool, pragma pool, the two counts, the name table, then every
// function's entry in index order. The functions' code is consumed.
static ByteBuffer *buildUnitBody() {
  writeConstantPool();
  writePragmaPool();
  discardByteBuffer();
  const FunctionPoolCounts counts = writeFunctionNameTable();
  ByteBuffer *nameTable = takeByteBuffer();
  // Both counts are one byte; the front end keeps them in range.
  emitByte(static_cast<std::uint8_t>(counts.functionCount));
  emitByte(static_cast<std::uint8_t>(counts.nameCount));
  ByteBuffer *countBytes = takeByteBuffer();

  // One copy of everything: joining piece by piece would copy the body once
  // per function.
  std::vector<ByteBuffer *> pieces{takeConstantPoolBytes(), takePragmaPoolBytes(), countBytes,
                                   nameTable};
  for (FunctionRecord *record = writer.functionListHead; record; record = record->next) {
    pieces.push_back(record->code);
    record->code = nullptr;
  }
  return joinByteBufferList(pieces.data(), pieces.size());
}

// The version byte and the size of what follows.
static ByteBuffer *withFileHeader(ByteBuffer *body) {
  discardByteBuffer();
  emitByte(0x01);
  emitMbUInt32(body ? body->size : 0);
  return joinByteBuffers(takeByteBuffer(), body);
}

// An error that was printed but not yet counted (its action did not fail)
// stops the writers too: a compilation that reports an error writes nothing.
static bool compilationHasFailed() { return hasErrors() || isErrorPending(); }

void writeCompiledUnit() {
  if (compilationHasFailed())
    return;
  ByteBuffer *unit = withFileHeader(buildUnitBody());
  ASSERT(writer.outputFileName);
  stageOutputFile(writer.outputFileName, unit->bytes, unit->size, CompiledUnitFile);
  freeByteBuffer(unit);
  // With -g the unit is moved into place once the debug file's bytes exist,
  // before the debug file itself is opened.
  if (!isDebugInfoEnabled())
    commitOutputFiles();
}

// ---------------------------------------------------------------- the debug file

char *debugFileNameOf(const char *outputFileName) {
  const std::size_t length = std::strlen(outputFileName);
  auto *name = static_cast<char *>(checkedAllocate(length + 5, 1));
  std::memcpy(name, outputFileName, length);
  std::memcpy(name + length, ".dbg", 5);
  return name;
}

void writeDebugFile() {
  if (!isDebugInfoEnabled() || compilationHasFailed())
    return;
  discardByteBuffer();
  writeNameTable();
  std::uint32_t numOfFunctions = 0;
  std::vector<ByteBuffer *> recordPieces;
  for (FunctionRecord *record = writer.functionListHead; record; record = record->next) {
    ++numOfFunctions;
    recordPieces.push_back(record->debugRecord);
    record->debugRecord = nullptr;
  }
  ByteBuffer *records = joinByteBufferList(recordPieces.data(), recordPieces.size());
  ASSERT(numOfFunctions < 256);
  emitByte(static_cast<std::uint8_t>(numOfFunctions));
  ByteBuffer *file = withFileHeader(joinByteBuffers(takeByteBuffer(), records));

  const char *outputFileName = writer.outputFileName;
  ASSERT(outputFileName);
  char *debugFileName = debugFileNameOf(outputFileName);
  // Memory running out while the debug bytes were built has left the old
  // unit alone; a debug file that cannot be opened or written ends the run
  // with the new unit in place.
  commitOutputFiles();
  stageOutputFile(debugFileName, file->bytes, file->size, DebugInformationFile);
  commitOutputFiles();
  std::free(debugFileName);
  freeByteBuffer(file);
}
