// libFuzzer target for the verifying loader: any byte string must give a
// unit or an error, never a crash, a hang or a huge allocation. A unit that
// loads is also checked against what the loader promises its users (every
// index in range, every jump target an instruction), strict loading must
// never accept what plain loading refuses, and the same bytes are offered
// to the debug-file loader against the unit.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  LoadResult plain = loadUnit(bytes);
  LoadResult strict = loadUnit(bytes, LoadOptions{true});
  require(!strict || plain);
  if (plain) {
    checkPromises(*plain.unit);
    DebugLoadResult debug = loadDebug(bytes, *plain.unit);
    if (debug)
      for (const FunctionDebug &function : debug.debug->functions)
        (void)function.lineAt(size);
  } else {
    require(!plain.error.describe().empty());
  }
  return 0;
}
