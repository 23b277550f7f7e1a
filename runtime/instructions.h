// The WMLScript instruction set and the standard library table, as the
// runtime reads them. One row per operation: its encoding (opcode byte, the
// mask of an operand held inside the opcode byte, the widths of the operand
// bytes after it), what its operands name, and its fixed effect on the
// operand stack. The verifier, the listing and the interpreter all read this
// one table; the compiler keeps its own copy on purpose, so that a
// misunderstanding of the format in one is caught by the other.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavokrt {

// What an instruction's operands name.
enum class OperandKind : std::uint8_t {
  None,          // no operand
  ForwardJump,   // offset counted from the end of the instruction
  BackwardJump,  // offset counted back from the start of the instruction
  Variable,      // variable index
  Constant,      // constant-pool index
  Function,      // function index of this unit
  Library,       // library function index, then library index
  Url,           // url string constant, function-name string constant, argument count
};

// X(enumerator, mnemonic, size, opcode, fieldMask, operandWidths, kind, pops, pushes)
//   size: bytes including the opcode byte; fieldMask: the operand held in the
//   low bits of the opcode byte (0: none); operandWidths: one digit per operand
//   byte group after the opcode ('1' u8, '2' u16 big-endian); pops/pushes: the
//   fixed stack effect (calls pop their argument count, see callArgumentCount).
#define TAVOKRT_OPERATIONS(X)                                                     \
  X(JumpFwS, "jump_fw_s", 1, 0x80, 31, "", ForwardJump, 0, 0)                     \
  X(JumpFw, "jump_fw", 2, 0x01, 0, "1", ForwardJump, 0, 0)                        \
  X(JumpFwW, "jump_fw_w", 3, 0x02, 0, "2", ForwardJump, 0, 0)                     \
  X(JumpBwS, "jump_bw_s", 1, 0xA0, 31, "", BackwardJump, 0, 0)                    \
  X(JumpBw, "jump_bw", 2, 0x03, 0, "1", BackwardJump, 0, 0)                       \
  X(JumpBwW, "jump_bw_w", 3, 0x04, 0, "2", BackwardJump, 0, 0)                    \
  X(TjumpFwS, "tjump_fw_s", 1, 0xC0, 31, "", ForwardJump, 1, 0)                   \
  X(TjumpFw, "tjump_fw", 2, 0x05, 0, "1", ForwardJump, 1, 0)                      \
  X(TjumpFwW, "tjump_fw_w", 3, 0x06, 0, "2", ForwardJump, 1, 0)                   \
  X(TjumpBw, "tjump_bw", 2, 0x07, 0, "1", BackwardJump, 1, 0)                     \
  X(TjumpBwW, "tjump_bw_w", 3, 0x08, 0, "2", BackwardJump, 1, 0)                  \
  X(CallS, "call_s", 1, 0x60, 7, "", Function, 0, 1)                              \
  X(Call, "call", 2, 0x09, 0, "1", Function, 0, 1)                                \
  X(CallLibS, "call_lib_s", 2, 0x68, 7, "1", Library, 0, 1)                       \
  X(CallLib, "call_lib", 3, 0x0A, 0, "11", Library, 0, 1)                         \
  X(CallLibW, "call_lib_w", 4, 0x0B, 0, "12", Library, 0, 1)                      \
  X(CallUrl, "call_url", 4, 0x0C, 0, "111", Url, 0, 1)                            \
  X(CallUrlW, "call_url_w", 6, 0x0D, 0, "221", Url, 0, 1)                         \
  X(LoadVarS, "load_var_s", 1, 0xE0, 31, "", Variable, 0, 1)                      \
  X(LoadVar, "load_var", 2, 0x0E, 0, "1", Variable, 0, 1)                         \
  X(StoreVarS, "store_var_s", 1, 0x40, 15, "", Variable, 1, 0)                    \
  X(StoreVar, "store_var", 2, 0x0F, 0, "1", Variable, 1, 0)                       \
  X(IncrVarS, "incr_var_s", 1, 0x70, 7, "", Variable, 0, 0)                       \
  X(IncrVar, "incr_var", 2, 0x10, 0, "1", Variable, 0, 0)                         \
  X(DecrVar, "decr_var", 2, 0x11, 0, "1", Variable, 0, 0)                         \
  X(LoadConstS, "load_const_s", 1, 0x50, 15, "", Constant, 0, 1)                  \
  X(LoadConst, "load_const", 2, 0x12, 0, "1", Constant, 0, 1)                     \
  X(LoadConstW, "load_const_w", 3, 0x13, 0, "2", Constant, 0, 1)                  \
  X(Const0, "const_0", 1, 0x14, 0, "", None, 0, 1)                                \
  X(Const1, "const_1", 1, 0x15, 0, "", None, 0, 1)                                \
  X(ConstM1, "const_m1", 1, 0x16, 0, "", None, 0, 1)                              \
  X(ConstEs, "const_es", 1, 0x17, 0, "", None, 0, 1)                              \
  X(ConstInvalid, "const_invalid", 1, 0x18, 0, "", None, 0, 1)                    \
  X(ConstTrue, "const_true", 1, 0x19, 0, "", None, 0, 1)                          \
  X(ConstFalse, "const_false", 1, 0x1A, 0, "", None, 0, 1)                        \
  X(Incr, "incr", 1, 0x1B, 0, "", None, 1, 1)                                     \
  X(Decr, "decr", 1, 0x1C, 0, "", None, 1, 1)                                     \
  X(AddAsg, "add_asg", 2, 0x1D, 0, "1", Variable, 1, 0)                           \
  X(SubAsg, "sub_asg", 2, 0x1E, 0, "1", Variable, 1, 0)                           \
  X(Uminus, "uminus", 1, 0x1F, 0, "", None, 1, 1)                                 \
  X(Add, "add", 1, 0x20, 0, "", None, 2, 1)                                       \
  X(Sub, "sub", 1, 0x21, 0, "", None, 2, 1)                                       \
  X(Mul, "mul", 1, 0x22, 0, "", None, 2, 1)                                       \
  X(Div, "div", 1, 0x23, 0, "", None, 2, 1)                                       \
  X(Idiv, "idiv", 1, 0x24, 0, "", None, 2, 1)                                     \
  X(Rem, "rem", 1, 0x25, 0, "", None, 2, 1)                                       \
  X(BAnd, "b_and", 1, 0x26, 0, "", None, 2, 1)                                    \
  X(BOr, "b_or", 1, 0x27, 0, "", None, 2, 1)                                      \
  X(BXor, "b_xor", 1, 0x28, 0, "", None, 2, 1)                                    \
  X(BNot, "b_not", 1, 0x29, 0, "", None, 1, 1)                                    \
  X(BLshift, "b_lshift", 1, 0x2A, 0, "", None, 2, 1)                              \
  X(BRsshift, "b_rsshift", 1, 0x2B, 0, "", None, 2, 1)                            \
  X(BRszshift, "b_rszshift", 1, 0x2C, 0, "", None, 2, 1)                          \
  X(Eq, "eq", 1, 0x2D, 0, "", None, 2, 1)                                         \
  X(Le, "le", 1, 0x2E, 0, "", None, 2, 1)                                         \
  X(Lt, "lt", 1, 0x2F, 0, "", None, 2, 1)                                         \
  X(Ge, "ge", 1, 0x30, 0, "", None, 2, 1)                                         \
  X(Gt, "gt", 1, 0x31, 0, "", None, 2, 1)                                         \
  X(Ne, "ne", 1, 0x32, 0, "", None, 2, 1)                                         \
  X(Not, "not", 1, 0x33, 0, "", None, 1, 1)                                       \
  X(Scand, "scand", 1, 0x34, 0, "", None, 1, 1)                                   \
  X(Scor, "scor", 1, 0x35, 0, "", None, 1, 1)                                     \
  X(Tobool, "tobool", 1, 0x36, 0, "", None, 1, 1)                                 \
  X(Pop, "pop", 1, 0x37, 0, "", None, 1, 0)                                       \
  X(Typeof, "typeof", 1, 0x38, 0, "", None, 1, 1)                                 \
  X(Isvalid, "isvalid", 1, 0x39, 0, "", None, 1, 1)                               \
  X(Return, "return", 1, 0x3A, 0, "", None, 1, 0)                                 \
  X(ReturnEs, "return_es", 1, 0x3B, 0, "", None, 0, 0)                            \
  X(Debug, "debug", 1, 0x3C, 0, "", None, 0, 0)

enum class Operation : std::uint8_t {
#define TAVOKRT_ENUMERATOR(op, name, size, opcode, mask, widths, kind, pops, pushes) op,
  TAVOKRT_OPERATIONS(TAVOKRT_ENUMERATOR)
#undef TAVOKRT_ENUMERATOR
};

struct OperationInfo {
  std::string_view mnemonic;
  std::uint8_t size;       // bytes, opcode included
  std::uint8_t opcode;     // with the short operand field cleared
  std::uint8_t fieldMask;  // the operand inside the opcode byte; 0: none
  std::string_view operandWidths;
  OperandKind kind;
  std::uint8_t pops;       // fixed effect; calls add their arguments
  std::uint8_t pushes;
};

inline constexpr int operationCount = 0
#define TAVOKRT_COUNT(op, name, size, opcode, mask, widths, kind, pops, pushes) +1
    TAVOKRT_OPERATIONS(TAVOKRT_COUNT)
#undef TAVOKRT_COUNT
    ;
static_assert(operationCount == 69, "every encodable operation of the instruction set");

const OperationInfo &operationInfo(Operation operation);
// The operation whose encoding starts with this byte; false for a byte that
// starts no instruction.
bool decodeOpcodeByte(std::uint8_t byte, Operation &operation);

inline bool isJump(Operation op) { return op <= Operation::TjumpBwW; }
inline bool isConditionalJump(Operation op) {
  return op >= Operation::TjumpFwS && op <= Operation::TjumpBwW;
}

// ---------------------------------------------------------------------------
// The standard libraries: names and parameter counts by library and function
// index. Library indices 0 to 5, then 65534 (WMLSExtension) and 65535
// (WMLSDebug).

struct LibraryFunctionInfo {
  std::string_view name;
  std::uint8_t parameterCount;
};

// Null when the library has no such function.
const LibraryFunctionInfo *findLibraryFunction(std::uint32_t library, std::uint32_t function);
// The library's name, or an empty view for an unknown library index.
std::string_view libraryName(std::uint32_t library);

} // namespace tavokrt
