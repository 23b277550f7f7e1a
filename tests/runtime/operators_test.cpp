// The operators over every type pair and at the edges of both number
// types. A row is (operator, left, right, expected), all as WMLScript
// literals; each group's comment names the rule its rows follow.
#include "operators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "value_literal.h"

namespace tavokrt {
namespace {

using testing::valueFromLiteral;

using Binary = Value (*)(const Value &, const Value &);
using Unary = Value (*)(const Value &);

const std::map<std::string, Binary> binaryOperators = {
    {"+", add},           {"-", subtract},   {"*", multiply},           {"/", divide},
    {"div", integerDivide}, {"%", remainder}, {"&", bitAnd},           {"|", bitOr},
    {"^", bitXor},        {"<<", shiftLeft}, {">>", shiftRightSigned}, {">>>", shiftRightUnsigned},
    {"==", equal},        {"!=", notEqual},  {"<", less},              {"<=", lessOrEqual},
    {">", greater},       {">=", greaterOrEqual},
};

const std::map<std::string, Unary> unaryOperators = {
    {"neg", negate},   {"++", increment}, {"--", decrement}, {"~", bitNot},
    {"!", logicalNot}, {"tobool", toBool}, {"typeof", typeOf}, {"isvalid", isValid},
};

struct BinaryCase {
  const char *op, *left, *right, *expected;
};

void checkBinaryRows(std::initializer_list<BinaryCase> rows) {
  for (const BinaryCase &row : rows) {
    SCOPED_TRACE(std::string(row.left) + " " + row.op + " " + row.right);
    Binary apply = binaryOperators.at(row.op);
    EXPECT_EQ(formatLiteral(apply(valueFromLiteral(row.left), valueFromLiteral(row.right))),
              row.expected);
  }
}

struct UnaryCase {
  const char *op, *operand, *expected;
};

void checkUnaryRows(std::initializer_list<UnaryCase> rows) {
  for (const UnaryCase &row : rows) {
    SCOPED_TRACE(std::string(row.op) + " " + row.operand);
    Unary apply = unaryOperators.at(row.op);
    EXPECT_EQ(formatLiteral(apply(valueFromLiteral(row.operand))), row.expected);
  }
}

// The edge values every group draws from.
#define MAX "2147483647"
#define MIN "-2147483648"
#define FMAX "3.40282347e+38"
#define FMIN "1.17549435e-38"

// ---------------------------------------------------------------------------
// + : a string on either side concatenates the other's string form;
// otherwise numbers, integers unless a float takes part.

TEST(Addition, EveryTypePair) {
  checkBinaryRows({
      {"+", "1", "2", "3"},
      {"+", "1", "2.5", "3.5"},
      {"+", "2.5", "1", "3.5"},
      {"+", "2.5", "2.5", "5.0"},
      {"+", "1", "\"s\"", "\"1s\""},
      {"+", "\"s\"", "1", "\"s1\""},
      {"+", "2.5", "\"s\"", "\"2.5s\""},
      {"+", "\"s\"", "-0.0", "\"s0.0\""},
      {"+", "\"s\"", "1e10", "\"s1e+10\""},
      {"+", "\"s\"", "4.0", "\"s4.0\""},
      {"+", "\"s\"", FMAX, "\"s3.4028235e+38\""},
      {"+", "\"s\"", MIN, "\"s-2147483648\""},
      {"+", "\"s\"", "\"t\"", "\"st\""},
      {"+", "true", "\"s\"", "\"trues\""},
      {"+", "\"s\"", "false", "\"sfalse\""},
      {"+", "true", "true", "2"},
      {"+", "true", "1", "2"},
      {"+", "false", "2.5", "2.5"},
      {"+", "1", "invalid", "invalid"},
      {"+", "invalid", "2.5", "invalid"},
      {"+", "\"s\"", "invalid", "invalid"},
      {"+", "invalid", "\"\"", "invalid"},
      {"+", "true", "invalid", "invalid"},
      {"+", "invalid", "invalid", "invalid"},
  });
}

TEST(Addition, StringsConcatenateAsWritten) {
  checkBinaryRows({
      {"+", "\"12\"", "3", "\"123\""},
      {"+", "3", "\"12\"", "\"312\""},
      {"+", "\"12\"", "\"1.5e3\"", "\"121.5e3\""},  // no numeric addition between strings
      {"+", "\" 7 \"", "1", "\" 7 1\""},
      {"+", "\"\"", "\"\"", "\"\""},
      {"+", "\"\"", "0", "\"0\""},
      {"+", "\"abc\"", "\"\"", "\"abc\""},
      {"+", "\"\\u00E9\"", "\"\\U0001F600\"", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
  });
}

TEST(Addition, IntegerOverflowOnBothSides) {
  checkBinaryRows({
      {"+", MAX, "0", MAX},
      {"+", MAX, "1", "invalid"},
      {"+", MAX, "-1", "2147483646"},
      {"+", MIN, "0", MIN},
      {"+", MIN, "-1", "invalid"},
      {"+", MIN, MAX, "-1"},
      {"+", MIN, MIN, "invalid"},
      {"+", MAX, MAX, "invalid"},
      {"+", MAX, "true", "invalid"},
      {"+", "\"2147483647\"", "1", "\"21474836471\""},  // a string concatenates, never overflows
  });
}

TEST(Addition, SinglePrecisionAndFloatRange) {
  checkBinaryRows({
      {"+", "0.1", "0.2", "0.3"},
      {"+", MAX, "0.0", "2147483648.0"},     // the integer becomes a float first
      {"+", "16777217", "0.5", "16777216.0"},  // rounded before adding, not after
      {"+", "16777216.0", "1", "16777216.0"},  // a tie rounds to even
      {"+", FMAX, "0", "3.4028235e+38"},
      {"+", FMAX, "1", "3.4028235e+38"},
      {"+", FMAX, FMAX, "invalid"},
      {"+", "-" FMAX, "-" FMAX, "invalid"},
      {"+", FMAX, "-" FMAX, "0.0"},
      {"+", FMIN, "0.0", "1.1754944e-38"},
      {"+", FMIN, "-" FMIN, "0.0"},
      {"+", "-0.0", "-0.0", "0.0"},
      {"+", "0", "-0.0", "0.0"},
  });
}

// ---------------------------------------------------------------------------
// - and * : operands to numbers (a string that is no number is invalid).

TEST(SubtractionAndMultiplication, StringsAndBooleansAsNumbers) {
  checkBinaryRows({
      {"-", "\"12\"", "2", "10"},
      {"-", "\"1.5e3\"", "1", "1499.0"},
      {"-", "\"12\"", "\"1.5e3\"", "-1488.0"},
      {"-", "\" 7 \"", "1", "invalid"},
      {"-", "\"abc\"", "0", "invalid"},
      {"-", "\"\"", "0", "invalid"},
      {"-", "0", "\"\"", "invalid"},
      {"-", "true", "false", "1"},
      {"-", "false", "true", "-1"},
      {"-", "2.5", "1", "1.5"},
      {"-", "1", "2.5", "-1.5"},
      {"-", "\"2147483648\"", "1", "2147483648.0"},  // a float string stays a float
      {"-", "invalid", "1", "invalid"},
      {"-", "1", "invalid", "invalid"},
      {"*", "\"12\"", "\"12\"", "144"},
      {"*", "\"1.5e3\"", "2", "3000.0"},
      {"*", "2.5", "2", "5.0"},
      {"*", "true", "7", "7"},
      {"*", "\"abc\"", "1", "invalid"},
      {"*", "\" 7 \"", "1", "invalid"},
      {"*", "invalid", "0", "invalid"},
      {"*", "0", "invalid", "invalid"},
  });
}

TEST(SubtractionAndMultiplication, IntegerOverflowOnBothSides) {
  checkBinaryRows({
      {"-", MIN, "1", "invalid"},
      {"-", MIN, "-1", "-2147483647"},
      {"-", MAX, "-1", "invalid"},
      {"-", MAX, "1", "2147483646"},
      {"-", "0", MIN, "invalid"},
      {"-", "-1", MIN, MAX},
      {"-", "0", MAX, "-2147483647"},
      {"*", "65536", "32768", "invalid"},
      {"*", "65536", "-32768", MIN},
      {"*", "-65536", "-32768", "invalid"},
      {"*", "46340", "46340", "2147395600"},
      {"*", "46341", "46341", "invalid"},
      {"*", MIN, "-1", "invalid"},
      {"*", MIN, "1", MIN},
      {"*", MAX, "-1", "-2147483647"},
      {"*", MIN, "0", "0"},
      {"*", MAX, MAX, "invalid"},
      {"*", MIN, MIN, "invalid"},
  });
}

TEST(SubtractionAndMultiplication, FloatRange) {
  checkBinaryRows({
      {"-", FMAX, "-" FMAX, "invalid"},
      {"-", "-" FMAX, FMAX, "invalid"},
      {"-", FMAX, FMAX, "0.0"},
      {"-", FMIN, "1", "-1.0"},
      {"-", "0.0", "0.0", "0.0"},
      {"*", FMAX, "2", "invalid"},
      {"*", FMAX, "1.0", "3.4028235e+38"},
      {"*", FMAX, "-1", "-3.4028235e+38"},
      {"*", FMIN, "1.0", "1.1754944e-38"},
      {"*", FMIN, "0.5", "0.0"},   // below the smallest normal float
      {"*", FMIN, FMIN, "0.0"},
      {"*", "0.1", "3", "0.3"},
      {"*", "1e20", "1e20", "invalid"},
      {"*", "-1", "0.0", "0.0"},
  });
}

// ---------------------------------------------------------------------------
// / : both operands to float, a float result, a zero divisor invalid.

TEST(Division, AlwaysFloat) {
  checkBinaryRows({
      {"/", "3", "2", "1.5"},
      {"/", "4", "2", "2.0"},
      {"/", "1", "3", "0.33333334"},
      {"/", "-1", "3", "-0.33333334"},
      {"/", "0", "5", "0.0"},
      {"/", "-0.0", "1", "0.0"},
      {"/", MAX, "1", "2147483648.0"},
      {"/", MIN, "-1", "2147483648.0"},  // no integer overflow here
      {"/", FMAX, "0.5", "invalid"},
      {"/", FMIN, "2", "0.0"},
      {"/", FMIN, FMAX, "0.0"},
      {"/", "\"12\"", "\"4\"", "3.0"},
      {"/", "\"1.5e3\"", "1.5", "1000.0"},
      {"/", "true", "true", "1.0"},
      {"/", "\" 7 \"", "1", "invalid"},
      {"/", "\"\"", "1", "invalid"},
      {"/", "\"abc\"", "1", "invalid"},
      {"/", "invalid", "1", "invalid"},
      {"/", "1", "invalid", "invalid"},
  });
}

TEST(Division, ZeroDivisorInEveryForm) {
  checkBinaryRows({
      {"/", "1", "0", "invalid"},
      {"/", "1", "0.0", "invalid"},
      {"/", "1", "-0.0", "invalid"},
      {"/", "0", "0", "invalid"},
      {"/", "1", "false", "invalid"},
      {"/", "7", "\"0\"", "invalid"},
      {"/", "7", "\"0.0e5\"", "invalid"},
      {"/", "7", "\"1e-50\"", "invalid"},  // underflows to 0.0 on the way in
  });
}

// ---------------------------------------------------------------------------
// div and % : integers only (a float, even 2.0, is refused); div truncates
// toward zero, % takes the sign of the dividend.

TEST(IntegerDivisionAndRemainder, SignsAndTruncation) {
  checkBinaryRows({
      {"div", "7", "2", "3"},
      {"div", "-7", "2", "-3"},
      {"div", "7", "-2", "-3"},
      {"div", "-7", "-2", "3"},
      {"div", "1", "2", "0"},
      {"%", "7", "3", "1"},
      {"%", "-7", "3", "-1"},
      {"%", "7", "-3", "1"},
      {"%", "-7", "-3", "-1"},
      {"%", "6", "3", "0"},
  });
}

TEST(IntegerDivisionAndRemainder, EdgesAndZero) {
  checkBinaryRows({
      {"div", "1", "0", "invalid"},
      {"div", "0", "0", "invalid"},
      {"div", "1", "false", "invalid"},
      {"div", MIN, "-1", "invalid"},
      {"div", MIN, "1", MIN},
      {"div", MAX, "-1", "-2147483647"},
      {"div", MIN, MAX, "-1"},
      {"%", "7", "0", "invalid"},
      {"%", "0", "false", "invalid"},
      {"%", MIN, "-1", "0"},
      {"%", MIN, MAX, "-1"},
      {"%", MAX, MIN, MAX},
      {"%", MAX, "-1", "0"},
  });
}

TEST(IntegerDivisionAndRemainder, OtherTypes) {
  checkBinaryRows({
      {"div", "7.5", "2", "invalid"},
      {"div", "8", "2.0", "invalid"},
      {"div", "\"12\"", "\"5\"", "2"},
      {"div", "\"1.5e3\"", "1", "invalid"},
      {"div", "\" 7 \"", "1", "invalid"},
      {"div", "true", "true", "1"},
      {"div", "invalid", "1", "invalid"},
      {"%", "7.5", "2", "invalid"},
      {"%", "7", "2.0", "invalid"},
      {"%", "\"12\"", "5", "2"},
      {"%", "\"abc\"", "5", "invalid"},
      {"%", "\"\"", "5", "invalid"},
      {"%", "true", "2", "1"},
      {"%", "false", "true", "0"},
      {"%", "1", "invalid", "invalid"},
  });
}

// ---------------------------------------------------------------------------
// Bit operations: integers only, on the 32-bit two's complement pattern;
// a shift counts the low 5 bits of its count.

TEST(BitOperations, AndOrXorNot) {
  checkBinaryRows({
      {"&", "12", "10", "8"},
      {"|", "12", "10", "14"},
      {"^", "12", "10", "6"},
      {"&", "-1", MIN, MIN},
      {"|", MAX, MIN, "-1"},
      {"^", MAX, "-1", MIN},
      {"&", "\"12\"", "4", "4"},
      {"|", "true", "false", "1"},
      {"&", "1.0", "1", "invalid"},
      {"|", "1", "0.0", "invalid"},
      {"^", "\"abc\"", "1", "invalid"},
      {"|", "\"\"", "0", "invalid"},
      {"&", "invalid", "0", "invalid"},
      {"^", "0", "invalid", "invalid"},
  });
  checkUnaryRows({
      {"~", "0", "-1"},
      {"~", MAX, MIN},
      {"~", MIN, MAX},
      {"~", "true", "-2"},
      {"~", "\"12\"", "-13"},
      {"~", "1.5", "invalid"},
      {"~", "\"abc\"", "invalid"},
      {"~", "invalid", "invalid"},
  });
}

TEST(BitOperations, Shifts) {
  checkBinaryRows({
      {"<<", "-10", "3", "-80"},
      {">>", "-10", "3", "-2"},         // the sign bit is copied in
      {">>>", "-10", "3", "536870910"},  // 0xFFFFFFF6 >>> 3 is 0x1FFFFFFE
      {">>>", "-8", "3", "536870911"},
      {"<<", "1", "31", MIN},
      {"<<", MAX, "1", "-2"},  // bits shifted out are lost, never an overflow
      {"<<", "1", "32", "1"},
      {"<<", "1", "33", "2"},
      {"<<", "1", "-1", MIN},  // -1 counts as 31
      {">>", MIN, "31", "-1"},
      {">>>", MIN, "31", "1"},
      {">>>", "-1", "0", "-1"},
      {">>>", "-1", "32", "-1"},
      {">>>", "-1", "1", MAX},
      {">>", "8", "35", "1"},
      {"<<", "\"3\"", "\"2\"", "12"},
      {"<<", "true", "true", "2"},
      {"<<", "1.0", "1", "invalid"},
      {">>", "1", "1.0", "invalid"},
      {">>>", "\" 7 \"", "1", "invalid"},
      {">>", "invalid", "1", "invalid"},
      {"<<", "1", "invalid", "invalid"},
  });
}

// ---------------------------------------------------------------------------
// Unary arithmetic: operand to a number; integers overflow to invalid,
// floats stay floats.

TEST(UnaryArithmetic, NegateIncrementDecrement) {
  checkUnaryRows({
      {"neg", "5", "-5"},
      {"neg", "0", "0"},
      {"neg", MAX, "-2147483647"},
      {"neg", MIN, "invalid"},
      {"neg", "2.5", "-2.5"},
      {"neg", "0.0", "0.0"},
      {"neg", FMAX, "-3.4028235e+38"},
      {"neg", "\"12\"", "-12"},
      {"neg", "\"1.5e3\"", "-1500.0"},
      {"neg", "\"-2147483648\"", "invalid"},
      {"neg", "\"2147483648\"", "-2147483648.0"},
      {"neg", "\"\"", "invalid"},
      {"neg", "\" 7 \"", "invalid"},
      {"neg", "\"abc\"", "invalid"},
      {"neg", "true", "-1"},
      {"neg", "false", "0"},
      {"neg", "invalid", "invalid"},
      {"++", "1", "2"},
      {"++", "-1", "0"},
      {"++", MAX, "invalid"},
      {"++", MIN, "-2147483647"},
      {"++", "2.5", "3.5"},
      {"++", "-0.5", "0.5"},
      {"++", FMAX, "3.4028235e+38"},
      {"++", "16777216.0", "16777216.0"},
      {"++", "\"12\"", "13"},
      {"++", "\"1.5e3\"", "1501.0"},
      {"++", "true", "2"},
      {"++", "false", "1"},
      {"++", "\"\"", "invalid"},
      {"++", "\"abc\"", "invalid"},
      {"++", "invalid", "invalid"},
      {"--", "1", "0"},
      {"--", MIN, "invalid"},
      {"--", MAX, "2147483646"},
      {"--", "0.5", "-0.5"},
      {"--", "1.0", "0.0"},
      {"--", "-" FMAX, "-3.4028235e+38"},
      {"--", FMIN, "-1.0"},
      {"--", "\"12\"", "11"},
      {"--", "true", "0"},
      {"--", "\"abc\"", "invalid"},
      {"--", "invalid", "invalid"},
  });
}

TEST(UnaryArithmetic, ZeroResultsArePositive) {
  for (Value zero : {negate(Value::floating(0.0f)), multiply(Value::integer(-1), Value::floating(0.0f)),
                     multiply(Value::floating(-std::numeric_limits<float>::min()), Value::floating(0.5f)),
                     decrement(Value::floating(1.0f)), divide(Value::integer(0), Value::integer(-5))}) {
    ASSERT_EQ(zero.type(), ValueType::Float);
    EXPECT_FALSE(std::signbit(zero.asFloat()));
  }
}

// ---------------------------------------------------------------------------
// Comparisons: a string on either side compares both as strings, code
// point by code point, a prefix first; otherwise numerically. A row gives
// the order; all six operators are checked against it.

struct OrderCase {
  const char *left, *right, *order;  // "<", "==", ">" or "invalid"
};

const OrderCase orders[] = {
    // Integers, floats and booleans as numbers.
    {"1", "2", "<"},
    {"2", "1", ">"},
    {"2", "2", "=="},
    {MIN, MAX, "<"},
    {MAX, MIN, ">"},
    {"1", "1.0", "=="},
    {"1", "1.5", "<"},
    {"2.5", "2", ">"},
    {"16777217", "16777216.0", ">"},  // exact, not through a float
    {MAX, "2147483648.0", "<"},
    {"0", "-0.0", "=="},
    {"0.0", "-0.0", "=="},
    {"-" FMAX, FMAX, "<"},
    {FMAX, MAX, ">"},
    {FMIN, "0", ">"},
    {"true", "false", ">"},
    {"true", "1", "=="},
    {"false", "0.0", "=="},
    {"true", "2", "<"},
    // Strings: the other operand's string form, character codes.
    {"\"12\"", "12", "=="},
    {"\"12\"", "3", "<"},
    {"12", "\"3\"", "<"},
    {"\"abc\"", "\"abd\"", "<"},
    {"\"THREE\"", "\"four\"", "<"},
    {"\"six\"", "\"sixteen\"", "<"},
    {"\"\"", "\"\"", "=="},
    {"\"\"", "\"a\"", "<"},
    {"\"a\"", "\"A\"", ">"},
    {"\"\\u0000\"", "\"\"", ">"},
    {"\"1.5e3\"", "1500", "<"},
    {"\"1.5e3\"", "1.5e3", "<"},  // against "1500.0"
    {"\"1500.0\"", "1.5e3", "=="},
    {"\" 7 \"", "7", "<"},
    {"\"abc\"", "1", ">"},
    {"\"true\"", "true", "=="},
    {"\"false\"", "false", "=="},
    {"\"0.0\"", "-0.0", "=="},
    {"\"\\u00E9\"", "\"z\"", ">"},
    {"\"\\U0001F600\"", "\"\\uFFFF\"", ">"},  // code points, not UTF-16 units
    // Invalid on either side.
    {"invalid", "1", "invalid"},
    {"1.5", "invalid", "invalid"},
    {"\"\"", "invalid", "invalid"},
    {"invalid", "true", "invalid"},
    {"invalid", "invalid", "invalid"},
};

TEST(Comparisons, AllSixFollowTheOrder) {
  for (const OrderCase &row : orders) {
    SCOPED_TRACE(std::string(row.left) + " vs " + row.right);
    std::string order = row.order;
    bool unordered = order == "invalid";
    auto expect = [&](bool holds) { return unordered ? "invalid" : holds ? "true" : "false"; };
    Value left = valueFromLiteral(row.left), right = valueFromLiteral(row.right);
    EXPECT_EQ(formatLiteral(less(left, right)), expect(order == "<"));
    EXPECT_EQ(formatLiteral(lessOrEqual(left, right)), expect(order != ">"));
    EXPECT_EQ(formatLiteral(greater(left, right)), expect(order == ">"));
    EXPECT_EQ(formatLiteral(greaterOrEqual(left, right)), expect(order != "<"));
    EXPECT_EQ(formatLiteral(equal(left, right)), expect(order == "=="));
    EXPECT_EQ(formatLiteral(notEqual(left, right)), expect(order != "=="));
  }
}

// ---------------------------------------------------------------------------
// Booleans and types

TEST(BooleansAndTypes, NotToboolTypeofIsvalid) {
  checkUnaryRows({
      {"!", "0", "true"},
      {"!", "1", "false"},
      {"!", MIN, "false"},
      {"!", "0.0", "true"},
      {"!", "-0.0", "true"},
      {"!", FMIN, "false"},
      {"!", "\"\"", "true"},
      {"!", "\"0\"", "false"},
      {"!", "\"false\"", "false"},
      {"!", "true", "false"},
      {"!", "false", "true"},
      {"!", "invalid", "invalid"},
      {"tobool", "0", "false"},
      {"tobool", "-1", "true"},
      {"tobool", "0.0", "false"},
      {"tobool", "\"\"", "false"},
      {"tobool", "\"abc\"", "true"},
      {"tobool", "true", "true"},
      {"tobool", "invalid", "invalid"},
      {"typeof", "0", "0"},
      {"typeof", "2.5", "1"},
      {"typeof", "\"\"", "2"},
      {"typeof", "true", "3"},
      {"typeof", "invalid", "4"},
      {"isvalid", "invalid", "false"},
      {"isvalid", "\"\"", "true"},
      {"isvalid", "0", "true"},
      {"isvalid", "false", "true"},
  });
}

// ---------------------------------------------------------------------------
// Strings made by operators are counted while they live.

TEST(OperatorStrings, ConcatenationIsCountedAndReleased) {
  std::size_t base = liveStringCharacters();
  {
    Value joined = add(Value::string(U"abc"), Value::integer(-12));
    EXPECT_EQ(formatLiteral(joined), "\"abc-12\"");
    EXPECT_EQ(liveStringCharacters(), base + 6);
    Value left = Value::string(U"xyz");
    Value same = add(left, Value::emptyString());  // nothing new to hold
    EXPECT_EQ(&same.asText(), &left.asText());
    EXPECT_EQ(liveStringCharacters(), base + 9);
    EXPECT_EQ(formatLiteral(less(joined, Value::integer(1))), "false");  // "abc-12" vs "1"
    EXPECT_EQ(liveStringCharacters(), base + 9);
  }
  EXPECT_EQ(liveStringCharacters(), base);
}

} // namespace
} // namespace tavokrt
