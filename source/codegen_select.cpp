// Instruction selection: statements and abstract trees become instructions,
// and instructions their bytes. The form of an indexed instruction is chosen
// as it is made; jumps between blocks stay abstract until jump selection,
// jumps inside an expression are final at once. So everything a statement
// selects but its jumps to other blocks is encoded as it is selected, into
// the selection's buffer; instruction records are made only for those jumps,
// and for callers that ask for a statement's or tree's instruction list.
#include "codegen.h"

#include "codegen_misc.h"
#include "errorhlr.h"
#include "fatal.h"
#include "exprir.h"
#include "jumpselection.h"
#include "stmntir.h"
#include "tavokassert.h"
#include "wmllex.h"
#include "wrapper.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct SelectionState {
  // The && or || node entered last. Deliberately never restored when a
  // logical node is left: the tobool rule reads whatever was entered before.
  AbstractTree *enclosingLogicalNode;
  // While a function is parsed a jump that is too long ends nothing yet:
  // it is noted, and the statement waits for the function's end.
  bool longJumpsDeferred;
  bool longJumpMet;
  // The statement's tree goes as its instructions are chosen, each node once
  // its parent's are: no second walk over a tree gone cold in the cache.
  // Only the selections whose caller releases the tree right after do so.
  bool releasingTree;
  bool treeReleased;  // the last tree selected is gone, its root included
};

constexpr std::uint32_t noRun = UINT32_MAX;

// Consecutive bytes of the selection buffer; the runs of one piece of code
// are chained by index.
struct CodeRun {
  std::uint32_t start;
  std::uint32_t size;
  std::uint32_t next;  // noRun after the last
};

// The code selected for a tree or statement: its runs in order. Most code is
// one run, since post-order writes an operator's instruction right after its
// operands' bytes; only the jumps of ?:, && and || come before bytes written
// already, and they start runs of their own.
struct SelectedCode {
  std::uint32_t first;  // noRun for no code
  std::uint32_t last;
  std::uint32_t size;        // bytes
  Operation lastOperation;   // of the last instruction: the tobool rule reads it
};

// The bytes and runs of one statement's (or one tree's) selection; emptied
// when the next one starts.
struct SelectionBuffer {
  std::uint8_t *bytes;
  std::size_t size;
  std::size_t capacity;
  CodeRun *runs;
  std::uint32_t runCount;
  std::uint32_t runCapacity;
};

// One operator node on its way through selection: its operands are selected
// first, left to right; then the node's own rule finishes their code.
struct SelectionFrame {
  AbstractTree *node;
  AbstractTreeList *pendingOperands;  // operands still to select, in order
  std::uint32_t operandCount;         // operands selected so far
  bool accumulating;                  // Assign: isAccumulatingAssignment, asked once
  // && and ||: this node is the left operand of the && or || entered just
  // before it, which converts its value to a boolean.
  bool parentConverts;
  // The node goes once it is selected: the tree is being released and every
  // child list from the root down to it held it alone.
  bool released;
  // The rule puts instructions between the operands' code, which is kept
  // apart; the code selected before the node waits meanwhile. Set only then.
  bool apart;
  // The rule is the operands' code, then this operation; None for the others.
  Operation operation;
  SelectedCode codeBefore;
  SelectedCode operandCode[3];
};
static_assert(std::is_trivially_copyable_v<SelectionFrame>);
} // namespace

constexpr SelectedCode noCode{.first = noRun, .last = noRun, .size = 0, .lastOperation = Operation::None};

static constinit SelectionState selection{};
static constinit SelectionBuffer selected{};
// The code of the statement selected last, until the next one starts.
static constinit SelectedCode lastStatementCode = noCode;

void resetInstructionSelection() { selection.enclosingLogicalNode = nullptr; }

// ---------------------------------------------------------------- operators

static bool isComparison(ExpressionOperator treeOperator) {
  switch (treeOperator) {
  case Greater:
  case Lesser:
  case GreaterOrEqual:
  case LesserOrEqual:
  case Equal:
  case NotEqual:
    return true;
  default:
    return false;
  }
}

// The comparison that holds exactly when the given one fails.
static ExpressionOperator negatedComparison(ExpressionOperator treeOperator) {
  switch (treeOperator) {
  case Greater:
    return LesserOrEqual;
  case LesserOrEqual:
    return Greater;
  case Lesser:
    return GreaterOrEqual;
  case GreaterOrEqual:
    return Lesser;
  case Equal:
    return NotEqual;
  case NotEqual:
    return Equal;
  default:
    break;
  }
  ASSERT(!"negated operator is a comparison");
  return treeOperator;
}

// eq to tobool: their result is a boolean already.
static bool producesBoolean(Operation operation) {
  const auto value = static_cast<std::uint32_t>(operation);
  return value >= static_cast<std::uint32_t>(Operation::Eq) &&
         value <= static_cast<std::uint32_t>(Operation::ToBool);
}

// ---------------------------------------------------------------- encoding

namespace {
// Where an instruction's operands go after (or into) its opcode byte.
enum class OperandLayout : std::uint8_t {
  None,          // the opcode alone
  InOpcode,      // operand1 in the low bits of the opcode
  InOpcodeU8,    // call_lib_s: operand1 in the opcode, operand2 u8
  U8,            // operand1
  U16,           // operand1
  U8U8,          // call_lib
  U8U16,         // call_lib_w
  U8U8U8,        // call_url
  U16U16U8,      // call_url_w
  NeverEncoded,  // none and the abstract jumps
};

struct OperandFormat {
  OperandLayout layout;
  std::uint8_t shortFormMask;  // the width of an operand inside the opcode
};
} // namespace

static constexpr OperandFormat operandFormat(Operation operation) {
  switch (operation) {
  case Operation::None:
  case Operation::ConJumpFw:
  case Operation::ConJumpBw:
  case Operation::UnconJumpFw:
  case Operation::UnconJumpBw:
    return {OperandLayout::NeverEncoded, 0};
  case Operation::JumpFwS:
  case Operation::JumpBwS:
  case Operation::TJumpFwS:
  case Operation::LoadVarS:
    return {OperandLayout::InOpcode, 31};
  case Operation::StoreVarS:
  case Operation::LoadConstS:
    return {OperandLayout::InOpcode, 15};
  case Operation::CallS:
  case Operation::IncrVarS:
    return {OperandLayout::InOpcode, 7};
  case Operation::CallLibS:
    return {OperandLayout::InOpcodeU8, 7};
  case Operation::JumpFw:
  case Operation::JumpBw:
  case Operation::TJumpFw:
  case Operation::TJumpBw:
  case Operation::Call:
  case Operation::LoadVar:
  case Operation::StoreVar:
  case Operation::IncrVar:
  case Operation::DecrVar:
  case Operation::LoadConst:
  case Operation::AddAsg:
  case Operation::SubAsg:
    return {OperandLayout::U8, 0};
  case Operation::JumpFwW:
  case Operation::JumpBwW:
  case Operation::TJumpFwW:
  case Operation::TJumpBwW:
  case Operation::LoadConstW:
    return {OperandLayout::U16, 0};
  case Operation::CallLib:
    return {OperandLayout::U8U8, 0};
  case Operation::CallLibW:
    return {OperandLayout::U8U16, 0};
  case Operation::CallUrl:
    return {OperandLayout::U8U8U8, 0};
  case Operation::CallUrlW:
    return {OperandLayout::U16U16U8, 0};
  case Operation::Const0:
  case Operation::Const1:
  case Operation::ConstM1:
  case Operation::ConstEs:
  case Operation::ConstInvalid:
  case Operation::ConstTrue:
  case Operation::ConstFalse:
  case Operation::Incr:
  case Operation::Decr:
  case Operation::UMinus:
  case Operation::Add:
  case Operation::Sub:
  case Operation::Mul:
  case Operation::Div:
  case Operation::IDiv:
  case Operation::Rem:
  case Operation::BAnd:
  case Operation::BOr:
  case Operation::BXor:
  case Operation::BNot:
  case Operation::BLShift:
  case Operation::BRsShift:
  case Operation::BRszShift:
  case Operation::Eq:
  case Operation::Le:
  case Operation::Lt:
  case Operation::Ge:
  case Operation::Gt:
  case Operation::Ne:
  case Operation::Not:
  case Operation::ScAnd:
  case Operation::ScOr:
  case Operation::ToBool:
  case Operation::Pop:
  case Operation::TypeOf:
  case Operation::IsValid:
  case Operation::Return:
  case Operation::ReturnEs:
  case Operation::Debug:
    return {OperandLayout::None, 0};
  }
  ASSERT(!"operation is in the opcode table");
  return {OperandLayout::NeverEncoded, 0};
}

// The operations that must never reach the encoder say so before the
// assertion, by their family's name.
static void reportUnencodable(Operation operation) {
  switch (operation) {
  case Operation::None:
    std::fputs("Op_none encountered\n", stderr);
    break;
  case Operation::ConJumpFw:
  case Operation::ConJumpBw:
    std::fputs("Op_con_jump encountered\n", stderr);
    break;
  case Operation::UnconJumpFw:
  case Operation::UnconJumpBw:
    std::fputs("Op_uncon_jump encountered\n", stderr);
    break;
  default:
    break;
  }
  ASSERT(!"abstract instructions are replaced before encoding");
}

namespace {
struct EncodedBytes {
  std::uint8_t *bytes;
  int count;
  void u8(std::uint32_t value) { bytes[count++] = static_cast<std::uint8_t>(value & 0xFF); }
  void u16(std::uint32_t value) {
    u8(value >> 8);
    u8(value);
  }
};
} // namespace

namespace {
// How an operation is written, read once per instruction.
struct Encoding {
  std::uint8_t opcode;
  std::uint8_t size;
  OperandLayout layout;
  std::uint8_t shortFormMask;
};
} // namespace

// Indexed by operation value.
static constexpr std::array<Encoding, std::size(opcodeTable)> encodingOf = [] {
  std::array<Encoding, std::size(opcodeTable)> table{};
  for (const OpcodeRow &row : opcodeTable) {
    const OperandFormat format = operandFormat(row.operation);
    table[static_cast<std::uint32_t>(row.operation)] = Encoding{.opcode = row.opcode,
                                                                .size = static_cast<std::uint8_t>(row.size),
                                                                .layout = format.layout,
                                                                .shortFormMask = format.shortFormMask};
  }
  return table;
}();

// The instruction's bytes at `bytes`; returns the row's size. Operands are
// taken as an instruction record holds them: 16, 16 and 8 bits. Selection
// encodes every instruction it makes with this, so it is inlined there.
[[gnu::always_inline]] static inline int encodeOperation(Operation operation, std::uint32_t operand1,
                                                         std::uint32_t operand2, std::uint32_t operand3,
                                                         std::uint8_t *bytes) {
  const auto value = static_cast<std::uint32_t>(operation);
  ASSERT(value < std::size(opcodeTable));
  const Encoding encoding = encodingOf[value];
  // Most instructions are the opcode alone.
  if (encoding.layout == OperandLayout::None) {
    bytes[0] = encoding.opcode;
    return 1;
  }
  if (encoding.layout == OperandLayout::NeverEncoded)
    reportUnencodable(operation);
  operand1 &= 0xFFFF;
  operand2 &= 0xFFFF;
  operand3 &= 0xFF;

  EncodedBytes out{.bytes = bytes, .count = 0};
  switch (encoding.layout) {
  case OperandLayout::None:
    out.u8(encoding.opcode);
    break;
  case OperandLayout::InOpcode:
    out.u8(encoding.opcode | (operand1 & encoding.shortFormMask));
    break;
  case OperandLayout::InOpcodeU8:
    out.u8(encoding.opcode | (operand1 & encoding.shortFormMask));
    out.u8(operand2);
    break;
  case OperandLayout::U8:
    out.u8(encoding.opcode);
    out.u8(operand1);
    break;
  case OperandLayout::U16:
    out.u8(encoding.opcode);
    out.u16(operand1);
    break;
  case OperandLayout::U8U8:
    out.u8(encoding.opcode);
    out.u8(operand1);
    out.u8(operand2);
    break;
  case OperandLayout::U8U16:
    out.u8(encoding.opcode);
    out.u8(operand1);
    out.u16(operand2);
    break;
  case OperandLayout::U8U8U8:
    out.u8(encoding.opcode);
    out.u8(operand1);
    out.u8(operand2);
    out.u8(operand3);
    break;
  case OperandLayout::U16U16U8:
    out.u8(encoding.opcode);
    out.u16(operand1);
    out.u16(operand2);
    out.u8(operand3);
    break;
  case OperandLayout::NeverEncoded:
    break;
  }
  ASSERT(out.count == encoding.size);
  return out.count;
}

int encodeInstructionAt(const AsmCode *instruction, std::uint8_t *bytes) {
  ASSERT(instruction);
  return encodeOperation(instruction->operation, instruction->operand1, instruction->operand2,
                         instruction->operand3, bytes);
}

ByteBuffer *encodeInstruction(const AsmCode *instruction) {
  ASSERT(instruction);
  const int size = opcodeRow(instruction->operation).size;
  auto *buffer = static_cast<ByteBuffer *>(checkedAllocate(1, sizeof(ByteBuffer)));
  *buffer = ByteBuffer{.size = static_cast<std::uint32_t>(size),
                       .bytes = static_cast<std::uint8_t *>(checkedAllocate(size, 1))};
  encodeInstructionAt(instruction, buffer->bytes);
  return buffer;
}

// ---------------------------------------------------------------- decoding

// The operation of every opcode byte a selected instruction can start with
// (None for the others): a short form's byte carries its operand.
static constexpr std::array<Operation, 256> operationOfOpcodeByte = [] {
  std::array<Operation, 256> table{};
  for (const OpcodeRow &row : opcodeTable) {
    const OperandFormat format = operandFormat(row.operation);
    switch (format.layout) {
    case OperandLayout::NeverEncoded:
      break;
    case OperandLayout::InOpcode:
    case OperandLayout::InOpcodeU8:
      for (std::uint32_t operand = 0; operand <= format.shortFormMask; ++operand)
        table[row.opcode | operand] = row.operation;
      break;
    default:
      table[row.opcode] = row.operation;
      break;
    }
  }
  return table;
}();

namespace {
struct DecodedBytes {
  const std::uint8_t *bytes;
  int count;
  std::uint32_t u8() { return bytes[count++]; }
  std::uint32_t u16() {
    const std::uint32_t high = u8();
    return (high << 8) | u8();
  }
};
} // namespace

// The instruction encoded at `bytes`, as encodeInstructionAt wrote it; returns
// its size.
static int decodeInstructionAt(const std::uint8_t *bytes, AsmCode &instruction) {
  const Operation operation = operationOfOpcodeByte[bytes[0]];
  const OperandFormat format = operandFormat(operation);
  DecodedBytes in{.bytes = bytes, .count = 0};
  std::uint32_t operands[3] = {0, 0, 0};
  switch (format.layout) {
  case OperandLayout::None:
    in.u8();
    break;
  case OperandLayout::InOpcode:
    operands[0] = in.u8() & format.shortFormMask;
    break;
  case OperandLayout::InOpcodeU8:
    operands[0] = in.u8() & format.shortFormMask;
    operands[1] = in.u8();
    break;
  case OperandLayout::U8:
    in.u8();
    operands[0] = in.u8();
    break;
  case OperandLayout::U16:
    in.u8();
    operands[0] = in.u16();
    break;
  case OperandLayout::U8U8:
    in.u8();
    operands[0] = in.u8();
    operands[1] = in.u8();
    break;
  case OperandLayout::U8U16:
    in.u8();
    operands[0] = in.u8();
    operands[1] = in.u16();
    break;
  case OperandLayout::U8U8U8:
    in.u8();
    operands[0] = in.u8();
    operands[1] = in.u8();
    operands[2] = in.u8();
    break;
  case OperandLayout::U16U16U8:
    in.u8();
    operands[0] = in.u16();
    operands[1] = in.u16();
    operands[2] = in.u8();
    break;
  case OperandLayout::NeverEncoded:
    ASSERT(!"selected bytes start with an opcode");
    break;
  }
  instruction.operation = operation;
  instruction.operand1 = static_cast<std::uint16_t>(operands[0]);
  instruction.operand2 = static_cast<std::uint16_t>(operands[1]);
  instruction.operand3 = static_cast<std::uint8_t>(operands[2]);
  return in.count;
}

// ---------------------------------------------------------------- the selection buffer

// Every form of every instruction fits in this many bytes.
constexpr std::size_t largestInstructionSize = 6;
// The buffer of a very deep tree's selection is given back rather than kept
// for the next statement.
constexpr std::size_t largestKeptSelectionBytes = std::size_t{1} << 20;

// Each statement's (or tree's) selection starts with an empty buffer.
static void startSelection() {
  if (selected.capacity > largestKeptSelectionBytes) {
    std::free(selected.bytes);
    std::free(selected.runs);
    selected = SelectionBuffer{};
  }
  selected.size = 0;
  selected.runCount = 0;
}

static void growSelectionBytes() {
  const std::size_t capacity = selected.capacity ? 2 * selected.capacity : 4096;
  // Run offsets are 32 bits; a tree selecting to 4 GB would have run out of
  // memory long before.
  ASSERT(capacity <= UINT32_MAX);
  void *bytes = std::realloc(selected.bytes, capacity);
  if (!bytes)
    fatalError(noMemorySpace);
  selected.bytes = static_cast<std::uint8_t *>(bytes);
  selected.capacity = capacity;
}

static void growSelectionRuns() {
  const std::uint32_t capacity = selected.runCapacity ? 2 * selected.runCapacity : 256;
  void *runs = std::realloc(selected.runs, std::size_t{capacity} * sizeof(CodeRun));
  if (!runs)
    fatalError(noMemorySpace);
  selected.runs = static_cast<CodeRun *>(runs);
  selected.runCapacity = capacity;
}

static void appendRun(SelectedCode &code, std::uint32_t start, std::uint32_t count);

// count bytes just written at start go to the end of code: the last run
// grows when they follow it, as they nearly always do. Only that is inlined
// into every instruction made, which keeps the walk small in the
// instruction cache.
[[gnu::always_inline]] static inline void appendBytes(SelectedCode &code, std::uint32_t start, std::uint32_t count) {
  if (code.size) {
    CodeRun &last = selected.runs[code.last];
    if (last.start + last.size == start) {
      last.size += count;
      code.size += count;
      return;
    }
  }
  appendRun(code, start, count);
}

// The bytes start a run of their own.
[[gnu::noinline]] static void appendRun(SelectedCode &code, std::uint32_t start, std::uint32_t count) {
  if (selected.runCount == selected.runCapacity)
    growSelectionRuns();
  const std::uint32_t run = selected.runCount++;
  selected.runs[run] = CodeRun{.start = start, .size = count, .next = noRun};
  if (code.size)
    selected.runs[code.last].next = run;
  else
    code.first = run;
  code.last = run;
  code.size += count;
}

// One instruction, encoded at once, at the end of code. Kept out of line:
// the commonest instructions take emitBytes, and the walk's loop stays small
// enough for the instruction cache.
[[gnu::noinline]] static void emit(SelectedCode &code, Operation operation, std::uint32_t operand1 = 0,
                                   std::uint32_t operand2 = 0, std::uint32_t operand3 = 0) {
  if (selected.capacity - selected.size < largestInstructionSize)
    growSelectionBytes();
  const auto start = static_cast<std::uint32_t>(selected.size);
  const int count = encodeOperation(operation, operand1, operand2, operand3, selected.bytes + start);
  selected.size += static_cast<std::size_t>(count);
  appendBytes(code, start, static_cast<std::uint32_t>(count));
  code.lastOperation = operation;
}

// An instruction of one or two bytes, its opcode (with a short form's
// operand) and its operand byte, at the end of code: the loads, stores and
// operations that make most of the code go by this way, past the encoder's
// dispatch.
[[gnu::always_inline]] static inline void emitBytes(SelectedCode &code, Operation operation, std::uint32_t count,
                                                    std::uint32_t first, std::uint32_t second = 0) {
  ASSERT(count == static_cast<std::uint32_t>(opcodeRow(operation).size));
  if (selected.capacity - selected.size < largestInstructionSize)
    growSelectionBytes();
  const auto start = static_cast<std::uint32_t>(selected.size);
  // Both bytes are written: there is room, and a one-byte instruction's
  // second byte is the next instruction's to overwrite.
  selected.bytes[start] = static_cast<std::uint8_t>(first);
  selected.bytes[start + 1] = static_cast<std::uint8_t>(second);
  selected.size += count;
  appendBytes(code, start, count);
  code.lastOperation = operation;
}

// An instruction without operands.
[[gnu::always_inline]] static inline void emitOperation(SelectedCode &code, Operation operation) {
  ASSERT(encodingOf[static_cast<std::uint32_t>(operation)].layout == OperandLayout::None);
  emitBytes(code, operation, 1, opcodeRow(operation).opcode);
}

// A load, store or constant in its short form (the operand in the opcode's
// low bits) or its one-byte-operand form, by the family's thresholds.
template <const FormFamily &family>
[[gnu::always_inline]] static inline void emitShortOrByteForm(SelectedCode &code, std::uint32_t operand) {
  constexpr InstructionForm shortForm = family.forms[0];
  constexpr InstructionForm byteForm = family.forms[1];
  static_assert(encodingOf[static_cast<std::uint32_t>(shortForm.operation)].layout == OperandLayout::InOpcode &&
                encodingOf[static_cast<std::uint32_t>(byteForm.operation)].layout == OperandLayout::U8);
  static_assert(shortForm.limits[0] - 1 == encodingOf[static_cast<std::uint32_t>(shortForm.operation)].shortFormMask &&
                byteForm.limits[0] == 256);
  if (operand < shortForm.limits[0]) {
    emitBytes(code, shortForm.operation, 1, opcodeRow(shortForm.operation).opcode | operand);
    return;
  }
  if (family.formCount > 2 && operand >= byteForm.limits[0]) {
    emit(code, chooseForm(family, operand), operand);
    return;
  }
  // Beyond the widest form: an internal error, as chooseForm has it.
  ASSERT(operand < byteForm.limits[0]);
  emitBytes(code, byteForm.operation, 2, opcodeRow(byteForm.operation).opcode, operand);
}

// later's code follows earlier's. When it starts right where earlier ends,
// as an operand's code after the one before it does, the two runs become
// one; the run given up is the one made last, so it is taken back.
static SelectedCode join(SelectedCode earlier, SelectedCode later) {
  if (!earlier.size)
    return later;
  if (!later.size)
    return earlier;
  CodeRun &last = selected.runs[earlier.last];
  const CodeRun &first = selected.runs[later.first];
  if (last.start + last.size == first.start) {
    last.size += first.size;
    last.next = first.next;
    if (later.first != later.last)
      earlier.last = later.last;
    if (later.first + 1 == selected.runCount)
      --selected.runCount;
  } else {
    last.next = later.first;
    earlier.last = later.last;
  }
  earlier.size += later.size;
  earlier.lastOperation = later.lastOperation;
  return earlier;
}

// The code's bytes in order at destination.
static void copyCode(const SelectedCode &code, std::uint8_t *destination) {
  for (std::uint32_t run = code.first; code.size && run != noRun; run = selected.runs[run].next) {
    const CodeRun &piece = selected.runs[run];
    std::memcpy(destination, selected.bytes + piece.start, piece.size);
    destination += piece.size;
  }
}

// The code as an instruction list (null for none), each instruction with the
// current source line, for the callers that read instructions.
static AsmCodeList *instructionsOf(const SelectedCode &code) {
  if (!code.size)
    return nullptr;
  const std::uint32_t line = currentSourceLineNumber();
  auto *list = takeRecordCell<AsmCodeList>();
  *list = AsmCodeList{.size = code.size, .first = nullptr, .conditionalJump = nullptr, .last = nullptr};
  for (std::uint32_t run = code.first; run != noRun; run = selected.runs[run].next) {
    const CodeRun &piece = selected.runs[run];
    for (std::uint32_t offset = 0; offset < piece.size;) {
      auto *instruction = takeRecordCell<AsmCode>();
      *instruction = AsmCode{.operation = Operation::None, .operand1 = 0, .operand2 = 0, .operand3 = 0,
                             .lineNo = line, .targetBlock = nullptr, .next = nullptr};
      offset += static_cast<std::uint32_t>(decodeInstructionAt(selected.bytes + piece.start + offset, *instruction));
      if (list->last)
        list->last->next = instruction;
      else
        list->first = instruction;
      list->last = instruction;
    }
  }
  return list;
}

// ---------------------------------------------------------------- leaves and limits

std::uint32_t leafIndex(const AbstractTree *tree) {
  ASSERT((tree->treeOperator == IdentifierLeaf) || (tree->treeOperator == ConstantLeaf));
  if (tree->treeOperator == IdentifierLeaf)
    return tree->identifier.index;
  ASSERT(tree->constantNode.constantType == IndirectConstant);
  return tree->constantNode.value;
}

// A jump over selected code inside one expression: 65535 bytes is the widest
// offset the format has, and the run ends beyond it.
static std::uint32_t expressionJumpDistance(const SelectedCode &skippedCode) {
  const std::uint32_t distance = skippedCode.size;
  if (distance > 65535 && selection.longJumpsDeferred) {
    selection.longJumpMet = true;
    return 0;  // any distance the jump can hold: the code is thrown away
  }
  if (distance > 65535) {
    jumpSizeForOffset(distance > INT_MAX ? INT_MAX : static_cast<int>(distance));
    ASSERT(!"an offset beyond 65535 ends the run");
  }
  return distance;
}

// The front end gives function indices only up to 255 ("Number of functions
// exceed maximum limit" for the next name), so every callee has a call form.
static std::uint32_t callableFunctionIndex(const AbstractTree *callee) {
  const std::uint32_t index = leafIndex(callee);
  ASSERT(index <= 255);
  return index;
}

[[gnu::always_inline]] static inline void emitLoadVariable(SelectedCode &code, std::uint32_t index) {
  emitShortOrByteForm<loadVariableForms>(code, index);
}

[[gnu::always_inline]] static inline void selectLeaf(const AbstractTree *leaf, SelectedCode &code) {
  if (leaf->treeOperator == IdentifierLeaf) {
    emitLoadVariable(code, leaf->identifier.index);
    return;
  }
  ASSERT(leaf->treeOperator == ConstantLeaf);
  const std::uint32_t value = leaf->constantNode.value;
  if (leaf->constantNode.constantType == IndirectConstant)
    emitShortOrByteForm<loadConstantForms>(code, value);
  else
    emitOperation(code, immediateConstantOperation(value));
}

// ---------------------------------------------------------------- operator rules

// a = a + b and a = a - b: the value's first operand is the target itself, so
// the instruction that adds to or subtracts from the variable does it all.
static bool isAccumulatingAssignment(const AbstractTree *assignment) {
  const AbstractTree *target = firstOperand(assignment);
  const AbstractTree *value = secondOperand(assignment);
  if (value->treeOperator != Add && value->treeOperator != Subtract)
    return false;
  const AbstractTree *rightChild1 = firstOperand(value);
  const AbstractTree *rightChild2 = secondOperand(value);
  ASSERT(rightChild1);
  ASSERT(rightChild2);
  return target->treeOperator == IdentifierLeaf && rightChild1->treeOperator == IdentifierLeaf &&
         rightChild2->treeOperator == IdentifierLeaf &&
         rightChild1->identifier.index == target->identifier.index;
}

// The operands whose code the node's rule joins: a call's arguments only, an
// assignment's value (or, accumulating, the value's second operand) only.
static AbstractTreeList *operandsToSelect(const AbstractTree *node, bool accumulating) {
  switch (node->treeOperator) {
  case FunctionCall:
    // After the callee.
    return childList(node)->next;
  case ExternalFunctionCall:
  case LibraryFunctionCall: {
    // After the two index leaves.
    const AbstractTreeList *second = childList(node)->next;
    ASSERT(second);
    return second->next;
  }
  case Assign:
    if (accumulating)
      return secondOperand(node)->succList->next;
    return node->succList->next;
  case AddAssign:
  case SubtractAssign:
    return node->succList->next;
  default:
    ASSERT(node->succList);
    return node->succList;
  }
}

// Most rules append to the code of the operands before them, which is the
// code selected last: the walk keeps that code, and such a node's rule
// finishes it in place. ?:, && and || put jumps between their operands, and
// a pre-increment its change before its operand's load: those keep each
// operand's code apart and are finished into code of their own, which then
// follows what came before them.

static void finishCall(const SelectionFrame &frame, SelectedCode &code) {
  const AbstractTree *node = frame.node;
  switch (node->treeOperator) {
  case FunctionCall: {
    emitShortOrByteForm<callScriptForms>(code, callableFunctionIndex(firstOperand(node)));
    return;
  }
  case ExternalFunctionCall: {
    // The url and function name leaves come before the arguments.
    const AbstractTreeList *first = childList(node);
    ASSERT(first->next);
    const std::uint32_t url = leafIndex(first->abstractTree);
    const std::uint32_t name = leafIndex(first->next->abstractTree);
    emit(code, chooseForm(callExternalForms, url, name, frame.operandCount), url, name, frame.operandCount);
    return;
  }
  case LibraryFunctionCall: {
    // The library index leaf, then the function index leaf.
    const AbstractTreeList *first = childList(node);
    ASSERT(first->next);
    const std::uint32_t function = leafIndex(first->next->abstractTree);
    const std::uint32_t library = leafIndex(first->abstractTree);
    // The short form, the commonest: the function index in the opcode, the
    // library index in the byte after it.
    constexpr InstructionForm shortForm = callLibraryForms.forms[0];
    static_assert(encodingOf[static_cast<std::uint32_t>(shortForm.operation)].layout == OperandLayout::InOpcodeU8 &&
                  shortForm.limits[0] - 1 == encodingOf[static_cast<std::uint32_t>(shortForm.operation)].shortFormMask &&
                  shortForm.limits[1] == 256);
    if (function < shortForm.limits[0] && library < shortForm.limits[1])
      emitBytes(code, shortForm.operation, 2, opcodeRow(shortForm.operation).opcode | function, library);
    else
      emit(code, chooseForm(callLibraryForms, function, library), function, library);
    return;
  }
  default:
    break;
  }
  ASSERT(!"node is a call");
}

// Post: the old value is loaded before the change.
static void finishPostIncrementOrDecrement(const SelectionFrame &frame, SelectedCode &code) {
  const std::uint32_t variable = leafIndex(firstOperand(frame.node));
  emit(code, incrementOrDecrementForm(frame.node->treeOperator, variable), variable);
}

// Pre: the new value is loaded after the change.
static SelectedCode finishPreIncrementOrDecrement(const SelectionFrame &frame) {
  const std::uint32_t variable = leafIndex(firstOperand(frame.node));
  SelectedCode code = noCode;
  emit(code, incrementOrDecrementForm(frame.node->treeOperator, variable), variable);
  return join(code, frame.operandCode[0]);
}

// Logical nodes are entered before their operands are selected. The node
// entered last before this one converts its value when it is its parent and
// this node its first operand: then no node came between them.
static void enterLogicalNode(SelectionFrame &frame, const SelectionFrame *parent) {
  const AbstractTree *candidate = selection.enclosingLogicalNode;
  frame.parentConverts = candidate && parent && parent->node == candidate && parent->operandCount == 0;
  selection.enclosingLogicalNode = frame.node;
}

// The right operand's value is the result when it is reached, so it must be
// a boolean: tobool, unless it is one already or the enclosing && or || will
// convert it (this node is that one's left operand).
static SelectedCode finishLogical(const SelectionFrame &frame) {
  const SelectedCode left = frame.operandCode[0];
  SelectedCode right = frame.operandCode[1];
  ASSERT(right.size);
  if (!producesBoolean(right.lastOperation) && !frame.parentConverts)
    emitOperation(right, Operation::ToBool);
  const std::uint32_t distance = expressionJumpDistance(right);
  SelectedCode shortCircuit = noCode;
  emit(shortCircuit, frame.node->treeOperator == LogicalAnd ? Operation::ScAnd : Operation::ScOr);
  emit(shortCircuit, chooseForm(forwardConditionalJumpForms, distance), distance);
  return join(join(left, shortCircuit), right);
}

// condition, tjump over the then-value and its jump, then-value, jump over
// the else-value, else-value.
static SelectedCode finishConditional(const SelectionFrame &frame) {
  const SelectedCode condition = frame.operandCode[0];
  SelectedCode thenValue = frame.operandCode[1];
  const SelectedCode elseValue = frame.operandCode[2];
  const std::uint32_t elseDistance = expressionJumpDistance(elseValue);
  emit(thenValue, chooseForm(forwardJumpForms, elseDistance), elseDistance);
  const std::uint32_t thenDistance = expressionJumpDistance(thenValue);
  SelectedCode skipThen = noCode;
  emit(skipThen, chooseForm(forwardConditionalJumpForms, thenDistance), thenDistance);
  return join(join(join(condition, skipThen), thenValue), elseValue);
}

static void loadAssignedValue(const AbstractTree *node, SelectedCode &code, std::uint32_t target) {
  if (!node->valueDiscarded)
    emitLoadVariable(code, target);
}

static void finishAssign(const SelectionFrame &frame, SelectedCode &code) {
  const AbstractTree *node = frame.node;
  const std::uint32_t target = leafIndex(firstOperand(node));
  if (frame.accumulating) {
    const bool add = secondOperand(node)->treeOperator == Add;
    emit(code, chooseForm(add ? addToVariableForms : subtractFromVariableForms, target), target);
  } else {
    emitShortOrByteForm<storeVariableForms>(code, target);
  }
  loadAssignedValue(node, code, target);
}

static void finishCompoundAssign(const SelectionFrame &frame, SelectedCode &code) {
  const AbstractTree *node = frame.node;
  const std::uint32_t target = leafIndex(firstOperand(node));
  const bool add = node->treeOperator == AddAssign;
  emit(code, chooseForm(add ? addToVariableForms : subtractFromVariableForms, target), target);
  loadAssignedValue(node, code, target);
}

// The operators whose rule is their operands' code, then the one operation
// they map to: exactly those that map to one.
[[gnu::always_inline]] static inline Operation singleOperationOf(ExpressionOperator op) {
  ASSERT(op < numberOfOperators);
  return operationOfOperator[op];
}

static bool joinsOperandsThenOperation(ExpressionOperator op) { return singleOperationOf(op) != Operation::None; }

// Such an operator over one or two leaves, the commonest inner node, is
// selected without a frame: the leaves' loads, then the operation, at the
// end of code. False, with nothing selected, for any other node.
[[gnu::always_inline]] static inline bool trySelectOperatorOverLeaves(const AbstractTree *node, SelectedCode &code) {
  if (!joinsOperandsThenOperation(node->treeOperator))
    return false;
  const AbstractTreeList *first = childList(node);
  const AbstractTreeList *second = first->next;
  if (!isLeafOperator(first->abstractTree->treeOperator))
    return false;
  if (second && (second->next || !isLeafOperator(second->abstractTree->treeOperator)))
    return false;
  // One loop over the one or two leaves: a single copy of the leaf's code.
  for (const AbstractTreeList *leaf = first; leaf; leaf = leaf->next)
    selectLeaf(leaf->abstractTree, code);
  emitOperation(code, operatorToOperation(node->treeOperator));
  return true;
}


// The rules whose operands' code stays apart: their code is made anew.
static bool keepsOperandsApart(ExpressionOperator op) {
  return op == LogicalAnd || op == LogicalOr || op == Conditional || op == PreIncrement || op == PreDecrement;
}

static SelectedCode finishApart(const SelectionFrame &frame) {
  switch (frame.node->treeOperator) {
  case LogicalAnd:
  case LogicalOr:
    return finishLogical(frame);
  case Conditional:
    return finishConditional(frame);
  case PreIncrement:
  case PreDecrement:
    return finishPreIncrementOrDecrement(frame);
  default:
    break;
  }
  ASSERT(!"the node keeps its operands apart");
  return noCode;
}

// Every other rule: its instructions after the operands' code.
static void finishInPlace(const SelectionFrame &frame, SelectedCode &code) {
  switch (frame.node->treeOperator) {
  case FunctionCall:
  case ExternalFunctionCall:
  case LibraryFunctionCall:
    finishCall(frame, code);
    return;
  case IsValid:
  case TypeOf:
  case UnaryMinus:
  case LogicalNot:
  case ComplementOf:
  case IntegerDivide:
  case RightShiftZeroFill:
  case Multiply:
  case Divide:
  case Modulus:
  case Add:
  case Subtract:
  case LeftShift:
  case RightShift:
  case Greater:
  case Lesser:
  case GreaterOrEqual:
  case LesserOrEqual:
  case Equal:
  case NotEqual:
  case BitAnd:
  case BitXor:
  case BitOr:
    emitOperation(code, operatorToOperation(frame.node->treeOperator));
    return;
  case UnaryPlus:
    // There is no unary-plus instruction; negating twice converts the
    // operand to a number as unary plus does.
    emitOperation(code, Operation::UMinus);
    emitOperation(code, Operation::UMinus);
    return;
  case PostIncrement:
  case PostDecrement:
    finishPostIncrementOrDecrement(frame, code);
    return;
  case Assign:
    finishAssign(frame, code);
    return;
  case AddAssign:
  case SubtractAssign:
    finishCompoundAssign(frame, code);
    return;
  case PreIncrement:
  case PreDecrement:
  case LogicalAnd:
  case LogicalOr:
  case Conditional:
  case IdentifierLeaf:
  case ConstantLeaf:
  case MultiplyAssign:
  case DivideAssign:
  case IntegerDivideAssign:
  case ModulusAssign:
  case LeftShiftAssign:
  case RightShiftAssign:
  case RightShiftZeroFillAssign:
  case BitAndAssign:
  case BitXorAssign:
  case BitOrAssign:
  case Comma:
    break;
  }
  ASSERT(!"operator occurs in abstract trees");
}

// ---------------------------------------------------------------- the walk

// The frames of one selection, in chunks chained downward: a deep tree's
// stack grows a chunk at a time and is never copied.
constexpr std::size_t framesPerChunk = 1024;

namespace {
struct FrameChunk {
  FrameChunk *below;  // null for the bottom chunk
  SelectionFrame frames[framesPerChunk];
};

// chunk->frames[heightInChunk - 1] is the node being selected.
struct SelectionStack {
  FrameChunk *chunk;
  std::size_t heightInChunk;
};
} // namespace

// The bottom chunk stays from one selection to the next; of the chunks above
// it, the one left last is kept for the next climb, so a stack that goes up
// and down across a chunk's end allocates nothing.
static constinit FrameChunk *bottomChunk = nullptr;
static constinit FrameChunk *spareChunk = nullptr;

static FrameChunk *takeFrameChunk(FrameChunk *below) {
  FrameChunk *chunk = spareChunk;
  spareChunk = nullptr;
  if (!chunk) {
    chunk = static_cast<FrameChunk *>(std::malloc(sizeof(FrameChunk)));
    if (!chunk)
      fatalError(noMemorySpace);
  }
  chunk->below = below;
  return chunk;
}

static void giveFrameChunk(FrameChunk *chunk) {
  if (spareChunk)
    std::free(spareChunk);
  spareChunk = chunk;
}

static SelectionStack startSelectionStack() {
  if (!bottomChunk)
    bottomChunk = takeFrameChunk(nullptr);
  return SelectionStack{.chunk = bottomChunk, .heightInChunk = 0};
}

static SelectionFrame &pushFrame(SelectionStack &stack) {
  if (stack.heightInChunk == framesPerChunk) {
    stack.chunk = takeFrameChunk(stack.chunk);
    stack.heightInChunk = 0;
  }
  return stack.chunk->frames[stack.heightInChunk++];
}

[[gnu::always_inline]] static inline SelectionFrame &topFrame(SelectionStack &stack) {
  return stack.chunk->frames[stack.heightInChunk - 1];
}

// False when the frame popped was the last one.
static bool popFrame(SelectionStack &stack) {
  stack.heightInChunk -= 1;
  if (stack.heightInChunk)
    return true;
  FrameChunk *below = stack.chunk->below;
  if (!below)
    return false;
  giveFrameChunk(stack.chunk);
  stack.chunk = below;
  stack.heightInChunk = framesPerChunk;
  return true;
}

// parent is the frame of the node whose operand this one is, null for the
// root; code is the walk's code. Returns the new frame.
static SelectionFrame *enterNode(SelectionStack &stack, AbstractTree *node, const SelectionFrame *parent,
                                 bool released, SelectedCode &code) {
  const ExpressionOperator op = node->treeOperator;
  SelectionFrame &frame = pushFrame(stack);
  frame.node = node;
  frame.operandCount = 0;
  frame.released = released;
  // Most frames are of the unary and binary operators: every operand, then
  // the operation.
  frame.operation = singleOperationOf(op);
  if (frame.operation != Operation::None) {
    frame.pendingOperands = childList(node);
    frame.accumulating = false;
    frame.parentConverts = false;
    frame.apart = false;
    return &frame;
  }
  const bool accumulating = op == Assign && isAccumulatingAssignment(node);
  frame.pendingOperands = operandsToSelect(node, accumulating);
  frame.accumulating = accumulating;
  frame.parentConverts = false;
  frame.apart = keepsOperandsApart(op);
  if (frame.apart) {
    frame.codeBefore = code;
    code = noCode;
  }
  if (op == LogicalAnd || op == LogicalOr)
    enterLogicalNode(frame, parent);
  return &frame;
}

// A node's instructions are chosen: the references its child list holds go,
// and the list with them. Children that were selected with frames of their
// own have given up their lists already, so each child is freed by itself.
static void releaseOperands(AbstractTree *node) {
  AbstractTreeList *item = node->succList;
  node->succList = nullptr;
  while (item) {
    AbstractTreeList *next = item->next;
    releaseChildReference(item->abstractTree);
    giveRecordCell(item);
    item = next;
  }
}

// The root of a tree being released, once it is selected, and whatever of
// its tree is left with it. A root someone else holds too only loses the
// statement's reference later, as before.
static void releaseSelectedRoot(AbstractTree *root) {
  if (!selection.releasingTree || !isUnreferencedTree(root))
    return;
  releaseTree(root);
  selection.treeReleased = true;
}

// A root that is a leaf or an operator over leaves needs no frame. False,
// with nothing selected, for any other root. Out of line, so that its
// copies of the leaf's code stay out of the walk's loop.
[[gnu::noinline]] static bool trySelectSmallTree(AbstractTree *tree, SelectedCode &code) {
  if (isLeafOperator(tree->treeOperator))
    selectLeaf(tree, code);
  else if (!trySelectOperatorOverLeaves(tree, code))
    return false;
  releaseSelectedRoot(tree);
  return true;
}

// An operand of the frame's node is selected: its code is the walk's code.
[[gnu::always_inline]] static inline void operandSelected(SelectionFrame &frame, SelectedCode &code) {
  if (frame.apart) {
    ASSERT(frame.operandCount < 3);
    frame.operandCode[frame.operandCount] = code;
    code = noCode;
  }
  ++frame.operandCount;
}

// Post-order over an explicit stack, so that the source decides the depth of
// no call chain: the instructions come out exactly as a recursive selection,
// operands left to right, would make them.
static SelectedCode selectCode(AbstractTree *tree) {
  ASSERT(tree);
  SelectedCode code = noCode;
  if (trySelectSmallTree(tree, code))
    return code;
  SelectionStack stack = startSelectionStack();
  SelectionFrame *top =
      enterNode(stack, tree, nullptr, selection.releasingTree && isUnreferencedTree(tree), code);
  for (;;) {
    if (top->pendingOperands) {
      AbstractTree *operand = top->pendingOperands->abstractTree;
      top->pendingOperands = top->pendingOperands->next;
      if (isLeafOperator(operand->treeOperator)) {
        selectLeaf(operand, code);
        operandSelected(*top, code);
      } else if (trySelectOperatorOverLeaves(operand, code)) {
        operandSelected(*top, code);
      } else {
        // A child list that holds the operand alone goes with its parent.
        top = enterNode(stack, operand, top, top->released && operand->referenceCount == 1, code);
      }
      continue;
    }
    if (top->operation != Operation::None)
      emitOperation(code, top->operation);
    else if (top->apart)
      code = join(top->codeBefore, finishApart(*top));
    else
      finishInPlace(*top, code);
    if (top->released)
      releaseOperands(top->node);
    if (!popFrame(stack))
      break;
    top = &topFrame(stack);
    operandSelected(*top, code);
  }
  releaseSelectedRoot(tree);
  return code;
}

// ---------------------------------------------------------------- statements

// An assignment whose value is discarded leaves nothing; every other
// expression statement (a call, &&, ||, ?:) leaves its value, which goes.
static bool leavesValue(const AbstractTree *tree) {
  switch (tree->treeOperator) {
  case Assign:
  case AddAssign:
  case SubtractAssign:
    return !tree->valueDiscarded;
  default:
    return true;
  }
}

[[gnu::always_inline]] static inline SelectedCode withValueDropped(SelectedCode code) {
  if (code.size)
    emitOperation(code, Operation::Pop);
  return code;
}

static SelectedCode selectStatementExpressionCode(AbstractTree *tree) {
  ASSERT(tree);
  SelectedCode code = noCode;
  switch (tree->treeOperator) {
  case PreIncrement:
  case PostIncrement:
  case PreDecrement:
  case PostDecrement: {
    const std::uint32_t variable = leafIndex(firstOperand(tree));
    emit(code, incrementOrDecrementForm(tree->treeOperator, variable), variable);
    return code;
  }
  default:
    break;
  }
  // Read first: the tree may go as it is selected.
  const bool dropsValue = leavesValue(tree);
  code = selectCode(tree);
  return dropsValue ? withValueDropped(code) : code;
}

// Without -g a condition that cannot fail needs no test. Only constants are
// known: a non-zero integer or true.
static bool isKnownTrue(const AbstractTree *condition) {
  if (isDebugInfoEnabled() || condition->treeOperator != ConstantLeaf)
    return false;
  const ConstantDescriptor &constant = condition->constantNode;
  switch (constant.valueType) {
  case IntegerType:
    return constant.constantType == IndirectConstant ||
           constant.value != static_cast<std::uint32_t>(ImmediateCode::Zero);
  case BooleanType:
    return constant.constantType == ImmediateConstant &&
           constant.value == static_cast<std::uint32_t>(ImmediateCode::True);
  default:
    return false;
  }
}

namespace {
// A statement's selection: its code up to its jumps to other blocks, then
// those jumps, which only jump selection can give their form.
struct StatementCode {
  SelectedCode code;
  BlockJumps jumps;
};
} // namespace

constexpr BlockJumps noJumps{noBlockJump, noBlockJump};

// The statement's one jump, its block's last instruction.
static StatementCode endingWith(const SelectedCode &code, const BlockJump &jump) {
  return {code, BlockJumps{noBlockJump, jump}};
}

// A conditional jump leaves towards the false target when the condition
// fails; the next block is reached by falling through.
static StatementCode selectConditionalStatement(Statement *statement, const BasicBlock *next) {
  AbstractTree *condition = statement->abstractTreePtr;
  ASSERT(condition);
  BasicBlock *trueTarget = statement->trueBlock;
  BasicBlock *falseTarget = statement->falseBlock;
  const bool trueIsNext = next && trueTarget == next;
  const bool falseIsNext = next && falseTarget == next;
  const bool knownTrue = isKnownTrue(condition);

  if (trueIsNext && falseIsNext)
    return {withValueDropped(selectCode(condition)), noJumps};
  if (trueIsNext) {
    if (knownTrue)
      return {noCode, noJumps};
    const SelectedCode test = selectCode(condition);
    return endingWith(test, conJumpTo(falseTarget));
  }
  if (trueTarget == falseTarget) {
    const SelectedCode test = knownTrue ? noCode : withValueDropped(selectCode(condition));
    return endingWith(test, unconJumpTo(trueTarget));
  }
  if (falseIsNext && isComparison(condition->treeOperator)) {
    // The negated test fails exactly when the original holds: its jump goes
    // to the true target and the false target is fallen into.
    condition->treeOperator = negatedComparison(condition->treeOperator);
    const SelectedCode test = selectCode(condition);
    return endingWith(test, conJumpTo(trueTarget));
  }
  if (knownTrue)
    return endingWith(noCode, unconJumpTo(trueTarget));
  const BlockJump toFalse = conJumpTo(falseTarget);
  const SelectedCode test = selectCode(condition);
  return {test, BlockJumps{toFalse, unconJumpTo(trueTarget)}};
}

static SelectedCode selectSequentialStatement(Statement *statement) {
  // An early selection met an expression jump beyond the limit and its tree
  // went with it: selecting it again would meet the same jump first.
  if (statement->expressionJumpTooLong)
    jumpSizeForOffset(65536);
  ASSERT(statement->abstractTreePtr);
  statement->abstractTreePtr->valueDiscarded = 1;
  return selectStatementExpressionCode(statement->abstractTreePtr);
}

static StatementCode selectStatementCode(Statement *statement, BlockListNode *currentPosition) {
  ASSERT(statement);
  ASSERT(currentPosition);
  const BasicBlock *next = currentPosition->nextBlock ? currentPosition->nextBlock->blockPtr : nullptr;
  switch (statement->statementType) {
  case SequentialStat:
    return {selectSequentialStatement(statement), noJumps};
  case ConditionalStat:
    return selectConditionalStatement(statement, next);
  case GotoStat:
    if (next && statement->targetBlock == next)
      return {noCode, noJumps};
    return endingWith(noCode, unconJumpTo(statement->targetBlock));
  case ReturnStat: {
    SelectedCode code = noCode;
    if (!statement->abstractTreePtr) {
      emitOperation(code, Operation::ReturnEs);
      return {code, noJumps};
    }
    code = selectCode(statement->abstractTreePtr);
    emitOperation(code, Operation::Return);
    return {code, noJumps};
  }
  }
  ASSERT(!"statement type");
  return {noCode, noJumps};
}

// ---------------------------------------------------------------- selection entry points

AsmCodeList *selectStatement(Statement *statement, BlockListNode *currentPosition) {
  startSelection();
  const StatementCode result = selectStatementCode(statement, currentPosition);
  AsmCodeList *code = instructionsOf(result.code);
  return appendAsmLists(code, makeBlockJumps(result.jumps), nullptr);
}

// The byte selections release the statement's tree as they go; the
// statement forgets a tree that is gone.
static void startReleasingTree() {
  selection.releasingTree = true;
  selection.treeReleased = false;
}

static void finishReleasingTree(Statement *statement) {
  selection.releasingTree = false;
  if (selection.treeReleased)
    statement->abstractTreePtr = nullptr;
}

void selectStatementBytes(Statement *statement, BlockListNode *currentPosition, std::uint32_t *byteCount,
                          BlockJumps *jumps) {
  startSelection();
  startReleasingTree();
  const StatementCode result = selectStatementCode(statement, currentPosition);
  finishReleasingTree(statement);
  *byteCount = result.code.size;
  lastStatementCode = result.code;
  *jumps = result.jumps;
}

bool trySelectSequentialStatementBytes(Statement *statement, std::uint32_t *byteCount) {
  ASSERT(statement->statementType == SequentialStat);
  startSelection();
  startReleasingTree();
  selection.longJumpsDeferred = true;
  selection.longJumpMet = false;
  const SelectedCode code = selectSequentialStatement(statement);
  selection.longJumpsDeferred = false;
  finishReleasingTree(statement);
  if (selection.longJumpMet)
    statement->expressionJumpTooLong = 1;
  lastStatementCode = selection.longJumpMet ? noCode : code;
  *byteCount = lastStatementCode.size;
  return !selection.longJumpMet;
}

AsmCodeList *trySelectSequentialStatement(Statement *statement) {
  ASSERT(statement->statementType == SequentialStat);
  startSelection();
  selection.longJumpsDeferred = true;
  selection.longJumpMet = false;
  const SelectedCode code = selectSequentialStatement(statement);
  selection.longJumpsDeferred = false;
  if (selection.longJumpMet)
    return nullptr;
  return instructionsOf(code);
}

void copySelectedBytes(std::uint8_t *destination) { copyCode(lastStatementCode, destination); }

// ---------------------------------------------------------------- selection into the caller's buffer

// The selection's own bytes while a caller's buffer takes their place.
static constinit GrowingBytes ownSelectionBytes{};

// Selection writes after the end of into as it would in its own buffer: the
// runs count from into's first byte.
[[gnu::always_inline]] static inline void startSelectionInto(const GrowingBytes &into) {
  startSelection();
  ownSelectionBytes.bytes = selected.bytes;
  ownSelectionBytes.capacity = selected.capacity;
  selected.bytes = into.bytes;
  selected.size = into.size;
  selected.capacity = into.capacity;
}

// The runs of code, in into after base, put in order there through the
// selection's own buffer.
[[gnu::noinline]] static void orderRunsInto(GrowingBytes &into, std::size_t base, const SelectedCode &code) {
  while (selected.capacity < code.size)
    growSelectionBytes();
  std::uint8_t *ordered = selected.bytes;
  for (std::uint32_t run = code.first; run != noRun; run = selected.runs[run].next) {
    const CodeRun &piece = selected.runs[run];
    std::memcpy(ordered, into.bytes + piece.start, piece.size);
    ordered += piece.size;
  }
  std::memcpy(into.bytes + base, selected.bytes, code.size);
}

// into gets its bytes back, with code after its old end. Nearly all code is
// one run written right there, which needs no copy; only the runs of ?:, &&
// and || may need to be put in order. The code's runs count in into, so
// copySelectedBytes is not for it.
[[gnu::always_inline]] static inline void finishSelectionInto(GrowingBytes &into, const SelectedCode &code) {
  const std::size_t base = into.size;
  into.bytes = selected.bytes;
  into.capacity = selected.capacity;
  selected.bytes = ownSelectionBytes.bytes;
  selected.capacity = ownSelectionBytes.capacity;
  if (code.first != code.last || (code.size && selected.runs[code.first].start != base)) [[unlikely]]
    orderRunsInto(into, base, code);
  into.size = base + code.size;
}

bool trySelectSequentialStatementBytesInto(Statement *statement, GrowingBytes &into, std::uint32_t *byteCount) {
  ASSERT(statement->statementType == SequentialStat);
  startSelectionInto(into);
  startReleasingTree();
  selection.longJumpsDeferred = true;
  selection.longJumpMet = false;
  const SelectedCode code = selectSequentialStatement(statement);
  selection.longJumpsDeferred = false;
  finishReleasingTree(statement);
  if (selection.longJumpMet)
    statement->expressionJumpTooLong = 1;
  finishSelectionInto(into, selection.longJumpMet ? noCode : code);
  *byteCount = selection.longJumpMet ? 0 : code.size;
  return !selection.longJumpMet;
}

AsmCodeList *selectStatementExpression(AbstractTree *tree) {
  startSelection();
  return instructionsOf(selectStatementExpressionCode(tree));
}

AsmCodeList *selectExpression(AbstractTree *tree) {
  startSelection();
  return instructionsOf(selectCode(tree));
}
