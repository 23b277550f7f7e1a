// libFuzzer target for the verifying loader: any byte string must give a
// unit or an error, never a crash, a hang or a huge allocation. A unit that
// loads is also checked against what the loader promises its users (every
// index in range, every jump target an instruction), strict loading must
// never accept what plain loading refuses, and the same bytes are offered
// to the debug-file loader against the unit.
//
// An input may also be a unit with its debug file behind it (the seeds of
// `tavok -g` are): the unit's size field tells where the unit ends, and the
// rest is loaded as the unit's debug file.
//
//   fuzz/run_loader.sh DURATION builds and runs it.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "loader.h"

using namespace tavokrt;

namespace {

void require(bool condition) {
  if (!condition)
    std::abort();
}

// What the interpreter relies on without checking again.
void checkPromises(const Unit &unit) {
  for (const Function &function : unit.functions) {
    require(!function.instructions.empty());
    std::uint32_t next = 0;
    for (const Instruction &instruction : function.instructions) {
      require(instruction.offset == next);
      next += instruction.size;
      const OperationInfo &info = operationInfo(instruction.operation);
      switch (info.kind) {
      case OperandKind::ForwardJump:
      case OperandKind::BackwardJump:
        require(instruction.target < function.instructions.size());
        break;
      case OperandKind::Variable:
        require(instruction.operands[0] < unsigned{function.argumentCount} + function.localCount);
        break;
      case OperandKind::Constant:
        require(instruction.operands[0] < unit.constants.size());
        break;
      case OperandKind::Function:
        require(instruction.operands[0] < unit.functions.size());
        break;
      case OperandKind::Url:
        require(instruction.operands[0] < unit.constants.size() && unit.constants[instruction.operands[0]].isString());
        require(instruction.operands[1] < unit.constants.size() && unit.constants[instruction.operands[1]].isString());
        break;
      case OperandKind::Library:
      case OperandKind::None:
        break;
      }
    }
    require(next == function.codeSize);
  }
}

// The length the unit's header announces (version byte, size field, size),
// within the input; the whole input when the header does not say.
std::size_t announcedUnitLength(std::span<const std::uint8_t> bytes) {
  std::uint64_t size = 0;
  for (std::size_t at = 1; at < bytes.size() && at <= 5; ++at) {
    size = size << 7 | (bytes[at] & 0x7F);
    if (!(bytes[at] & 0x80))
      return size < bytes.size() - at ? at + 1 + static_cast<std::size_t>(size) : bytes.size();
  }
  return bytes.size();
}

void loadDebugAgainst(std::span<const std::uint8_t> bytes, const Unit &unit) {
  DebugLoadResult debug = loadDebug(bytes, unit);
  if (!debug)
    return;
  require(debug.debug->functions.size() == unit.functions.size());
  for (std::size_t i = 0; i < unit.functions.size(); ++i)
    for (const Instruction &instruction : unit.functions[i].instructions)
      (void)debug.debug->functions[i].lineAt(instruction.offset);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  LoadResult plain = loadUnit(bytes);
  LoadResult strict = loadUnit(bytes, LoadOptions{true});
  require(!strict || plain);
  if (plain) {
    checkPromises(*plain.unit);
    loadDebugAgainst(bytes, *plain.unit);
  } else {
    require(!plain.error.describe().empty());
  }
  std::size_t unitLength = announcedUnitLength(bytes);
  if (unitLength < size) {
    LoadResult unit = loadUnit(bytes.first(unitLength));
    if (unit) {
      checkPromises(*unit.unit);
      loadDebugAgainst(bytes.subspan(unitLength), *unit.unit);
    }
  }
  return 0;
}
