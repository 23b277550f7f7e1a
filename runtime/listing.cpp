#include "listing.h"

#include <cmath>
#include <string_view>
#include <vector>

#include "value.h"

namespace tavokrt {

namespace {

// Text is made in one buffer and handed to the stream whenever it passes
// this size: a 4 MB unit lists as about 100 MB of text.
constexpr std::size_t flushThreshold = 1 << 20;

// Columns of an instruction line: 6 bytes is the longest instruction
// (call_url_w), 13 characters the longest mnemonic.
constexpr std::size_t bytesColumnWidth = 6 * 3 - 1;
constexpr std::size_t mnemonicColumnWidth = 13;

class Writer {
public:
  explicit Writer(std::FILE *stream) : stream_(stream) {
    if (stream_)
      text_.reserve(flushThreshold + 4096);
  }

  void put(std::string_view piece) { text_.append(piece); }
  void put(char c) { text_.push_back(c); }
  void pad(std::size_t from, std::size_t width) {
    std::size_t written = text_.size() - from;
    if (written < width)
      text_.append(width - written, ' ');
  }
  std::size_t mark() const { return text_.size(); }

  void decimal(std::uint64_t value) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    while (count)
      text_.push_back(digits[--count]);
  }

  void hex(std::uint32_t value, int minimumDigits) {
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    char digits[8];
    int count = 0;
    do {
      digits[count++] = hexDigits[value & 0xF];
      value >>= 4;
    } while (value);
    for (int zeros = minimumDigits - count; zeros > 0; --zeros)
      text_.push_back('0');
    while (count)
      text_.push_back(digits[--count]);
  }

  // "1 argument", "2 arguments".
  void count(std::uint64_t value, std::string_view noun) {
    decimal(value);
    put(' ');
    put(noun);
    if (value != 1)
      put('s');
  }

  void endLine() {
    text_.push_back('\n');
    if (stream_ && text_.size() >= flushThreshold)
      flush();
  }

  // False once any write has failed.
  bool flush() {
    if (stream_ && !failed_ && !text_.empty()) {
      if (std::fwrite(text_.data(), 1, text_.size(), stream_) != text_.size())
        failed_ = true;
      text_.clear();
    }
    return !failed_;
  }

  std::string take() { return std::move(text_); }

private:
  std::FILE *stream_;
  std::string text_;
  bool failed_ = false;
};

std::string_view characterSetName(std::uint32_t characterSet) {
  switch (characterSet) {
  case CharsetUtf8:
    return "UTF-8";
  case CharsetLatin1:
    return "ISO-8859-1";
  }
  return {};
}

std::string_view constantTypeName(ConstantType type) {
  switch (type) {
  case ConstantType::Int8:
    return "int8";
  case ConstantType::Int16:
    return "int16";
  case ConstantType::Int32:
    return "int32";
  case ConstantType::Float32:
    return "float32";
  case ConstantType::Utf8String:
    return "utf8-string";
  case ConstantType::EmptyString:
    return "empty-string";
  case ConstantType::ExternalString:
    return "string";
  }
  return "?";
}

// A float constant the verifier let through need not be finite; there is
// no WMLScript literal for those, so they get the usual names.
std::string floatLiteral(float value) {
  if (std::isnan(value))
    return "nan";
  if (std::isinf(value))
    return value < 0 ? "-inf" : "inf";
  return formatFloat(value);
}

// What every line of the listing may look up, made once per unit.
struct UnitContext {
  const ListingInput &input;
  std::vector<std::string> literals;  // by constant index; empty when raw

  const Unit &unit() const { return input.unit; }

  // Null in raw mode, which shows no names.
  const FunctionDebug *functionDebug(std::size_t index) const {
    const DebugInfo *debug = input.debug;
    if (!debug || input.options.raw || index >= debug->functions.size())
      return nullptr;
    return &debug->functions[index];
  }

  // The extern name, else the debug name; empty when neither is known.
  std::string_view functionName(std::size_t index) const {
    const Function &function = unit().functions[index];
    if (function.isExtern)
      return function.externName;
    if (const FunctionDebug *debug = functionDebug(index))
      return debug->name;
    return {};
  }
};

std::string_view variableName(const Function &function, const FunctionDebug *debug,
                              std::uint32_t index) {
  if (!debug)
    return {};
  if (index < function.argumentCount)
    return index < debug->argumentNames.size() ? debug->argumentNames[index] : std::string_view{};
  std::uint32_t local = index - function.argumentCount;
  return local < debug->localNames.size() ? debug->localNames[local] : std::string_view{};
}

void writeUnitHeader(Writer &out, const Unit &unit) {
  out.put("unit version 0x");
  out.hex(unit.version, 2);
  out.put(", ");
  out.count(unit.fileSize, "byte");
  out.put(", character set ");
  out.decimal(unit.characterSet);
  if (std::string_view name = characterSetName(unit.characterSet); !name.empty()) {
    out.put(" (");
    out.put(name);
    out.put(')');
  }
  out.endLine();
}

void writeConstantPool(Writer &out, const UnitContext &context) {
  const Unit &unit = context.unit();
  out.endLine();
  out.put("constants: ");
  out.decimal(unit.constants.size());
  out.endLine();
  for (std::size_t index = 0; index < unit.constants.size(); ++index) {
    out.put("  c");
    std::size_t start = out.mark();
    out.decimal(index);
    out.pad(start, 4);
    out.put(' ');
    std::size_t typeStart = out.mark();
    out.put(constantTypeName(unit.constants[index].type));
    out.pad(typeStart, 14);
    out.put(context.literals[index]);
    out.endLine();
  }
}

void writePragmaPool(Writer &out, const UnitContext &context) {
  const Unit &unit = context.unit();
  out.endLine();
  out.put("pragmas: ");
  out.decimal(unit.pragmas.size());
  out.endLine();
  for (std::size_t index = 0; index < unit.pragmas.size(); ++index) {
    out.put("  p");
    std::size_t start = out.mark();
    out.decimal(index);
    out.pad(start, 4);
    out.put(' ');
    out.put(pragmaText(unit, unit.pragmas[index]));
    out.endLine();
  }
}

void writeFunctionHeader(Writer &out, const UnitContext &context, std::size_t index) {
  const Function &function = context.unit().functions[index];
  out.endLine();
  out.put("function f");
  out.decimal(index);
  if (std::string_view name = context.functionName(index); !name.empty()) {
    out.put(" \"");
    out.put(name);
    out.put('"');
  }
  if (function.isExtern)
    out.put(" extern");
  out.put(": ");
  out.count(function.argumentCount, "argument");
  out.put(", ");
  out.count(function.localCount, "local");
  out.put(", max stack ");
  out.decimal(function.maxStackDepth);
  out.put(", ");
  out.count(function.codeSize, "byte");
  out.put(" of code");
  out.endLine();
}

// "; arguments v0 a, v1 b; locals v2 sum", from the debug file.
void writeVariableNames(Writer &out, const Function &function, const FunctionDebug &debug) {
  std::uint32_t variables = std::uint32_t{function.argumentCount} + function.localCount;
  if (variables == 0)
    return;
  out.put("  ;");
  for (std::uint32_t index = 0; index < variables; ++index) {
    if (index == 0 && function.argumentCount > 0)
      out.put(" arguments");
    if (index == function.argumentCount)
      out.put(index == 0 ? " locals" : "; locals");
    else if (index > 0)
      out.put(',');
    out.put(" v");
    out.decimal(index);
    if (std::string_view name = variableName(function, &debug, index); !name.empty()) {
      out.put(' ');
      out.put(name);
    }
  }
  out.endLine();
}

// Which instructions some jump lands on: those get a label line.
std::vector<bool> jumpTargets(const Function &function) {
  std::vector<bool> targets(function.instructions.size(), false);
  for (const Instruction &instruction : function.instructions)
    if (isJump(instruction.operation) && instruction.target < targets.size())
      targets[instruction.target] = true;
  return targets;
}

void writeLabel(Writer &out, std::uint32_t codeOffset) {
  out.put('L');
  out.hex(codeOffset, 4);
}

void writeConstantOperand(Writer &out, const UnitContext &context, std::uint32_t index) {
  out.put('c');
  out.decimal(index);
  if (index < context.literals.size()) {
    out.put(' ');
    out.put(context.literals[index]);
  }
}

void writeLibraryOperand(Writer &out, std::uint32_t library, std::uint32_t function) {
  std::string_view libraryText = libraryName(library);
  const LibraryFunctionInfo *info = findLibraryFunction(library, function);
  if (libraryText.empty()) {
    out.put("library");
    out.decimal(library);
  } else {
    out.put(libraryText);
  }
  out.put('.');
  if (info) {
    out.put(info->name);
  } else {
    out.put("function");
    out.decimal(function);
  }
}

void writeOperands(Writer &out, const UnitContext &context, const Function &function,
                   const FunctionDebug *debug, const Instruction &instruction) {
  const std::uint32_t *operands = instruction.operands;
  switch (operationInfo(instruction.operation).kind) {
  case OperandKind::None:
    return;
  case OperandKind::ForwardJump:
  case OperandKind::BackwardJump:
    // A verified unit's targets are in range; a hand-built one may not be.
    if (instruction.target < function.instructions.size())
      writeLabel(out, function.instructions[instruction.target].offset);
    else
      out.put("L????");
    return;
  case OperandKind::Variable:
    out.put('v');
    out.decimal(operands[0]);
    if (std::string_view name = variableName(function, debug, operands[0]); !name.empty()) {
      out.put(' ');
      out.put(name);
    }
    return;
  case OperandKind::Constant:
    writeConstantOperand(out, context, operands[0]);
    return;
  case OperandKind::Function:
    out.put('f');
    out.decimal(operands[0]);
    if (operands[0] < context.unit().functions.size()) {
      if (std::string_view name = context.functionName(operands[0]); !name.empty()) {
        out.put(" \"");
        out.put(name);
        out.put('"');
      }
    }
    return;
  case OperandKind::Library:
    writeLibraryOperand(out, operands[1], operands[0]);
    return;
  case OperandKind::Url:
    writeConstantOperand(out, context, operands[0]);
    out.put(' ');
    writeConstantOperand(out, context, operands[1]);
    out.put(" (");
    out.count(operands[2], "argument");
    out.put(')');
    return;
  }
}

void writeInstruction(Writer &out, const UnitContext &context, const Function &function,
                      const FunctionDebug *debug, const Instruction &instruction) {
  const OperationInfo &info = operationInfo(instruction.operation);
  out.put("  ");
  out.hex(instruction.offset, 4);
  out.put("  ");
  std::size_t bytesStart = out.mark();
  std::span<const std::uint8_t> file = context.input.bytes;
  std::size_t first = std::size_t{function.codeOffset} + instruction.offset;
  for (std::size_t i = 0; i < instruction.size && first + i < file.size(); ++i) {
    if (i)
      out.put(' ');
    out.hex(file[first + i], 2);
  }
  out.pad(bytesStart, bytesColumnWidth);
  out.put("  ");
  std::size_t mnemonicStart = out.mark();
  out.put(info.mnemonic);
  if (!context.input.options.raw && info.kind != OperandKind::None) {
    out.pad(mnemonicStart, mnemonicColumnWidth);
    out.put(' ');
    writeOperands(out, context, function, debug, instruction);
  }
  out.endLine();
}

void writeFunctionCode(Writer &out, const UnitContext &context, std::size_t index) {
  const Function &function = context.unit().functions[index];
  const bool raw = context.input.options.raw;
  const FunctionDebug *debug = context.functionDebug(index);
  if (debug)
    writeVariableNames(out, function, *debug);
  std::vector<bool> labelled = raw ? std::vector<bool>{} : jumpTargets(function);
  std::size_t nextLine = 0;
  std::uint32_t shownLine = 0;
  for (std::size_t i = 0; i < function.instructions.size(); ++i) {
    const Instruction &instruction = function.instructions[i];
    if (debug) {
      // Entries lie on instruction starts in rising order; one that names
      // the line already shown adds nothing.
      while (nextLine < debug->lines.size() && debug->lines[nextLine].codeOffset <= instruction.offset) {
        const LineEntry &entry = debug->lines[nextLine++];
        if (entry.codeOffset == instruction.offset && entry.line != shownLine) {
          shownLine = entry.line;
          out.put("  ; line ");
          out.decimal(entry.line);
          out.endLine();
        }
      }
    }
    if (!labelled.empty() && labelled[i]) {
      writeLabel(out, instruction.offset);
      out.put(':');
      out.endLine();
    }
    writeInstruction(out, context, function, debug, instruction);
  }
}

void writeWholeListing(Writer &out, const ListingInput &input) {
  UnitContext context{input, {}};
  const Unit &unit = input.unit;
  writeUnitHeader(out, unit);
  if (!input.options.raw) {
    context.literals.reserve(unit.constants.size());
    for (const Constant &constant : unit.constants)
      context.literals.push_back(constantLiteral(unit, constant));
    writeConstantPool(out, context);
    writePragmaPool(out, context);
  }
  out.endLine();
  out.put("functions: ");
  out.decimal(unit.functions.size());
  out.endLine();
  for (std::size_t index = 0; index < unit.functions.size(); ++index) {
    writeFunctionHeader(out, context, index);
    writeFunctionCode(out, context, index);
  }
}

} // namespace

std::string constantLiteral(const Unit &unit, const Constant &constant) {
  switch (constant.type) {
  case ConstantType::Int8:
  case ConstantType::Int16:
  case ConstantType::Int32:
    return std::to_string(constant.integer);
  case ConstantType::Float32:
    return floatLiteral(constant.floating);
  case ConstantType::Utf8String:
    return formatLiteral(Value::string(decodeUtf8(constant.bytes)));
  case ConstantType::EmptyString:
    return "\"\"";
  case ConstantType::ExternalString:
    return formatLiteral(Value::string(unit.characterSet == CharsetLatin1
                                           ? decodeLatin1(constant.bytes)
                                           : decodeUtf8(constant.bytes)));
  }
  return "?";
}

std::string pragmaText(const Unit &unit, const Pragma &pragma) {
  auto literal = [&unit](std::uint32_t index) {
    return index < unit.constants.size() ? constantLiteral(unit, unit.constants[index])
                                         : "c" + std::to_string(index);
  };
  switch (pragma.type) {
  case PragmaType::AccessDomain:
    return "access domain " + literal(pragma.constants[0]);
  case PragmaType::AccessPath:
    return "access path " + literal(pragma.constants[0]);
  case PragmaType::UserAgentProperty:
    return "meta user agent " + literal(pragma.constants[0]) + " " + literal(pragma.constants[1]);
  case PragmaType::UserAgentPropertyScheme:
    return "meta user agent " + literal(pragma.constants[0]) + " " + literal(pragma.constants[1]) +
           " " + literal(pragma.constants[2]);
  }
  return "?";
}

std::string labelName(std::uint32_t codeOffset) {
  Writer out(nullptr);
  writeLabel(out, codeOffset);
  return out.take();
}

std::string listUnit(const ListingInput &input) {
  Writer out(nullptr);
  writeWholeListing(out, input);
  return out.take();
}

bool writeListing(const ListingInput &input, std::FILE *stream) {
  Writer out(stream);
  writeWholeListing(out, input);
  return out.flush();
}

} // namespace tavokrt
