// Float literals: whichever way a text is converted, its value is the one
// the "%f" scan gives, for short decimals near every rounding edge as for
// texts with long mantissas, far exponents, hexadecimal digits or points
// without digits on one side.
#include "constpool.h"

#include "errorhlr.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::uint32_t scannedBits(const std::string &text) { return std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)); }

void expectScannedValue(const std::string &text) {
  SCOPED_TRACE(text);
  Expression *leaf = floatLiteral(text.c_str());
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->constant.value, scannedBits(text));
  releaseExpression(leaf);
}

TEST(FloatLiterals, EdgesOfTheShortDecimalsGiveTheScannedValue) {
  const char *texts[] = {
      "0.0", "00.000", ".5", "5.0", "09.5", "7.5", "0.1", "0.3", "3.14159", "1.5e+3", "1.5E-3", "2e0",
      "16777215.0", "1677721.5", "16777216.0", "16777217.0",  // around the exact integers
      "16777215e10", "16777215e-10", "1e10", "1e-10", "1e11", "1e-11", "123.456e7", "0.0000000001",
      "8388609.5", "33554431e-1", "0.000000000116777215",  // more digits than a float keeps
      "1e-0", "1e+000010", "1e-00000000000000000005", "1e00000000000000000038", "3.4028235e38", "0x1F.5", "0x1.8e1",
  };
  for (const char *text : texts)
    expectScannedValue(text);
}

// Mantissas of one to nine digits, points anywhere, exponents from -14 to
// 14: the texts that take the short way and the texts that just miss it.
TEST(FloatLiterals, RandomDecimalsGiveTheScannedValue) {
  std::mt19937 random(12);
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(random() % 1000000000u);
    const std::size_t point = random() % (digits.size() + 1);
    std::string text = digits.substr(0, point) + "." + digits.substr(point);
    if (text == ".")
      continue;
    if (random() % 2)
      text += (random() % 2 ? "e" : "E") + std::to_string(static_cast<int>(random() % 29) - 14);
    expectScannedValue(text);
  }
}

} // namespace
