#include "verifier.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace tavokrt {

std::string formatMessage(const char *format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

void throwFault(std::uint32_t offset, std::string message) {
  throw LoadFault{offset, std::move(message)};
}

bool isIdentifier(std::string_view text) {
  auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.empty() || !isLetter(text[0]))
    return false;
  return std::all_of(text.begin() + 1, text.end(),
                     [&](char c) { return isLetter(c) || isDigit(c); });
}

std::string printableText(std::string_view text) {
  std::string result;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\')
      result += c;
    else
      result += formatMessage("\\x%02X", byte);
  }
  return result;
}

namespace {

constexpr std::uint32_t NoInstruction = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t Unvisited = std::numeric_limits<std::uint32_t>::max();

// The table's mnemonics are string literals, so data() ends with a NUL.
const char *mnemonic(const Instruction &instruction) {
  return operationInfo(instruction.operation).mnemonic.data();
}


bool isForwardConditionalJump(Operation op) {
  return op == Operation::TjumpFwS || op == Operation::TjumpFw || op == Operation::TjumpFwW;
}

bool isShortCircuit(Operation op) { return op == Operation::Scand || op == Operation::Scor; }

// Everything that stops execution from running on to the next instruction.
bool leavesOrJumpsAway(Operation op) {
  return op == Operation::Return || op == Operation::ReturnEs ||
         (isJump(op) && !isConditionalJump(op));
}

// The operand value from which a form is needed because the next shorter form
// cannot hold it; the compiler always picks the shortest form, so below the
// floor the instruction is not in its smallest form. operandMask says which
// operands count (bit i for operand i); 0 means the form has no shorter one.
struct FormFloor {
  std::uint32_t floor;
  unsigned operandMask;
};

FormFloor smallestFormFloor(Operation op) {
  switch (op) {
  case Operation::JumpFw:
  case Operation::JumpBw:
  case Operation::TjumpFw:
  case Operation::LoadVar:
    return {32, 1};
  case Operation::JumpFwW:
  case Operation::JumpBwW:
  case Operation::TjumpFwW:
  case Operation::TjumpBwW:
  case Operation::LoadConstW:
    return {256, 1};
  case Operation::Call:
  case Operation::CallLib:
  case Operation::IncrVar:
    return {8, 1};
  case Operation::StoreVar:
  case Operation::LoadConst:
    return {16, 1};
  case Operation::CallLibW:
    return {256, 2};
  case Operation::CallUrlW:
    return {256, 3};
  default:
    return {0, 0};
  }
}

class FunctionVerifier {
public:
  FunctionVerifier(const Unit &unit, Function &function, const LoadOptions &options,
                   std::vector<LoadWarning> &warnings)
      : unit(unit), function(function), options(options), warnings(warnings) {}

  void run() {
    indexInstructionStarts();
    for (std::size_t i = 0; i < function.instructions.size(); ++i)
      checkOperands(function.instructions[i], i);
    checkEndOfCode();
    traceStackDepths();
  }

private:
  const Unit &unit;
  Function &function;
  const LoadOptions &options;
  std::vector<LoadWarning> &warnings;
  std::vector<std::uint32_t> indexAtOffset;  // code offset -> instruction index

  std::uint32_t fileOffset(const Instruction &instruction) const {
    return function.codeOffset + instruction.offset;
  }

  [[noreturn]] void fail(const Instruction &instruction, const std::string &message) const {
    throwFault(fileOffset(instruction), formatMessage("%s at 0x%04X: %s", mnemonic(instruction),
                                                      instruction.offset, message.c_str()));
  }

  void indexInstructionStarts() {
    indexAtOffset.assign(function.codeSize, NoInstruction);
    for (std::size_t i = 0; i < function.instructions.size(); ++i)
      indexAtOffset[function.instructions[i].offset] = static_cast<std::uint32_t>(i);
  }

  void checkOperands(Instruction &instruction, std::size_t index) {
    const OperationInfo &info = operationInfo(instruction.operation);
    const std::uint32_t *operand = instruction.operands;
    switch (info.kind) {
    case OperandKind::None:
      if (isShortCircuit(instruction.operation))
        checkShortCircuitPair(instruction, index);
      break;
    case OperandKind::ForwardJump:
    case OperandKind::BackwardJump:
      resolveJump(instruction, info);
      break;
    case OperandKind::Variable: {
      unsigned slots = unsigned{function.argumentCount} + function.localCount;
      if (operand[0] >= slots)
        fail(instruction, formatMessage("variable %u, the function has %u variables", operand[0], slots));
      break;
    }
    case OperandKind::Constant:
      if (operand[0] >= unit.constants.size())
        fail(instruction, formatMessage("constant %u, the pool has %zu constants", operand[0],
                                        unit.constants.size()));
      break;
    case OperandKind::Function:
      if (operand[0] >= unit.functions.size())
        fail(instruction, formatMessage("function %u, the unit has %zu functions", operand[0],
                                        unit.functions.size()));
      break;
    case OperandKind::Library:
      checkLibraryFunction(instruction);
      break;
    case OperandKind::Url:
      checkUrlCall(instruction);
      break;
    }
    if (options.strict)
      checkSmallestForm(instruction);
  }

  void resolveJump(Instruction &instruction, const OperationInfo &info) {
    std::int64_t target = info.kind == OperandKind::ForwardJump
                              ? std::int64_t{instruction.offset} + info.size + instruction.operands[0]
                              : std::int64_t{instruction.offset} - instruction.operands[0];
    if (target < 0)
      fail(instruction, formatMessage("jump target lies %lld bytes before the start of the code",
                                      static_cast<long long>(-target)));
    if (target >= function.codeSize)
      fail(instruction, formatMessage("jump target 0x%04llX lies past the end of the code (0x%04X bytes)",
                                      static_cast<long long>(target), function.codeSize));
    std::uint32_t targetIndex = indexAtOffset[static_cast<std::size_t>(target)];
    if (targetIndex == NoInstruction)
      fail(instruction, formatMessage("jump target 0x%04llX is not an instruction boundary",
                                      static_cast<long long>(target)));
    // The tjump of a scand/scor pair is one step with it: entered on its own
    // it would see a stack the pair's depth rule does not describe.
    if (targetIndex > 0 && isShortCircuit(function.instructions[targetIndex - 1].operation))
      fail(instruction, formatMessage("jump target 0x%04llX is the tjump of a %s pair",
                                      static_cast<long long>(target),
                                      mnemonic(function.instructions[targetIndex - 1])));
    instruction.target = targetIndex;
  }

  void checkShortCircuitPair(const Instruction &instruction, std::size_t index) const {
    std::size_t next = index + 1;
    if (next >= function.instructions.size() ||
        !isForwardConditionalJump(function.instructions[next].operation))
      fail(instruction, "not followed by a forward tjump");
  }

  void checkLibraryFunction(const Instruction &instruction) {
    std::uint32_t functionIndex = instruction.operands[0];
    std::uint32_t library = instruction.operands[1];
    if (findLibraryFunction(library, functionIndex))
      return;
    std::string_view name = libraryName(library);
    std::string message =
        name.empty() ? formatMessage("unknown library %u (function %u)", library, functionIndex)
                     : formatMessage("library %u (%.*s) has no function %u", library,
                                     static_cast<int>(name.size()), name.data(), functionIndex);
    if (options.strict)
      fail(instruction, message);
    // Accepted: the machine reports the call as a fatal error only if it is
    // reached. For the stack it pops nothing and pushes one value.
    warnings.push_back({fileOffset(instruction),
                        formatMessage("%s at 0x%04X: %s", mnemonic(instruction), instruction.offset,
                                      message.c_str())});
  }

  void checkStringConstant(const Instruction &instruction, std::uint32_t index, const char *what) const {
    if (index >= unit.constants.size())
      fail(instruction, formatMessage("the %s is constant %u, the pool has %zu constants", what,
                                      index, unit.constants.size()));
    if (!unit.constants[index].isString())
      fail(instruction, formatMessage("the %s is constant %u, not a string", what, index));
  }

  void checkUrlCall(const Instruction &instruction) const {
    checkStringConstant(instruction, instruction.operands[0], "url");
    checkStringConstant(instruction, instruction.operands[1], "function name");
    const std::string &name = unit.constants[instruction.operands[1]].bytes;
    if (!isIdentifier(name))
      fail(instruction, formatMessage("the function name \"%s\" (constant %u) is not an identifier",
                                      printableText(name).c_str(), instruction.operands[1]));
  }

  void checkSmallestForm(const Instruction &instruction) const {
    FormFloor floor = smallestFormFloor(instruction.operation);
    if (!floor.operandMask)
      return;
    std::uint32_t largest = 0;
    for (unsigned i = 0; i < 3; ++i)
      if (floor.operandMask & (1u << i))
        largest = std::max(largest, instruction.operands[i]);
    if (largest < floor.floor)
      fail(instruction, formatMessage("operand %u fits a shorter form", largest));
  }

  // Checked on the code as laid out, reachable or not: the last instruction
  // must leave the function, so no path can run past the end of the code.
  void checkEndOfCode() const {
    const Instruction &last = function.instructions.back();
    if (!leavesOrJumpsAway(last.operation))
      fail(last, "execution runs off the end of the function's code");
  }

  struct StackEffect {
    std::uint32_t pops;
    std::uint32_t pushes;
  };

  StackEffect stackEffect(const Instruction &instruction) const {
    const OperationInfo &info = operationInfo(instruction.operation);
    switch (info.kind) {
    case OperandKind::Function:
      return {unit.functions[instruction.operands[0]].argumentCount, 1};
    case OperandKind::Url:
      return {instruction.operands[2], 1};
    case OperandKind::Library: {
      const LibraryFunctionInfo *callee = findLibraryFunction(instruction.operands[1], instruction.operands[0]);
      return {callee ? callee->parameterCount : 0u, 1};
    }
    default:
      return {info.pops, info.pushes};
    }
  }

  // One pass over the reachable instructions from a worklist: every
  // instruction is entered once, so the pass is linear in the code.
  void traceStackDepths() {
    const std::vector<Instruction> &code = function.instructions;
    std::vector<std::uint32_t> depth(code.size(), Unvisited);
    std::vector<std::uint32_t> work;
    std::uint32_t maximum = 0;
    auto reach = [&](std::uint32_t index, std::uint32_t value) {
      if (depth[index] == Unvisited) {
        depth[index] = value;
        work.push_back(index);
      } else if (depth[index] != value) {
        throwFault(fileOffset(code[index]),
                   formatMessage("unequal stack depths at a join: 0x%04X is reached with depths %u and %u",
                                 code[index].offset, depth[index], value));
      }
    };
    reach(0, 0);
    while (!work.empty()) {
      std::uint32_t index = work.back();
      work.pop_back();
      const Instruction &instruction = code[index];
      std::uint32_t before = depth[index];
      if (isShortCircuit(instruction.operation)) {
        // scand/scor and the forward tjump after them form one step: the
        // taken edge carries the extra value, the fall-through edge does not.
        if (before < 1)
          underflow(instruction, 1, before);
        maximum = std::max(maximum, before + 1);
        const Instruction &jump = code[index + 1];
        depth[index + 1] = before;
        reach(jump.target, before);
        reach(index + 2, before - 1);
        continue;
      }
      StackEffect effect = stackEffect(instruction);
      if (before < effect.pops)
        underflow(instruction, effect.pops, before);
      std::uint32_t after = before - effect.pops + effect.pushes;
      maximum = std::max(maximum, after);
      Operation op = instruction.operation;
      if (op == Operation::Return || op == Operation::ReturnEs)
        continue;
      if (isJump(op))
        reach(instruction.target, after);
      if (!isJump(op) || isConditionalJump(op))
        reach(index + 1, after);
    }
    function.maxStackDepth = maximum;
  }

  [[noreturn]] void underflow(const Instruction &instruction, std::uint32_t pops, std::uint32_t depth) const {
    fail(instruction, formatMessage("stack underflow: pops %u values, the stack holds %u", pops, depth));
  }
};

} // namespace

void decodeFunctionCode(std::span<const std::uint8_t> file, std::size_t number, Function &function) {
  if (function.codeSize == 0)
    throwFault(function.codeOffset, formatMessage("function %zu has no code", number));
  // A first pass checks the opcodes and counts the instructions, so that the
  // list is allocated once, at the size the bytes prove.
  std::size_t count = 0;
  for (std::uint32_t offset = 0; offset < function.codeSize; ++count) {
    std::uint32_t at = function.codeOffset + offset;
    std::uint8_t opcodeByte = file[at];
    Operation operation;
    if (!decodeOpcodeByte(opcodeByte, operation))
      throwFault(at, formatMessage("byte 0x%02X at 0x%04X starts no instruction", opcodeByte, offset));
    const OperationInfo &info = operationInfo(operation);
    if (info.size > function.codeSize - offset)
      throwFault(at, formatMessage("%s at 0x%04X runs past the end of the function's code",
                                   info.mnemonic.data(), offset));
    offset += info.size;
  }
  function.instructions.reserve(count);
  for (std::uint32_t offset = 0; offset < function.codeSize;) {
    std::uint32_t at = function.codeOffset + offset;
    std::uint8_t opcodeByte = file[at];
    Operation operation;
    decodeOpcodeByte(opcodeByte, operation);
    const OperationInfo &info = operationInfo(operation);
    Instruction instruction{operation, info.size, offset, {0, 0, 0}, 0};
    unsigned operandCount = 0;
    if (info.fieldMask)
      instruction.operands[operandCount++] = opcodeByte & info.fieldMask;
    std::uint32_t position = at + 1;
    for (char width : info.operandWidths) {
      std::uint32_t value = file[position++];
      if (width == '2')
        value = value << 8 | file[position++];
      instruction.operands[operandCount++] = value;
    }
    function.instructions.push_back(instruction);
    offset += info.size;
  }
}

void verifyFunctionCode(const Unit &unit, Function &function, const LoadOptions &options,
                        std::vector<LoadWarning> &warnings) {
  FunctionVerifier(unit, function, options, warnings).run();
}

} // namespace tavokrt
