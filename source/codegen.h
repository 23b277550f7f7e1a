// The compiled file: the byte buffers through which every piece of the
// compiled unit and of the debug file is written, the record the back end
// keeps for each script function, and the writer of the whole unit.
#pragma once

#include <cstdint>
#include <type_traits>

struct IdentifierRecord;
struct VariableDebugEntry;

// A growable byte array. Whoever has finished a piece takes the buffer away
// and owns it; joining consumes both inputs.
struct ByteBuffer {
  std::uint32_t size;
  std::uint8_t *bytes;
};

// One per script function known to the symbol table, in function-index order.
struct FunctionRecord {
  std::uint16_t functionIndex;
  IdentifierRecord *identifier;
  ByteBuffer *code;         // header and code; null until the definition is compiled
  ByteBuffer *debugRecord;  // -g only
  VariableDebugEntry *parameterNames;
  VariableDebugEntry *localNames;
  FunctionRecord *next;
};
static_assert(std::is_trivially_copyable_v<FunctionRecord>);

// Remembers the output file name for the compiled unit and, with ".dbg"
// appended, for the debug file. The file is opened only when the unit is
// written, and only when the compilation had no error.
void setOutputFileName(const char *name);
const char *getOutputFileName();

// Called by the symbol table for every new function name, with the index it
// gave the name: the record is appended to the function list with no code yet.
void addFunctionRecord(IdentifierRecord *identifier, unsigned index);
// The head of the function list, in function-index order; null while empty.
FunctionRecord *functionList();
int numberOfFunctionRecords();

// The shared output buffer. A piece is written byte by byte and taken away
// whole by whoever finished it; the next byte starts a fresh buffer.
void emitByte(std::uint8_t byte);
// The buffer written since the last take (null if nothing was), now the caller's.
ByteBuffer *takeByteBuffer();
// Drops whatever was written since the last take.
void discardByteBuffer();
// first's bytes then second's in one new buffer; both inputs are consumed.
// Either may be null. Beyond 4294967295 bytes the run ends with status 1.
ByteBuffer *joinByteBuffers(ByteBuffer *first, ByteBuffer *second);
// Releases the array and the record; null is ignored.
void freeByteBuffer(ByteBuffer *buffer);

// The mb_u_int32 encoding of value (7 bits per byte, most significant group
// first, the high bit on every byte but the last) into bytes; returns the
// number of bytes used, 1 to 5.
inline constexpr int maxMbUInt32Length = 5;
int encodeMbUInt32(std::uint32_t value, std::uint8_t bytes[maxMbUInt32Length]);

// The line-number table of the function being generated, in a buffer of its
// own with a count of its entries.
void emitDebugByte(std::uint8_t byte);
void emitDebugMbUInt32(std::uint32_t value);
void countDebugLineEntry();
std::uint32_t debugLineCount();
// As takeByteBuffer, and the entry count restarts at 0.
ByteBuffer *takeDebugLineBuffer();

// The two pool writers hand their finished bytes over with these; the unit
// writer takes them back (null when nothing was saved), and owns them then.
void saveConstantPoolBytes();
void savePragmaPoolBytes();
ByteBuffer *takeConstantPoolBytes();
ByteBuffer *takePragmaPoolBytes();

struct BlockListNode;

// Compiles one function definition whose blocks are complete: selects the
// instructions, sizes the jumps and keeps the finished bytes (header and
// code) on the function's record.
void generateFunctionCode(IdentifierRecord *function, BlockListNode *blocks, int parameterCount,
                          int localVariableCount);
