// The constant pool: literal conversion and its range checks, escape
// decoding, deduplication, placement, the pool's bytes and its dump.
#include "constpool.h"

#include "codegen.h"
#include "errorhlr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Counts an error an earlier step left pending, silently.
void settlePendingError() {
  if (!isErrorPending())
    return;
  CaptureStderr();
  reportSyntaxError(SyntaxErrorInStatement);
  GetCapturedStderr();
}

// An empty pool and an empty output buffer; expected errors never reach the limit.
void freshPool() {
  setErrorLimit(1000);
  settlePendingError();
  freeConstantPool();
  discardByteBuffer();
  freeByteBuffer(takeConstantPoolBytes());
}

// What the step printed on the standard error stream, its error settled.
std::string diagnosticsOf(const std::function<void()> &step) {
  settlePendingError();
  CaptureStderr();
  step();
  std::string text = GetCapturedStderr();
  settlePendingError();
  return text;
}

bool mentions(const std::string &text, ErrorCode code) {
  return text.find(errorMessageText(code)) != std::string::npos;
}

Bytes writtenPool() {
  writeConstantPool();
  ByteBuffer *buffer = takeConstantPoolBytes();
  Bytes bytes = buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
  freeByteBuffer(buffer);
  return bytes;
}

std::string dump() {
  CaptureStdout();
  printConstantPool();
  return GetCapturedStdout();
}

ConstantDescriptor direct(ValueType type, std::uint32_t value) {
  return ConstantDescriptor{.signParity = 0, .valueType = type,
                            .constantType = ImmediateConstant, .value = value};
}

ConstantDescriptor directInteger(std::int32_t value) {
  return direct(IntegerType, static_cast<std::uint32_t>(value));
}

std::uint32_t floatBits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// ---------------------------------------------------------------- integers

struct IntegerCase {
  const char *text;
  bool accepted;
  std::uint32_t value;
  std::int32_t signParity;
};

const IntegerCase integerCases[] = {
    {"0", true, 0, 0},
    {"7", true, 7, 0},
    {"017", true, 15, 0},
    {"0x1F", true, 31, 0},
    {"0X1f", true, 31, 0},
    {"0x", true, 0, 0},
    {"2147483647", true, 2147483647u, 0},
    {"2147483648", true, 0x80000000u, 1},
    {"0x80000000", true, 0x80000000u, 1},
    {"020000000000", true, 0x80000000u, 1},
    {"2147483649", false, 0, 0},
    {"0xFFFFFFFF", false, 0, 0},
    {"4294967295", false, 0, 0},
    {"4294967296", false, 0, 0},
    {"0x100000000", false, 0, 0},
    {"99999999999999999999999", false, 0, 0},
};

TEST(IntegerLiterals, ThreeBasesAndTheSignedRange) {
  freshPool();
  for (const IntegerCase &row : integerCases) {
    SCOPED_TRACE(row.text);
    Expression *leaf = nullptr;
    const std::string messages = diagnosticsOf([&] { leaf = integerLiteral(row.text); });
    if (!row.accepted) {
      EXPECT_EQ(leaf, nullptr);
      EXPECT_TRUE(mentions(messages, IntegerOutOfRange)) << messages;
      continue;
    }
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(leaf->exprOperator, ConstantLeaf);
    EXPECT_EQ(leaf->constant.valueType, IntegerType);
    EXPECT_EQ(leaf->constant.constantType, ImmediateConstant);
    EXPECT_EQ(leaf->constant.value, row.value);
    EXPECT_EQ(leaf->constant.signParity, row.signParity);
    releaseExpression(leaf);
  }
  EXPECT_EQ(numberOfConstants(), 0);  // integers enter the pool only when placed
}

// ---------------------------------------------------------------- floats

struct FloatCase {
  const char *text;
  bool accepted;
  float value;
};

const FloatCase floatCases[] = {
    {"0.0", true, 0.0f},
    {"1.5", true, 1.5f},
    {".5", true, 0.5f},
    {"09.5", true, 9.5f},
    {"3e38", true, 3e38f},
    {"3.4028235e38", true, 3.4028235e38f},       // the largest float
    {"1.1754944e-38", true, 1.1754944e-38f},     // the smallest normal float
    {"1.1754943e-38", true, 1.1754944e-38f},     // rounds up to it
    {"1e-46", true, 0.0f},                       // underflows to 0
    {"0x1F.5", true, 31.3125f},
    {"4e38", false, 0},
    {"3.4028236e38", false, 0},                  // rounds to infinity
    {"1.0e999", false, 0},
    {"1e-40", false, 0},                         // subnormal
    {"1.1754942e-38", false, 0},
    {"0x1.5e+3", false, 0},                      // the scan stops before "+3"
};

TEST(FloatLiterals, SinglePrecisionAndItsNormalRange) {
  freshPool();
  for (const FloatCase &row : floatCases) {
    SCOPED_TRACE(row.text);
    Expression *leaf = nullptr;
    const std::string messages = diagnosticsOf([&] { leaf = floatLiteral(row.text); });
    if (!row.accepted) {
      EXPECT_EQ(leaf, nullptr);
      EXPECT_TRUE(mentions(messages, FloatOutOfRange)) << messages;
      continue;
    }
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(leaf->constant.valueType, FloatType);
    EXPECT_EQ(leaf->constant.constantType, ImmediateConstant);
    EXPECT_EQ(leaf->constant.value, floatBits(row.value));
    releaseExpression(leaf);
  }
  EXPECT_EQ(numberOfConstants(), 0);
}

// ---------------------------------------------------------------- strings

struct EscapeCase {
  const char *text;
  bool legal;
  std::string bytes;
};

const EscapeCase escapeCases[] = {
    {R"("plain")", true, "plain"},
    {R"('single')", true, "single"},
    {R"("")", true, ""},
    {R"("\"\'\/\\")", true, "\"'/\\"},
    {R"("\b\f\n\r\t")", true, "\b\f\n\r\t"},
    {R"("\x41")", true, "A"},
    {R"("\x4a\x4A")", true, "JJ"},
    {R"("\xe9")", true, "\xC3\xA9"},
    {R"("\u00e9")", true, "\xC3\xA9"},
    {R"("\u0041")", true, "A"},
    {R"("\u20AC")", true, "\xE2\x82\xAC"},
    {R"("\uffff")", true, "\xEF\xBF\xBF"},
    {R"("\101")", true, "A"},
    {R"("\7")", true, "\x07"},
    {R"("\77x")", true, "?x"},
    {R"("\1234")", true, "S4"},  // at most three octal digits
    {R"("\377")", true, "\xC3\xBF"},
    {R"("\08")", true, std::string("\0" "8", 2)},
    {R"("\q")", false, ""},
    {R"("\x4")", false, ""},
    {R"("\x4g")", false, ""},
    {R"("\x")", false, ""},
    {R"("\u00e")", false, ""},
    {R"("\u00eg")", false, ""},
    {R"("\400")", false, ""},
    {R"("\8")", false, ""},
    {R"("\U0041")", false, ""},
};

TEST(StringLiterals, EveryEscapeAndItsFailures) {
  for (const EscapeCase &row : escapeCases) {
    SCOPED_TRACE(row.text);
    char *decoded = nullptr;
    const std::string messages = diagnosticsOf([&] { decoded = decodeStringLiteral(row.text); });
    if (!row.legal) {
      EXPECT_EQ(decoded, nullptr);
      EXPECT_TRUE(mentions(messages, IllegalEscapeSequence)) << messages;
      continue;
    }
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(messages, "");
    // The decoded bytes may hold a NUL: compare through the expected length.
    EXPECT_EQ(std::string(decoded, row.bytes.size()), row.bytes);
    EXPECT_EQ(decoded[row.bytes.size()], '\0');
    std::free(decoded);
  }
}

TEST(StringLiterals, AZeroEscapeCutsTheConstant) {
  freshPool();
  char *decoded = decodeStringLiteral(R"("ab\0cd")");
  ASSERT_NE(decoded, nullptr);
  Expression *cut = stringLiteral(decoded);
  Expression *prefix = stringLiteral("ab");
  ASSERT_NE(cut, nullptr);
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(cut->constant.value, prefix->constant.value);
  EXPECT_EQ(numberOfConstants(), 1);
  std::free(decoded);
  releaseExpression(cut);
  releaseExpression(prefix);
}

TEST(StringLiterals, EmptyIsAnImmediateOthersEnterThePoolAtOnce) {
  freshPool();
  Expression *empty = stringLiteral("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->constant.valueType, StringType);
  EXPECT_EQ(empty->constant.constantType, ImmediateConstant);
  EXPECT_EQ(empty->constant.value, static_cast<std::uint32_t>(ImmediateCode::EmptyString));
  EXPECT_EQ(numberOfConstants(), 0);

  Expression *text = stringLiteral("abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->constant.valueType, StringType);
  EXPECT_EQ(text->constant.constantType, IndirectConstant);
  EXPECT_EQ(text->constant.value, 0u);
  EXPECT_EQ(numberOfConstants(), 1);
  releaseExpression(empty);
  releaseExpression(text);
}

TEST(PragmaStrings, AnEmptyOneIsWarnedAboutAndStillEntered) {
  freshPool();
  std::uint32_t index = 99;
  const std::string messages = diagnosticsOf([&] { index = pragmaString(""); });
  EXPECT_NE(messages.find(warningMessageText(EmptyStringInPragma)), std::string::npos);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(numberOfConstants(), 1);
  EXPECT_EQ(pragmaString("http://x"), 1u);
  diagnosticsOf([&] { index = pragmaString(""); });
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(writtenPool(), (Bytes{0x02, 0x6A, 0x04, 0x00, 0x04, 0x08, 'h', 't', 't', 'p', ':',
                                  '/', '/', 'x'}));
}

// ---------------------------------------------------------------- deduplication

TEST(Deduplication, OneConstantPerKindAndText) {
  freshPool();
  char *doubleQuoted = decodeStringLiteral(R"("abc")");
  char *singleQuoted = decodeStringLiteral("'abc'");
  Expression *first = stringLiteral(doubleQuoted);
  Expression *second = stringLiteral(singleQuoted);
  EXPECT_EQ(first->constant.value, second->constant.value);

  const std::uint32_t ten = placeConstant(directInteger(10)).value;
  EXPECT_EQ(placeConstant(directInteger(10)).value, ten);
  const std::uint32_t tenFloat = placeConstant(direct(FloatType, floatBits(10.0f))).value;
  const std::uint32_t tenString = addConstant("10", StringConstant);
  // The integer 10 and the string "0000000:" share a key text, not an index.
  const std::uint32_t keyString = addConstant("0000000:", StringConstant);
  EXPECT_EQ(ten, 1u);
  EXPECT_EQ(tenFloat, 2u);
  EXPECT_EQ(tenString, 3u);
  EXPECT_EQ(keyString, 4u);
  EXPECT_EQ(addConstant("0000000:", IntegerConstant), ten);
  EXPECT_EQ(numberOfConstants(), 5);
  std::free(doubleQuoted);
  std::free(singleQuoted);
  releaseExpression(first);
  releaseExpression(second);
}

TEST(Deduplication, KeyTextsSurviveTheGrowthOfTheirBuffer) {
  freshPool();
  // About 60 kilobytes of key texts: the buffer moves many times.
  std::vector<std::string> texts;
  for (int i = 0; i < 600; ++i)
    texts.push_back("text number " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 200), 'x'));
  for (std::size_t i = 0; i < texts.size(); ++i)
    ASSERT_EQ(addConstant(texts[i].c_str(), StringConstant), i);
  for (std::size_t i = 0; i < texts.size(); ++i)
    ASSERT_EQ(addConstant(texts[i].c_str(), StringConstant), i);
  const std::string printed = dump();
  EXPECT_NE(printed.find("599        String  text number 599" + std::string(199, 'x') + "\n"),
            std::string::npos);
  freeConstantPool();
  EXPECT_EQ(numberOfConstants(), 0);
  EXPECT_EQ(addConstant(texts[5].c_str(), StringConstant), 0u);  // ready for reuse
}

// ---------------------------------------------------------------- placement

TEST(Placement, MinusOneZeroAndOneAreImmediates) {
  freshPool();
  const struct {
    std::int32_t value;
    ImmediateCode code;
  } immediates[] = {{-1, ImmediateCode::MinusOne}, {0, ImmediateCode::Zero}, {1, ImmediateCode::One}};
  for (const auto &row : immediates) {
    SCOPED_TRACE(row.value);
    const ConstantDescriptor placed = placeConstant(directInteger(row.value));
    EXPECT_EQ(placed.constantType, ImmediateConstant);
    EXPECT_EQ(placed.valueType, IntegerType);
    EXPECT_EQ(placed.value, static_cast<std::uint32_t>(row.code));
  }
  EXPECT_EQ(numberOfConstants(), 0);
  const ConstantDescriptor two = placeConstant(directInteger(2));
  EXPECT_EQ(two.constantType, IndirectConstant);
  EXPECT_EQ(two.valueType, IntegerType);
  EXPECT_EQ(two.value, 0u);
  EXPECT_EQ(writtenPool(), (Bytes{0x01, 0x6A, 0x00, 0x02}));
}

TEST(Placement, FloatsAreNeverImmediates) {
  freshPool();
  for (float value : {0.0f, 1.0f, -1.0f}) {
    const ConstantDescriptor placed = placeConstant(direct(FloatType, floatBits(value)));
    EXPECT_EQ(placed.constantType, IndirectConstant);
    EXPECT_EQ(placed.valueType, FloatType);
  }
  EXPECT_EQ(numberOfConstants(), 3);
}

TEST(Placement, OtherDescriptorsAreCopied) {
  freshPool();
  const ConstantDescriptor unchanged[] = {
      direct(StringType, static_cast<std::uint32_t>(ImmediateCode::EmptyString)),
      direct(BooleanType, static_cast<std::uint32_t>(ImmediateCode::True)),
      direct(InvalidType, static_cast<std::uint32_t>(ImmediateCode::Invalid)),
      {.signParity = 0, .valueType = IntegerType, .constantType = IndirectConstant, .value = 77},
  };
  for (const ConstantDescriptor &descriptor : unchanged) {
    const ConstantDescriptor placed = placeConstant(descriptor);
    EXPECT_EQ(std::memcmp(&placed, &descriptor, sizeof placed), 0);
  }
  EXPECT_EQ(numberOfConstants(), 0);
}

// ---------------------------------------------------------------- index leaves

TEST(IndexLeaves, EachStopsAtItsOwnLimit) {
  const struct {
    const char *name;
    Expression *(*make)(std::uint32_t);
    std::uint32_t largest;
    ErrorCode error;
  } rows[] = {
      {"constant", constantIndexLeaf, 65534, TooManyConstants},
      {"pragma", pragmaIndexLeaf, 65535, TooManyPragmas},
      {"library", libraryIndexLeaf, 65536, LibraryIndexOutOfRange},
      {"library function", libraryFunctionIndexLeaf, 256, LibraryFunctionIndexOutOfRange},
  };
  setErrorLimit(1000);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Expression *leaf = nullptr;
    EXPECT_EQ(diagnosticsOf([&] { leaf = row.make(row.largest); }), "");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->constant.constantType, IndirectConstant);
    EXPECT_EQ(leaf->constant.value, row.largest);
    releaseExpression(leaf);
    const std::string messages = diagnosticsOf([&] { leaf = row.make(row.largest + 1); });
    EXPECT_EQ(leaf, nullptr);
    EXPECT_TRUE(mentions(messages, row.error)) << messages;
  }
}

// ---------------------------------------------------------------- encoding

TEST(Encoding, BigEndianWritesTheLowBytes) {
  discardByteBuffer();
  emitBigEndian(0x12345678, 4);
  emitBigEndian(0x12345678, 2);
  emitBigEndian(0x12345678, 1);
  emitMbUInt32(300);
  ByteBuffer *buffer = takeByteBuffer();
  EXPECT_EQ(Bytes(buffer->bytes, buffer->bytes + buffer->size),
            (Bytes{0x12, 0x34, 0x56, 0x78, 0x56, 0x78, 0x78, 0x82, 0x2C}));
  freeByteBuffer(buffer);
}

struct IntegerBytesCase {
  std::int32_t value;
  Bytes bytes;  // type byte, then the value
};

const IntegerBytesCase integerBytesCases[] = {
    {2, {0x00, 0x02}},
    {127, {0x00, 0x7F}},
    {-128, {0x00, 0x80}},
    {128, {0x01, 0x00, 0x80}},
    {-129, {0x01, 0xFF, 0x7F}},
    {300, {0x01, 0x01, 0x2C}},
    {32767, {0x01, 0x7F, 0xFF}},
    {-32768, {0x01, 0x80, 0x00}},
    {32768, {0x02, 0x00, 0x00, 0x80, 0x00}},
    {40000, {0x02, 0x00, 0x00, 0x9C, 0x40}},
    {-2147483647 - 1, {0x02, 0x80, 0x00, 0x00, 0x00}},
};

TEST(Encoding, IntegersTakeTheNarrowestType) {
  for (const IntegerBytesCase &row : integerBytesCases) {
    SCOPED_TRACE(row.value);
    freshPool();
    placeConstant(directInteger(row.value));
    Bytes expected{0x01, 0x6A};
    expected.insert(expected.end(), row.bytes.begin(), row.bytes.end());
    EXPECT_EQ(writtenPool(), expected);
  }
}

TEST(Encoding, FloatsAndStringsFollowInIndexOrder) {
  freshPool();
  stringLiteral("hi");
  placeConstant(direct(FloatType, floatBits(1.5f)));
  EXPECT_EQ(writtenPool(), (Bytes{0x02, 0x6A, 0x04, 0x02, 'h', 'i', 0x03, 0x3F, 0xC0, 0x00, 0x00}));
}

TEST(Encoding, AnEmptyPoolIsItsCountAndCharacterSet) {
  freshPool();
  EXPECT_EQ(writtenPool(), (Bytes{0x00, 0x6A}));
}

TEST(Encoding, ACountAbove127TakesTwoBytes) {
  freshPool();
  for (int i = 0; i < 130; ++i)
    placeConstant(directInteger(1000 + i));
  const Bytes bytes = writtenPool();
  ASSERT_GE(bytes.size(), 3u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), (Bytes{0x81, 0x02, 0x6A}));
  EXPECT_EQ(bytes.size(), 3u + 130u * 3u);
}

// ---------------------------------------------------------------- dump

TEST(Dump, ShowsEveryConstantWithItsKeyText) {
  freshPool();
  placeConstant(directInteger(10));
  EXPECT_EQ(dump(),
            "CONSTANT POOL \n"
            "Number of Constants:  1 \n"
            "0        Integer  0000000:\n");
  placeConstant(direct(FloatType, floatBits(1.5f)));
  stringLiteral("abc");
  placeConstant(directInteger(-1));  // an immediate: not listed
  EXPECT_EQ(dump(),
            "CONSTANT POOL \n"
            "Number of Constants:  3 \n"
            "0        Integer  0000000:\n"
            "1        Float  3?<00000\n"
            "2        String  abc\n");
}

TEST(Dump, AnEmptyPoolPrintsItsHeaderOnly) {
  freshPool();
  EXPECT_EQ(dump(), "CONSTANT POOL \nNumber of Constants:  0 \n");
}

} // namespace
