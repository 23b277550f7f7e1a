// Values, their conversions and their text. Expected results are literals
// as formatLiteral writes them, so 1, 1.0 and "1" are told apart.
#include "value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "value_literal.h"

namespace tavokrt {
namespace {

using testing::valueFromLiteral;

static_assert(sizeof(Value) == 16, "a value is a tag and one word");

// ---------------------------------------------------------------------------
// Conversions: one row per input, one column per conversion.

struct ConversionCase {
  const char *input;
  const char *boolean, *integer, *floating, *string, *number;
};

const ConversionCase conversions[] = {
    // input           boolean    integer         floating          string                number
    // Integers: to float rounds to single precision.
    {"0",              "false",   "0",            "0.0",            "\"0\"",              "0"},
    {"-1",             "true",    "-1",           "-1.0",           "\"-1\"",             "-1"},
    {"2147483647",     "true",    "2147483647",   "2147483648.0",   "\"2147483647\"",     "2147483647"},
    {"-2147483648",    "true",    "-2147483648",  "-2147483648.0",  "\"-2147483648\"",    "-2147483648"},
    {"16777217",       "true",    "16777217",     "16777216.0",     "\"16777217\"",       "16777217"},
    // Floats never become integers implicitly; -0.0 is 0.0.
    {"0.0",            "false",   "invalid",      "0.0",            "\"0.0\"",            "0.0"},
    {"-0.0",           "false",   "invalid",      "0.0",            "\"0.0\"",            "0.0"},
    {"2.5",            "true",    "invalid",      "2.5",            "\"2.5\"",            "2.5"},
    {"4.0",            "true",    "invalid",      "4.0",            "\"4.0\"",            "4.0"},
    {"3.40282347e+38", "true",    "invalid",      "3.4028235e+38",  "\"3.4028235e+38\"",  "3.4028235e+38"},
    {"-3.40282347e+38","true",    "invalid",      "-3.4028235e+38", "\"-3.4028235e+38\"", "-3.4028235e+38"},
    {"1.17549435e-38", "true",    "invalid",      "1.1754944e-38",  "\"1.1754944e-38\"",  "1.1754944e-38"},
    // Booleans.
    {"true",           "true",    "1",            "1.0",            "\"true\"",           "1"},
    {"false",          "false",   "0",            "0.0",            "\"false\"",          "0"},
    // Invalid stays invalid everywhere.
    {"invalid",        "invalid", "invalid",      "invalid",        "invalid",            "invalid"},
    // Strings: only "" is false, whatever the text says.
    {"\"\"",           "false",   "invalid",      "invalid",        "\"\"",               "invalid"},
    {"\"0\"",          "true",    "0",            "0.0",            "\"0\"",              "0"},
    {"\"false\"",      "true",    "invalid",      "invalid",        "\"false\"",          "invalid"},
    {"\"abc\"",        "true",    "invalid",      "invalid",        "\"abc\"",            "invalid"},
    // Integer strings: sign and decimal digits, leading zeros fine.
    {"\"12\"",         "true",    "12",           "12.0",           "\"12\"",             "12"},
    {"\"+1234\"",      "true",    "1234",         "1234.0",         "\"+1234\"",          "1234"},
    {"\"-7\"",         "true",    "-7",           "-7.0",           "\"-7\"",             "-7"},
    {"\"010\"",        "true",    "10",           "10.0",           "\"010\"",            "10"},
    {"\"-0\"",         "true",    "0",            "0.0",            "\"-0\"",             "0"},
    {"\"2147483647\"", "true",    "2147483647",   "2147483648.0",   "\"2147483647\"",     "2147483647"},
    {"\"-2147483648\"","true",    "-2147483648",  "-2147483648.0",  "\"-2147483648\"",    "-2147483648"},
    // One past either end is no integer, but still a float.
    {"\"2147483648\"", "true",    "invalid",      "2147483648.0",   "\"2147483648\"",     "2147483648.0"},
    {"\"-2147483649\"","true",    "invalid",      "-2147483648.0",  "\"-2147483649\"",    "-2147483648.0"},
    {"\"99999999999999999999\"", "true", "invalid", "1e+20",        "\"99999999999999999999\"", "1e+20"},
    // Float strings: fraction and exponent in every spelling.
    {"\"1.5e3\"",      "true",    "invalid",      "1500.0",         "\"1.5e3\"",          "1500.0"},
    {"\"1.0\"",        "true",    "invalid",      "1.0",            "\"1.0\"",            "1.0"},
    {"\".5\"",         "true",    "invalid",      "0.5",            "\".5\"",             "0.5"},
    {"\"5.\"",         "true",    "invalid",      "5.0",            "\"5.\"",             "5.0"},
    {"\"-2e0\"",       "true",    "invalid",      "-2.0",           "\"-2e0\"",           "-2.0"},
    {"\"+.5E+1\"",     "true",    "invalid",      "5.0",            "\"+.5E+1\"",         "5.0"},
    {"\"1e-2\"",       "true",    "invalid",      "0.01",           "\"1e-2\"",           "0.01"},
    {"\"0.0001e5\"",   "true",    "invalid",      "10.0",           "\"0.0001e5\"",       "10.0"},
    {"\"-0.0\"",       "true",    "invalid",      "0.0",            "\"-0.0\"",           "0.0"},
    // Float range: the largest float reads back; past half an ulp above it
    // is an overflow; below the smallest normal float is 0.0.
    {"\"3.4028235e38\"", "true",  "invalid",      "3.4028235e+38",  "\"3.4028235e38\"",   "3.4028235e+38"},
    {"\"3.4028236e38\"", "true",  "invalid",      "invalid",        "\"3.4028236e38\"",   "invalid"},
    {"\"1e39\"",       "true",    "invalid",      "invalid",        "\"1e39\"",           "invalid"},
    {"\"-1e39\"",      "true",    "invalid",      "invalid",        "\"-1e39\"",          "invalid"},
    {"\"1e99999999999\"", "true", "invalid",      "invalid",        "\"1e99999999999\"",  "invalid"},
    {"\"1.17549435e-38\"", "true", "invalid",     "1.1754944e-38",  "\"1.17549435e-38\"", "1.1754944e-38"},
    {"\"1.1754942e-38\"", "true", "invalid",      "0.0",            "\"1.1754942e-38\"",  "0.0"},
    {"\"1e-39\"",      "true",    "invalid",      "0.0",            "\"1e-39\"",          "0.0"},
    {"\"-1e-50\"",     "true",    "invalid",      "0.0",            "\"-1e-50\"",         "0.0"},
    {"\"1e-99999999999\"", "true", "invalid",     "0.0",            "\"1e-99999999999\"", "0.0"},
    {"\"0e99999999999\"", "true", "invalid",      "0.0",            "\"0e99999999999\"",  "0.0"},
    // Not numbers: white space, other bases, words, stray characters.
    {"\" 7 \"",        "true",    "invalid",      "invalid",        "\" 7 \"",            "invalid"},
    {"\" 7\"",         "true",    "invalid",      "invalid",        "\" 7\"",             "invalid"},
    {"\"7 \"",         "true",    "invalid",      "invalid",        "\"7 \"",             "invalid"},
    {"\"\\t7\"",       "true",    "invalid",      "invalid",        "\"\\t7\"",           "invalid"},
    {"\"1234x\"",      "true",    "invalid",      "invalid",        "\"1234x\"",          "invalid"},
    {"\"0x10\"",       "true",    "invalid",      "invalid",        "\"0x10\"",           "invalid"},
    {"\"0x1p3\"",      "true",    "invalid",      "invalid",        "\"0x1p3\"",          "invalid"},
    {"\"inf\"",        "true",    "invalid",      "invalid",        "\"inf\"",            "invalid"},
    {"\"-Infinity\"",  "true",    "invalid",      "invalid",        "\"-Infinity\"",      "invalid"},
    {"\"nan\"",        "true",    "invalid",      "invalid",        "\"nan\"",            "invalid"},
    {"\"+\"",          "true",    "invalid",      "invalid",        "\"+\"",              "invalid"},
    {"\"-\"",          "true",    "invalid",      "invalid",        "\"-\"",              "invalid"},
    {"\".\"",          "true",    "invalid",      "invalid",        "\".\"",              "invalid"},
    {"\"e5\"",         "true",    "invalid",      "invalid",        "\"e5\"",             "invalid"},
    {"\"1e\"",         "true",    "invalid",      "invalid",        "\"1e\"",             "invalid"},
    {"\"1e+\"",        "true",    "invalid",      "invalid",        "\"1e+\"",            "invalid"},
    {"\"+-1\"",        "true",    "invalid",      "invalid",        "\"+-1\"",            "invalid"},
    {"\"1.2.3\"",      "true",    "invalid",      "invalid",        "\"1.2.3\"",          "invalid"},
    {"\"1,5\"",        "true",    "invalid",      "invalid",        "\"1,5\"",            "invalid"},
    {"\"1\\u0000\"",   "true",    "invalid",      "invalid",        "\"1\\u0000\"",       "invalid"},
    {"\"\\u0661\"",    "true",    "invalid",      "invalid",        "\"\xD9\xA1\"",     "invalid"},  // Arabic-Indic one
    {"\"\\uFF11\"",    "true",    "invalid",      "invalid",        "\"\xEF\xBC\x91\"", "invalid"},  // fullwidth one
};

TEST(Conversions, EachInputToEachType) {
  for (const ConversionCase &row : conversions) {
    SCOPED_TRACE(row.input);
    Value input = valueFromLiteral(row.input);
    EXPECT_EQ(formatLiteral(toBoolean(input)), row.boolean);
    EXPECT_EQ(formatLiteral(toIntegerOrInvalid(input)), row.integer);
    EXPECT_EQ(formatLiteral(toFloatOrInvalid(input)), row.floating);
    EXPECT_EQ(formatLiteral(toStringOrInvalid(input)), row.string);
    EXPECT_EQ(formatLiteral(toNumberForArithmetic(input)), row.number);
  }
}

TEST(Conversions, KeepTheTypeTheyName) {
  Value text = Value::string(U"12");
  EXPECT_EQ(toBoolean(text).type(), ValueType::Boolean);
  EXPECT_EQ(toIntegerOrInvalid(text).type(), ValueType::Integer);
  EXPECT_EQ(toFloatOrInvalid(text).type(), ValueType::Float);
  EXPECT_EQ(toStringOrInvalid(Value::integer(12)).type(), ValueType::String);
  EXPECT_EQ(toNumberForArithmetic(Value::boolean(true)).type(), ValueType::Integer);
}

// ---------------------------------------------------------------------------
// Float values: never infinite, never NaN, never below the smallest normal
// float, never a negative zero.

TEST(FloatValues, OutOfRangeResults) {
  constexpr float largest = std::numeric_limits<float>::max();
  constexpr float smallest = std::numeric_limits<float>::min();
  struct Case {
    const char *name;
    Value value;
    const char *expected;
  } cases[] = {
      {"infinity", Value::floating(std::numeric_limits<float>::infinity()), "invalid"},
      {"-infinity", Value::floating(-std::numeric_limits<float>::infinity()), "invalid"},
      {"nan", Value::floating(std::numeric_limits<float>::quiet_NaN()), "invalid"},
      {"largest", Value::floating(largest), "3.4028235e+38"},
      {"smallest normal", Value::floating(smallest), "1.1754944e-38"},
      {"largest subnormal", Value::floating(std::nextafter(smallest, 0.0f)), "0.0"},
      {"smallest subnormal", Value::floating(std::numeric_limits<float>::denorm_min()), "0.0"},
      {"-smallest subnormal", Value::floating(-std::numeric_limits<float>::denorm_min()), "0.0"},
      // From double: rounded to float once, then the same rules.
      {"double largest", Value::floatingFromDouble(largest), "3.4028235e+38"},
      {"double just above largest", Value::floatingFromDouble(0x1.fffffefp127), "3.4028235e+38"},
      {"double halfway to 2^128", Value::floatingFromDouble(0x1.ffffffp127), "invalid"},
      {"-double halfway to 2^128", Value::floatingFromDouble(-0x1.ffffffp127), "invalid"},
      {"double 1e300", Value::floatingFromDouble(1e300), "invalid"},
      {"double infinity", Value::floatingFromDouble(std::numeric_limits<double>::infinity()), "invalid"},
      {"double nan", Value::floatingFromDouble(std::numeric_limits<double>::quiet_NaN()), "invalid"},
      {"double rounds up to smallest", Value::floatingFromDouble(0x1.fffffffp-127), "1.1754944e-38"},
      {"double below smallest", Value::floatingFromDouble(0x1.fffffcp-127), "0.0"},
      {"double 1e-300", Value::floatingFromDouble(1e-300), "0.0"},
      {"double 0.1", Value::floatingFromDouble(0.1), "0.1"},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(formatLiteral(row.value), row.expected);
  }
}

TEST(FloatValues, NegativeZeroBecomesPositive) {
  for (Value zero : {Value::floating(-0.0f), Value::floatingFromDouble(-0.0),
                     Value::floating(-std::numeric_limits<float>::denorm_min()),
                     Value::floatingFromDouble(-1e-300)}) {
    ASSERT_EQ(zero.type(), ValueType::Float);
    EXPECT_FALSE(std::signbit(zero.asFloat()));
  }
}

// ---------------------------------------------------------------------------
// Float text: shortest round trip, fixed or scientific whichever is shorter
// (fixed on a tie), ".0" when neither '.' nor 'e' shows.

TEST(FloatText, ShortestFormReadsBack) {
  struct Case {
    float value;
    const char *text;
  } cases[] = {
      {2.5f, "2.5"},           {4.0f, "4.0"},           {100.0f, "100.0"},
      {0.1f, "0.1"},           {1e10f, "1e+10"},        {-1.5f, "-1.5"},
      {0.0f, "0.0"},           {-0.0f, "0.0"},          {1e7f, "1e+07"},
      {1234567.0f, "1234567.0"}, {16777216.0f, "16777216.0"},
      {2147483648.0f, "2147483648.0"},  // as short as 2147483600, and exact
      {123456789.0f, "123456792.0"},    // the float nearest, in full
      {0.001f, "0.001"},       {1e-5f, "1e-05"},        {1.0f / 3.0f, "0.33333334"},
      {3.40282347e+38f, "3.4028235e+38"}, {1.17549435e-38f, "1.1754944e-38"},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.text);
    std::string text = formatFloat(row.value);
    EXPECT_EQ(text, row.text);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), row.value);
  }
}

// ---------------------------------------------------------------------------
// Literals

TEST(Literals, EachTypeAndEveryEscape) {
  struct Case {
    Value value;
    const char *literal;
  } cases[] = {
      {Value::integer(12), "12"},
      {Value::integer(-2147483647 - 1), "-2147483648"},
      {Value::floating(1.5f), "1.5"},
      {Value::boolean(true), "true"},
      {Value::boolean(false), "false"},
      {Value::invalid(), "invalid"},
      {Value::emptyString(), "\"\""},
      {Value::string(U"a\"b"), "\"a\\\"b\""},
      {Value::string(U"back\\slash"), "\"back\\\\slash\""},
      {Value::string(U"line\nnext\ttab"), "\"line\\nnext\\ttab\""},
      {Value::string(Text{U'a', 0, U'b'}), "\"a\\u0000b\""},
      {Value::string(U"\r\x1F\x7F"), "\"\\u000D\\u001F\\u007F\""},
      {Value::string(U" ~"), "\" ~\""},  // the printable ends stay
      {Value::string(U"\u0080\u00E9\u20AC\U0001F600"), "\"\xC2\x80\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {Value::string(Text{char32_t(0xDC80), char32_t(0xDCFF)}), "\"\x80\xFF\""},  // bad bytes as they came
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.literal);
    EXPECT_EQ(formatLiteral(row.value), row.literal);
  }
}

TEST(Literals, ReadBackByTheTestParser) {
  for (const char *literal : {"0", "-2147483648", "2.5", "1e+10", "true", "invalid", "\"\"",
                              "\"a\\\"\\\\\\n\\t\\u0001\\u007F\""}) {
    SCOPED_TRACE(literal);
    EXPECT_EQ(formatLiteral(valueFromLiteral(literal)), literal);
  }
}

// ---------------------------------------------------------------------------
// Text from bytes and back

Text characters(std::initializer_list<char32_t> codes) { return Text(codes); }

TEST(Utf8, DecodesValidAndKeepsEachBadByte) {
  struct Case {
    const char *name;
    std::string bytes;
    Text text;
  } cases[] = {
      {"empty", "", Text()},
      {"ascii", "abc", U"abc"},
      {"nul", std::string("a\0b", 3), characters({U'a', 0, U'b'})},
      {"two bytes", "\xC3\xA9", U"\u00E9"},
      {"smallest two bytes", "\xC2\x80", U"\u0080"},
      {"three bytes", "\xE2\x82\xAC", U"\u20AC"},
      {"below the surrogates", "\xED\x9F\xBF", U"\uD7FF"},
      {"above the surrogates", "\xEE\x80\x80", U"\uE000"},
      {"largest three bytes", "\xEF\xBF\xBF", U"\uFFFF"},
      {"four bytes", "\xF0\x9F\x98\x80", U"\U0001F600"},
      {"largest code point", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", characters({0xDCF4, 0xDC90, 0xDC80, 0xDC80})},
      {"overlong slash", "\xC0\xAF", characters({0xDCC0, 0xDCAF})},
      {"overlong two bytes", "\xC1\xBF", characters({0xDCC1, 0xDCBF})},
      {"overlong three bytes", "\xE0\x80\xAF", characters({0xDCE0, 0xDC80, 0xDCAF})},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", characters({0xDCF0, 0xDC8F, 0xDCBF, 0xDCBF})},
      {"surrogate", "\xED\xA0\x80", characters({0xDCED, 0xDCA0, 0xDC80})},
      {"lone continuation", "\x80", characters({0xDC80})},
      {"byte FF", "a\xFF" "b", characters({U'a', 0xDCFF, U'b'})},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", characters({0xDCF8, 0xDC88, 0xDC80, 0xDC80, 0xDC80})},
      {"truncated at the end", "\xE2\x82", characters({0xDCE2, 0xDC82})},
      {"truncated before ascii", "\xE2\x82" "A", characters({0xDCE2, 0xDC82, U'A'})},
      {"bad lead then good", "\xE2\xC3\xA9", characters({0xDCE2, 0xE9})},
  };
  for (const Case &row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decodeUtf8(row.bytes), row.text);
    EXPECT_EQ(encodeUtf8(row.text), row.bytes);
  }
}

TEST(Utf8, EveryTwoByteStringRoundTrips) {
  for (int first = 0; first < 256; ++first)
    for (int second = 0; second < 256; ++second) {
      std::string bytes{static_cast<char>(first), static_cast<char>(second)};
      ASSERT_EQ(encodeUtf8(decodeUtf8(bytes)), bytes) << first << " " << second;
    }
}

TEST(Utf8, RandomByteStringsRoundTrip) {
  std::uint32_t state = 12345;  // a fixed linear congruential sequence
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (int i = 0; i < round % 17; ++i) {
      state = state * 1664525u + 1013904223u;
      // Mostly high bytes, where the sequences and their faults are.
      bytes.push_back(static_cast<char>(0x70 + (state >> 24) % 0x90));
    }
    ASSERT_EQ(encodeUtf8(decodeUtf8(bytes)), bytes) << round;
  }
}

TEST(Utf8, EncodesWhatNoDecodingGives) {
  EXPECT_EQ(encodeUtf8(characters({0xDC7F})), "\xED\xB1\xBF");   // just below the byte range
  EXPECT_EQ(encodeUtf8(characters({0xDD00})), "\xED\xB4\x80");   // just above it
  EXPECT_EQ(encodeUtf8(characters({0x110000})), "\xEF\xBF\xBD");  // no such code point
}

TEST(Latin1, EachByteIsItsCodePoint) {
  EXPECT_EQ(decodeLatin1(std::string("\xE9" "A\0\xFF", 4)), characters({0xE9, U'A', 0, 0xFF}));
  EXPECT_EQ(encodeUtf8(decodeLatin1("\xE9")), "\xC3\xA9");
  EXPECT_EQ(textFromAscii("1e+10"), U"1e+10");
}

// ---------------------------------------------------------------------------
// Shared strings and the character count

TEST(SharedStrings, CopiesShareAndTheLastReleaseFrees) {
  std::size_t base = liveStringCharacters();
  {
    Value a = Value::string(U"hello");
    EXPECT_EQ(liveStringCharacters(), base + 5);
    Value b = a;
    EXPECT_EQ(&a.asText(), &b.asText());
    EXPECT_EQ(liveStringCharacters(), base + 5);
    Value c = std::move(a);
    EXPECT_TRUE(a.isInvalid());
    EXPECT_EQ(&c.asText(), &b.asText());
    b = Value::integer(1);  // c still holds it
    EXPECT_EQ(liveStringCharacters(), base + 5);
    EXPECT_EQ(c.asText(), U"hello");
  }
  EXPECT_EQ(liveStringCharacters(), base);
}

TEST(SharedStrings, AssignmentReleasesTheOldString) {
  std::size_t base = liveStringCharacters();
  Value a = Value::string(U"abc");
  Value b = Value::string(U"defgh");
  EXPECT_EQ(liveStringCharacters(), base + 8);
  a = b;
  EXPECT_EQ(liveStringCharacters(), base + 5);
  b = std::move(a);
  EXPECT_EQ(liveStringCharacters(), base + 5);
  EXPECT_TRUE(a.isInvalid());
  b = Value::floating(1.5f);
  EXPECT_EQ(liveStringCharacters(), base);
}

TEST(SharedStrings, SelfAssignmentKeepsTheString) {
  std::size_t base = liveStringCharacters();
  Value a = Value::string(U"xyz");
  Value &same = a;
  a = same;
  EXPECT_EQ(a.asText(), U"xyz");
  a = std::move(same);
  EXPECT_EQ(a.asText(), U"xyz");
  EXPECT_EQ(liveStringCharacters(), base + 3);
}

TEST(SharedStrings, EmptyStringsShareOneRecordAndCountNothing) {
  std::size_t base = liveStringCharacters();
  Value a = Value::emptyString();
  Value b = Value::string(Text());
  Value c = Value::string(std::u32string_view());
  EXPECT_EQ(&a.asText(), &b.asText());
  EXPECT_EQ(&a.asText(), &c.asText());
  EXPECT_EQ(liveStringCharacters(), base);
  EXPECT_TRUE(a.asText().empty());
}

TEST(SharedStrings, ConversionsCountTheirResults) {
  std::size_t base = liveStringCharacters();
  {
    Value text = toStringOrInvalid(Value::integer(-2147483647 - 1));
    EXPECT_EQ(liveStringCharacters(), base + 11);
    Value same = toStringOrInvalid(text);  // a string converts to itself, shared
    EXPECT_EQ(&same.asText(), &text.asText());
  }
  EXPECT_EQ(liveStringCharacters(), base);
}

TEST(ValueTypes, TypeCodesInOrder) {
  EXPECT_EQ(static_cast<int>(Value::integer(0).type()), 0);
  EXPECT_EQ(static_cast<int>(Value::floating(0).type()), 1);
  EXPECT_EQ(static_cast<int>(Value::emptyString().type()), 2);
  EXPECT_EQ(static_cast<int>(Value::boolean(false).type()), 3);
  EXPECT_EQ(static_cast<int>(Value().type()), 4);
}

} // namespace
} // namespace tavokrt
