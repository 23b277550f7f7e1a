// Float: one row per call of the standard library's Float functions.
#include <gtest/gtest.h>

#include "library_calls.h"

namespace tavokrt {
namespace {

using testing::CallRow;
using testing::expectCalls;

constexpr std::uint32_t floatLibraryIndex = 1;

const CallRow roundingCalls[] = {
    {"int(-2.8)", "-2"},  // toward zero
    {"int(2.8)", "2"},
    {"int(7)", "7"},  // an integer is its own result
    {"int(2147483647)", "2147483647"},
    {R"(int("3.7"))", "3"},
    {R"(int("-3"))", "-3"},
    {"int(true)", "1"},
    {"int(-2147483648.0)", "-2147483648"},
    {"int(2147483647.0)", "invalid"},  // the float is 2147483648.0
    {"int(3e10)", "invalid"},
    {R"(int("x"))", "invalid"},
    {"int(invalid)", "invalid"},

    {"floor(-2.8)", "-3"},
    {"floor(2.8)", "2"},
    {"floor(-0.5)", "-1"},
    {"floor(5)", "5"},
    {"floor(-3e10)", "invalid"},
    {"ceil(-2.8)", "-2"},
    {"ceil(2.2)", "3"},
    {"ceil(-0.5)", "0"},
    {"ceil(2147483520.0)", "2147483520"},
    {"ceil(invalid)", "invalid"},

    {"round(17.5)", "18"},  // halves toward +infinity
    {"round(-17.5)", "-17"},
    {"round(3.4)", "3"},
    {"round(-3.6)", "-4"},
    {"round(0.49999997)", "0"},  // just below a half: no rounding up in float addition
    {"round(2)", "2"},
    {R"(round("2.5"))", "3"},
    {"round(3e9)", "invalid"},
    {R"(round("half"))", "invalid"},
};

const CallRow powerCalls[] = {
    {"pow(-2, 5)", "-32.0"},
    {"pow(2, 10)", "1024.0"},
    {"pow(-2, 2.0)", "4.0"},
    {"pow(4, 0.5)", "2.0"},
    {"pow(2, -1)", "0.5"},
    {"pow(0, 0)", "1.0"},
    {"pow(0, 2)", "0.0"},
    {"pow(0, -1)", "invalid"},    // a division by zero
    {"pow(-8, 0.5)", "invalid"},  // no real result
    {"pow(10, 39)", "invalid"},   // beyond the largest float
    {"pow(10, -50)", "0.0"},      // an underflow
    {R"(pow("2", "3"))", "8.0"},
    {"pow(true, 5)", "1.0"},
    {R"(pow("a", 1))", "invalid"},
    {"pow(2, invalid)", "invalid"},

    {"sqrt(4)", "2.0"},
    {"sqrt(2)", "1.4142135"},
    {"sqrt(0)", "0.0"},
    {"sqrt(-1)", "invalid"},
    {"sqrt(-0.5)", "invalid"},
    {R"(sqrt("16"))", "4.0"},
    {"sqrt(true)", "1.0"},
    {"sqrt(invalid)", "invalid"},

    {"maxFloat()", "3.4028235e+38"},
    {"minFloat()", "1.1754944e-38"},
};

TEST(FloatCalls, RoundingToIntegers) { expectCalls(floatLibraryIndex, roundingCalls); }
TEST(FloatCalls, PowersRootsAndLimits) { expectCalls(floatLibraryIndex, powerCalls); }

} // namespace
} // namespace tavokrt
