// Lang: numbers, parsing, the end of the run and random numbers.
#include <chrono>
#include <exception>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "libsupport.h"

namespace tavokrt {

namespace {

constexpr std::int32_t largestInteger = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t smallestInteger = std::numeric_limits<std::int32_t>::min();

bool isDigit(char32_t c) { return c >= U'0' && c <= U'9'; }

// Where parsing starts: past the leading white space.
std::size_t skipWhiteSpace(const Text &text, std::size_t at) {
  while (at < text.size() && isLibraryWhiteSpace(text[at]))
    ++at;
  return at;
}

// The longest prefix (after white space) that is a sign and decimal
// digits; invalid without a digit or when the number leaves the integer
// range.
Value parseIntegerPrefix(const Text &text) {
  std::size_t at = skipWhiteSpace(text, 0);
  bool negative = false;
  if (at < text.size() && (text[at] == U'+' || text[at] == U'-'))
    negative = text[at++] == U'-';
  std::size_t firstDigit = at;
  std::int64_t magnitude = 0;
  for (; at < text.size() && isDigit(text[at]); ++at) {
    magnitude = magnitude * 10 + (text[at] - U'0');
    if (magnitude > std::int64_t{largestInteger} + 1)
      return Value::invalid();
  }
  if (at == firstDigit)
    return Value::invalid();
  std::int64_t result = negative ? -magnitude : magnitude;
  if (result > largestInteger)
    return Value::invalid();
  return Value::integer(static_cast<std::int32_t>(result));
}

// Appends the run of decimal digits at `at` to `out`; returns its end.
std::size_t copyDigits(const Text &text, std::size_t at, std::string &out) {
  for (; at < text.size() && isDigit(text[at]); ++at)
    out += static_cast<char>(text[at]);
  return at;
}

// The longest prefix (after white space) that is a float literal with an
// optional sign: digits, an optional fraction, an optional exponent, with
// at least one digit before the exponent. The prefix is rewritten as
// sign, digits, fraction digits and exponent, then read by the ordinary
// string-to-float conversion, so both round the same way.
Value parseFloatPrefix(const Text &text) {
  std::size_t at = skipWhiteSpace(text, 0);
  std::string literal;
  if (at < text.size() && (text[at] == U'+' || text[at] == U'-')) {
    if (text[at] == U'-')
      literal += '-';
    ++at;
  }
  std::string integerDigits;
  at = copyDigits(text, at, integerDigits);
  std::string fractionDigits;
  if (at < text.size() && text[at] == U'.')
    at = copyDigits(text, at + 1, fractionDigits);
  if (integerDigits.empty() && fractionDigits.empty())
    return Value::invalid();
  literal += integerDigits.empty() ? "0" : integerDigits;
  if (!fractionDigits.empty())
    literal += "." + fractionDigits;
  // An exponent counts only with at least one digit: "5e" reads as 5.
  if (at < text.size() && (text[at] == U'e' || text[at] == U'E')) {
    std::size_t next = at + 1;
    std::string exponent = "e";
    if (next < text.size() && (text[next] == U'+' || text[next] == U'-'))
      exponent += static_cast<char>(text[next++]);
    std::size_t exponentStart = exponent.size();
    copyDigits(text, next, exponent);
    if (exponent.size() > exponentStart)
      literal += exponent;
  }
  return toFloatOrInvalid(Value::string(textFromAscii(literal)));
}

// A seed when the script asks for an unpredictable one.
std::uint64_t systemSeed() {
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    seed ^= (std::uint64_t{device()} << 32) ^ device();
  } catch (const std::exception &) {
    // No system source: the clock alone.
  }
  return seed;
}

// The numeric value of a number for comparisons: exact for both types.
double numericValue(const Value &number) {
  return number.type() == ValueType::Integer ? number.asInteger() : number.asFloat();
}

// ---------------------------------------------------------------------------
// The functions, in index order

Value abs(LibraryContext &, const Value *arguments) {
  Value number = toNumberForArithmetic(arguments[0]);
  if (number.type() == ValueType::Float)
    return Value::floating(std::fabs(number.asFloat()));
  if (number.type() != ValueType::Integer || number.asInteger() == smallestInteger)
    return Value::invalid();  // -minInt does not exist
  std::int32_t value = number.asInteger();
  return Value::integer(value < 0 ? -value : value);
}

// The first argument unless the second is strictly preferred: ties keep
// the first with its type (min(45, 45.0) is 45).
Value chooseNumber(const Value *arguments, bool preferSmaller) {
  Value first = toNumberForArithmetic(arguments[0]);
  Value second = toNumberForArithmetic(arguments[1]);
  if (first.isInvalid() || second.isInvalid())
    return Value::invalid();
  double a = numericValue(first);
  double b = numericValue(second);
  bool takeSecond = preferSmaller ? b < a : b > a;
  return takeSecond ? second : first;
}

Value min(LibraryContext &, const Value *arguments) { return chooseNumber(arguments, true); }
Value max(LibraryContext &, const Value *arguments) { return chooseNumber(arguments, false); }

Value parseInt(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  return text ? parseIntegerPrefix(*text) : Value::invalid();
}

Value parseFloat(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  return text ? parseFloatPrefix(*text) : Value::invalid();
}

Value isInt(LibraryContext &context, const Value *arguments) {
  if (arguments[0].isInvalid())
    return Value::invalid();
  return Value::boolean(!parseInt(context, arguments).isInvalid());
}

Value isFloat(LibraryContext &context, const Value *arguments) {
  if (arguments[0].isInvalid())
    return Value::invalid();
  return Value::boolean(!parseFloat(context, arguments).isInvalid());
}

Value maxInt(LibraryContext &, const Value *) { return Value::integer(largestInteger); }
Value minInt(LibraryContext &, const Value *) { return Value::integer(smallestInteger); }

// This runtime supports floats.
Value floatSupported(LibraryContext &, const Value *) { return Value::boolean(true); }

Value exit(LibraryContext &context, const Value *arguments) {
  context.stop = LibraryContext::Stop::Exit;
  context.exitValue = arguments[0];
  return arguments[0];
}

Value abort(LibraryContext &context, const Value *arguments) {
  TextArgument message(arguments[0]);
  context.stop = LibraryContext::Stop::Fatal;
  context.fatalMessage = message ? encodeUtf8(*message) : "invalid";
  return Value::emptyString();
}

Value random(LibraryContext &context, const Value *arguments) {
  Value limit = integerArgument(arguments[0]);
  if (limit.isInvalid() || limit.asInteger() < 0)
    return Value::invalid();
  std::uint32_t drawn = context.random.upTo(static_cast<std::uint32_t>(limit.asInteger()));
  return Value::integer(static_cast<std::int32_t>(drawn));
}

Value seed(LibraryContext &context, const Value *arguments) {
  Value value = integerArgument(arguments[0]);
  if (value.isInvalid())
    return Value::invalid();
  std::int32_t n = value.asInteger();
  context.random.seed(n >= 0 ? static_cast<std::uint64_t>(n) : systemSeed());
  return Value::emptyString();
}

Value characterSet(LibraryContext &context, const Value *) {
  return Value::integer(static_cast<std::int32_t>(context.characterSet));
}

constexpr LibraryEntry langFunctions[] = {
    {"abs", 1, abs},
    {"min", 2, min},
    {"max", 2, max},
    {"parseInt", 1, parseInt},
    {"parseFloat", 1, parseFloat},
    {"isInt", 1, isInt},
    {"isFloat", 1, isFloat},
    {"maxInt", 0, maxInt},
    {"minInt", 0, minInt},
    {"float", 0, floatSupported},
    {"exit", 1, exit},
    {"abort", 1, abort},
    {"random", 1, random},
    {"seed", 1, seed},
    {"characterSet", 0, characterSet},
};

} // namespace

std::span<const LibraryEntry> langLibrary() { return langFunctions; }

} // namespace tavokrt
