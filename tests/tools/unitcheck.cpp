// unitcheck: an independent reader of compiled units. It walks the whole
// layout of a compiled file, decodes every instruction of every function and
// checks that the bytes hang together: sizes match, indices name what they
// must, jumps land on instructions, every operand has its smallest form and no
// function runs off the end of its code. With -g it also walks the debug file
// written beside the unit and checks it against the unit.
//
//   unitcheck [-g] [-l] UNIT
//
//   -g  also check UNIT.dbg
//   -l  list every function's instructions (code offset, name, operands)
//
// Exit status 0 when everything holds; otherwise one message naming the file,
// the byte offset and the broken rule, and status 1 (2 for a usage error).
//
// The tool shares no code with the compiler on purpose: a layout error in the
// compiler must not be able to hide behind a reader that makes the same error.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Failures

struct LayoutError : std::runtime_error {
  std::string file;
  std::size_t offset;
  LayoutError(std::string fileName, std::size_t at, const std::string &message)
      : std::runtime_error(message), file(std::move(fileName)), offset(at) {}
};

template <class... Args>
std::string describe(const char *format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// ---------------------------------------------------------------------------
// Byte reader: every read names what it reads, so that a short file says
// which field is missing.

struct Reader {
  std::string file;
  std::vector<std::uint8_t> bytes;
  std::size_t position = 0;

  [[noreturn]] void fail(const std::string &message) const { fail(position, message); }
  [[noreturn]] void fail(std::size_t at, const std::string &message) const {
    throw LayoutError(file, at, message);
  }

  std::size_t remaining() const { return bytes.size() - position; }

  std::uint8_t u8(const char *what) {
    if (position >= bytes.size())
      fail(describe("file ends where %s is expected", what));
    return bytes[position++];
  }

  std::uint32_t bigEndian(int count, const char *what) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i)
      value = value << 8 | u8(what);
    return value;
  }

  // mb_u_int32: 7 bits per byte, most significant group first, the top bit set
  // on every byte but the last, no leading zero group, at most 32 bits.
  std::uint32_t mb(const char *what) {
    std::size_t start = position;
    std::uint8_t first = u8(what);
    if (first == 0x80)
      fail(start, describe("%s: multi-byte integer starts with a zero group", what));
    std::uint64_t value = first & 0x7F;
    std::uint8_t byte = first;
    int length = 1;
    while (byte & 0x80) {
      if (length == 5)
        fail(start, describe("%s: multi-byte integer longer than 5 bytes", what));
      byte = u8(what);
      value = value << 7 | (byte & 0x7F);
      ++length;
    }
    if (value > 0xFFFFFFFFu)
      fail(start, describe("%s: multi-byte integer above 32 bits", what));
    return static_cast<std::uint32_t>(value);
  }

  std::string text(std::size_t length, const char *what) {
    if (remaining() < length)
      fail(describe("%s: %zu bytes announced, %zu left in the file", what, length, remaining()));
    std::string result(bytes.begin() + static_cast<std::ptrdiff_t>(position),
                       bytes.begin() + static_cast<std::ptrdiff_t>(position + length));
    position += length;
    return result;
  }
};

std::vector<std::uint8_t> readWholeFile(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  if (!in)
    throw LayoutError(name, 0, "cannot be opened");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------
// The instruction set, this tool's own copy: one row per operation value.

enum class Meaning {
  Nothing,           // no operand
  ForwardJump,       // offset counted from the end of the instruction
  BackwardJump,      // offset counted back from the start of the instruction
  Variable,          // variable index
  Constant,          // constant-pool index
  Function,          // script function index
  Library,           // library function index, library index
  Url,               // url constant, function-name constant, argument count
  NeverEncoded,      // `none` and the four abstract jumps
};

struct OpcodeRow {
  const char *name;
  int value;
  int size;                // bytes, opcode included
  std::uint8_t opcode;
  std::uint8_t fieldMask;  // short forms: the operand inside the opcode byte
  const char *operandWidths;  // bytes after the opcode: '1' u8, '2' u16
  Meaning meaning;
  bool conditional;        // tjump forms: pop the condition, may fall through
  // The smallest form rule: this form is chosen only when the operands named
  // by floorOperands (bit i for operand i) reach floor; below it a shorter
  // form exists and must have been used.
  std::uint32_t floor;
  unsigned floorOperands;
};

using M = Meaning;
constexpr OpcodeRow opcodeTable[] = {
    {"none", 0, 0, 0x00, 0, "", M::NeverEncoded, false, 0, 0},
    {"jump_fw_s", 1, 1, 0x80, 31, "", M::ForwardJump, false, 0, 0},
    {"jump_fw", 2, 2, 0x01, 0, "1", M::ForwardJump, false, 32, 1},
    {"jump_fw_w", 3, 3, 0x02, 0, "2", M::ForwardJump, false, 256, 1},
    {"jump_bw_s", 4, 1, 0xA0, 31, "", M::BackwardJump, false, 0, 0},
    {"jump_bw", 5, 2, 0x03, 0, "1", M::BackwardJump, false, 32, 1},
    {"jump_bw_w", 6, 3, 0x04, 0, "2", M::BackwardJump, false, 256, 1},
    {"tjump_fw_s", 7, 1, 0xC0, 31, "", M::ForwardJump, true, 0, 0},
    {"tjump_fw", 8, 2, 0x05, 0, "1", M::ForwardJump, true, 32, 1},
    {"tjump_fw_w", 9, 3, 0x06, 0, "2", M::ForwardJump, true, 256, 1},
    // No one-byte backward conditional jump: tjump_bw serves every short offset.
    {"tjump_bw", 10, 2, 0x07, 0, "1", M::BackwardJump, true, 0, 0},
    {"tjump_bw_w", 11, 3, 0x08, 0, "2", M::BackwardJump, true, 256, 1},
    {"call_s", 12, 1, 0x60, 7, "", M::Function, false, 0, 0},
    {"call", 13, 2, 0x09, 0, "1", M::Function, false, 8, 1},
    {"call_lib_s", 14, 2, 0x68, 7, "1", M::Library, false, 0, 0},
    {"call_lib", 15, 3, 0x0A, 0, "11", M::Library, false, 8, 1},
    {"call_lib_w", 16, 4, 0x0B, 0, "12", M::Library, false, 256, 2},
    {"call_url", 17, 4, 0x0C, 0, "111", M::Url, false, 0, 0},
    {"call_url_w", 18, 6, 0x0D, 0, "221", M::Url, false, 256, 3},
    {"load_var_s", 19, 1, 0xE0, 31, "", M::Variable, false, 0, 0},
    {"load_var", 20, 2, 0x0E, 0, "1", M::Variable, false, 32, 1},
    {"store_var_s", 21, 1, 0x40, 15, "", M::Variable, false, 0, 0},
    {"store_var", 22, 2, 0x0F, 0, "1", M::Variable, false, 16, 1},
    {"incr_var_s", 23, 1, 0x70, 7, "", M::Variable, false, 0, 0},
    {"incr_var", 24, 2, 0x10, 0, "1", M::Variable, false, 8, 1},
    {"decr_var", 25, 2, 0x11, 0, "1", M::Variable, false, 0, 0},
    {"load_const_s", 26, 1, 0x50, 15, "", M::Constant, false, 0, 0},
    {"load_const", 27, 2, 0x12, 0, "1", M::Constant, false, 16, 1},
    {"load_const_w", 28, 3, 0x13, 0, "2", M::Constant, false, 256, 1},
    {"const_0", 29, 1, 0x14, 0, "", M::Nothing, false, 0, 0},
    {"const_1", 30, 1, 0x15, 0, "", M::Nothing, false, 0, 0},
    {"const_m1", 31, 1, 0x16, 0, "", M::Nothing, false, 0, 0},
    {"const_es", 32, 1, 0x17, 0, "", M::Nothing, false, 0, 0},
    {"const_invalid", 33, 1, 0x18, 0, "", M::Nothing, false, 0, 0},
    {"const_true", 34, 1, 0x19, 0, "", M::Nothing, false, 0, 0},
    {"const_false", 35, 1, 0x1A, 0, "", M::Nothing, false, 0, 0},
    {"incr", 36, 1, 0x1B, 0, "", M::Nothing, false, 0, 0},
    {"decr", 37, 1, 0x1C, 0, "", M::Nothing, false, 0, 0},
    {"add_asg", 38, 2, 0x1D, 0, "1", M::Variable, false, 0, 0},
    {"sub_asg", 39, 2, 0x1E, 0, "1", M::Variable, false, 0, 0},
    {"uminus", 40, 1, 0x1F, 0, "", M::Nothing, false, 0, 0},
    {"add", 41, 1, 0x20, 0, "", M::Nothing, false, 0, 0},
    {"sub", 42, 1, 0x21, 0, "", M::Nothing, false, 0, 0},
    {"mul", 43, 1, 0x22, 0, "", M::Nothing, false, 0, 0},
    {"div", 44, 1, 0x23, 0, "", M::Nothing, false, 0, 0},
    {"idiv", 45, 1, 0x24, 0, "", M::Nothing, false, 0, 0},
    {"rem", 46, 1, 0x25, 0, "", M::Nothing, false, 0, 0},
    {"b_and", 47, 1, 0x26, 0, "", M::Nothing, false, 0, 0},
    {"b_or", 48, 1, 0x27, 0, "", M::Nothing, false, 0, 0},
    {"b_xor", 49, 1, 0x28, 0, "", M::Nothing, false, 0, 0},
    {"b_not", 50, 1, 0x29, 0, "", M::Nothing, false, 0, 0},
    {"b_lshift", 51, 1, 0x2A, 0, "", M::Nothing, false, 0, 0},
    {"b_rsshift", 52, 1, 0x2B, 0, "", M::Nothing, false, 0, 0},
    {"b_rszshift", 53, 1, 0x2C, 0, "", M::Nothing, false, 0, 0},
    {"eq", 54, 1, 0x2D, 0, "", M::Nothing, false, 0, 0},
    {"le", 55, 1, 0x2E, 0, "", M::Nothing, false, 0, 0},
    {"lt", 56, 1, 0x2F, 0, "", M::Nothing, false, 0, 0},
    {"ge", 57, 1, 0x30, 0, "", M::Nothing, false, 0, 0},
    {"gt", 58, 1, 0x31, 0, "", M::Nothing, false, 0, 0},
    {"ne", 59, 1, 0x32, 0, "", M::Nothing, false, 0, 0},
    {"not", 60, 1, 0x33, 0, "", M::Nothing, false, 0, 0},
    {"scand", 61, 1, 0x34, 0, "", M::Nothing, false, 0, 0},
    {"scor", 62, 1, 0x35, 0, "", M::Nothing, false, 0, 0},
    {"tobool", 63, 1, 0x36, 0, "", M::Nothing, false, 0, 0},
    {"pop", 64, 1, 0x37, 0, "", M::Nothing, false, 0, 0},
    {"typeof", 65, 1, 0x38, 0, "", M::Nothing, false, 0, 0},
    {"isvalid", 66, 1, 0x39, 0, "", M::Nothing, false, 0, 0},
    {"return", 67, 1, 0x3A, 0, "", M::Nothing, false, 0, 0},
    {"return_es", 68, 1, 0x3B, 0, "", M::Nothing, false, 0, 0},
    {"debug", 69, 1, 0x3C, 0, "", M::Nothing, false, 0, 0},
    {"con_jump_fw", 70, 3, 0x00, 0, "", M::NeverEncoded, false, 0, 0},
    {"con_jump_bw", 71, 3, 0x00, 0, "", M::NeverEncoded, false, 0, 0},
    {"uncon_jump_fw", 72, 3, 0x00, 0, "", M::NeverEncoded, false, 0, 0},
    {"uncon_jump_bw", 73, 3, 0x00, 0, "", M::NeverEncoded, false, 0, 0},
};
static_assert(std::size(opcodeTable) == 74, "one row per operation value");

constexpr bool rowsInValueOrder() {
  for (std::size_t i = 0; i < std::size(opcodeTable); ++i)
    if (opcodeTable[i].value != static_cast<int>(i))
      return false;
  return true;
}
static_assert(rowsInValueOrder());

// The row whose opcode byte (with its short operand field cleared) is byte;
// null for a byte that starts no instruction.
const OpcodeRow *rowForOpcodeByte(std::uint8_t byte) {
  for (const OpcodeRow &row : opcodeTable) {
    if (row.meaning == Meaning::NeverEncoded)
      continue;
    if ((byte & ~row.fieldMask & 0xFF) == row.opcode)
      return &row;
  }
  return nullptr;
}

// Function-table sizes of the standard libraries, by library index.
struct LibrarySize {
  std::uint32_t libraryIndex;
  std::uint32_t functionCount;
};
constexpr LibrarySize librarySizes[] = {
    {0, 15}, {1, 8}, {2, 16}, {3, 14}, {4, 7}, {5, 3}, {65534, 1}, {65535, 3},
};

bool isLibraryFunction(std::uint32_t library, std::uint32_t function) {
  for (const LibrarySize &entry : librarySizes)
    if (entry.libraryIndex == library)
      return function < entry.functionCount;
  return false;
}

// ---------------------------------------------------------------------------
// What the unit holds, as far as the code checks and the debug file need it.

enum ConstantType : std::uint8_t { Int8 = 0, Int16 = 1, Int32 = 2, Float32 = 3, String = 4 };

struct Instruction {
  std::uint32_t offset;
  const OpcodeRow *row;
  std::vector<std::uint32_t> operands;
};

struct FunctionInfo {
  std::uint32_t arguments;
  std::uint32_t locals;
  std::uint32_t codeSize;
  std::set<std::uint32_t> instructionStarts;
  std::vector<Instruction> instructions;
  std::string externName;  // empty when the function is not in the name table
};

struct UnitInfo {
  std::vector<ConstantType> constantTypes;
  std::vector<FunctionInfo> functions;
};

// ---------------------------------------------------------------------------
// Compiled unit

void checkHeader(Reader &in) {
  std::uint8_t version = in.u8("the version number");
  if (version != 0x01)
    in.fail(0, describe("version number is 0x%02X, not 0x01", version));
  std::size_t sizeAt = in.position;
  std::uint32_t size = in.mb("the unit size");
  if (size != in.remaining())
    in.fail(sizeAt, describe("unit size says %u bytes, %zu follow", size, in.remaining()));
}

// Integers take the narrowest type that holds them, and the pool holds each
// constant once.
void readConstantPool(Reader &in, UnitInfo &unit) {
  std::uint32_t count = in.mb("the constant count");
  std::uint8_t charset = in.u8("the character set");
  if (charset != 0x6A)
    in.fail(in.position - 1, describe("character set is 0x%02X, not 0x6A", charset));
  std::set<std::pair<int, std::string>> seen;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::size_t at = in.position;
    std::uint8_t type = in.u8("a constant type");
    std::string key;
    switch (type) {
    case Int8:
      key = std::to_string(static_cast<std::int8_t>(in.u8("an 8-bit integer constant")));
      break;
    case Int16: {
      auto value = static_cast<std::int16_t>(in.bigEndian(2, "a 16-bit integer constant"));
      if (value >= -128 && value <= 127)
        in.fail(at, describe("constant %u: integer %d written in 16 bits fits in 8", index, value));
      key = std::to_string(value);
      break;
    }
    case Int32: {
      auto value = static_cast<std::int32_t>(in.bigEndian(4, "a 32-bit integer constant"));
      if (value >= -32768 && value <= 32767)
        in.fail(at, describe("constant %u: integer %d written in 32 bits fits in 16", index, value));
      key = std::to_string(value);
      break;
    }
    case Float32:
      key = std::to_string(in.bigEndian(4, "a float constant"));
      break;
    case String: {
      std::uint32_t length = in.mb("a string constant's length");
      key = in.text(length, "a string constant");
      if (key.find('\0') != std::string::npos)
        in.fail(at, describe("constant %u: string holds a NUL byte", index));
      break;
    }
    default:
      in.fail(at, describe("constant %u has type %u, not 0 to 4", index, type));
    }
    int kind = type <= Int32 ? 0 : type;  // the three integer types are one kind
    if (!seen.insert({kind, key}).second)
      in.fail(at, describe("constant %u repeats an earlier constant", index));
    unit.constantTypes.push_back(static_cast<ConstantType>(type));
  }
}

void expectStringConstant(const Reader &in, const UnitInfo &unit, std::size_t at,
                          std::uint32_t index, const char *what) {
  if (index >= unit.constantTypes.size())
    in.fail(at, describe("%s: constant %u, the pool has %zu", what, index,
                         unit.constantTypes.size()));
  if (unit.constantTypes[index] != String)
    in.fail(at, describe("%s: constant %u is not a string", what, index));
}

// Access pragmas come first, domain before path, each at most once; the
// user-agent properties follow.
void readPragmaPool(Reader &in, const UnitInfo &unit) {
  static const int operandCounts[] = {1, 1, 2, 3};
  static const char *const names[] = {"access domain", "access path", "user-agent property",
                                      "user-agent property and scheme"};
  std::uint32_t count = in.mb("the pragma count");
  int lastType = -1;
  for (std::uint32_t pragma = 0; pragma < count; ++pragma) {
    std::size_t at = in.position;
    std::uint8_t type = in.u8("a pragma type");
    if (type > 3)
      in.fail(at, describe("pragma %u has type %u, not 0 to 3", pragma, type));
    bool outOfOrder = type <= 1 ? static_cast<int>(type) <= lastType : lastType > 3;
    if (outOfOrder)
      in.fail(at, describe("pragma %u (%s) out of order or repeated", pragma, names[type]));
    lastType = type;
    for (int operand = 0; operand < operandCounts[type]; ++operand) {
      std::size_t operandAt = in.position;
      std::uint32_t index = in.mb("a pragma operand");
      expectStringConstant(in, unit, operandAt, index, names[type]);
    }
  }
}

// Sizes the function list from its count and fills in the extern names.
void readFunctionNames(Reader &in, UnitInfo &unit) {
  std::uint8_t functionCount = in.u8("the function count");
  std::size_t namesAt = in.position;
  std::uint8_t nameCount = in.u8("the function name count");
  if (nameCount > functionCount)
    in.fail(namesAt, describe("%u function names for %u functions", nameCount, functionCount));
  unit.functions.resize(functionCount);
  int lastIndex = -1;
  for (int entry = 0; entry < nameCount; ++entry) {
    std::size_t at = in.position;
    std::uint8_t index = in.u8("a function name's index");
    if (index >= functionCount)
      in.fail(at, describe("function name %d names function %u of %u", entry, index, functionCount));
    if (index <= lastIndex)
      in.fail(at, describe("function name %d: index %u not above the previous one", entry, index));
    lastIndex = index;
    std::uint8_t length = in.u8("a function name's length");
    if (length == 0)
      in.fail(at, describe("function name %d is empty", entry));
    unit.functions[index].externName = in.text(length, "a function name");
  }
}

std::string listOperands(const Instruction &instruction) {
  std::string text;
  for (std::uint32_t operand : instruction.operands)
    text += " " + std::to_string(operand);
  return text;
}

Instruction decodeInstruction(Reader &in, std::size_t codeStart, std::uint32_t codeSize) {
  std::size_t at = in.position;
  auto offset = static_cast<std::uint32_t>(at - codeStart);
  std::uint8_t opcodeByte = in.u8("an instruction");
  const OpcodeRow *row = rowForOpcodeByte(opcodeByte);
  if (!row)
    in.fail(at, describe("byte 0x%02X at code offset %u is no instruction", opcodeByte, offset));
  if (offset + static_cast<std::uint32_t>(row->size) > codeSize)
    in.fail(at, describe("%s at code offset %u runs past the end of the code (%u bytes)",
                         row->name, offset, codeSize));
  Instruction instruction{offset, row, {}};
  if (row->fieldMask)
    instruction.operands.push_back(opcodeByte & row->fieldMask);
  for (const char *width = row->operandWidths; *width; ++width)
    instruction.operands.push_back(in.bigEndian(*width - '0', "an operand"));
  return instruction;
}

void checkSmallestForm(const Reader &in, std::size_t at, const Instruction &instruction) {
  const OpcodeRow &row = *instruction.row;
  if (!row.floorOperands)
    return;
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < instruction.operands.size(); ++i)
    if (row.floorOperands & (1u << i))
      largest = std::max(largest, instruction.operands[i]);
  if (largest < row.floor)
    in.fail(at, describe("%s%s at code offset %u: a shorter form holds the operand", row.name,
                         listOperands(instruction).c_str(), instruction.offset));
}

void checkOperands(const Reader &in, std::size_t codeStart, const UnitInfo &unit,
                   const FunctionInfo &function, const Instruction &instruction) {
  const OpcodeRow &row = *instruction.row;
  std::size_t at = codeStart + instruction.offset;
  const std::vector<std::uint32_t> &operand = instruction.operands;
  std::uint32_t slots = function.arguments + function.locals;
  switch (row.meaning) {
  case Meaning::ForwardJump:
  case Meaning::BackwardJump: {
    std::int64_t target = row.meaning == Meaning::ForwardJump
                              ? std::int64_t{instruction.offset} + row.size + operand[0]
                              : std::int64_t{instruction.offset} - operand[0];
    if (target < 0 || target >= function.codeSize ||
        !function.instructionStarts.count(static_cast<std::uint32_t>(target)))
      in.fail(at, describe("%s %u at code offset %u lands at %lld, not on an instruction",
                           row.name, operand[0], instruction.offset, static_cast<long long>(target)));
    break;
  }
  case Meaning::Variable:
    if (operand[0] >= slots)
      in.fail(at, describe("%s %u at code offset %u: the function has %u variables", row.name,
                           operand[0], instruction.offset, slots));
    break;
  case Meaning::Constant:
    if (operand[0] >= unit.constantTypes.size())
      in.fail(at, describe("%s %u at code offset %u: the pool has %zu constants", row.name,
                           operand[0], instruction.offset, unit.constantTypes.size()));
    break;
  case Meaning::Function:
    if (operand[0] >= unit.functions.size())
      in.fail(at, describe("%s %u at code offset %u: the unit has %zu functions", row.name,
                           operand[0], instruction.offset, unit.functions.size()));
    break;
  case Meaning::Library:
    if (!isLibraryFunction(operand[1], operand[0]))
      in.fail(at, describe("%s at code offset %u: library %u has no function %u", row.name,
                           instruction.offset, operand[1], operand[0]));
    break;
  case Meaning::Url:
    expectStringConstant(in, unit, at, operand[0], "the url of call_url");
    expectStringConstant(in, unit, at, operand[1], "the function name of call_url");
    break;
  case Meaning::Nothing:
  case Meaning::NeverEncoded:
    break;
  }
  checkSmallestForm(in, at, instruction);
}

// The last instruction must leave the function: a return, or an
// unconditional jump back into it.
void checkEndOfCode(const Reader &in, std::size_t codeStart, std::size_t functionNumber,
                    const FunctionInfo &function) {
  if (function.instructions.empty())
    in.fail(codeStart, describe("function %zu has no code", functionNumber));
  const OpcodeRow &last = *function.instructions.back().row;
  bool leaves = last.value == 67 || last.value == 68 ||
                (!last.conditional && (last.meaning == Meaning::ForwardJump ||
                                       last.meaning == Meaning::BackwardJump));
  if (!leaves)
    in.fail(codeStart + function.instructions.back().offset,
            describe("function %zu runs off the end of its code after %s", functionNumber,
                     last.name));
}

void readFunction(Reader &in, UnitInfo &unit, std::size_t number) {
  FunctionInfo &function = unit.functions[number];
  function.arguments = in.u8("a function's argument count");
  function.locals = in.u8("a function's local count");
  std::size_t sizeAt = in.position;
  function.codeSize = in.mb("a function's code size");
  if (function.codeSize > in.remaining())
    in.fail(sizeAt, describe("function %zu: code size %u, %zu bytes left in the file", number,
                             function.codeSize, in.remaining()));
  std::size_t codeStart = in.position;
  while (in.position < codeStart + function.codeSize) {
    Instruction instruction = decodeInstruction(in, codeStart, function.codeSize);
    function.instructionStarts.insert(instruction.offset);
    function.instructions.push_back(std::move(instruction));
  }
  for (const Instruction &instruction : function.instructions)
    checkOperands(in, codeStart, unit, function, instruction);
  checkEndOfCode(in, codeStart, number, function);
}

UnitInfo checkUnit(Reader &in) {
  UnitInfo unit;
  checkHeader(in);
  readConstantPool(in, unit);
  readPragmaPool(in, unit);
  readFunctionNames(in, unit);
  for (std::size_t number = 0; number < unit.functions.size(); ++number)
    readFunction(in, unit, number);
  if (in.remaining())
    in.fail(describe("%zu bytes follow the last function", in.remaining()));
  return unit;
}

void listUnit(const UnitInfo &unit) {
  for (std::size_t number = 0; number < unit.functions.size(); ++number) {
    const FunctionInfo &function = unit.functions[number];
    std::printf("function %zu%s%s: %u arguments, %u locals, %u bytes\n", number,
                function.externName.empty() ? "" : " ", function.externName.c_str(),
                function.arguments, function.locals, function.codeSize);
    for (const Instruction &instruction : function.instructions)
      std::printf("  %4u  %s%s\n", instruction.offset, instruction.row->name,
                  listOperands(instruction).c_str());
  }
}

// ---------------------------------------------------------------------------
// Debug file

std::vector<std::string> readNames(Reader &in) {
  std::uint32_t count = in.mb("the name count");
  std::vector<std::string> names;
  std::set<std::string> distinct;
  for (std::uint32_t id = 0; id < count; ++id) {
    std::size_t at = in.position;
    std::string name;
    for (std::uint8_t byte; (byte = in.u8("a name's NUL")) != 0;)
      name += static_cast<char>(byte);
    if (name.empty())
      in.fail(at, describe("name %u is empty", id));
    if (!distinct.insert(name).second)
      in.fail(at, describe("name %u (%s) repeats an earlier name", id, name.c_str()));
    names.push_back(name);
  }
  return names;
}

std::uint32_t readNameId(Reader &in, const std::vector<std::string> &names, const char *what) {
  std::size_t at = in.position;
  std::uint32_t id = in.mb(what);
  if (id >= names.size())
    in.fail(at, describe("%s: name id %u, the file has %zu names", what, id, names.size()));
  return id;
}

// Parameters hold the first variable indices in declaration order, the locals
// the ones after them; no name appears twice in one function.
void readVariables(Reader &in, const std::vector<std::string> &names, std::size_t number,
                   std::uint32_t expectedCount, std::uint32_t firstIndex, const char *what,
                   std::set<std::uint32_t> &namesSeen) {
  std::size_t countAt = in.position;
  std::uint8_t count = in.u8(what);
  if (count != expectedCount)
    in.fail(countAt, describe("function %zu: %u %s in the debug file, %u in the unit", number,
                              count, what, expectedCount));
  for (std::uint32_t k = 0; k < count; ++k) {
    std::size_t at = in.position;
    std::uint32_t id = readNameId(in, names, what);
    std::uint8_t index = in.u8("a variable index");
    if (index != firstIndex + k)
      in.fail(at, describe("function %zu: %s %u (%s) has index %u, not %u", number, what, k,
                           names[id].c_str(), index, firstIndex + k));
    if (!namesSeen.insert(id).second)
      in.fail(at, describe("function %zu: variable %s listed twice", number, names[id].c_str()));
  }
}

// Entries follow the code: offsets rise and fall on instructions, and a new
// entry appears only where the line changes.
void readLineTable(Reader &in, std::size_t number, const FunctionInfo &function) {
  std::uint32_t count = in.mb("the line entry count");
  std::int64_t lastOffset = -1;
  std::uint32_t lastLine = 0;
  for (std::uint32_t entry = 0; entry < count; ++entry) {
    std::size_t at = in.position;
    std::uint32_t offset = in.mb("a line entry's code offset");
    std::uint32_t line = in.mb("a line entry's line");
    if (!function.instructionStarts.count(offset))
      in.fail(at, describe("function %zu, line entry %u: offset %u is not an instruction", number,
                           entry, offset));
    if (offset <= lastOffset)
      in.fail(at, describe("function %zu, line entry %u: offset %u not above %lld", number,
                           entry, offset, static_cast<long long>(lastOffset)));
    if (line == 0)
      in.fail(at, describe("function %zu, line entry %u: line 0", number, entry));
    if (line == lastLine)
      in.fail(at, describe("function %zu, line entry %u: line %u repeats the previous entry",
                           number, entry, line));
    lastOffset = offset;
    lastLine = line;
  }
}

void readDebugRecord(Reader &in, const UnitInfo &unit, const std::vector<std::string> &names,
                     std::size_t number) {
  const FunctionInfo &function = unit.functions[number];
  std::size_t nameAt = in.position;
  std::uint32_t nameId = readNameId(in, names, "a function's name id");
  if (!function.externName.empty() && names[nameId] != function.externName)
    in.fail(nameAt, describe("function %zu is %s in the unit, %s in the debug file", number,
                             function.externName.c_str(), names[nameId].c_str()));
  std::size_t indexAt = in.position;
  std::uint8_t index = in.u8("a function index");
  if (index != (number & 0xFF))
    in.fail(indexAt, describe("debug record %zu carries function index %u", number, index));
  std::set<std::uint32_t> namesSeen;
  readVariables(in, names, number, function.arguments, 0, "arguments", namesSeen);
  readVariables(in, names, number, function.locals, function.arguments, "locals", namesSeen);
  readLineTable(in, number, function);
}

void checkDebugFile(Reader &in, const UnitInfo &unit) {
  std::uint8_t version = in.u8("the version number");
  if (version != 0x01)
    in.fail(0, describe("version number is 0x%02X, not 0x01", version));
  std::size_t sizeAt = in.position;
  std::uint32_t size = in.mb("the debug size");
  if (size != in.remaining())
    in.fail(sizeAt, describe("debug size says %u bytes, %zu follow", size, in.remaining()));
  std::vector<std::string> names = readNames(in);
  std::size_t countAt = in.position;
  std::uint8_t count = in.u8("the function count");
  if (count != unit.functions.size())
    in.fail(countAt, describe("%u function records, the unit has %zu functions", count,
                              unit.functions.size()));
  for (std::size_t number = 0; number < count; ++number)
    readDebugRecord(in, unit, names, number);
  if (in.remaining())
    in.fail(describe("%zu bytes follow the last function record", in.remaining()));
}

int usage() {
  std::fprintf(stderr, "usage: unitcheck [-g] [-l] UNIT\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  bool withDebug = false;
  bool listing = false;
  const char *unitName = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-g") == 0)
      withDebug = true;
    else if (std::strcmp(argv[i], "-l") == 0)
      listing = true;
    else if (!unitName && argv[i][0] != '-')
      unitName = argv[i];
    else
      return usage();
  }
  if (!unitName)
    return usage();
  try {
    Reader unitReader{unitName, readWholeFile(unitName)};
    UnitInfo unit = checkUnit(unitReader);
    if (listing)
      listUnit(unit);
    if (withDebug) {
      std::string debugName = std::string(unitName) + ".dbg";
      Reader debugReader{debugName, readWholeFile(debugName)};
      checkDebugFile(debugReader, unit);
    }
  } catch (const LayoutError &error) {
    std::fprintf(stderr, "unitcheck: %s: byte %zu: %s\n", error.file.c_str(), error.offset,
                 error.what());
    return 1;
  }
  return 0;
}
