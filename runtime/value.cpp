#include "value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace tavokrt {

namespace {
struct StringAccount {
  std::size_t liveCharacters;  // sum of the lengths of all SharedText records
};
} // namespace
static constinit StringAccount account{};

std::size_t liveStringCharacters() { return account.liveCharacters; }

// ---------------------------------------------------------------------------
// Values

void Value::destroyText(SharedText *text) {
  account.liveCharacters -= text->text.size();
  delete text;
}

static Value::SharedText *createSharedText(Text &&text) {
  account.liveCharacters += text.size();
  return new Value::SharedText{.refcount = 1, .text = std::move(text)};
}

Value Value::string(Text text) {
  if (text.empty()) return emptyString();
  Value result;
  result.text_ = createSharedText(std::move(text));
  result.type_ = ValueType::String;
  return result;
}

Value Value::string(std::u32string_view text) { return string(Text(text)); }

Value Value::string(const char32_t *text) { return string(Text(text)); }

// Every declared variable starts as "": one record serves them all. The
// reference its static holds is never released, so it is never freed.
Value Value::emptyString() {
  static SharedText *const empty = createSharedText(Text());
  Value result;
  result.text_ = empty;
  result.type_ = ValueType::String;
  result.retain();
  return result;
}

Value Value::floating(float value) {
  if (!std::isfinite(value)) return invalid();
  // Below the smallest normal float is an underflow; this also turns -0.0
  // into 0.0, so no value ever holds a negative zero.
  if (std::fabs(value) < std::numeric_limits<float>::min()) value = 0.0f;
  Value result;
  result.type_ = ValueType::Float;
  result.floating_ = value;
  return result;
}

Value Value::floatingFromDouble(double value) {
  if (!std::isfinite(value)) return invalid();
  constexpr double largest = std::numeric_limits<float>::max();
  // Halfway between the largest float and 2^128 rounds (to even) to
  // infinity; anything below it rounds to the largest float. Converting a
  // double out of float range is undefined, so this is decided here.
  constexpr double overflowThreshold = 0x1.ffffffp127;
  double magnitude = std::fabs(value);
  if (magnitude >= overflowThreshold) return invalid();
  if (magnitude > largest) return floating(value < 0 ? -std::numeric_limits<float>::max()
                                                     : std::numeric_limits<float>::max());
  return floating(static_cast<float>(value));
}

// ---------------------------------------------------------------------------
// Text and bytes

namespace {
constexpr char32_t firstByteCharacter = 0xDC80;  // the character of bad byte 0x80
constexpr char32_t lastByteCharacter = 0xDCFF;   // ... and of 0xFF

// What a lead byte announces: the sequence's length, the code point bits
// it carries itself, and the smallest code point that needs that length
// (anything smaller is an overlong form).
struct SequenceShape {
  int length;
  char32_t leadBits;
  char32_t smallest;
};
} // namespace

static SequenceShape shapeOfLeadByte(unsigned char lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return {2, lead & 0x1Fu, 0x80};
  if (lead >= 0xE0 && lead <= 0xEF) return {3, lead & 0x0Fu, 0x800};
  if (lead >= 0xF0 && lead <= 0xF7) return {4, lead & 0x07u, 0x10000};
  return {0, 0, 0};  // a continuation byte or 0xF8..0xFF cannot start one
}

// The code point of the valid sequence starting at bytes[at], or nothing
// (length 0) when those bytes are not one: truncated, overlong, a
// surrogate, or above U+10FFFF.
static std::pair<char32_t, int> decodeSequence(std::string_view bytes, std::size_t at) {
  auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80) return {lead, 1};
  SequenceShape shape = shapeOfLeadByte(lead);
  if (shape.length == 0 || bytes.size() - at < static_cast<std::size_t>(shape.length))
    return {0, 0};
  char32_t code = shape.leadBits;
  for (int i = 1; i < shape.length; ++i) {
    auto next = static_cast<unsigned char>(bytes[at + i]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    code = (code << 6) | (next & 0x3Fu);
  }
  bool overlong = code < shape.smallest;
  bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return {0, 0};
  return {code, shape.length};
}

Text decodeUtf8(std::string_view bytes) {
  Text text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    auto [code, length] = decodeSequence(bytes, at);
    if (length == 0) {
      // Only the first byte is given up: the next may start a good sequence.
      text.push_back(0xDC00 + static_cast<unsigned char>(bytes[at]));
      ++at;
      continue;
    }
    text.push_back(code);
    at += length;
  }
  return text;
}

Text decodeLatin1(std::string_view bytes) {
  Text text;
  text.reserve(bytes.size());
  for (char byte : bytes) text.push_back(static_cast<unsigned char>(byte));
  return text;
}

static void appendUtf8(std::string &out, char32_t code) {
  if (code >= firstByteCharacter && code <= lastByteCharacter) {
    out.push_back(static_cast<char>(code - 0xDC00));
    return;
  }
  if (code > 0x10FFFF) code = 0xFFFD;  // cannot come from any decoding
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string encodeUtf8(const Text &text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t code : text) appendUtf8(out, code);
  return out;
}

Text textFromAscii(std::string_view ascii) { return decodeLatin1(ascii); }

// ---------------------------------------------------------------------------
// Conversions

static bool isDigit(char32_t c) { return c >= U'0' && c <= U'9'; }

Value toBoolean(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return Value::boolean(value.asInteger() != 0);
  case ValueType::Float: return Value::boolean(value.asFloat() != 0.0f);
  case ValueType::String: return Value::boolean(!value.asText().empty());
  case ValueType::Boolean: return value;
  case ValueType::Invalid: return value;
  }
  return Value::invalid();
}

// The whole text an optional sign and decimal digits, within 32 bits.
static Value parseInteger(const Text &text) {
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == U'+' || text[at] == U'-')) negative = text[at++] == U'-';
  if (at == text.size()) return Value::invalid();
  std::int64_t magnitude = 0;
  constexpr std::int64_t limit = std::int64_t{1} << 31;  // -2147483648 still fits
  for (; at < text.size(); ++at) {
    if (!isDigit(text[at])) return Value::invalid();
    magnitude = magnitude * 10 + (text[at] - U'0');
    if (magnitude > limit) return Value::invalid();
  }
  if (!negative && magnitude == limit) return Value::invalid();
  return Value::integer(static_cast<std::int32_t>(negative ? -magnitude : magnitude));
}

Value toIntegerOrInvalid(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return value;
  case ValueType::Float: return Value::invalid();  // never implicitly
  case ValueType::String: return parseInteger(value.asText());
  case ValueType::Boolean: return Value::integer(value.asBoolean() ? 1 : 0);
  case ValueType::Invalid: return value;
  }
  return Value::invalid();
}

namespace {
// A float literal's parts once its shape has been checked.
struct DecimalShape {
  bool valid;
  // Power of ten of the first non-zero digit (saturated), or nothing when
  // every digit is zero: tells an overflow from an underflow.
  bool allZero;
  std::int64_t leadingPower;
};
} // namespace

static std::size_t skipDigits(const std::string &text, std::size_t at) {
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at;
}

// Checks [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits],
// the whole text, and finds the power of ten of the first non-zero digit.
static DecimalShape shapeOfDecimal(const std::string &text) {
  DecimalShape shape{.valid = false, .allZero = true, .leadingPower = 0};
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  std::size_t integerStart = at;
  at = skipDigits(text, at);
  std::size_t integerEnd = at;
  std::size_t fractionStart = at, fractionEnd = at;
  if (at < text.size() && text[at] == '.') {
    fractionStart = at + 1;
    at = fractionEnd = skipDigits(text, fractionStart);
  }
  if (integerEnd == integerStart && fractionEnd == fractionStart) return shape;
  std::int64_t exponent = 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    std::size_t digitsStart = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
      exponent = std::min<std::int64_t>(exponent * 10 + (text[at] - '0'), 1'000'000'000);
    if (at == digitsStart) return shape;
    if (negative) exponent = -exponent;
  }
  if (at != text.size()) return shape;
  shape.valid = true;
  for (std::size_t i = integerStart; i < integerEnd; ++i)
    if (text[i] != '0') {
      shape.allZero = false;
      shape.leadingPower = static_cast<std::int64_t>(integerEnd - i - 1) + exponent;
      return shape;
    }
  for (std::size_t i = fractionStart; i < fractionEnd; ++i)
    if (text[i] != '0') {
      shape.allZero = false;
      shape.leadingPower = -static_cast<std::int64_t>(i - fractionStart + 1) + exponent;
      return shape;
    }
  return shape;
}

static Value parseFloat(const Text &text) {
  std::string ascii;
  ascii.reserve(text.size());
  for (char32_t c : text) {
    if (c >= 0x80) return Value::invalid();
    ascii.push_back(static_cast<char>(c));
  }
  DecimalShape shape = shapeOfDecimal(ascii);
  if (!shape.valid) return Value::invalid();
  if (shape.allZero) return Value::floating(0.0f);
  // from_chars takes no '+' but reads the rest of the shape checked above,
  // rounding once, straight to single precision.
  const char *first = ascii.data() + (ascii[0] == '+' ? 1 : 0);
  const char *last = ascii.data() + ascii.size();
  float result = 0.0f;
  auto [end, error] = std::from_chars(first, last, result, std::chars_format::general);
  if (error == std::errc() && end == last) return Value::floating(result);
  if (error != std::errc::result_out_of_range) return Value::invalid();
  // Out of range: too large (invalid) or too small (an underflow, 0.0).
  return shape.leadingPower >= 0 ? Value::invalid() : Value::floating(0.0f);
}

Value toFloatOrInvalid(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return Value::floating(static_cast<float>(value.asInteger()));
  case ValueType::Float: return value;
  case ValueType::String: return parseFloat(value.asText());
  case ValueType::Boolean: return Value::floating(value.asBoolean() ? 1.0f : 0.0f);
  case ValueType::Invalid: return value;
  }
  return Value::invalid();
}

Value toStringOrInvalid(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return Value::string(textFromAscii(std::to_string(value.asInteger())));
  case ValueType::Float: return Value::string(textFromAscii(formatFloat(value.asFloat())));
  case ValueType::String: return value;
  case ValueType::Boolean: return Value::string(value.asBoolean() ? U"true" : U"false");
  case ValueType::Invalid: return value;
  }
  return Value::invalid();
}

Value toNumberForArithmetic(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return value;
  case ValueType::Float: return value;
  case ValueType::String: {
    Value integer = parseInteger(value.asText());
    return integer.isInvalid() ? parseFloat(value.asText()) : integer;
  }
  case ValueType::Boolean: return Value::integer(value.asBoolean() ? 1 : 0);
  case ValueType::Invalid: return value;
  }
  return Value::invalid();
}

std::string formatFloat(float value) {
  if (value == 0.0f) return "0.0";  // both zeros
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return "invalid";  // 64 characters always suffice
  std::string text(buffer, end);
  // Not finite ("inf", "nan") never reaches a value; left as written.
  if (!std::isfinite(value)) return text;
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

static void appendEscapedCharacter(std::string &out, char32_t code) {
  static constexpr char hexDigits[] = "0123456789ABCDEF";
  switch (code) {
  case U'"': out += "\\\""; return;
  case U'\\': out += "\\\\"; return;
  case U'\n': out += "\\n"; return;
  case U'\t': out += "\\t"; return;
  default: break;
  }
  if (code < 0x20 || code == 0x7F) {
    out += "\\u00";
    out.push_back(hexDigits[code >> 4]);
    out.push_back(hexDigits[code & 0xF]);
    return;
  }
  appendUtf8(out, code);
}

std::string formatLiteral(const Value &value) {
  switch (value.type()) {
  case ValueType::Integer: return std::to_string(value.asInteger());
  case ValueType::Float: return formatFloat(value.asFloat());
  case ValueType::Boolean: return value.asBoolean() ? "true" : "false";
  case ValueType::Invalid: return "invalid";
  case ValueType::String: break;
  }
  std::string out = "\"";
  for (char32_t code : value.asText()) appendEscapedCharacter(out, code);
  out += '"';
  return out;
}

} // namespace tavokrt
