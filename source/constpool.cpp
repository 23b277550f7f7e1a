#include "constpool.h"

#include "codegen.h"
#include "errorhlr.h"
#include "fatal.h"
#include "tavokassert.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {
// One per string constant, at its place in the record array. The text
// lives in the text buffer, which moves when it grows, so a record holds an
// offset. The hash and the length are kept so that a look-up compares the
// bytes only of the record that matches both.
struct TextRecord {
  std::size_t textOffset;  // of the NUL-terminated text in the text buffer
  std::size_t length;      // bytes before the NUL
  std::uint32_t hash;      // hashOfText of those bytes
  std::uint32_t index;     // the string constant's index
};

// A slot of the string dictionary: the record's hash beside its number, so
// that a probe reads no record whose hash differs.
struct TextSlot {
  std::uint32_t hash;
  std::uint32_t recordNumber;  // plus one; 0 marks an empty slot
};

// A slot of the dictionary of integers and floats, which are keyed by kind
// and value bits (valueKey) and need no text: their key text is made for
// the dump only. Kind and bits make one word, compared at once.
struct ValueSlot {
  std::uint64_t key;
  std::uint32_t indexPlusOne;  // 0 marks an empty slot
};

// An open-addressed table: a power of two of slots, at most half of them
// used, probed one after the other from the slot its hash picks.
template <class Slot> struct SlotTable {
  Slot *slots;  // null until the first look-up
  std::uint32_t slotCount;
  std::uint32_t used;
};

// The constant list: one per constant, at its index.
struct ConstantEntry {
  std::uint32_t recordOrBits;  // a string's record index, an integer's or float's bits
  int kind;                    // ConstantKind
};

// A key text about to be looked up, measured and hashed once.
struct KeyText {
  const char *bytes;
  std::size_t length;
  std::uint32_t hash;
};

struct PoolState {
  SlotTable<TextSlot> strings;
  SlotTable<ValueSlot> values;
  TextRecord *records;  // recordCount of them, in index order of their strings
  std::uint32_t recordCount;
  std::uint32_t recordCapacity;
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

// Decoded string literals are written into blocks of the heap that are used
// again: the block lent last is remembered with its size and the length of
// what was decoded into it, and a block given back becomes the spare that
// the next literal is decoded into. Every block is an ordinary allocation,
// so a holder that frees a decoded text itself loses nothing but the reuse.
namespace {
struct DecodeBlocks {
  char *spare;               // owned here, not lent; null when there is none
  std::size_t spareSize;
  char *lent;                // the block decodeStringLiteral returned last
  std::size_t lentSize;
  std::size_t lentLength;    // the length of the text decoded into it
};
} // namespace

static constinit DecodeBlocks decodeBlocks{};

// The smallest block lent, so that nearly every literal fits the spare.
constexpr std::size_t decodeBlockSize = 256;

constexpr std::size_t textBufferStep = 512;
constexpr std::uint32_t firstSlotCount = 1024;
// The character set byte of the pool: the IANA number of UTF-8.
constexpr std::uint8_t utf8CharacterSet = 0x6A;

// ---------------------------------------------------------------- open-addressed tables

static bool isEmpty(const TextSlot &slot) { return slot.recordNumber == 0; }
static bool isEmpty(const ValueSlot &slot) { return slot.indexPlusOne == 0; }

static std::uint64_t valueKey(std::uint32_t bits, std::uint32_t kind) {
  return std::uint64_t{kind} << 32 | bits;
}

static std::uint64_t keyOf(const TextSlot &slot) { return slot.hash; }
static std::uint64_t keyOf(const ValueSlot &slot) { return slot.key; }

// Where a key's probe starts: the top half of a multiplicative scramble, so
// that every bit of the key counts.
static std::uint32_t firstSlotOf(std::uint64_t key, std::uint32_t slotCount) {
  return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15u) >> 32) & (slotCount - 1);
}

template <class Slot> static Slot *allocateSlots(std::uint32_t count) {
  auto *slots = static_cast<Slot *>(std::calloc(count, sizeof(Slot)));
  if (!slots)
    fatalError(noMemorySpace);
  return slots;
}

template <class Slot> [[gnu::noinline]] static void createSlots(SlotTable<Slot> &table) {
  table.slots = allocateSlots<Slot>(firstSlotCount);
  table.slotCount = firstSlotCount;
}

// The slot that holds what matches, or the empty slot where it belongs; the
// table's slots exist.
template <class Slot, class Matches>
static Slot *probe(SlotTable<Slot> &table, std::uint64_t key, Matches matches) {
  const std::uint32_t mask = table.slotCount - 1;
  for (std::uint32_t at = firstSlotOf(key, table.slotCount);; at = (at + 1) & mask) {
    Slot *slot = &table.slots[at];
    if (isEmpty(*slot) || matches(*slot))
      return slot;
  }
}

// Counts a slot just filled; the slots double once half are used, so that
// probes stay short, and the stored keys place the entries again.
template <class Slot> static void countFilledSlot(SlotTable<Slot> &table) {
  if (++table.used < table.slotCount / 2)
    return;
  const std::uint32_t count = table.slotCount * 2;
  auto *slots = allocateSlots<Slot>(count);
  for (std::uint32_t old = 0; old < table.slotCount; ++old) {
    const Slot slot = table.slots[old];
    if (isEmpty(slot))
      continue;
    std::uint32_t at = firstSlotOf(keyOf(slot), count);
    while (!isEmpty(slots[at]))
      at = (at + 1) & (count - 1);
    slots[at] = slot;
  }
  std::free(table.slots);
  table.slots = slots;
  table.slotCount = count;
}

// Arrays that double, so that appending costs no allocation nearly every time.
template <class Element>
static void makeRoomForOneMore(Element *&array, std::uint32_t used, std::uint32_t &capacity) {
  if (used < capacity)
    return;
  const std::uint32_t grown = capacity ? capacity * 2 : 256;
  void *moved = std::realloc(array, grown * sizeof(Element));
  if (!moved)
    fatalError(noMemorySpace);
  array = static_cast<Element *>(moved);
  capacity = grown;
}

static std::uint32_t appendToConstantList(std::uint32_t recordOrBits, int kind) {
  makeRoomForOneMore(pool.constantList, pool.constCount, pool.constantListCapacity);
  pool.constantList[pool.constCount] = ConstantEntry{.recordOrBits = recordOrBits, .kind = kind};
  return pool.constCount++;
}

// ---------------------------------------------------------------- strings

static const char *textOf(const TextRecord &record) { return pool.textBuffer + record.textOffset; }

// The last 0 to 7 bytes of a text as one little-endian word, the first byte
// lowest. Read in at most three steps that overlap rather than a byte at a
// time: the bytes a step reads twice land on the same places, and no byte
// past the text is read.
static std::uint64_t tailWordOf(const char *tail, std::size_t count) {
  ASSERT(count < 8);
  const auto byteAt = [tail](std::size_t at) { return std::uint64_t{static_cast<unsigned char>(tail[at])}; };
  if (count >= 4) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, tail, sizeof low);
    std::memcpy(&high, tail + count - 4, sizeof high);
    if constexpr (std::endian::native == std::endian::big) {
      low = __builtin_bswap32(low);
      high = __builtin_bswap32(high);
    }
    return std::uint64_t{low} | std::uint64_t{high} << (8 * (count - 4));
  }
  if (count == 0)
    return 0;
  return byteAt(0) | byteAt(count / 2) << (8 * (count / 2)) | byteAt(count - 1) << (8 * (count - 1));
}

// The string dictionary's hash: eight bytes a step, mixed by a
// multiplication, and the tail's bytes as one more word. No text leaves the
// pool in the order of its hash, so the hash only has to spread the texts.
static std::uint32_t hashOfText(const char *text, std::size_t length) {
  constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15u;
  std::uint64_t hash = length;
  std::size_t at = 0;
  for (; at + 8 <= length; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + at, sizeof word);
    hash = (hash ^ word) * multiplier;
    hash ^= hash >> 32;
  }
  hash = (hash ^ tailWordOf(text + at, length - at)) * multiplier;
  return static_cast<std::uint32_t>(hash >> 32);
}

static KeyText keyTextOf(const char *text, std::size_t length) {
  return KeyText{.bytes = text, .length = length, .hash = hashOfText(text, length)};
}

static bool recordHoldsKey(const TextSlot &slot, const KeyText &key) {
  if (slot.hash != key.hash)
    return false;
  const TextRecord &record = pool.records[slot.recordNumber - 1];
  return record.length == key.length && std::memcmp(textOf(record), key.bytes, key.length) == 0;
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

// A new string constant: its text, its record and its place in the list.
// Returns the record's number.
static std::uint32_t enterString(const KeyText &key) {
  makeRoomForOneMore(pool.records, pool.recordCount, pool.recordCapacity);
  const std::uint32_t recordIndex = pool.recordCount;
  pool.records[recordIndex] = TextRecord{.textOffset = storeText(key), .length = key.length,
                                         .hash = key.hash,
                                         .index = appendToConstantList(recordIndex, StringConstant)};
  return ++pool.recordCount;
}

static std::uint32_t addStringConstant(const KeyText &key) {
  if (!pool.strings.slots)
    createSlots(pool.strings);
  TextSlot *slot = probe(pool.strings, key.hash,
                         [&key](const TextSlot &candidate) { return recordHoldsKey(candidate, key); });
  if (!isEmpty(*slot))
    return pool.records[slot->recordNumber - 1].index;
  const std::uint32_t recordNumber = enterString(key);
  *slot = TextSlot{.hash = key.hash, .recordNumber = recordNumber};
  countFilledSlot(pool.strings);
  return pool.records[recordNumber - 1].index;
}

// ---------------------------------------------------------------- value keys

// Integers and floats are keyed by their 32 bits, a nibble per character
// from the most significant: the integer 10 is "0000000:". The pool keeps
// the bits; the key text is what the dump prints and what addConstant takes.
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

static ValueSlot *probeValues(std::uint64_t key) {
  return probe(pool.values, key, [key](const ValueSlot &candidate) { return candidate.key == key; });
}

// A new integer or float in the empty slot where it belongs; before the
// first one there are no slots yet.
[[gnu::noinline]] static std::uint32_t enterValue(ValueSlot *slot, std::uint64_t key) {
  if (!slot) {
    createSlots(pool.values);
    slot = probeValues(key);
  }
  const auto bits = static_cast<std::uint32_t>(key);
  const auto kind = static_cast<int>(key >> 32);
  const std::uint32_t index = appendToConstantList(bits, kind);
  *slot = ValueSlot{.key = key, .indexPlusOne = index + 1};
  countFilledSlot(pool.values);
  return index;
}

// Most integers and floats are met again: those are found without a call.
static std::uint32_t addValueConstant(std::uint32_t bits, int kind) {
  const std::uint64_t key = valueKey(bits, static_cast<std::uint32_t>(kind));
  if (!pool.values.slots) [[unlikely]]
    return enterValue(nullptr, key);
  ValueSlot *slot = probeValues(key);
  if (isEmpty(*slot)) [[unlikely]]
    return enterValue(slot, key);
  return slot->indexPlusOne - 1;
}

std::uint32_t addConstant(const char *keyText, int kind) {
  ASSERT(kind == IntegerConstant || kind == FloatConstant || kind == StringConstant);
  if (kind == StringConstant)
    return addStringConstant(keyTextOf(keyText, std::strlen(keyText)));
  return addValueConstant(valueOfKey(keyText), kind);
}

int numberOfConstants() { return static_cast<int>(pool.constCount); }

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

// The common literal: a decimal of one to nine digits, which no check can
// fail (the lexer hands over only digits). False for any other text.
static bool convertShortDecimal(const char *text, std::uint32_t &value) {
  if (text[0] == '0')
    return false;  // octal or hexadecimal
  std::uint32_t accumulated = 0;
  int length = 0;
  for (; length < 9; ++length) {
    const unsigned digit = static_cast<unsigned char>(text[length]) - unsigned{'0'};
    if (digit > 9)
      break;
    accumulated = accumulated * 10 + digit;
  }
  if (text[length] != '\0')
    return false;
  value = accumulated;
  return true;
}

Expression *integerLiteral(const char *text) {
  if (std::uint32_t value; convertShortDecimal(text, value))
    return makeDirectLeaf(IntegerType, value, 0);
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

static bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// Takes the next digit into a mantissa that stays below 2^24, the integers
// a float holds exactly; false when it would not.
static bool takeMantissaDigit(char c, std::uint32_t &mantissa) {
  constexpr std::uint32_t exactLimit = std::uint32_t{1} << 24;
  const auto digit = static_cast<std::uint32_t>(c - '0');
  if (mantissa > (exactLimit - 1 - digit) / 10)
    return false;
  mantissa = mantissa * 10 + digit;
  return true;
}

// The decimal exponent after 'e' or 'E'; false for none or a long one.
static bool readDecimalExponent(const char *&c, int &exponent) {
  const bool negative = *c == '-';
  if (*c == '+' || *c == '-')
    ++c;
  if (!isDecimalDigit(*c))
    return false;
  int value = 0;
  for (; isDecimalDigit(*c); ++c) {
    if (value > 1000)
      return false;
    value = value * 10 + (*c - '0');
  }
  exponent = negative ? -value : value;
  return true;
}

// The scan's result without the scan, for the common literal: decimal
// digits that make an integer below 2^24 and a power of ten within 10 either
// way. Both are exact floats, so one multiplication or division rounds the
// exact value once, to the nearest float, as the scan does. False for every
// other text, which the scan then converts.
static bool convertShortDecimal(const char *text, float &value) {
  std::uint32_t mantissa = 0;
  int exponent = 0;
  bool anyDigit = false;
  const char *c = text;
  for (; isDecimalDigit(*c); ++c, anyDigit = true)
    if (!takeMantissaDigit(*c, mantissa))
      return false;
  if (*c == '.')
    for (++c; isDecimalDigit(*c); ++c, anyDigit = true, --exponent)
      if (!takeMantissaDigit(*c, mantissa))
        return false;
  if (!anyDigit)
    return false;
  if (*c == 'e' || *c == 'E') {
    int written = 0;
    if (!readDecimalExponent(++c, written))
      return false;
    exponent += written;
  }
  static constexpr float exactPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                               1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  constexpr int largestExactPower = 10;
  if (*c != '\0' || exponent < -largestExactPower || exponent > largestExactPower)
    return false;
  const auto exact = static_cast<float>(mantissa);
  value = exponent >= 0 ? exact * exactPowersOfTen[exponent] : exact / exactPowersOfTen[-exponent];
  return true;
}

Expression *floatLiteral(const char *text) {
  float value = 0;
  // A text the scan stops inside (a hexadecimal fraction with a decimal
  // exponent) has no single-precision value either.
  if ((!convertShortDecimal(text, value) && !scanFloat(text, value)) || value > std::numeric_limits<float>::max() ||
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

// A block of at least size bytes to decode into: the spare when it is big
// enough, else a new one (a spare too small is freed). While a block is
// lent there is no spare.
static char *lendDecodeBlock(std::size_t size) {
  DecodeBlocks &blocks = decodeBlocks;
  if (blocks.spare && blocks.spareSize >= size) [[likely]] {
    blocks.lent = blocks.spare;
    blocks.lentSize = blocks.spareSize;
    blocks.spare = nullptr;
    return blocks.lent;
  }
  std::free(blocks.spare);
  blocks.spare = nullptr;
  const std::size_t blockSize = size > decodeBlockSize ? size : decodeBlockSize;
  auto *block = static_cast<char *>(std::malloc(blockSize));
  if (!block)  // the checked allocation reports a second failure and ends the run
    block = static_cast<char *>(checkedAllocate(blockSize, 1));
  blocks.lent = block;
  blocks.lentSize = blockSize;
  return block;
}

void releaseDecodedString(char *decoded) {
  DecodeBlocks &blocks = decodeBlocks;
  // A block lent before the last one is not known here.
  if (decoded != blocks.lent || !decoded) [[unlikely]] {
    std::free(decoded);
    return;
  }
  ASSERT(!blocks.spare);
  blocks.spare = decoded;
  blocks.spareSize = blocks.lentSize;
  blocks.lent = nullptr;
}

// Decodes the text from in, after the opening quote, up to the closing quote
// or end into out; returns the end of what was written, or null for an
// illegal escape. Bytes between escapes are copied a run at a time.
static char *decodeText(const char *in, const char *end, char quote, char *out) {
  while (in < end && *in != quote) {
    const char *special = nextSpecialByte(in, end, quote);
    std::memcpy(out, in, std::size_t(special - in));
    out += special - in;
    in = special;
    if (in == end || *in == quote)
      break;
    ++in;
    if (in >= end || !decodeEscape(in, end, out))
      return nullptr;
  }
  return out;
}

// A literal with an escape, decoded into the block lent for it; null after
// reporting an illegal escape. Out of line, so that the common literal
// saves no registers for it.
[[gnu::noinline]] static char *decodeEscapedLiteral(const char *text, std::size_t length,
                                                   char *decoded) {
  const char quote = text[0];
  const char *end = text + length;
  char *out = decodeText(text + 1, end, quote, decoded);
  if (!out) {
    releaseDecodedString(decoded);
    reportError(IllegalEscapeSequence);
    return nullptr;
  }
  *out = '\0';
  // An escape may have put a NUL among the bytes written.
  decodeBlocks.lentLength = std::strlen(decoded);
  return decoded;
}

char *decodeStringLiteral(const char *text) {
  const std::size_t length = std::strlen(text);
  ASSERT(length >= 1 && isQuote(text[0]));
  // No escape is shorter than what it decodes to, so the text after the
  // opening quote plus a NUL always fits. Every byte is written before it
  // is read, so the block needs no clearing.
  char *decoded = lendDecodeBlock(length);
  // The literal ends at its closing quote, the only unescaped one like the
  // opening quote. A NUL byte in the source ends the text early, without
  // that quote: the constant ends there, as it does at an escaped NUL.
  const char *bytes = text + 1;
  if (std::memchr(bytes, '\\', length - 1)) [[unlikely]]
    return decodeEscapedLiteral(text, length, decoded);
  const auto *closing = static_cast<const char *>(std::memchr(bytes, text[0], length - 1));
  const auto count = static_cast<std::size_t>((closing ? closing : text + length) - bytes);
  std::memcpy(decoded, bytes, count);
  decoded[count] = '\0';
  decodeBlocks.lentLength = count;
  return decoded;
}

// The length of a decoded text: remembered for the one decoded last, which
// is nearly always the one asked about.
static std::size_t decodedLength(const char *decoded) {
  if (decoded == decodeBlocks.lent)
    return decodeBlocks.lentLength;
  return std::strlen(decoded);
}

// The length field of a string constant is 32 bits.
static bool stringLengthInRange(std::size_t length) {
  if (length < 0xFFFFFFFFu)
    return true;
  reportError(StringTooLong);
  return false;
}

Expression *stringLiteral(const char *decoded) {
  const std::size_t length = decodedLength(decoded);
  if (!stringLengthInRange(length))
    return nullptr;
  if (length == 0)
    return immediateConstant(ImmediateCode::EmptyString);
  Expression *leaf = constantIndexLeaf(addStringConstant(keyTextOf(decoded, length)));
  if (leaf)
    leaf->constant.valueType = StringType;
  return leaf;
}

std::uint32_t pragmaString(const char *decoded) {
  const std::size_t length = decodedLength(decoded);
  if (!stringLengthInRange(length))
    return noConstantIndex;
  if (length == 0)
    reportWarning(EmptyStringInPragma);
  return addStringConstant(keyTextOf(decoded, length));
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

// An integer or a float that enters the pool. Out of line, so that placing
// the constants that stay where they are saves no registers.
[[gnu::noinline]] static ConstantDescriptor placeInPool(ConstantDescriptor descriptor, int kind) {
  descriptor.constantType = IndirectConstant;
  descriptor.value = placedIndex(addValueConstant(descriptor.value, kind));
  return descriptor;
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
      return placeInPool(descriptor, IntegerConstant);
    }
    return placed;
  case FloatType:
    return placeInPool(descriptor, FloatConstant);
  case StringType:
  case BooleanType:
  case InvalidType:
    return placed;
  }
  ASSERT(!"constant value type");
  return placed;
}

// ---------------------------------------------------------------- encoding

static std::size_t mbUInt32Length(std::uint32_t value) {
  std::size_t length = 1;
  while (length < maxMbUInt32Length && (value >> (7 * length)) != 0)
    ++length;
  return length;
}

// The encoding writes exactly the bytes the value needs, so it goes straight
// into room of that size.
void emitMbUInt32(std::uint32_t value) { encodeMbUInt32(value, emitRoom(mbUInt32Length(value))); }

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

static int integerEncodingLength(std::int32_t value) {
  if (value >= -128 && value <= 127)
    return 2;
  return value >= -32768 && value <= 32767 ? 3 : 5;
}

// The bytes encodeConstant writes for the entry.
static std::size_t encodedLength(const ConstantEntry &entry) {
  switch (entry.kind) {
  case IntegerConstant:
    return static_cast<std::size_t>(integerEncodingLength(static_cast<std::int32_t>(entry.recordOrBits)));
  case FloatConstant:
    return 5;
  case StringConstant: {
    const std::size_t length = pool.records[entry.recordOrBits].length;
    return 1 + mbUInt32Length(static_cast<std::uint32_t>(length)) + length;
  }
  }
  ASSERT(!"constant kind");
  return 0;
}

// Writes one constant at out; returns the end of what was written.
static std::uint8_t *encodeConstant(const ConstantEntry &entry, std::uint8_t *out) {
  switch (entry.kind) {
  case IntegerConstant:
    return out + encodeInteger(static_cast<std::int32_t>(entry.recordOrBits), out);
  case FloatConstant:
    out[0] = Float32;
    return out + 1 + encodeBigEndian(entry.recordOrBits, 4, out + 1);
  case StringConstant: {
    const TextRecord &record = pool.records[entry.recordOrBits];
    // The length was checked against 32 bits when the string was entered.
    const auto length = static_cast<std::uint32_t>(record.length);
    out[0] = Utf8String;
    out += 1 + encodeMbUInt32(length, out + 1);
    std::memcpy(out, textOf(record), length);
    return out + length;
  }
  }
  ASSERT(!"constant kind");
  return out;
}

// The constants are measured first, so that the output buffer grows once
// and every constant is written straight into it.
void writeConstantPool() {
  ASSERT((pool.constCount == 0) == (pool.constantList == nullptr));
  emitMbUInt32(pool.constCount);
  emitByte(utf8CharacterSet);
  std::size_t length = 0;
  for (std::uint32_t index = 0; index < pool.constCount; ++index)
    length += encodedLength(pool.constantList[index]);
  std::uint8_t *out = emitRoom(length);
  std::uint8_t *const end = out + length;
  for (std::uint32_t index = 0; index < pool.constCount; ++index)
    out = encodeConstant(pool.constantList[index], out);
  ASSERT(out == end);
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
    char valueKeyText[valueKeyLength + 1];
    const char *keyText = valueKeyText;
    if (entry.kind == StringConstant)
      keyText = textOf(pool.records[entry.recordOrBits]);
    else
      makeValueKey(entry.recordOrBits, valueKeyText);
    std::printf("%d        %s  %s\n", static_cast<int>(index), kindLabel(entry.kind), keyText);
  }
}

void freeConstantPool() {
  std::free(pool.strings.slots);
  std::free(pool.values.slots);
  std::free(pool.records);
  std::free(pool.textBuffer);
  std::free(pool.constantList);
  pool = PoolState{};
  // A block still lent belongs to its holder.
  std::free(decodeBlocks.spare);
  decodeBlocks = DecodeBlocks{};
}
