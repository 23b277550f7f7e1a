// The constant pool's text dictionary and its string literals: texts whose
// hashes are equal still get constants of their own, indices stay dense and
// stable while the dictionary and its arrays grow, and a literal decoded a
// run at a time keeps every byte around its escapes and quotes.
#include "constpool.h"

#include "codegen.h"
#include "errorhlr.h"
#include "pendingerror.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using Bytes = std::vector<std::uint8_t>;

void freshPool() {
  freeConstantPool();
  discardByteBuffer();
  freeByteBuffer(takeConstantPoolBytes());
}

Bytes writtenPool() {
  writeConstantPool();
  ByteBuffer *buffer = takeConstantPoolBytes();
  Bytes bytes = buffer ? Bytes(buffer->bytes, buffer->bytes + buffer->size) : Bytes{};
  freeByteBuffer(buffer);
  return bytes;
}

Bytes stringEntry(const std::string &text) {
  Bytes bytes{0x04, static_cast<std::uint8_t>(text.size())};
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

ConstantDescriptor directValue(ValueType type, std::uint32_t value) {
  return ConstantDescriptor{.signParity = 0, .valueType = type, .constantType = ImmediateConstant, .value = value};
}

// Each pair of texts was found by search to share its 32-bit dictionary
// hash, at equal or different lengths; every text must still be a constant
// of its own, as must texts that begin another one.
TEST(Dictionary, TextsWithEqualHashesAreDistinctConstants) {
  const std::vector<std::vector<std::string>> groups = {
      {"constant 0001666", "constant 0061635"},
      {"v000000000018038", "v000000000057137"},
      {"text number 40479!", "text number 123379!"},
      {"ab", "abc", "abcd", "abcdefgh", "abcdefghi"},
  };
  freshPool();
  std::uint32_t next = 0;
  Bytes expected{0, 0x6A};
  for (const auto &group : groups)
    for (const std::string &text : group) {
      SCOPED_TRACE(text);
      EXPECT_EQ(addConstant(text.c_str(), StringConstant), next++);
      const Bytes entry = stringEntry(text);
      expected.insert(expected.end(), entry.begin(), entry.end());
    }
  std::uint32_t again = 0;
  for (const auto &group : groups)
    for (const std::string &text : group)
      EXPECT_EQ(addConstant(text.c_str(), StringConstant), again++) << text;
  expected[0] = static_cast<std::uint8_t>(next);
  EXPECT_EQ(writtenPool(), expected);
}

// An empty text is a key like any other: a pragma's empty string is entered
// once and written with length 0.
TEST(Dictionary, AnEmptyTextIsEnteredOnce) {
  freshPool();
  setErrorLimit(1000);
  CaptureStderr();
  EXPECT_EQ(pragmaString(""), 0u);
  EXPECT_EQ(addConstant("x", StringConstant), 1u);
  EXPECT_EQ(pragmaString(""), 0u);
  GetCapturedStderr();
  EXPECT_EQ(writtenPool(), (Bytes{0x02, 0x6A, 0x04, 0x00, 0x04, 0x01, 'x'}));
}

// Integers and floats are told apart by kind as well as bits: the integer
// 0x40000000 and the float 2.0 share their bits but not their index.
TEST(Dictionary, ValuesAreKeyedByKindAndBits) {
  const struct {
    ValueType type;
    std::uint32_t bits;
    std::uint32_t index;
  } rows[] = {
      {IntegerType, 0x40000000u, 0}, {FloatType, 0x40000000u, 1}, {IntegerType, 0xFFFFFFFEu, 2},
      {FloatType, 0x40000000u, 1},   {IntegerType, 0x40000000u, 0}, {FloatType, 0xFFFFFFFEu, 3},
      {IntegerType, 0xFFFFFFFEu, 2}, {IntegerType, 2, 4},
  };
  freshPool();
  for (const auto &row : rows)
    EXPECT_EQ(placeConstant(directValue(row.type, row.bits)).value, row.index) << row.bits;
  EXPECT_EQ(addConstant("40000000", IntegerConstant), 0u);
  EXPECT_EQ(addConstant("40000000", StringConstant), 5u);  // a string of the same text is its own
  EXPECT_EQ(writtenPool(), (Bytes{0x06, 0x6A, 0x02, 0x40, 0x00, 0x00, 0x00, 0x03, 0x40, 0x00, 0x00, 0x00,
                                  0x00, 0xFE, 0x03, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x02,
                                  0x04, 0x08, '4', '0', '0', '0', '0', '0', '0', '0'}));
}

// Strings, integers and floats interleaved, far beyond the first sizes of
// the dictionary, the record and constant arrays and the text buffer: every
// text keeps its index through each growth, and the dump names each one.
TEST(Dictionary, IndicesStayDenseAndStableThroughGrowth) {
  constexpr int rounds = 12000;
  freshPool();
  auto text = [](int i) { return "s" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 37), '.'); };
  auto integer = [](int i) { return directValue(IntegerType, static_cast<std::uint32_t>(1000 + i)); };
  auto floating = [](int i) { return directValue(FloatType, std::bit_cast<std::uint32_t>(static_cast<float>(i) + 0.5f)); };
  for (int i = 0; i < rounds; ++i) {
    ASSERT_EQ(addConstant(text(i).c_str(), StringConstant), static_cast<std::uint32_t>(3 * i));
    ASSERT_EQ(placeConstant(integer(i)).value, static_cast<std::uint32_t>(3 * i + 1));
    ASSERT_EQ(placeConstant(floating(i)).value, static_cast<std::uint32_t>(3 * i + 2));
  }
  ASSERT_EQ(numberOfConstants(), 3 * rounds);
  for (int i = rounds - 1; i >= 0; i -= 7) {
    ASSERT_EQ(addConstant(text(i).c_str(), StringConstant), static_cast<std::uint32_t>(3 * i));
    ASSERT_EQ(placeConstant(integer(i)).value, static_cast<std::uint32_t>(3 * i + 1));
    ASSERT_EQ(placeConstant(floating(i)).value, static_cast<std::uint32_t>(3 * i + 2));
  }
  EXPECT_EQ(numberOfConstants(), 3 * rounds);
  CaptureStdout();
  printConstantPool();
  const std::string dump = GetCapturedStdout();
  EXPECT_NE(dump.find("\n30000        String  " + text(10000) + "\n"), std::string::npos);
  EXPECT_NE(dump.find("\n30001        Integer  00002:?8\n"), std::string::npos);  // 11000
  // The last constant is the float 11999.5, 0x463B7E00.
  EXPECT_EQ(dump.substr(dump.size() - 30), "\n35999        Float  463;7>00\n");
  freshPool();
}

// Runs of plain bytes before, between and after escapes, quotes of the
// other kind inside, and texts that end without their closing quote.
TEST(StringLiterals, EveryByteAroundEscapesAndQuotesIsKept) {
  const std::string longRun(700, 'r');
  const struct {
    std::string text;
    std::optional<std::string> decoded;  // none: "Illegal escape sequence"
  } cases[] = {
      {"\"" + longRun + "\"", longRun},
      {"'" + longRun + "\\n" + longRun + "'", longRun + "\n" + longRun},
      {R"("\nab\tcd\\")", "\nab\tcd\\"},
      {R"("\n\t\x41\101\u0041")", "\n\tAAA"},
      {R"('say "hi"')", "say \"hi\""},
      {R"("it's \"so\"")", "it's \"so\""},
      {R"('it\'s')", "it's"},
      {R"("open)", "open"},  // a NUL in the source ended the token
      {R"("open\n)", "open\n"},
      {R"("open\)", std::nullopt},  // the backslash has nothing after it
      {R"("ab\qcd")", std::nullopt},
  };
  setErrorLimit(1000);
  for (const auto &row : cases) {
    SCOPED_TRACE(row.text.substr(0, 40));
    settlePendingError();
    CaptureStderr();
    char *decoded = decodeStringLiteral(row.text.c_str());
    const std::string messages = GetCapturedStderr();
    if (!row.decoded) {
      EXPECT_EQ(decoded, nullptr);
      EXPECT_NE(messages.find(errorMessageText(IllegalEscapeSequence)), std::string::npos) << messages;
      continue;
    }
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(decoded), *row.decoded);
    std::free(decoded);
  }
  settlePendingError();
}

} // namespace
