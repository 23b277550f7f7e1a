// WMLScript values and the conversion rules of the WMLScript standard,
// each written once and named after its rule. Every operator and every
// library function converts through these.
//
// Strings are Unicode text: a sequence of code points (std::u32string).
// A byte that is not part of valid UTF-8 (always 0x80..0xFF) becomes one
// character, U+DC00 plus the byte (U+DC80..U+DCFF), and is written back as
// that byte, so any byte string survives a decode and an encode unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tavokrt {

// typeof gives these numbers.
enum class ValueType : std::uint8_t { Integer = 0, Float = 1, String = 2, Boolean = 3, Invalid = 4 };

using Text = std::u32string;

// A small tagged value. Strings are shared, immutable and reference counted
// (not thread-safe: the machine has one thread).
class Value {
public:
  Value() : type_(ValueType::Invalid), text_(nullptr) {}
  static Value integer(std::int32_t value);
  // A float that is not finite gives invalid; an underflow (a non-zero value
  // below the smallest normal float) and -0.0 give 0.0.
  static Value floating(float value);
  static Value floatingFromDouble(double value);  // rounded to float, then as above
  static Value boolean(bool value);
  static Value invalid() { return Value(); }
  static Value string(Text text);
  static Value string(std::u32string_view text);
  static Value string(const char32_t *text);  // a literal U"..." picks neither above
  static Value emptyString();

  Value(const Value &other);
  Value(Value &&other) noexcept;
  Value &operator=(const Value &other);
  Value &operator=(Value &&other) noexcept;
  ~Value();

  ValueType type() const { return type_; }
  bool isInvalid() const { return type_ == ValueType::Invalid; }
  bool isString() const { return type_ == ValueType::String; }
  std::int32_t asInteger() const { return integer_; }  // type Integer only
  float asFloat() const { return floating_; }         // type Float only
  bool asBoolean() const { return boolean_; }         // type Boolean only
  const Text &asText() const;                         // type String only

  // A string's one allocation: shared by every copy of the value, freed
  // with the last one. Never changed after creation.
  struct SharedText {
    std::size_t refcount;
    Text text;
  };

private:
  ValueType type_;
  union {
    std::int32_t integer_;
    float floating_;
    bool boolean_;
    SharedText *text_;
  };
  // Only strings own anything: every other copy is two words.
  void retain() const {
    if (type_ == ValueType::String) ++text_->refcount;
  }
  void release() {
    if (type_ == ValueType::String && --text_->refcount == 0) destroyText(text_);
  }
  static void destroyText(SharedText *text);
  // The payload's bytes whatever the member: one move, no branch.
  void copyBits(const Value &other) {
    type_ = other.type_;
    std::memcpy(static_cast<void *>(&text_), static_cast<const void *>(&other.text_), sizeof text_);
  }
};

// The interpreter copies and drops values on every instruction: these stay
// inline, and only the last release of a string leaves the header.
inline Value::Value(const Value &other) {
  copyBits(other);
  retain();
}
inline Value::Value(Value &&other) noexcept {
  copyBits(other);
  other.type_ = ValueType::Invalid;
}
inline Value &Value::operator=(const Value &other) {
  other.retain();  // first: other may be this very value
  release();
  copyBits(other);
  return *this;
}
inline Value &Value::operator=(Value &&other) noexcept {
  if (this == &other) return *this;
  release();
  copyBits(other);
  other.type_ = ValueType::Invalid;
  return *this;
}
inline Value::~Value() { release(); }

inline Value Value::integer(std::int32_t value) {
  Value result;
  result.type_ = ValueType::Integer;
  result.integer_ = value;
  return result;
}
inline Value Value::boolean(bool value) {
  Value result;
  result.type_ = ValueType::Boolean;
  result.boolean_ = value;
  return result;
}
inline const Text &Value::asText() const { return text_->text; }

// Characters held by all live strings together; the machine's memory budget
// is checked against it.
std::size_t liveStringCharacters();

// ---------------------------------------------------------------------------
// Text and bytes

// Constant-pool bytes to text: UTF-8 (bad bytes as U+DC80 + byte) or Latin-1.
Text decodeUtf8(std::string_view bytes);
Text decodeLatin1(std::string_view bytes);
// Text to UTF-8 for output; U+DC80..U+DCFF go back to their single byte.
std::string encodeUtf8(const Text &text);
Text textFromAscii(std::string_view ascii);

// ---------------------------------------------------------------------------
// Conversions. Each gives a value of the target type or invalid.

Value toBoolean(const Value &value);
// Strings: the whole string an optional sign and decimal digits. Floats
// never convert implicitly.
Value toIntegerOrInvalid(const Value &value);
// Strings: the whole string an optional sign, digits with an optional
// fraction, an optional exponent.
Value toFloatOrInvalid(const Value &value);
// Integers in decimal, booleans "true"/"false", floats by formatFloat;
// invalid stays invalid.
Value toStringOrInvalid(const Value &value);
// Integer if the value converts to one, else float if it converts to one,
// else invalid. Booleans give integers.
Value toNumberForArithmetic(const Value &value);

// The shortest text that reads back as the same float, with ".0" appended
// when it has neither '.' nor 'e'; -0.0 is "0.0". 2.5 "2.5", 1e10 "1e+10".
std::string formatFloat(float value);
// A value as one WMLScript literal: 12, -3, 1.5, true, invalid, "text" with
// \" \\ \n \t escaped and other control characters as \uXXXX.
std::string formatLiteral(const Value &value);

} // namespace tavokrt
