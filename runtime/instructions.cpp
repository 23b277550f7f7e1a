#include "instructions.h"

#include <array>
#include <iterator>

namespace tavokrt {

namespace {

constexpr OperationInfo operationTable[] = {
#define TAVOKRT_ROW(op, name, size, opcode, mask, widths, kind, pops, pushes) \
  {name, size, opcode, mask, widths, OperandKind::kind, pops, pushes},
    TAVOKRT_OPERATIONS(TAVOKRT_ROW)
#undef TAVOKRT_ROW
};
static_assert(std::size(operationTable) == operationCount);

// Every opcode byte decoded once: 0xFF marks a byte that starts no instruction.
constexpr std::array<std::uint8_t, 256> buildOpcodeMap() {
  std::array<std::uint8_t, 256> map{};
  for (auto &entry : map)
    entry = 0xFF;
  for (std::size_t row = 0; row < std::size(operationTable); ++row) {
    const OperationInfo &info = operationTable[row];
    for (unsigned field = 0; field <= info.fieldMask; ++field)
      map[info.opcode | field] = static_cast<std::uint8_t>(row);
  }
  return map;
}
constexpr std::array<std::uint8_t, 256> opcodeMap = buildOpcodeMap();

struct LibraryInfo {
  std::uint32_t index;
  std::string_view name;
  const LibraryFunctionInfo *functions;
  std::size_t functionCount;
};

constexpr LibraryFunctionInfo langFunctions[] = {
    {"abs", 1},    {"min", 2},   {"max", 2},          {"parseInt", 1}, {"parseFloat", 1},
    {"isInt", 1},  {"isFloat", 1}, {"maxInt", 0},     {"minInt", 0},   {"float", 0},
    {"exit", 1},   {"abort", 1}, {"random", 1},       {"seed", 1},     {"characterSet", 0},
};
constexpr LibraryFunctionInfo floatFunctions[] = {
    {"int", 1}, {"floor", 1}, {"ceil", 1}, {"pow", 2},
    {"round", 1}, {"sqrt", 1}, {"maxFloat", 0}, {"minFloat", 0},
};
constexpr LibraryFunctionInfo stringFunctions[] = {
    {"length", 1},   {"isEmpty", 1},   {"charAt", 2},   {"subString", 3}, {"find", 2},
    {"replace", 3},  {"elements", 2},  {"elementAt", 3}, {"removeAt", 3}, {"replaceAt", 4},
    {"insertAt", 4}, {"squeeze", 1},   {"trim", 1},     {"compare", 2},   {"toString", 1},
    {"format", 2},
};
constexpr LibraryFunctionInfo urlFunctions[] = {
    {"isValid", 1},      {"getScheme", 1}, {"getHost", 1},     {"getPort", 1},
    {"getPath", 1},      {"getParameters", 1}, {"getQuery", 1}, {"getFragment", 1},
    {"getBase", 0},      {"getReferer", 0}, {"resolve", 2},    {"escapeString", 1},
    {"unescapeString", 1}, {"loadString", 2},
};
constexpr LibraryFunctionInfo browserFunctions[] = {
    {"getVar", 1}, {"setVar", 2}, {"go", 1}, {"prev", 0},
    {"newContext", 0}, {"getCurrentCard", 0}, {"refresh", 0},
};
constexpr LibraryFunctionInfo dialogsFunctions[] = {{"prompt", 2}, {"confirm", 3}, {"alert", 1}};
constexpr LibraryFunctionInfo extensionFunctions[] = {{"setAtt", 2}};
constexpr LibraryFunctionInfo debugFunctions[] = {{"logVal", 1}, {"logType", 1}, {"logString", 1}};

constexpr LibraryInfo libraries[] = {
    {0, "Lang", langFunctions, std::size(langFunctions)},
    {1, "Float", floatFunctions, std::size(floatFunctions)},
    {2, "String", stringFunctions, std::size(stringFunctions)},
    {3, "URL", urlFunctions, std::size(urlFunctions)},
    {4, "WMLBrowser", browserFunctions, std::size(browserFunctions)},
    {5, "Dialogs", dialogsFunctions, std::size(dialogsFunctions)},
    {65534, "WMLSExtension", extensionFunctions, std::size(extensionFunctions)},
    {65535, "WMLSDebug", debugFunctions, std::size(debugFunctions)},
};

const LibraryInfo *findLibrary(std::uint32_t library) {
  for (const LibraryInfo &info : libraries)
    if (info.index == library)
      return &info;
  return nullptr;
}

} // namespace

const OperationInfo &operationInfo(Operation operation) {
  return operationTable[static_cast<std::size_t>(operation)];
}

bool decodeOpcodeByte(std::uint8_t byte, Operation &operation) {
  std::uint8_t row = opcodeMap[byte];
  if (row == 0xFF)
    return false;
  operation = static_cast<Operation>(row);
  return true;
}

const LibraryFunctionInfo *findLibraryFunction(std::uint32_t library, std::uint32_t function) {
  const LibraryInfo *info = findLibrary(library);
  if (!info || function >= info->functionCount)
    return nullptr;
  return &info->functions[function];
}

std::string_view libraryName(std::uint32_t library) {
  const LibraryInfo *info = findLibrary(library);
  return info ? info->name : std::string_view{};
}

} // namespace tavokrt
