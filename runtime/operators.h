// The operators of the WMLScript standard over values: one function per
// operator, each converting its operands by the rules of value.h. An invalid
// operand gives invalid (except typeOf and isValid); integer overflow and
// a zero divisor give invalid.
#pragma once

#include "value.h"

namespace tavokrt {

// Integers or floats: integer arithmetic unless either operand is a float.
Value negate(const Value &operand);     // uminus
Value increment(const Value &operand);  // incr, incr_var
Value decrement(const Value &operand);  // decr, decr_var
Value subtract(const Value &left, const Value &right);
Value multiply(const Value &left, const Value &right);
// Integers, floats or strings: a string on either side concatenates.
Value add(const Value &left, const Value &right);
// Floats only: 3 / 2 is 1.5.
Value divide(const Value &left, const Value &right);
// Integers only.
Value integerDivide(const Value &left, const Value &right);  // div, toward zero
Value remainder(const Value &left, const Value &right);      // %, sign of the dividend
Value bitAnd(const Value &left, const Value &right);
Value bitOr(const Value &left, const Value &right);
Value bitXor(const Value &left, const Value &right);
Value bitNot(const Value &operand);
Value shiftLeft(const Value &left, const Value &right);
Value shiftRightSigned(const Value &left, const Value &right);
Value shiftRightUnsigned(const Value &left, const Value &right);
// Comparisons give booleans; strings compare by character codes.
Value equal(const Value &left, const Value &right);
Value notEqual(const Value &left, const Value &right);
Value less(const Value &left, const Value &right);
Value lessOrEqual(const Value &left, const Value &right);
Value greater(const Value &left, const Value &right);
Value greaterOrEqual(const Value &left, const Value &right);
// Booleans.
Value logicalNot(const Value &operand);
Value toBool(const Value &operand);  // tobool: toBoolean
// Any type.
Value typeOf(const Value &operand);  // integer 0..4
Value isValid(const Value &operand);

} // namespace tavokrt
