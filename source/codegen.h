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

// Called by the symbol table for every new function name.
void addFunctionRecord(IdentifierRecord *identifier, unsigned index);
// The head of the function list, in function-index order.
FunctionRecord *functionList();

// The shared output buffer.
void emitByte(std::uint8_t byte);
// The buffer written since the last take (null if nothing was), now the caller's.
ByteBuffer *takeByteBuffer();
// Drops whatever was written since the last take.
void discardByteBuffer();
// first's bytes then second's in one new buffer; both inputs are consumed.
// Either may be null.
ByteBuffer *joinByteBuffers(ByteBuffer *first, ByteBuffer *second);
void freeByteBuffer(ByteBuffer *buffer);

// The two pool writers hand their finished bytes over with these.
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
