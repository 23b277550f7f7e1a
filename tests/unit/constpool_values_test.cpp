// Decimal literals of up to nine digits are converted without range checks,
// and integers and floats met again are found without a call: both fast
// paths must agree with the general ones at their edges, and the dictionary
// of values must start afresh after the pool is released.
#include "constpool.h"

#include "errorhlr.h"
#include "exprsion.h"
#include "pendingerror.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void freshPool() {
  setErrorLimit(1000);
  settlePendingError();
  freeConstantPool();
}

// Every length from one digit to twelve, around the nine digits that need no
// check and the 2147483648 that only a minus sign admits.
TEST(DecimalLiterals, EveryLengthAroundTheUncheckedDigits) {
  freshPool();
  std::vector<std::string> texts = {"2147483647", "2147483648", "2147483649", "4294967295", "4294967296"};
  for (std::size_t digits = 1; digits <= 12; ++digits) {
    texts.push_back(std::string(digits, '9'));
    texts.push_back("1" + std::string(digits - 1, '0'));
    texts.push_back(std::string("123456789012").substr(0, digits));
  }
  for (const std::string &text : texts) {
    SCOPED_TRACE(text);
    const unsigned long long expected = std::strtoull(text.c_str(), nullptr, 10);
    testing::internal::CaptureStderr();
    Expression *leaf = integerLiteral(text.c_str());
    const std::string messages = testing::internal::GetCapturedStderr();
    settlePendingError();
    if (expected > 2147483648u) {
      EXPECT_EQ(leaf, nullptr);
      EXPECT_NE(messages.find(errorMessageText(IntegerOutOfRange)), std::string::npos);
      continue;
    }
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->constant.value, expected);
    EXPECT_EQ(leaf->constant.signParity, expected == 2147483648u ? 1 : 0);
    EXPECT_EQ(leaf->constant.valueType, static_cast<std::uint32_t>(IntegerType));
    EXPECT_EQ(leaf->constant.constantType, static_cast<std::uint32_t>(ImmediateConstant));
    releaseExpression(leaf);
  }
}

// A leading 0 makes an octal or hexadecimal text, which the short decimal
// reading must leave to the general one.
TEST(DecimalLiterals, ALeadingZeroIsNoDecimal) {
  freshPool();
  const struct {
    const char *text;
    std::uint32_t value;
  } rows[] = {{"0", 0}, {"00", 0}, {"07", 7}, {"010", 8}, {"0777", 511}, {"0x10", 16}, {"0X1f", 31}};
  for (const auto &row : rows) {
    Expression *leaf = integerLiteral(row.text);
    ASSERT_NE(leaf, nullptr) << row.text;
    EXPECT_EQ(leaf->constant.value, row.value) << row.text;
    releaseExpression(leaf);
  }
}

ConstantDescriptor value(ValueType type, std::uint32_t bits) {
  return ConstantDescriptor{.signParity = 0, .valueType = type, .constantType = ImmediateConstant, .value = bits};
}

// The first value of a pool finds no dictionary yet; released and begun
// again, the pool numbers its values from 0 once more.
TEST(ValueDictionary, TheFirstValueOfEveryPool) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    freshPool();
    EXPECT_EQ(placeConstant(value(IntegerType, 77)).value, 0u);
    EXPECT_EQ(placeConstant(value(IntegerType, 77)).value, 0u);
    EXPECT_EQ(placeConstant(value(FloatType, 77)).value, 1u);
    EXPECT_EQ(placeConstant(value(IntegerType, 0)).value, static_cast<std::uint32_t>(ImmediateCode::Zero));
    EXPECT_EQ(placeConstant(value(FloatType, 0)).value, 2u);
    EXPECT_EQ(placeConstant(value(IntegerType, 78)).value, 3u);
    EXPECT_EQ(placeConstant(value(FloatType, 77)).value, 1u);
    EXPECT_EQ(numberOfConstants(), 4);
  }
  freshPool();
}

} // namespace
