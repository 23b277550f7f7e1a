// The compiled file: the byte buffers through which every piece of the
// compiled unit and of the debug file is written, the record the back end
// keeps for each script function, and the writer of the whole unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
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
// The debug file's name for an output file name: ".dbg" appended. The caller
// frees it.
char *debugFileNameOf(const char *outputFileName);

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
// The pieces in order in one copy, however many there are; every piece is
// consumed, null pieces are skipped.
ByteBuffer *joinByteBufferList(ByteBuffer *const *pieces, std::size_t count);

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
// code) on the function's record; with -g also its debug record, whose line
// table starts afresh for every function.
void generateFunctionCode(IdentifierRecord *function, BlockListNode *blocks, int parameterCount,
                          int localVariableCount);

// Writes the whole compiled unit in one piece, at the end of the parse.
// Does nothing once an error has been counted; a function called but never
// defined is reported by name and ends the run with status 1. The file is
// written only when the unit is complete in memory; a file that cannot be
// opened or written ends the run with status 1 and leaves an existing file
// as it was (outputfile.h). Under -g the file replaces the old one only
// together with the debug file, in writeDebugFile.
void writeCompiledUnit();
// With -g and no error counted: the debug file, the output name with ".dbg",
// written the same way after the compiled unit.
void writeDebugFile();

// The instruction set: one row per operation, in value order. The code reads
// only the size and the opcode byte; the name and the operand count document
// the row. The four abstract jumps never reach the encoder: jump selection
// replaces them by concrete jumps.
#define WMLS_OPERATIONS(X)                                  \
  X(None, "none", 0, 0, 0x00)                               \
  X(JumpFwS, "jump_fw_s", 1, 1, 0x80)                       \
  X(JumpFw, "jump_fw", 1, 2, 0x01)                          \
  X(JumpFwW, "jump_fw_w", 1, 3, 0x02)                       \
  X(JumpBwS, "jump_bw_s", 1, 1, 0xA0)                       \
  X(JumpBw, "jump_bw", 1, 2, 0x03)                          \
  X(JumpBwW, "jump_bw_w", 1, 3, 0x04)                       \
  X(TJumpFwS, "tjump_fw_s", 1, 1, 0xC0)                     \
  X(TJumpFw, "tjump_fw", 1, 2, 0x05)                        \
  X(TJumpFwW, "tjump_fw_w", 1, 3, 0x06)                     \
  X(TJumpBw, "tjump_bw", 1, 2, 0x07)                        \
  X(TJumpBwW, "tjump_bw_w", 1, 3, 0x08)                     \
  X(CallS, "call_s", 1, 1, 0x60)                            \
  X(Call, "call", 1, 2, 0x09)                               \
  X(CallLibS, "call_lib_s", 2, 2, 0x68)                     \
  X(CallLib, "call_lib", 2, 3, 0x0A)                        \
  X(CallLibW, "call_lib_w", 2, 4, 0x0B)                     \
  X(CallUrl, "call_url", 3, 4, 0x0C)                        \
  X(CallUrlW, "call_url_w", 3, 6, 0x0D)                     \
  X(LoadVarS, "load_var_s", 1, 1, 0xE0)                     \
  X(LoadVar, "load_var", 1, 2, 0x0E)                        \
  X(StoreVarS, "store_var_s", 1, 1, 0x40)                   \
  X(StoreVar, "store_var", 1, 2, 0x0F)                      \
  X(IncrVarS, "incr_var_s", 1, 1, 0x70)                     \
  X(IncrVar, "incr_var", 1, 2, 0x10)                        \
  X(DecrVar, "decr_var", 1, 2, 0x11)                        \
  X(LoadConstS, "load_const_s", 1, 1, 0x50)                 \
  X(LoadConst, "load_const", 1, 2, 0x12)                    \
  X(LoadConstW, "load_const_w", 1, 3, 0x13)                 \
  X(Const0, "const_0", 0, 1, 0x14)                          \
  X(Const1, "const_1", 0, 1, 0x15)                          \
  X(ConstM1, "const_m1", 0, 1, 0x16)                        \
  X(ConstEs, "const_es", 0, 1, 0x17)                        \
  X(ConstInvalid, "const_invalid", 0, 1, 0x18)              \
  X(ConstTrue, "const_true", 0, 1, 0x19)                    \
  X(ConstFalse, "const_false", 0, 1, 0x1A)                  \
  X(Incr, "incr", 0, 1, 0x1B)                               \
  X(Decr, "decr", 0, 1, 0x1C)                               \
  X(AddAsg, "add_asg", 1, 2, 0x1D)                          \
  X(SubAsg, "sub_asg", 1, 2, 0x1E)                          \
  X(UMinus, "uminus", 0, 1, 0x1F)                           \
  X(Add, "add", 0, 1, 0x20)                                 \
  X(Sub, "sub", 0, 1, 0x21)                                 \
  X(Mul, "mul", 0, 1, 0x22)                                 \
  X(Div, "div", 0, 1, 0x23)                                 \
  X(IDiv, "idiv", 0, 1, 0x24)                               \
  X(Rem, "rem", 0, 1, 0x25)                                 \
  X(BAnd, "b_and", 0, 1, 0x26)                              \
  X(BOr, "b_or", 0, 1, 0x27)                                \
  X(BXor, "b_xor", 0, 1, 0x28)                              \
  X(BNot, "b_not", 0, 1, 0x29)                              \
  X(BLShift, "b_lshift", 0, 1, 0x2A)                        \
  X(BRsShift, "b_rsshift", 0, 1, 0x2B)                      \
  X(BRszShift, "b_rszshift", 0, 1, 0x2C)                    \
  X(Eq, "eq", 0, 1, 0x2D)                                   \
  X(Le, "le", 0, 1, 0x2E)                                   \
  X(Lt, "lt", 0, 1, 0x2F)                                   \
  X(Ge, "ge", 0, 1, 0x30)                                   \
  X(Gt, "gt", 0, 1, 0x31)                                   \
  X(Ne, "ne", 0, 1, 0x32)                                   \
  X(Not, "not", 0, 1, 0x33)                                 \
  X(ScAnd, "scand", 0, 1, 0x34)                             \
  X(ScOr, "scor", 0, 1, 0x35)                               \
  X(ToBool, "tobool", 0, 1, 0x36)                           \
  X(Pop, "pop", 0, 1, 0x37)                                 \
  X(TypeOf, "typeof", 0, 1, 0x38)                           \
  X(IsValid, "isvalid", 0, 1, 0x39)                         \
  X(Return, "return", 0, 1, 0x3A)                           \
  X(ReturnEs, "return_es", 0, 1, 0x3B)                      \
  X(Debug, "debug", 0, 1, 0x3C)                             \
  X(ConJumpFw, "", 1, 3, 0x00)                              \
  X(ConJumpBw, "", 1, 3, 0x00)                              \
  X(UnconJumpFw, "", 1, 3, 0x00)                            \
  X(UnconJumpBw, "", 1, 3, 0x00)

// Scoped: Add, Not or Return would clash with the operator enumeration.
enum class Operation : std::uint32_t {
#define X(op, name, operands, size, opcode) op,
  WMLS_OPERATIONS(X)
#undef X
};

struct OpcodeRow {
  const char *name;
  Operation operation;
  int operandCount;
  int size;  // bytes, opcode included; 3 for the abstract jumps before sizing
  std::uint8_t opcode;
};

inline constexpr OpcodeRow opcodeTable[] = {
#define X(op, name, operands, size, opcode) {name, Operation::op, operands, size, opcode},
    WMLS_OPERATIONS(X)
#undef X
};
static_assert(std::size(opcodeTable) == 74);

inline const OpcodeRow &opcodeRow(Operation operation) {
  return opcodeTable[static_cast<std::uint32_t>(operation)];
}

struct AbstractTree;
struct AsmCode;
struct AsmCodeList;
struct Statement;

// Instruction selection, statement by statement, for the block walker; each
// returns null when the statement or tree produces no instruction. The
// selectors read the current source line of the block walker.
//
// Called at the start of every function: the logical node remembered for the
// tobool rule of && and || belongs to the previous function's released trees.
void resetInstructionSelection();
// currentPosition is the block list node of the statement's block; the block
// after it is the one that is reached without a jump.
AsmCodeList *selectStatement(Statement *statement, BlockListNode *currentPosition);
// A sequential statement selected while its function is parsed: as
// selectStatement, but null when one of its expression jumps is 65536 bytes
// or more, which ends the run only when the function's code is generated.
AsmCodeList *trySelectSequentialStatement(Statement *statement);
// The same selections with the instructions up to the statement's jumps to
// other blocks encoded at once, for the block walker and the early code,
// which want only bytes: *byteCount is the number of bytes, which
// copySelectedBytes writes, and the jumps are only described (codegen_misc.h). False from the sequential one where trySelectSequentialStatement
// gives null.
struct BlockJumps;
void selectStatementBytes(Statement *statement, BlockListNode *currentPosition, std::uint32_t *byteCount,
                          BlockJumps *jumps);
bool trySelectSequentialStatementBytes(Statement *statement, std::uint32_t *byteCount);
// The bytes of the statement selected last, in order, at destination; valid
// until the next selection starts.
void copySelectedBytes(std::uint8_t *destination);
// A buffer of bytes its owner grows with realloc, filled up to size.
struct GrowingBytes {
  std::uint8_t *bytes;
  std::size_t size;
  std::size_t capacity;
};
// trySelectSequentialStatementBytes with the bytes written straight at the
// end of into, which it may grow (its bytes may move); into.size grows by
// *byteCount (not at all on false). Bytes past the new size may have been
// written. For the early code, where nearly every statement is bytes.
bool trySelectSequentialStatementBytesInto(Statement *statement, GrowingBytes &into, std::uint32_t *byteCount);
// An expression statement: its value, if any, does not stay on the stack.
AsmCodeList *selectStatementExpression(AbstractTree *tree);
// The code that leaves the tree's value on the operand stack (an assignment
// marked valueDiscarded leaves none). Iterative: any depth is fine. An
// expression jump of 65536 bytes or more ends the run with status 1.
AsmCodeList *selectExpression(AbstractTree *tree);
// The variable or function index of an identifier leaf; the pool index of an
// indirect constant leaf.
std::uint32_t leafIndex(const AbstractTree *tree);
// Exactly the row's size of bytes; abstract jumps never get here.
ByteBuffer *encodeInstruction(const AsmCode *instruction);
// The same bytes written at `bytes`, which has room for the row's size;
// returns that size.
int encodeInstructionAt(const AsmCode *instruction, std::uint8_t *bytes);

// With -g, called by the assembly for every instruction in order: a new line
// table entry whenever the source line changes.
void addLineEntry(const AsmCode *instruction, const ByteBuffer *codeSoFar);
// The same for an instruction of the given source line at the given offset
// in the function's Code.
void addLineEntryAt(std::uint32_t lineNo, std::uint32_t offset);
