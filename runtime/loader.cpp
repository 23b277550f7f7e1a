#include "loader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_set>

#include <sys/stat.h>

#include "verifier.h"

namespace tavokrt {

std::string LoadError::describe() const {
  if (!hasOffset)
    return message;
  return formatMessage("offset 0x%X: ", offset) + message;
}

const Function *Unit::findExternFunction(std::string_view name) const {
  for (const Function &function : functions)
    if (function.isExtern && function.externName == name)
      return &function;
  return nullptr;
}

std::uint32_t FunctionDebug::lineAt(std::uint32_t codeOffset) const {
  auto after = std::upper_bound(lines.begin(), lines.end(), codeOffset,
                                [](std::uint32_t offset, const LineEntry &entry) {
                                  return offset < entry.codeOffset;
                                });
  return after == lines.begin() ? 0 : std::prev(after)->line;
}

namespace {

// Offsets in a file are 32-bit; a longer byte string cannot be a unit.
constexpr std::size_t largestFile = std::numeric_limits<std::uint32_t>::max();

// Reads a unit or a debug file front to back. Every read names the field it
// reads, so that a short file says which field is missing; nothing is
// allocated from a count before the bytes it announces are there.
class ByteReader {
public:
  ByteReader(std::span<const std::uint8_t> bytes, bool strict) : bytes(bytes), strict(strict) {}

  std::uint32_t position() const { return static_cast<std::uint32_t>(at); }
  std::size_t remaining() const { return bytes.size() - at; }
  std::span<const std::uint8_t> all() const { return bytes; }

  std::uint8_t u8(const char *what) {
    if (at >= bytes.size())
      throwFault(position(), formatMessage("file ends where %s is expected", what));
    return bytes[at++];
  }

  std::uint32_t bigEndian(int count, const char *what) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i)
      value = value << 8 | u8(what);
    return value;
  }

  // mb_u_int32: 7 bits a byte, most significant group first, the top bit set
  // on every byte but the last; at most 5 bytes and 32 bits.
  std::uint32_t mb(const char *what) {
    std::uint32_t start = position();
    std::uint8_t byte = u8(what);
    if (strict && byte == 0x80)
      throwFault(start, formatMessage("%s: multi-byte integer starts with a zero group", what));
    std::uint64_t value = byte & 0x7F;
    for (int length = 1; byte & 0x80; ++length) {
      if (length == 5)
        throwFault(start, formatMessage("%s: multi-byte integer longer than 5 bytes", what));
      byte = u8(what);
      value = value << 7 | (byte & 0x7F);
    }
    if (value > std::numeric_limits<std::uint32_t>::max())
      throwFault(start, formatMessage("%s: multi-byte integer above 32 bits", what));
    return static_cast<std::uint32_t>(value);
  }

  // length bytes announced by the length field at lengthAt.
  std::string text(std::uint32_t length, const char *what, std::uint32_t lengthAt) {
    if (length > remaining())
      throwFault(lengthAt, formatMessage("%s of %u bytes, %zu left in the file", what, length, remaining()));
    std::string result(reinterpret_cast<const char *>(bytes.data() + at), length);
    at += length;
    return result;
  }

  void skip(std::uint32_t count) { at += count; }

  // The bytes up to the next NUL, which is consumed; null-free.
  std::string terminatedText(const char *what) {
    const void *nul = std::memchr(bytes.data() + at, 0, remaining());
    if (!nul)
      throwFault(static_cast<std::uint32_t>(bytes.size()),
                 formatMessage("file ends where the NUL after %s is expected", what));
    std::size_t length = static_cast<const std::uint8_t *>(nul) - (bytes.data() + at);
    std::string result(reinterpret_cast<const char *>(bytes.data() + at), length);
    at += length + 1;
    return result;
  }

  void expectEnd(const char *after) const {
    if (remaining())
      throwFault(position(), formatMessage("%zu bytes follow %s", remaining(), after));
  }

private:
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
  bool strict;
};

// The version byte and the size of everything after the size field.
void readFileHeader(ByteReader &in, const char *sizeName) {
  std::uint8_t version = in.u8("the version number");
  if (version != 0x01)
    throwFault(0, formatMessage("version number is 0x%02X, not 0x01", version));
  std::uint32_t sizeAt = in.position();
  std::uint32_t size = in.mb(sizeName);
  if (size != in.remaining())
    throwFault(sizeAt, formatMessage("%s says %u bytes, %zu follow", sizeName, size, in.remaining()));
}

class UnitReader {
public:
  UnitReader(std::span<const std::uint8_t> bytes, const LoadOptions &options, Unit &unit)
      : in(bytes, options.strict), options(options), unit(unit) {}

  void read() {
    unit.version = 0x01;
    unit.fileSize = static_cast<std::uint32_t>(in.all().size());
    readFileHeader(in, "the unit size");
    readConstantPool();
    readPragmaPool();
    readFunctionNames();
    for (std::size_t number = 0; number < unit.functions.size(); ++number)
      readFunction(number);
    in.expectEnd("the last function");
    // The code checks need every function's argument count, so they run once
    // the whole layout is read.
    for (Function &function : unit.functions)
      verifyFunctionCode(unit, function, options, unit.warnings);
  }

private:
  ByteReader in;
  const LoadOptions &options;
  Unit &unit;
  // Strict only: each constant once (the kind, then its value bytes).
  std::unordered_set<std::string> constantKeys;

  void readConstantPool() {
    std::uint32_t countAt = in.position();
    std::uint32_t count = in.mb("the constant count");
    // 65535: constant operands are at most 16 bits wide, and the compiler
    // refuses the constant that would take index 65535.
    if (options.strict && count > 65535)
      throwFault(countAt, formatMessage("%u constants: the compiler writes at most 65535", count));
    std::uint32_t charsetAt = in.position();
    unit.characterSet = in.mb("the character set");
    if (unit.characterSet != CharsetUtf8 && unit.characterSet != CharsetLatin1)
      throwFault(charsetAt, formatMessage("character set %u is neither 106 (UTF-8) nor 4 (Latin-1)",
                                          unit.characterSet));
    if (options.strict && unit.characterSet != CharsetUtf8)
      throwFault(charsetAt, formatMessage("character set %u: the compiler writes 106 (UTF-8)",
                                          unit.characterSet));
    // Every constant takes at least one byte, so a count larger than the
    // file ends at the file's end.
    for (std::uint32_t index = 0; index < count; ++index)
      unit.constants.push_back(readConstant(index));
  }

  Constant readConstant(std::uint32_t index) {
    Constant constant{ConstantType::Int8, 0, 0.0f, {}, in.position()};
    std::uint8_t type = in.u8("a constant type");
    if (type > static_cast<std::uint8_t>(ConstantType::ExternalString))
      throwFault(constant.offset, formatMessage("constant %u has type %u, not 0 to 6", index, type));
    constant.type = static_cast<ConstantType>(type);
    switch (constant.type) {
    case ConstantType::Int8:
      constant.integer = static_cast<std::int8_t>(in.u8("an 8-bit integer constant"));
      break;
    case ConstantType::Int16:
      constant.integer = static_cast<std::int16_t>(in.bigEndian(2, "a 16-bit integer constant"));
      if (options.strict && constant.integer >= -128 && constant.integer <= 127)
        throwFault(constant.offset, formatMessage("constant %u: integer %d written in 16 bits fits in 8",
                                                  index, constant.integer));
      break;
    case ConstantType::Int32:
      constant.integer = static_cast<std::int32_t>(in.bigEndian(4, "a 32-bit integer constant"));
      if (options.strict && constant.integer >= -32768 && constant.integer <= 32767)
        throwFault(constant.offset, formatMessage("constant %u: integer %d written in 32 bits fits in 16",
                                                  index, constant.integer));
      break;
    case ConstantType::Float32:
      // NaN and the infinities are accepted: loading one gives invalid, as
      // any float operation with a result that is not finite does.
      constant.floating = std::bit_cast<float>(in.bigEndian(4, "a float constant"));
      if (options.strict && !std::isfinite(constant.floating))
        throwFault(constant.offset, formatMessage("constant %u: float is not finite", index));
      break;
    case ConstantType::Utf8String:
    case ConstantType::ExternalString: {
      std::uint32_t lengthAt = in.position();
      std::uint32_t length = in.mb("a string constant's length");
      constant.bytes = in.text(length, "a string constant", lengthAt);
      if (options.strict && constant.bytes.find('\0') != std::string::npos)
        throwFault(constant.offset, formatMessage("constant %u: string holds a NUL byte", index));
      break;
    }
    case ConstantType::EmptyString:
      break;
    }
    if (options.strict)
      checkCompilerConstant(constant, index);
    return constant;
  }

  // The compiler writes strings as type 4 only, and each constant once (the
  // three integer types count as one kind).
  void checkCompilerConstant(const Constant &constant, std::uint32_t index) {
    if (constant.type == ConstantType::EmptyString || constant.type == ConstantType::ExternalString)
      throwFault(constant.offset, formatMessage("constant %u has type %u; the compiler writes strings as type 4",
                                                index, static_cast<unsigned>(constant.type)));
    std::string key;
    if (constant.isInteger())
      key = "i" + std::to_string(constant.integer);
    else if (constant.type == ConstantType::Float32)
      key = "f" + std::to_string(std::bit_cast<std::uint32_t>(constant.floating));
    else
      key = "s" + constant.bytes;
    if (!constantKeys.insert(std::move(key)).second)
      throwFault(constant.offset, formatMessage("constant %u repeats an earlier constant", index));
  }

  void readPragmaPool() {
    static const unsigned operandCounts[] = {1, 1, 2, 3};
    static const char *const names[] = {"access domain", "access path", "user-agent property",
                                        "user-agent property and scheme"};
    std::uint32_t count = in.mb("the pragma count");
    int lastType = -1;
    for (std::uint32_t number = 0; number < count; ++number) {
      Pragma pragma{PragmaType::AccessDomain, {0, 0, 0}, in.position()};
      std::uint8_t type = in.u8("a pragma type");
      if (type > 3)
        throwFault(pragma.offset, formatMessage("pragma %u has type %u, not 0 to 3", number, type));
      // Access domain, then access path, each at most once; the user-agent
      // properties after them.
      bool outOfOrder = type <= 1 ? static_cast<int>(type) <= lastType : false;
      if (options.strict && outOfOrder)
        throwFault(pragma.offset, formatMessage("pragma %u (%s) is out of order or repeated", number, names[type]));
      lastType = std::max(lastType, static_cast<int>(type));
      pragma.type = static_cast<PragmaType>(type);
      for (unsigned operand = 0; operand < operandCounts[type]; ++operand) {
        std::uint32_t operandAt = in.position();
        std::uint32_t index = in.mb("a pragma operand");
        if (index >= unit.constants.size())
          throwFault(operandAt, formatMessage("pragma %u (%s): constant %u, the pool has %zu constants",
                                              number, names[type], index, unit.constants.size()));
        if (!unit.constants[index].isString())
          throwFault(operandAt, formatMessage("pragma %u (%s): constant %u is not a string", number,
                                              names[type], index));
        pragma.constants[operand] = index;
      }
      unit.pragmas.push_back(pragma);
    }
  }

  void readFunctionNames() {
    std::uint8_t functionCount = in.u8("the function count");
    std::uint32_t nameCountAt = in.position();
    std::uint8_t nameCount = in.u8("the function name count");
    if (nameCount > functionCount)
      throwFault(nameCountAt, formatMessage("%u function names for %u functions", nameCount, functionCount));
    unit.functions.resize(functionCount, Function{0, 0, 0, 0, 0, {}, false, {}, 0});
    std::unordered_set<std::string> namesSeen;
    int lastIndex = -1;
    for (unsigned entry = 0; entry < nameCount; ++entry) {
      std::uint32_t at = in.position();
      std::uint8_t index = in.u8("a function name's index");
      if (index >= functionCount)
        throwFault(at, formatMessage("function name %u names function %u, the unit has %u functions", entry,
                                     index, functionCount));
      Function &function = unit.functions[index];
      if (function.isExtern)
        throwFault(at, formatMessage("function name %u: function %u is already named", entry, index));
      if (options.strict && index < lastIndex)
        throwFault(at, formatMessage("function name %u: index %u is below the previous one", entry, index));
      lastIndex = index;
      std::uint32_t lengthAt = in.position();
      std::uint8_t length = in.u8("a function name's length");
      if (length == 0)
        throwFault(at, formatMessage("function name %u is empty", entry));
      std::string name = in.text(length, "a function name", lengthAt);
      if (!isIdentifier(name))
        throwFault(at, formatMessage("function name %u (\"%s\") is not an identifier", entry,
                                     printableText(name).c_str()));
      if (!namesSeen.insert(name).second)
        throwFault(at, formatMessage("function name %u (\"%s\") names an earlier function too", entry,
                                     name.c_str()));
      function.isExtern = true;
      function.externName = std::move(name);
    }
  }

  void readFunction(std::size_t number) {
    Function &function = unit.functions[number];
    function.headerOffset = in.position();
    function.argumentCount = in.u8("a function's argument count");
    function.localCount = in.u8("a function's local count");
    // Variable indices are one byte wide: 256 variables in all at most.
    if (unsigned{function.argumentCount} + function.localCount > 256)
      throwFault(function.headerOffset,
                 formatMessage("function %zu has %u arguments and %u locals, more than 256 variables", number,
                               function.argumentCount, function.localCount));
    std::uint32_t sizeAt = in.position();
    function.codeSize = in.mb("a function's code size");
    if (function.codeSize > in.remaining())
      throwFault(sizeAt, formatMessage("function %zu: code size %u, %zu bytes left in the file", number,
                                       function.codeSize, in.remaining()));
    function.codeOffset = in.position();
    decodeFunctionCode(in.all(), number, function);
    in.skip(function.codeSize);
  }
};

class DebugReader {
public:
  DebugReader(std::span<const std::uint8_t> bytes, const Unit &unit, DebugInfo &debug)
      : in(bytes, false), unit(unit), debug(debug) {}

  void read() {
    readFileHeader(in, "the debug size");
    readNames();
    std::uint32_t countAt = in.position();
    std::uint8_t count = in.u8("the function count");
    if (count != unit.functions.size())
      throwFault(countAt, formatMessage("%u function records, the unit has %zu functions", count,
                                        unit.functions.size()));
    for (std::size_t number = 0; number < count; ++number)
      debug.functions.push_back(readRecord(number));
    in.expectEnd("the last function record");
  }

private:
  ByteReader in;
  const Unit &unit;
  DebugInfo &debug;

  void readNames() {
    std::uint32_t count = in.mb("the name count");
    std::unordered_set<std::string> distinct;
    // Each name takes at least two bytes, so a count larger than the file
    // ends at the file's end.
    for (std::uint32_t id = 0; id < count; ++id) {
      std::uint32_t at = in.position();
      std::string name = in.terminatedText("a name");
      if (name.empty())
        throwFault(at, formatMessage("name %u is empty", id));
      if (!distinct.insert(name).second)
        throwFault(at, formatMessage("name %u (%s) repeats an earlier name", id, printableText(name).c_str()));
      debug.names.push_back(std::move(name));
    }
  }

  std::uint32_t readNameId(const char *what) {
    std::uint32_t at = in.position();
    std::uint32_t id = in.mb(what);
    if (id >= debug.names.size())
      throwFault(at, formatMessage("%s: name id %u, the file has %zu names", what, id, debug.names.size()));
    return id;
  }

  FunctionDebug readRecord(std::size_t number) {
    const Function &function = unit.functions[number];
    FunctionDebug record;
    std::uint32_t nameAt = in.position();
    const std::string &name = debug.names[readNameId("a function's name id")];
    if (function.isExtern && name != function.externName)
      throwFault(nameAt, formatMessage("function %zu is %s in the unit, %s in the debug file", number,
                                       function.externName.c_str(), printableText(name).c_str()));
    record.name = name;
    std::uint32_t indexAt = in.position();
    std::uint8_t index = in.u8("a function index");
    if (index != number)
      throwFault(indexAt, formatMessage("debug record %zu carries function index %u", number, index));
    std::unordered_set<std::uint32_t> namesSeen;
    readVariables(number, function.argumentCount, 0, "argument", record.argumentNames, namesSeen);
    readVariables(number, function.localCount, function.argumentCount, "local", record.localNames, namesSeen);
    readLineTable(number, function, record);
    return record;
  }

  // Arguments hold the first variable indices in declaration order, the
  // locals the ones after them; no name appears twice in one function.
  void readVariables(std::size_t number, unsigned expected, unsigned firstIndex, const char *what,
                     std::vector<std::string> &names, std::unordered_set<std::uint32_t> &namesSeen) {
    std::uint32_t countAt = in.position();
    std::uint8_t count = in.u8(what[0] == 'a' ? "an argument count" : "a local count");
    if (count != expected)
      throwFault(countAt, formatMessage("function %zu: %u %ss in the debug file, %u in the unit", number, count,
                                        what, expected));
    for (unsigned k = 0; k < count; ++k) {
      std::uint32_t at = in.position();
      std::uint32_t id = readNameId("a variable's name id");
      std::uint8_t index = in.u8("a variable index");
      const std::string &name = debug.names[id];
      if (index != firstIndex + k)
        throwFault(at, formatMessage("function %zu: %s %u (%s) has index %u, not %u", number, what, k,
                                     printableText(name).c_str(), index, firstIndex + k));
      if (!namesSeen.insert(id).second)
        throwFault(at, formatMessage("function %zu: variable %s is listed twice", number,
                                     printableText(name).c_str()));
      names.push_back(name);
    }
  }

  static bool startsInstruction(const Function &function, std::uint32_t offset) {
    auto found = std::lower_bound(function.instructions.begin(), function.instructions.end(), offset,
                                  [](const Instruction &instruction, std::uint32_t value) {
                                    return instruction.offset < value;
                                  });
    return found != function.instructions.end() && found->offset == offset;
  }

  // Entries follow the code: offsets rise and fall on instructions, and a
  // new entry appears only where the line changes.
  void readLineTable(std::size_t number, const Function &function, FunctionDebug &record) {
    std::uint32_t count = in.mb("the line entry count");
    for (std::uint32_t entry = 0; entry < count; ++entry) {
      std::uint32_t at = in.position();
      LineEntry line{in.mb("a line entry's code offset"), in.mb("a line entry's line")};
      if (!startsInstruction(function, line.codeOffset))
        throwFault(at, formatMessage("function %zu, line entry %u: 0x%04X is not an instruction start", number,
                                     entry, line.codeOffset));
      if (!record.lines.empty() && line.codeOffset <= record.lines.back().codeOffset)
        throwFault(at, formatMessage("function %zu, line entry %u: 0x%04X is not above 0x%04X", number, entry,
                                     line.codeOffset, record.lines.back().codeOffset));
      if (line.line == 0)
        throwFault(at, formatMessage("function %zu, line entry %u: line 0", number, entry));
      if (!record.lines.empty() && line.line == record.lines.back().line)
        throwFault(at, formatMessage("function %zu, line entry %u: line %u repeats the previous entry", number,
                                     entry, line.line));
      record.lines.push_back(line);
    }
  }
};

LoadError tooLarge(std::size_t size) {
  return {true, 0, formatMessage("a file of %zu bytes is too large to load", size)};
}

// How many bytes a stream whose first bytes are head can usefully hold: a
// unit and a debug file both start with the version 0x01 and the size of
// what follows, so reading stops one byte past what the header announces
// (enough to see trailing bytes). A header that is not sound is all there
// is to read: the loader reports it. So /dev/zero or a huge foreign file
// costs a few bytes, not gigabytes.
std::size_t bytesWorthReading(const std::uint8_t *head, std::size_t count) {
  if (count < 2 || head[0] != 0x01)
    return count;
  std::uint64_t size = 0;
  for (std::size_t at = 1; at < count && at <= 5; ++at) {
    size = size << 7 | (head[at] & 0x7F);
    if (!(head[at] & 0x80))
      return static_cast<std::size_t>(std::min<std::uint64_t>(at + 1 + size + 1, largestFile + 1));
  }
  return count;
}

// The file's bytes as far as they are worth reading, or false with the
// reason in error.
bool readWholeFile(const std::string &path, std::vector<std::uint8_t> &bytes, LoadError &error) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = {false, 0, "cannot open " + path + ": " + std::strerror(errno)};
    return false;
  }
  // A regular file is read whole (up to the largest loadable size), so a
  // fault names the true sizes; a device or pipe only as far as its header
  // announces.
  struct stat status;
  bool regular = fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
  constexpr std::size_t headerBytes = 6;  // the version and a 5-byte size
  bytes.resize(headerBytes);
  bytes.resize(std::fread(bytes.data(), 1, headerBytes, file));
  std::size_t limit = regular ? largestFile + 1
                      : bytes.size() < headerBytes ? bytes.size()
                                                   : bytesWorthReading(bytes.data(), bytes.size());
  std::uint8_t chunk[65536];
  bool ok = true;
  while (bytes.size() < limit) {
    std::size_t wanted = std::min(sizeof chunk, limit - bytes.size());
    std::size_t count = std::fread(chunk, 1, wanted, file);
    bytes.insert(bytes.end(), chunk, chunk + count);
    if (bytes.size() > largestFile) {
      error = tooLarge(bytes.size());
      error.hasOffset = false;
      ok = false;
      break;
    }
    if (count < wanted)
      break;
  }
  if (ok && std::ferror(file)) {
    error = {false, 0, "cannot read " + path + ": " + std::strerror(errno)};
    ok = false;
  }
  std::fclose(file);
  return ok;
}

// Runs read(bytes) to fill a fresh Record; every fault, and memory running
// out, becomes the error. Record is a Unit or a DebugInfo, kept in the
// result's field.
template <class Record, class Result, auto field, class ReadInto>
Result readRecord(std::span<const std::uint8_t> bytes, const char *what, ReadInto read) {
  Result result;
  if (bytes.size() > largestFile) {
    result.error = tooLarge(bytes.size());
    return result;
  }
  try {
    auto record = std::make_shared<Record>();
    read(*record);
    result.*field = std::move(record);
  } catch (const LoadFault &fault) {
    result.error = {true, fault.offset, fault.message};
  } catch (const std::bad_alloc &) {
    result.error = {false, 0, std::string("out of memory while loading the ") + what};
  }
  return result;
}

// The file's bytes handed to load, or the error of reading them.
template <class Result, class Load>
Result readFileThen(const std::string &path, Load load) {
  std::vector<std::uint8_t> bytes;
  Result result;
  try {
    if (!readWholeFile(path, bytes, result.error))
      return result;
  } catch (const std::bad_alloc &) {
    result.error = {false, 0, "out of memory while reading " + path};
    return result;
  }
  return load(bytes);
}

} // namespace

LoadResult loadUnit(std::span<const std::uint8_t> bytes, const LoadOptions &options) {
  return readRecord<Unit, LoadResult, &LoadResult::unit>(bytes, "unit", [&](Unit &unit) {
    UnitReader(bytes, options, unit).read();
  });
}

LoadResult loadUnitFile(const std::string &path, const LoadOptions &options) {
  return readFileThen<LoadResult>(path, [&](const std::vector<std::uint8_t> &bytes) {
    return loadUnit(bytes, options);
  });
}

DebugLoadResult loadDebug(std::span<const std::uint8_t> bytes, const Unit &unit) {
  return readRecord<DebugInfo, DebugLoadResult, &DebugLoadResult::debug>(bytes, "debug file", [&](DebugInfo &debug) {
    DebugReader(bytes, unit, debug).read();
  });
}

DebugLoadResult loadDebugFile(const std::string &path, const Unit &unit) {
  return readFileThen<DebugLoadResult>(path, [&](const std::vector<std::uint8_t> &bytes) {
    return loadDebug(bytes, unit);
  });
}

} // namespace tavokrt
