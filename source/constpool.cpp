#include "constpool.h"

#include "codegen.h"
#include "errorhlr.h"
#include "hashtabl.h"
#include "mempool.h"
#include "tavokassert.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {
// One per distinct key text. The text lives in the text buffer, which moves
// when it grows, so a stored record holds an offset; only the record used as
// a lookup key points at a text of its own. The hash and the length are kept
// so that a chain is walked on them and the bytes are compared only for the
// record that matches both.
struct TextRecord {
  const char *text;          // lookup key only; null in stored records
  std::size_t textOffset;    // of the NUL-terminated text in the text buffer
  std::size_t length;        // bytes before the NUL
  std::uint32_t hash;        // hashBytes of those bytes
  std::uint32_t kindMask;    // bit k: a constant of kind k has this text
  std::uint32_t indexOfKind[3];  // the constant of kind k, for each bit of kindMask
};

// The constant list: one per constant, at its index.
struct ConstantEntry {
  TextRecord *textRecord;
  int kind;  // ConstantKind
};

// A key text about to be looked up, measured and hashed once.
struct KeyText {
  const char *bytes;
  std::size_t length;
  std::uint32_t hash;
};

struct PoolState {
  HashTable *textDictionary;  // TextRecord * keys and data
  MemPool *textRecordPool;
  char *textBuffer;
  std::size_t textBufferUsed;
  std::size_t textBufferCapacity;  // a multiple of textBufferStep
  std::uint32_t constCount;        // also the next index
  std::uint32_t constantListCapacity;
  ConstantEntry *constantList;     // constCount entries in index order
};
} // namespace

static_assert(std::is_trivially_copyable_v<TextRecord>);
static_assert(std::is_trivially_copyable_v<ConstantEntry>);

static constinit PoolState pool{};

constexpr std::size_t textBufferStep = 512;
// The character set byte of the pool: the IANA number of UTF-8.
constexpr std::uint8_t utf8CharacterSet = 0x6A;

// ---------------------------------------------------------------- text dictionary

static const char *textOf(const TextRecord *record) {
  return record->text ? record->text : pool.textBuffer + record->textOffset;
}

static std::uint32_t hashOfBytes(const char *bytes, std::size_t length) {
  std::uint32_t hash = 0;
  for (std::size_t i = 0; i < length; ++i)
    hash = hashByteStep(hash, static_cast<unsigned char>(bytes[i]));
  return hash;
}

static KeyText keyTextOf(const char *text, std::size_t length) {
  return KeyText{.bytes = text, .length = length, .hash = hashOfBytes(text, length)};
}

template <class Number> static int orderOf(Number stored, Number sought) {
  return stored < sought ? -1 : stored > sought ? 1 : 0;
}

// Chains are ordered by hash, then length, then bytes: most records of a
// chain differ from the sought text in their hash, and only a record equal
// in both has its bytes compared.
static int compareTexts(Word storedKey, Word soughtKey) {
  const auto *stored = fromWord<const TextRecord *>(storedKey);
  const auto *sought = fromWord<const TextRecord *>(soughtKey);
  if (stored->hash != sought->hash)
    return orderOf(stored->hash, sought->hash);
  if (stored->length != sought->length)
    return orderOf(stored->length, sought->length);
  return std::memcmp(textOf(stored), textOf(sought), stored->length);
}

static unsigned hashText(Word key) { return fromWord<const TextRecord *>(key)->hash; }

static void createTextDictionary() {
  pool.textDictionary = createHashTable(compareTexts, nullptr, hashText);
  pool.textRecordPool = createMemPool(1024, sizeof(TextRecord));
}

// Copies the key's bytes and a NUL at the end of the text buffer; returns
// their offset.
static std::size_t storeText(const KeyText &key) {
  const std::size_t need = pool.textBufferUsed + key.length + 1;
  if (need > pool.textBufferCapacity) {
    const std::size_t capacity = (need + textBufferStep - 1) / textBufferStep * textBufferStep;
    void *buffer = std::realloc(pool.textBuffer, capacity);
    if (!buffer)
      fatalError(noMemorySpace);
    pool.textBuffer = static_cast<char *>(buffer);
    pool.textBufferCapacity = capacity;
  }
  const std::size_t offset = pool.textBufferUsed;
  std::memcpy(pool.textBuffer + offset, key.bytes, key.length);
  pool.textBuffer[offset + key.length] = '\0';
  pool.textBufferUsed = need;
  return offset;
}

static TextRecord *findOrEnterText(const KeyText &key) {
  TextRecord soughtKey{.text = key.bytes, .textOffset = 0, .length = key.length, .hash = key.hash,
                       .kindMask = 0, .indexOfKind = {}};
  if (auto *found = fromWord<TextRecord *>(findInHashTable(pool.textDictionary, toWord(&soughtKey))))
    return found;
  auto *record = static_cast<TextRecord *>(allocateFromMemPool(pool.textRecordPool));
  *record = TextRecord{.text = nullptr, .textOffset = storeText(key), .length = key.length,
                       .hash = key.hash, .kindMask = 0, .indexOfKind = {}};
  insertInHashTable(pool.textDictionary, toWord(record), toWord(record));
  return record;
}

// The list doubles, so appending costs no allocation for nearly every constant.
static void appendToConstantList(TextRecord *record, int kind) {
  if (pool.constCount == pool.constantListCapacity) {
    const std::uint32_t capacity = pool.constantListCapacity ? pool.constantListCapacity * 2 : 256;
    void *list = std::realloc(pool.constantList, capacity * sizeof(ConstantEntry));
    if (!list)
      fatalError(noMemorySpace);
    pool.constantList = static_cast<ConstantEntry *>(list);
    pool.constantListCapacity = capacity;
  }
  pool.constantList[pool.constCount] = ConstantEntry{.textRecord = record, .kind = kind};
}

static std::uint32_t addConstantOfKey(const KeyText &key, int kind) {
  ASSERT(kind == IntegerConstant || kind == FloatConstant || kind == StringConstant);
  if (!pool.textDictionary)
    createTextDictionary();
  TextRecord *record = findOrEnterText(key);
  const std::uint32_t kindBit = 1u << kind;
  if (record->kindMask & kindBit)
    return record->indexOfKind[kind];
  record->indexOfKind[kind] = pool.constCount;
  record->kindMask |= kindBit;
  appendToConstantList(record, kind);
  return pool.constCount++;
}

std::uint32_t addConstant(const char *keyText, int kind) {
  return addConstantOfKey(keyTextOf(keyText, std::strlen(keyText)), kind);
}

int numberOfConstants() { return static_cast<int>(pool.constCount); }

// ---------------------------------------------------------------- value keys

// Integers and floats are keyed by their 32 bits, a nibble per character
// from the most significant: the integer 10 is "0000000:".
constexpr int valueKeyLength = 8;

static void makeValueKey(std::uint32_t bits, char key[valueKeyLength + 1]) {
  for (int i = 0; i < valueKeyLength; ++i)
    key[i] = static_cast<char>('0' + ((bits >> (4 * (valueKeyLength - 1 - i))) & 0xF));
  key[valueKeyLength] = '\0';
}

static std::uint32_t valueOfKey(const char *key) {
  ASSERT(std::strlen(key) == valueKeyLength);
  std::uint32_t bits = 0;
  for (int i = 0; i < valueKeyLength; ++i) {
    const unsigned nibble = static_cast<unsigned char>(key[i]) - '0';
    ASSERT(nibble < 16);
    bits = bits << 4 | nibble;
  }
  return bits;
}

static std::uint32_t addValueConstant(std::uint32_t bits, int kind) {
  char key[valueKeyLength + 1];
  makeValueKey(bits, key);
  return addConstantOfKey(keyTextOf(key, valueKeyLength), kind);
}

// ---------------------------------------------------------------- constant leaves

static Expression *makeConstantLeaf(ConstantDescriptor descriptor) {
  Expression *leaf = createExpression();
  leaf->exprOperator = ConstantLeaf;
  leaf->constant = descriptor;
  return leaf;
}

static Expression *makeDirectLeaf(ValueType type, std::uint32_t value, std::int32_t signParity) {
  return makeConstantLeaf(ConstantDescriptor{.signParity = signParity, .valueType = type,
                                             .constantType = ImmediateConstant, .value = value});
}

// An index leaf's type is decided by the node that holds it; only its value
// is read, so the type is left at integer.
static Expression *makeIndexLeaf(std::uint32_t index) {
  return makeConstantLeaf(ConstantDescriptor{.signParity = 0, .valueType = IntegerType,
                                             .constantType = IndirectConstant, .value = index});
}

static ValueType immediateType(ImmediateCode code) {
  switch (code) {
  case ImmediateCode::Zero:
  case ImmediateCode::One:
  case ImmediateCode::MinusOne:
    return IntegerType;
  case ImmediateCode::True:
  case ImmediateCode::False:
    return BooleanType;
  case ImmediateCode::Invalid:
    return InvalidType;
  case ImmediateCode::EmptyString:
    return StringType;
  }
  ASSERT(!"immediate constant code");
  return InvalidType;
}

Expression *immediateConstant(ImmediateCode code) {
  return makeDirectLeaf(immediateType(code), static_cast<std::uint32_t>(code), 0);
}

// 65535: the constant operands of the instructions are 16 bits wide.
Expression *constantIndexLeaf(std::uint32_t index) {
  if (index >= 65535) {
    reportError(TooManyConstants);
    return nullptr;
  }
  return makeIndexLeaf(index);
}

Expression *pragmaIndexLeaf(std::uint32_t index) {
  if (index >= 65536) {
    reportError(TooManyPragmas);
    return nullptr;
  }
  return makeIndexLeaf(index);
}

Expression *libraryIndexLeaf(std::uint32_t index) {
  if (index > 65536) {
    reportError(LibraryIndexOutOfRange);
    return nullptr;
  }
  return makeIndexLeaf(index);
}

Expression *libraryFunctionIndexLeaf(std::uint32_t index) {
  if (index > 256) {
    reportError(LibraryFunctionIndexOutOfRange);
    return nullptr;
  }
  return makeIndexLeaf(index);
}

// ---------------------------------------------------------------- integer literals

static int digitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return 99;
}

// The literal's digits and base: 0x... is hexadecimal, any other leading 0
// octal (so "0" alone is an octal 0), the rest decimal.
static const char *digitsOf(const char *text, unsigned &base) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    return text + 2;
  }
  if (text[0] == '0') {
    base = 8;
    return text + 1;
  }
  base = 10;
  return text;
}

// False when the value does not fit 32 bits.
static bool convertUnsigned(const char *digits, unsigned base, std::uint32_t &value) {
  std::uint64_t accumulated = 0;
  for (const char *c = digits; *c; ++c) {
    const int digit = digitValue(*c);
    // The lexer hands over only digits of the literal's base.
    ASSERT(digit < static_cast<int>(base));
    accumulated = accumulated * base + static_cast<unsigned>(digit);
    if (accumulated > std::numeric_limits<std::uint32_t>::max())
      return false;
  }
  value = static_cast<std::uint32_t>(accumulated);
  return true;
}

// 2147483648 is accepted only as the operand of a unary minus; its sign
// parity lets the folding of minus signs decide.
constexpr std::uint32_t largestIntegerLiteral = 2147483648u;

Expression *integerLiteral(const char *text) {
  unsigned base = 10;
  const char *digits = digitsOf(text, base);
  std::uint32_t value = 0;
  if (!convertUnsigned(digits, base, value) || value > largestIntegerLiteral) {
    reportError(IntegerOutOfRange);
    return nullptr;
  }
  return makeDirectLeaf(IntegerType, value, value == largestIntegerLiteral ? 1 : 0);
}

// ---------------------------------------------------------------- float literals

static std::uint32_t bitsOfFloat(float value) {
  std::uint32_t bits;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The float a "%f" scan gives for the text, and whether it read the whole
// text. The conversion signals out of range for results that are still
// usable (a subnormal, or a text that rounds up to the smallest normal
// value), so the range is judged on the value alone, never on errno.
static bool scanFloat(const char *text, float &value) {
  char *end = nullptr;
  value = std::strtof(text, &end);
  return end != text && *end == '\0';
}

Expression *floatLiteral(const char *text) {
  float value = 0;
  // A text the scan stops inside (a hexadecimal fraction with a decimal
  // exponent) has no single-precision value either.
  if (!scanFloat(text, value) || value > std::numeric_limits<float>::max() ||
      (value != 0 && value < std::numeric_limits<float>::min())) {
    reportError(FloatOutOfRange);
    return nullptr;
  }
  return makeDirectLeaf(FloatType, bitsOfFloat(value), 0);
}

// ---------------------------------------------------------------- string literals

static bool isQuote(char c) { return c == '"' || c == '\''; }

static bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }

// The byte a one-character escape stands for, or -1.
static int simpleEscape(char c) {
  switch (c) {
  case '"': return '"';
  case '\'': return '\'';
  case '/': return '/';
  case '\\': return '\\';
  case 'b': return '\b';
  case 'f': return '\f';
  case 'n': return '\n';
  case 'r': return '\r';
  case 't': return '\t';
  default: return -1;
  }
}

// Appends a code point up to 0xFFFF in UTF-8; returns the new end.
static char *appendUtf8(char *out, std::uint32_t codePoint) {
  ASSERT(codePoint <= 0xFFFF);
  if (codePoint < 0x80) {
    *out++ = static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    *out++ = static_cast<char>(0xC0 | codePoint >> 6);
    *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    *out++ = static_cast<char>(0xE0 | codePoint >> 12);
    *out++ = static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  return out;
}

// Exactly count hexadecimal digits before end; false when fewer are there.
static bool readHexDigits(const char *&in, const char *end, int count, std::uint32_t &value) {
  value = 0;
  for (int i = 0; i < count; ++i, ++in) {
    if (in >= end)
      return false;
    const int digit = digitValue(*in);
    if (digit >= 16)
      return false;
    value = value << 4 | static_cast<unsigned>(digit);
  }
  return true;
}

// One to three octal digits; false above 255, which is no byte.
static bool readOctalDigits(const char *&in, const char *end, std::uint32_t &value) {
  value = 0;
  for (int i = 0; i < 3 && in < end && isOctalDigit(*in); ++i, ++in)
    value = value * 8 + static_cast<unsigned>(*in - '0');
  return value <= 255;
}

// Decodes the escape after a backslash at in, appending to out. False for
// an illegal escape; in and out move past what was read and written.
static bool decodeEscape(const char *&in, const char *end, char *&out) {
  const char c = *in;
  if (const int byte = simpleEscape(c); byte >= 0) {
    *out++ = static_cast<char>(byte);
    ++in;
    return true;
  }
  std::uint32_t codePoint = 0;
  if (isOctalDigit(c)) {
    if (!readOctalDigits(in, end, codePoint))
      return false;
  } else if (c == 'x') {
    ++in;
    if (!readHexDigits(in, end, 2, codePoint))
      return false;
  } else if (c == 'u') {
    ++in;
    if (!readHexDigits(in, end, 4, codePoint))
      return false;
  } else {
    return false;
  }
  out = appendUtf8(out, codePoint);
  return true;
}

// The first byte in [from, end) that is a backslash or the quote, or end.
static const char *nextSpecialByte(const char *from, const char *end, char quote) {
  const auto *backslash = static_cast<const char *>(std::memchr(from, '\\', std::size_t(end - from)));
  const char *runEnd = backslash ? backslash : end;
  const auto *closing = static_cast<const char *>(std::memchr(from, quote, std::size_t(runEnd - from)));
  return closing ? closing : runEnd;
}

char *decodeStringLiteral(const char *text) {
  const std::size_t length = std::strlen(text);
  ASSERT(length >= 1 && isQuote(text[0]));
  // No escape is shorter than what it decodes to, so the text after the
  // opening quote plus a NUL always fits. Every byte is written before it
  // is read, so the buffer needs no clearing.
  auto *decoded = static_cast<char *>(std::malloc(length));
  if (!decoded)  // the checked allocation reports a second failure and ends the run
    decoded = static_cast<char *>(checkedAllocate(length, 1));
  char *out = decoded;
  // The literal ends at its closing quote, the only unescaped one like the
  // opening quote. A NUL byte in the source ends the text early, without
  // that quote: the constant ends there, as it does at an escaped NUL.
  // Bytes between escapes are copied a run at a time.
  const char quote = text[0];
  const char *end = text + length;
  for (const char *in = text + 1; in < end && *in != quote;) {
    const char *special = nextSpecialByte(in, end, quote);
    std::memcpy(out, in, std::size_t(special - in));
    out += special - in;
    in = special;
    if (in == end || *in == quote)
      break;
    ++in;
    if (in >= end || !decodeEscape(in, end, out)) {
      std::free(decoded);
      reportError(IllegalEscapeSequence);
      return nullptr;
    }
  }
  *out = '\0';
  return decoded;
}

// The length field of a string constant is 32 bits.
static bool stringLengthInRange(std::size_t length) {
  if (length < 0xFFFFFFFFu)
    return true;
  reportError(StringTooLong);
  return false;
}

Expression *stringLiteral(const char *decoded) {
  const std::size_t length = std::strlen(decoded);
  if (!stringLengthInRange(length))
    return nullptr;
  if (length == 0)
    return immediateConstant(ImmediateCode::EmptyString);
  Expression *leaf = constantIndexLeaf(addConstantOfKey(keyTextOf(decoded, length), StringConstant));
  if (leaf)
    leaf->constant.valueType = StringType;
  return leaf;
}

std::uint32_t pragmaString(const char *decoded) {
  const std::size_t length = std::strlen(decoded);
  if (!stringLengthInRange(length))
    return noConstantIndex;
  if (length == 0)
    reportWarning(EmptyStringInPragma);
  return addConstantOfKey(keyTextOf(decoded, length), StringConstant);
}

// ---------------------------------------------------------------- placement

// The pool takes integers and floats without a check when they are placed,
// but an index must fit the 16-bit operand like a string's: past the limit
// the error stops the unit from being written, and index 0 keeps the
// function's code buildable meanwhile.
static std::uint32_t placedIndex(std::uint32_t index) {
  if (index < 65535)
    return index;
  reportError(TooManyConstants);
  return 0;
}

ConstantDescriptor placeConstant(ConstantDescriptor descriptor) {
  if (descriptor.constantType == IndirectConstant)
    return descriptor;
  ConstantDescriptor placed = descriptor;
  switch (static_cast<ValueType>(descriptor.valueType)) {
  case IntegerType:
    switch (static_cast<std::int32_t>(descriptor.value)) {
    case -1: placed.value = static_cast<std::uint32_t>(ImmediateCode::MinusOne); break;
    case 0: placed.value = static_cast<std::uint32_t>(ImmediateCode::Zero); break;
    case 1: placed.value = static_cast<std::uint32_t>(ImmediateCode::One); break;
    default:
      placed.constantType = IndirectConstant;
      placed.value = placedIndex(addValueConstant(descriptor.value, IntegerConstant));
    }
    return placed;
  case FloatType:
    placed.constantType = IndirectConstant;
    placed.value = placedIndex(addValueConstant(descriptor.value, FloatConstant));
    return placed;
  case StringType:
  case BooleanType:
  case InvalidType:
    return placed;
  }
  ASSERT(!"constant value type");
  return placed;
}

// ---------------------------------------------------------------- encoding

void emitMbUInt32(std::uint32_t value) {
  std::uint8_t bytes[maxMbUInt32Length];
  const int length = encodeMbUInt32(value, bytes);
  emitBytes(bytes, static_cast<std::size_t>(length));
}

static int encodeBigEndian(std::uint32_t value, int count, std::uint8_t *bytes) {
  ASSERT(count >= 1 && count <= 4);
  for (int i = 0; i < count; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
  return count;
}

void emitBigEndian(std::uint32_t value, int count) {
  std::uint8_t bytes[4];
  emitBytes(bytes, static_cast<std::size_t>(encodeBigEndian(value, count, bytes)));
}

// Pool type bytes of the encoded constants.
enum PoolEntryType : std::uint8_t {
  Integer8 = 0,
  Integer16 = 1,
  Integer32 = 2,
  Float32 = 3,
  Utf8String = 4,
};

// The type byte and what follows it, a string's bytes excepted.
constexpr int longestConstantHead = 1 + maxMbUInt32Length;

static int encodeInteger(std::int32_t value, std::uint8_t *head) {
  const auto bits = static_cast<std::uint32_t>(value);
  if (value >= -128 && value <= 127) {
    head[0] = Integer8;
    return 1 + encodeBigEndian(bits, 1, head + 1);
  }
  if (value >= -32768 && value <= 32767) {
    head[0] = Integer16;
    return 1 + encodeBigEndian(bits, 2, head + 1);
  }
  head[0] = Integer32;
  return 1 + encodeBigEndian(bits, 4, head + 1);
}

static void writeConstant(const ConstantEntry &entry) {
  const TextRecord *record = entry.textRecord;
  const char *text = textOf(record);
  std::uint8_t head[longestConstantHead];
  switch (entry.kind) {
  case IntegerConstant:
    emitBytes(head, static_cast<std::size_t>(encodeInteger(static_cast<std::int32_t>(valueOfKey(text)), head)));
    return;
  case FloatConstant:
    head[0] = Float32;
    emitBytes(head, static_cast<std::size_t>(1 + encodeBigEndian(valueOfKey(text), 4, head + 1)));
    return;
  case StringConstant: {
    // The length was checked against 32 bits when the string was entered.
    const auto length = static_cast<std::uint32_t>(record->length);
    head[0] = Utf8String;
    emitBytes(head, static_cast<std::size_t>(1 + encodeMbUInt32(length, head + 1)));
    emitBytes(reinterpret_cast<const std::uint8_t *>(text), length);
    return;
  }
  }
  ASSERT(!"constant kind");
}

void writeConstantPool() {
  ASSERT((pool.constCount == 0) == (pool.constantList == nullptr));
  emitMbUInt32(pool.constCount);
  emitByte(utf8CharacterSet);
  for (std::uint32_t index = 0; index < pool.constCount; ++index)
    writeConstant(pool.constantList[index]);
  saveConstantPoolBytes();
}

// ---------------------------------------------------------------- dump and release

static const char *kindLabel(int kind) {
  switch (kind) {
  case IntegerConstant: return "Integer";
  case FloatConstant: return "Float";
  case StringConstant: return "String";
  }
  ASSERT(!"constant kind");
  return "";
}

void printConstantPool() {
  std::printf("%s \n", "CONSTANT POOL");
  std::printf("%s %d \n", "Number of Constants: ", static_cast<int>(pool.constCount));
  for (std::uint32_t index = 0; index < pool.constCount; ++index) {
    const ConstantEntry &entry = pool.constantList[index];
    std::printf("%d        %s  %s\n", static_cast<int>(index), kindLabel(entry.kind),
                textOf(entry.textRecord));
  }
}

void freeConstantPool() {
  if (pool.textDictionary)
    deleteHashTable(pool.textDictionary);
  if (pool.textRecordPool)
    deleteMemPool(pool.textRecordPool);
  std::free(pool.textBuffer);
  std::free(pool.constantList);
  pool = PoolState{};
}
