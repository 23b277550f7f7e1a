// The constant and pragma pools: the range checks of literal conversion,
// escape decoding, key texts shared across kinds, the index limits, the
// encodings, and the order, uniqueness and count of pragmas.
#include "constpool.h"

#include "codegen.h"
#include "errorhlr.h"
#include "pragma.h"
#include "pendingerror.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<std::uint8_t>;

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

bool mentions(const std::string &text, const char *message) { return text.find(message) != std::string::npos; }

Bytes bytesOf(ByteBuffer *buffer) {
  Bytes bytes = buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
  freeByteBuffer(buffer);
  return bytes;
}

Bytes writtenPool() {
  writeConstantPool();
  return bytesOf(takeConstantPoolBytes());
}

ConstantDescriptor direct(ValueType type, std::uint32_t value) {
  return ConstantDescriptor{.signParity = 0, .valueType = type, .constantType = ImmediateConstant, .value = value};
}

ConstantDescriptor directInteger(std::int32_t value) { return direct(IntegerType, static_cast<std::uint32_t>(value)); }

struct LiteralCase {
  const char *text;
  bool accepted;
  std::uint32_t value = 0;  // integer value or float bits
  std::int32_t signParity = 0;
};

// Each literal either becomes a direct leaf with the value or reports its error.
void checkLiterals(Expression *(*convert)(const char *), const std::vector<LiteralCase> &cases, ErrorCode error) {
  freshPool();
  for (const LiteralCase &row : cases) {
    SCOPED_TRACE(row.text);
    Expression *leaf = nullptr;
    const std::string messages = diagnosticsOf([&] { leaf = convert(row.text); });
    if (!row.accepted) {
      EXPECT_EQ(leaf, nullptr);
      EXPECT_TRUE(mentions(messages, errorMessageText(error))) << messages;
      continue;
    }
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(leaf->constant.value, row.value);
    EXPECT_EQ(leaf->constant.signParity, row.signParity);
    releaseExpression(leaf);
  }
  EXPECT_EQ(numberOfConstants(), 0);  // numbers enter the pool only when placed
}

TEST(Literals, IntegersInThreeBasesUpTo2147483648) {
  checkLiterals(integerLiteral,
                {{"0", true}, {"0x", true}, {"0X1f", true, 31}, {"2147483647", true, 2147483647u},
                 {"2147483648", true, 0x80000000u, 1}, {"0x80000000", true, 0x80000000u, 1},
                 {"020000000000", true, 0x80000000u, 1}, {"2147483649", false}, {"0xFFFFFFFF", false},
                 {"4294967295", false}, {"0x100000000", false}, {"99999999999999999999999", false}},
                IntegerOutOfRange);
}

TEST(Literals, FloatsInTheNormalSinglePrecisionRange) {
  auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
  checkLiterals(floatLiteral,
                {{"09.5", true, bits(9.5f)},
                 {"0x1F.5", true, bits(31.3125f)},
                 {"3.4028235e38", true, bits(3.4028235e38f)},    // the largest float
                 {"1.1754944e-38", true, bits(1.1754944e-38f)},  // the smallest normal one
                 {"1.1754943e-38", true, bits(1.1754944e-38f)},  // rounds up to it
                 {"1e-46", true, 0},                             // underflows to 0
                 {"3.4028236e38", false},                        // rounds to infinity
                 {"1e-40", false},                               // subnormal
                 {"1.1754942e-38", false}, {"1.0e999", false},
                 {"0x1.5e+3", false}},                           // the scan stops before "+3"
                FloatOutOfRange);
}

TEST(Literals, EscapesAndTheirLimits) {
  const struct {
    const char *text;
    bool legal;
    std::string bytes;
  } cases[] = {
      {R"('\"\'\/\\')", true, "\"'/\\"},
      {R"("\b\f\n\r\t")", true, "\b\f\n\r\t"},
      {R"("\x4a\x4A\xe9")", true, "JJ\xC3\xA9"},
      {R"("\u0041\u07ff\u0800\uffff")", true, "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {R"("\7\77x\1234")", true, "\x07?xS4"},  // at most three octal digits
      {R"("\377")", true, "\xC3\xBF"},
      {R"("\08")", true, std::string("\0" "8", 2)},
      {"'\x80\xff'", true, "\x80\xff"},  // source bytes are not transcoded
      {R"("\400")", false, ""}, {R"("\8")", false, ""},     {R"("\x4")", false, ""},   {R"("\x")", false, ""},
      {R"("\u00e")", false, ""}, {R"("\u00eg")", false, ""}, {R"("\U0041")", false, ""},
  };
  for (const auto &row : cases) {
    SCOPED_TRACE(row.text);
    char *decoded = nullptr;
    const std::string messages = diagnosticsOf([&] { decoded = decodeStringLiteral(row.text); });
    if (!row.legal) {
      EXPECT_EQ(decoded, nullptr);
      EXPECT_TRUE(mentions(messages, errorMessageText(IllegalEscapeSequence))) << messages;
      continue;
    }
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(std::string(decoded, row.bytes.size() + 1), row.bytes + '\0');
    std::free(decoded);
  }
}

// A key text may carry one constant of each kind; a decoded NUL ends a string.
TEST(Pool, KindsShareKeyTextsButNotIndices) {
  freshPool();
  const std::uint32_t ten = placeConstant(directInteger(10)).value;
  EXPECT_EQ(ten, 0u);
  EXPECT_EQ(addConstant("0000000:", StringConstant), 1u);  // the key text of the integer 10
  EXPECT_EQ(addConstant("0000000:", IntegerConstant), ten);
  char *cut = decodeStringLiteral(R"("ab\0cd")");
  Expression *leaf = stringLiteral(cut);
  EXPECT_EQ(leaf->constant.value, 2u);
  EXPECT_EQ(addConstant("ab", StringConstant), 2u);
  std::uint32_t empty = 0;
  EXPECT_TRUE(mentions(diagnosticsOf([&] { empty = pragmaString(""); }), warningMessageText(EmptyStringInPragma)));
  EXPECT_EQ(empty, 3u);  // still entered
  EXPECT_EQ(placeConstant(direct(FloatType, std::bit_cast<std::uint32_t>(1.5f))).value, 4u);
  EXPECT_EQ(writtenPool(), (Bytes{0x05, 0x6A, 0x00, 0x0A, 0x04, 0x08, '0', '0', '0', '0', '0', '0', '0', ':',
                                  0x04, 0x02, 'a', 'b', 0x04, 0x00, 0x03, 0x3F, 0xC0, 0x00, 0x00}));
  std::free(cut);
  releaseExpression(leaf);
}

// Decoded texts are written into blocks that are given back and used again:
// a text still held keeps its bytes while later ones are decoded, each text
// enters the pool with its own length (an escaped NUL cut included) whether
// or not it was the last one decoded, and a block freed by its holder is
// no loss.
TEST(Pool, DecodedTextsKeepTheirBytesWhileTheirBlocksAreUsedAgain) {
  freshPool();
  const std::string longText(300, 'x');
  const std::string longLiteral = "'" + longText + "'";
  char *held = decodeStringLiteral(R"("held\0cut")");
  const struct {
    std::string literal;
    std::string bytes;
  } rows[] = {
      {"'a'", "a"}, {R"("b\x41c")", "bAc"}, {longLiteral, longText}, {"'d'", "d"},
      {R"("\0e")", ""}, {"\"\"", ""}, {"'fg'", "fg"}, {longLiteral, longText},
      // A text cut by a NUL of the source has no closing quote; the first
      // quote like the opening one ends any other.
      {"'gh", "gh"}, {"'", ""}, {"'i'j'", "i"}, {R"('k"l')", "k\"l"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.literal);
    char *decoded = decodeStringLiteral(row.literal.c_str());
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(decoded), row.bytes);
    Expression *leaf = stringLiteral(decoded);
    releaseDecodedString(decoded);
    ASSERT_NE(leaf, nullptr);
    if (!row.bytes.empty()) {
      EXPECT_EQ(leaf->constant.value, addConstant(row.bytes.c_str(), StringConstant));
    }
    releaseExpression(leaf);
    EXPECT_EQ(std::string(held, 5), std::string("held\0", 5));
  }
  // The held text was not the last decoded: its length is measured again.
  Expression *heldLeaf = stringLiteral(held);
  EXPECT_EQ(heldLeaf->constant.value, addConstant("held", StringConstant));
  releaseExpression(heldLeaf);
  releaseDecodedString(held);
  char *freedByHolder = decodeStringLiteral("'h'");
  std::free(freedByHolder);
  char *next = decodeStringLiteral("'ij'");
  EXPECT_EQ(std::string(next), "ij");
  EXPECT_EQ(pragmaString(next), addConstant("ij", StringConstant));
  releaseDecodedString(next);
  std::uint32_t illegal = 0;
  diagnosticsOf([&] { illegal = decodeStringLiteral(R"("\q")") == nullptr; });
  EXPECT_EQ(illegal, 1u);  // an illegal escape gives its block back
  char *after = decodeStringLiteral("'k'");
  EXPECT_EQ(std::string(after), "k");
  std::free(after);
}

TEST(Pool, KeyTextsSurviveTheGrowthOfTheirBuffer) {
  freshPool();
  std::vector<std::string> texts;  // about 60 kilobytes: the buffer moves many times
  for (int i = 0; i < 600; ++i)
    texts.push_back(std::to_string(i) + std::string(static_cast<std::size_t>(i % 200), 'x'));
  for (int round = 0; round < 2; ++round)
    for (std::size_t i = 0; i < texts.size(); ++i)
      ASSERT_EQ(addConstant(texts[i].c_str(), StringConstant), i);
  const Bytes bytes = writtenPool();
  EXPECT_EQ(std::string(bytes.end() - 202, bytes.end()), "599" + std::string(199, 'x'));
  freeConstantPool();
  EXPECT_EQ(numberOfConstants(), 0);
  EXPECT_EQ(addConstant(texts[5].c_str(), StringConstant), 0u);  // ready for reuse
}

TEST(Pool, EachIndexLeafStopsAtItsOwnLimit) {
  const std::tuple<Expression *(*)(std::uint32_t), std::uint32_t, ErrorCode> rows[] = {
      {constantIndexLeaf, 65534, TooManyConstants},
      {pragmaIndexLeaf, 65535, TooManyPragmas},
      {libraryIndexLeaf, 65536, LibraryIndexOutOfRange},
      {libraryFunctionIndexLeaf, 256, LibraryFunctionIndexOutOfRange},
  };
  setErrorLimit(1000);
  for (const auto &[make, largest, error] : rows) {
    Expression *leaf = nullptr;
    EXPECT_EQ(diagnosticsOf([&] { leaf = make(largest); }), "");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->constant.value, largest);
    releaseExpression(leaf);
    const std::string messages = diagnosticsOf([&] { leaf = make(largest + 1); });
    EXPECT_EQ(leaf, nullptr);
    EXPECT_TRUE(mentions(messages, errorMessageText(error))) << messages;
  }
}

TEST(Encoding, MultiByteIntegersAtEveryGroupBoundary) {
  const std::pair<std::uint32_t, Bytes> cases[] = {
      {0, {0x00}},          {127, {0x7F}},
      {128, {0x81, 0x00}},  {16383, {0xFF, 0x7F}},
      {16384, {0x81, 0x80, 0x00}},          {2097151, {0xFF, 0xFF, 0x7F}},
      {2097152, {0x81, 0x80, 0x80, 0x00}},  {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
      {268435456, {0x81, 0x80, 0x80, 0x80, 0x00}}, {0xFFFFFFFF, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto &[value, bytes] : cases) {
    discardByteBuffer();
    emitMbUInt32(value);
    EXPECT_EQ(bytesOf(takeByteBuffer()), bytes) << value;
  }
  discardByteBuffer();
  for (int count : {4, 2, 1})
    emitBigEndian(0x12345678, count);
  EXPECT_EQ(bytesOf(takeByteBuffer()), (Bytes{0x12, 0x34, 0x56, 0x78, 0x56, 0x78, 0x78}));
}

TEST(Encoding, IntegersTakeTheNarrowestTypeAtBothSidesOfEachLimit) {
  freshPool();
  for (std::int32_t value : {127, -128, 32767, -32768, 32768, -32769})
    placeConstant(directInteger(value));
  EXPECT_EQ(writtenPool(), (Bytes{0x06, 0x6A, 0x00, 0x7F, 0x00, 0x80, 0x01, 0x7F, 0xFF, 0x01, 0x80, 0x00,
                                  0x02, 0x00, 0x00, 0x80, 0x00, 0x02, 0xFF, 0xFF, 0x7F, 0xFF}));
}

// ---------------------------------------------------------------- pragma pool

void noPragmas() {
  setErrorLimit(1000);
  settlePendingError();
  destroyPragmas();
  initPragmas();
  discardByteBuffer();
  freeByteBuffer(takePragmaPoolBytes());
}

Bytes writtenPragmaPool() {
  writePragmaPool();
  return bytesOf(takePragmaPoolBytes());
}

TEST(PragmaPool, AccessComesFirstAndUserAgentsFollowInSourceOrder) {
  noPragmas();
  EXPECT_EQ(addUserAgentPropertyWithScheme(1, 2, 3), 1);
  EXPECT_EQ(addUserAgentProperty(4, 5), 1);
  rememberAccessDomain(6);
  EXPECT_EQ(setAccessDomainAndPath(getRememberedAccessDomain(), 200), 1);  // counts two
  EXPECT_EQ(numberOfPragmas(), 4);
  EXPECT_EQ(writtenPragmaPool(), (Bytes{0x04, 0x00, 0x06, 0x01, 0x81, 0x48, 0x03, 0x01, 0x02, 0x03, 0x02, 0x04, 0x05}));
  CaptureStdout();
  printPragmaPool();
  EXPECT_EQ(GetCapturedStdout(), " PRAGMA POOL \nNumber Of Pragmas:  4\nAccess Domain:  6\nAccess Path:  200\n"
                                 "User Agent Property and Scheme:  1  2  3  \nUser Agent Property:  4  5\n\n");
}

TEST(PragmaPool, ASecondAccessPragmaOfAnyFormIsRefusedAndTheFirstStays) {
  int (*const secondForms[])() = {[] { return setAccessDomain(9); }, [] { return setAccessPath(9); },
                                  [] { return setAccessDomainAndPath(9, 9); }};
  for (auto second : secondForms) {
    noPragmas();
    EXPECT_EQ(setAccessPath(7), 1);
    const std::string messages = diagnosticsOf([&] { EXPECT_EQ(second(), 0); });
    EXPECT_TRUE(mentions(messages, "Access Control is already defined")) << messages;
    EXPECT_EQ(writtenPragmaPool(), (Bytes{0x01, 0x01, 0x07}));
  }
}

// The combined access form counts two pragmas; the second count decides.
TEST(PragmaPool, The65536thPragmaIsReportedOnceAndLaterOnesFailSilently) {
  for (bool combined : {false, true}) {
    noPragmas();
    for (int i = 0; i < 65534; ++i)
      ASSERT_EQ(addUserAgentProperty(0, 0), 1);
    const std::string messages = diagnosticsOf([&] {
      if (combined) {
        EXPECT_EQ(setAccessDomainAndPath(1, 2), 0);  // the 65535th and the 65536th
      } else {
        EXPECT_EQ(setAccessPath(1), 1);  // the 65535th
        EXPECT_EQ(addUserAgentProperty(0, 0), 0);
      }
      EXPECT_EQ(addUserAgentProperty(0, 0), 0);
    });
    const std::size_t first = messages.find("Number of pragms is out of range");
    EXPECT_NE(first, std::string::npos) << messages;
    EXPECT_EQ(first, messages.rfind("Number of pragms is out of range")) << combined;
  }
  noPragmas();
}

} // namespace
