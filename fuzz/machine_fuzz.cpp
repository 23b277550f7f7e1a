// libFuzzer target for the virtual machine: a unit that passes verification
// must run to a result, an exit or a fatal error within small budgets,
// whatever its code does — never a crash, a sanitizer report or a hang. The
// inputs worth having are mutations of verified units, so the campaign is
// seeded with the golden units (fuzz/run_machine.sh).
//
// Every extern function is called with "" for each parameter. The unit has
// no file, so external calls end in "unable to load compilation unit"
// without touching the disk. After the machine and the unit are gone, every
// string they made must be freed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "interpreter.h"
#include "loader.h"

using namespace tavokrt;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::FILE *sink() {
  static std::FILE *devNull = std::fopen("/dev/null", "w");
  return devNull;
}

void runEveryExternFunction(std::span<const std::uint8_t> bytes) {
  LoadResult loaded = loadUnit(bytes);
  if (!loaded) return;
  std::shared_ptr<Module> module = makeModule("", loaded.unit, nullptr);
  Budgets budgets;
  budgets.maxSteps = 100'000;
  budgets.maxDepth = 50;
  budgets.maxMemory = 1'000'000;
  budgets.maxStackValues = 100'000;
  Machine machine(budgets);
  machine.libraryContext().errorStream = sink();
  machine.libraryContext().random.seed(1);
  const Unit &unit = *loaded.unit;
  for (std::uint32_t index = 0; index < unit.functions.size(); ++index) {
    const Function &function = unit.functions[index];
    if (!function.isExtern) continue;
    std::vector<Value> arguments(function.argumentCount, Value::emptyString());
    std::uint64_t before = machine.steps();
    RunResult result = machine.call(*module, index, arguments);
    require(machine.steps() - before <= budgets.maxSteps);
    if (result.status == RunResult::Status::Fatal) {
      require(!result.message.empty() && !result.frames.empty());
      require(!describeFrames(result.frames).empty());
    } else {
      (void)formatLiteral(result.value);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::size_t liveBefore = liveStringCharacters();
  runEveryExternFunction(std::span<const std::uint8_t>(data, size));
  require(liveStringCharacters() == liveBefore);
  return 0;
}
