#include "operators.h"

#include <cstdint>
#include <limits>

namespace tavokrt {

// ---------------------------------------------------------------------------
// Shared steps

static bool bothIntegers(const Value &left, const Value &right) {
  return left.type() == ValueType::Integer && right.type() == ValueType::Integer;
}

// A result computed in 64 bits: outside 32 bits it is an overflow.
static Value integerOrOverflow(std::int64_t wide) {
  if (wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max())
    return Value::invalid();
  return Value::integer(static_cast<std::int32_t>(wide));
}

// An integer operand joins a float operation rounded to single precision
// first, as its conversion to float would; the double then holds it, and
// the operands' sum, difference, product or quotient, exactly enough that
// rounding the result to float once is the correctly rounded float result.
static double singlePrecision(const Value &number) {
  if (number.type() == ValueType::Integer) return static_cast<float>(number.asInteger());
  return number.asFloat();
}

static bool isNumber(const Value &value) {
  return value.type() == ValueType::Integer || value.type() == ValueType::Float;
}

template <class IntegerStep, class FloatStep>
static Value combineConvertedNumbers(const Value &left, const Value &right, IntegerStep integerStep,
                                     FloatStep floatStep) {
  if (bothIntegers(left, right))
    return integerOrOverflow(integerStep(std::int64_t{left.asInteger()}, right.asInteger()));
  return Value::floatingFromDouble(floatStep(singlePrecision(left), singlePrecision(right)));
}

// Kept out of line so that the integer case pays for none of its frame.
template <class IntegerStep, class FloatStep>
[[gnu::noinline]] static Value combineOtherNumbers(const Value &left, const Value &right,
                                                   IntegerStep integerStep, FloatStep floatStep) {
  if (isNumber(left) && isNumber(right))  // no copy through a conversion
    return combineConvertedNumbers(left, right, integerStep, floatStep);
  Value a = toNumberForArithmetic(left);
  Value b = toNumberForArithmetic(right);
  if (a.isInvalid() || b.isInvalid()) return Value::invalid();
  return combineConvertedNumbers(a, b, integerStep, floatStep);
}

// Integers or floats: integer arithmetic unless either operand is a float.
template <class IntegerStep, class FloatStep>
static Value combineNumbers(const Value &left, const Value &right, IntegerStep integerStep,
                            FloatStep floatStep) {
  if (bothIntegers(left, right))  // by far the common case
    return integerOrOverflow(integerStep(std::int64_t{left.asInteger()}, right.asInteger()));
  return combineOtherNumbers(left, right, integerStep, floatStep);
}

template <class IntegerStep, class FloatStep>
[[gnu::noinline]] static Value changeOtherNumber(const Value &operand, IntegerStep integerStep,
                                                 FloatStep floatStep) {
  Value number = toNumberForArithmetic(operand);
  switch (number.type()) {
  case ValueType::Integer: return integerOrOverflow(integerStep(std::int64_t{number.asInteger()}));
  case ValueType::Float: return Value::floatingFromDouble(floatStep(double{number.asFloat()}));
  case ValueType::String:
  case ValueType::Boolean:
  case ValueType::Invalid: break;
  }
  return Value::invalid();
}

template <class IntegerStep, class FloatStep>
static Value changeNumber(const Value &operand, IntegerStep integerStep, FloatStep floatStep) {
  if (operand.type() == ValueType::Integer)
    return integerOrOverflow(integerStep(std::int64_t{operand.asInteger()}));
  return changeOtherNumber(operand, integerStep, floatStep);
}

template <class Step>
[[gnu::noinline]] static Value combineConvertedIntegers(const Value &left, const Value &right, Step step) {
  Value a = toIntegerOrInvalid(left);
  Value b = toIntegerOrInvalid(right);
  if (a.isInvalid() || b.isInvalid()) return Value::invalid();
  return step(a.asInteger(), b.asInteger());
}

// Integers only: each operand converted to an integer, floats refused.
template <class Step>
static Value combineIntegers(const Value &left, const Value &right, Step step) {
  if (bothIntegers(left, right)) return step(left.asInteger(), right.asInteger());
  return combineConvertedIntegers(left, right, step);
}

// ---------------------------------------------------------------------------
// Arithmetic

Value negate(const Value &operand) {
  return changeNumber(
      operand, [](std::int64_t a) { return -a; }, [](double a) { return -a; });
}

Value increment(const Value &operand) {
  return changeNumber(
      operand, [](std::int64_t a) { return a + 1; }, [](double a) { return a + 1; });
}

Value decrement(const Value &operand) {
  return changeNumber(
      operand, [](std::int64_t a) { return a - 1; }, [](double a) { return a - 1; });
}

Value subtract(const Value &left, const Value &right) {
  return combineNumbers(
      left, right, [](std::int64_t a, std::int64_t b) { return a - b; },
      [](double a, double b) { return a - b; });
}

Value multiply(const Value &left, const Value &right) {
  return combineNumbers(
      left, right, [](std::int64_t a, std::int64_t b) { return a * b; },
      [](double a, double b) { return a * b; });
}

[[gnu::noinline]] static Value concatenate(const Value &left, const Value &right) {
  Value a = toStringOrInvalid(left);
  Value b = toStringOrInvalid(right);
  if (a.isInvalid() || b.isInvalid()) return Value::invalid();
  if (a.asText().empty()) return b;  // shares the record, copies nothing
  if (b.asText().empty()) return a;
  Text joined;
  joined.reserve(a.asText().size() + b.asText().size());
  joined += a.asText();
  joined += b.asText();
  return Value::string(std::move(joined));
}

Value add(const Value &left, const Value &right) {
  if (!bothIntegers(left, right) && (left.isString() || right.isString()))
    return concatenate(left, right);
  return combineNumbers(
      left, right, [](std::int64_t a, std::int64_t b) { return a + b; },
      [](double a, double b) { return a + b; });
}

Value divide(const Value &left, const Value &right) {
  Value a = toFloatOrInvalid(left);
  Value b = toFloatOrInvalid(right);
  if (a.isInvalid() || b.isInvalid() || b.asFloat() == 0.0f) return Value::invalid();
  return Value::floatingFromDouble(double{a.asFloat()} / double{b.asFloat()});
}

Value integerDivide(const Value &left, const Value &right) {
  return combineIntegers(left, right, [](std::int32_t a, std::int32_t b) {
    if (b == 0) return Value::invalid();
    return integerOrOverflow(std::int64_t{a} / b);  // -2147483648 div -1 overflows
  });
}

Value remainder(const Value &left, const Value &right) {
  return combineIntegers(left, right, [](std::int32_t a, std::int32_t b) {
    if (b == 0) return Value::invalid();
    // In 64 bits -2147483648 % -1 is simply 0 rather than a trap.
    return Value::integer(static_cast<std::int32_t>(std::int64_t{a} % b));
  });
}

// ---------------------------------------------------------------------------
// Bits: the 32-bit two's complement pattern

Value bitAnd(const Value &left, const Value &right) {
  return combineIntegers(left, right,
                         [](std::int32_t a, std::int32_t b) { return Value::integer(a & b); });
}

Value bitOr(const Value &left, const Value &right) {
  return combineIntegers(left, right,
                         [](std::int32_t a, std::int32_t b) { return Value::integer(a | b); });
}

Value bitXor(const Value &left, const Value &right) {
  return combineIntegers(left, right,
                         [](std::int32_t a, std::int32_t b) { return Value::integer(a ^ b); });
}

Value bitNot(const Value &operand) {
  Value a = toIntegerOrInvalid(operand);
  if (a.isInvalid()) return a;
  return Value::integer(~a.asInteger());
}

// Only the count's low 5 bits count: a shift by 32 is a shift by 0.
static unsigned shiftCount(std::int32_t count) { return static_cast<std::uint32_t>(count) & 31u; }

Value shiftLeft(const Value &left, const Value &right) {
  return combineIntegers(left, right, [](std::int32_t a, std::int32_t b) {
    // Bits shifted out are lost: a left shift never overflows.
    return Value::integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << shiftCount(b)));
  });
}

Value shiftRightSigned(const Value &left, const Value &right) {
  return combineIntegers(left, right, [](std::int32_t a, std::int32_t b) {
    return Value::integer(a >> shiftCount(b));  // the sign bit is copied in
  });
}

Value shiftRightUnsigned(const Value &left, const Value &right) {
  return combineIntegers(left, right, [](std::int32_t a, std::int32_t b) {
    return Value::integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(a) >> shiftCount(b)));
  });
}

// ---------------------------------------------------------------------------
// Comparisons

namespace {
// The order of two operands, or Unordered when either is invalid or does
// not convert.
enum class Order : std::int8_t { Less = -1, Same = 0, Greater = 1, Unordered = 2 };
} // namespace

template <class T> static Order orderOf(const T &a, const T &b) {
  if (a < b) return Order::Less;
  if (b < a) return Order::Greater;
  return Order::Same;
}

// A string on either side: both compared as strings, character code by
// character code, a prefix before the longer string. Otherwise as numbers;
// an integer against a float is compared exactly (in double precision).
[[gnu::noinline]] static Order compareOperands(const Value &left, const Value &right) {
  if (left.isInvalid() || right.isInvalid()) return Order::Unordered;
  if (left.isString() || right.isString()) {
    Value a = toStringOrInvalid(left);
    Value b = toStringOrInvalid(right);
    if (a.isInvalid() || b.isInvalid()) return Order::Unordered;
    return orderOf(a.asText(), b.asText());
  }
  auto exact = [](const Value &number) {
    return number.type() == ValueType::Integer ? double(number.asInteger()) : double(number.asFloat());
  };
  if (isNumber(left) && isNumber(right)) return orderOf(exact(left), exact(right));
  Value a = toNumberForArithmetic(left);
  Value b = toNumberForArithmetic(right);
  if (a.isInvalid() || b.isInvalid()) return Order::Unordered;
  if (bothIntegers(a, b)) return orderOf(a.asInteger(), b.asInteger());
  return orderOf(exact(a), exact(b));
}

template <class Holds> static Value compareBy(const Value &left, const Value &right, Holds holds) {
  Order order = bothIntegers(left, right) ? orderOf(left.asInteger(), right.asInteger())
                                          : compareOperands(left, right);
  if (order == Order::Unordered) return Value::invalid();
  return Value::boolean(holds(static_cast<int>(order)));
}

Value equal(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order == 0; });
}

Value notEqual(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order != 0; });
}

Value less(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order < 0; });
}

Value lessOrEqual(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order <= 0; });
}

Value greater(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order > 0; });
}

Value greaterOrEqual(const Value &left, const Value &right) {
  return compareBy(left, right, [](int order) { return order >= 0; });
}

// ---------------------------------------------------------------------------
// Booleans and types

Value logicalNot(const Value &operand) {
  Value b = toBoolean(operand);
  if (b.isInvalid()) return b;
  return Value::boolean(!b.asBoolean());
}

Value toBool(const Value &operand) { return toBoolean(operand); }

Value typeOf(const Value &operand) { return Value::integer(static_cast<std::int32_t>(operand.type())); }

Value isValid(const Value &operand) { return Value::boolean(!operand.isInvalid()); }

} // namespace tavokrt
