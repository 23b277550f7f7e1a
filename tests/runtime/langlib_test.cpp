// Lang: one row per call of the standard library's Lang functions, the
// end-of-run effects on the context, the random generator; and the registry
// that maps library and function indices to implementations.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "libsupport.h"
#include "library_calls.h"

namespace tavokrt {
namespace {

using testing::CallRow;
using testing::callLibrary;
using testing::expectCalls;

constexpr std::uint32_t lang = 0;

const CallRow numberCalls[] = {
    {"abs(-3)", "3"},
    {"abs(3)", "3"},
    {"abs(0)", "0"},
    {"abs(-2.5)", "2.5"},
    {"abs(2147483647)", "2147483647"},
    {"abs(-2147483647)", "2147483647"},
    {"abs(-2147483648)", "invalid"},  // -minInt does not exist
    {R"(abs("-7"))", "7"},
    {R"(abs("-1.5"))", "1.5"},
    {"abs(true)", "1"},
    {R"(abs("x"))", "invalid"},
    {"abs(invalid)", "invalid"},

    {"min(45, 76.3)", "45"},
    {"min(45, 45.0)", "45"},  // the first one on a tie, with its type
    {"min(45.0, 45)", "45.0"},
    {R"(min("3", 5))", "3"},
    {"min(7, 2.5)", "2.5"},
    {"min(-1, true)", "-1"},
    {R"(min("10", "9"))", "9"},  // numbers, not strings
    {R"(min("a", 1))", "invalid"},
    {"min(1, invalid)", "invalid"},
    {"max(45, 76.3)", "76.3"},
    {"max(45, 45.0)", "45"},
    {"max(45.0, 45)", "45.0"},
    {R"(max("10", "9"))", "10"},
    {"max(false, -1)", "0"},
    {"max(invalid, 1)", "invalid"},

    {"maxInt()", "2147483647"},
    {"minInt()", "-2147483648"},
    {"float()", "true"},
    {"characterSet()", "106"},
};

const CallRow parseCalls[] = {
    {R"(parseInt(" 100 m/s"))", "100"},
    {R"(parseInt("23.67"))", "23"},
    {R"(parseInt("+4inches"))", "4"},
    {R"(parseInt(".3"))", "invalid"},
    {R"(parseInt("+"))", "invalid"},
    {"parseInt(42)", "42"},
    {"parseInt(true)", "invalid"},
    {"parseInt(3.7)", "3"},
    {R"(parseInt("-12"))", "-12"},
    {R"(parseInt("\t\n\v\f\r 7"))", "7"},
    {R"(parseInt("007"))", "7"},
    {R"(parseInt("- 5"))", "invalid"},
    {R"(parseInt(""))", "invalid"},
    {R"(parseInt("2147483647"))", "2147483647"},
    {R"(parseInt("-2147483648"))", "-2147483648"},
    {R"(parseInt("2147483648"))", "invalid"},
    {R"(parseInt("-2147483649"))", "invalid"},
    {R"(parseInt("99999999999999999999"))", "invalid"},
    {"parseInt(invalid)", "invalid"},

    {R"(parseFloat("  123.7  Hz"))", "123.7"},
    {R"(parseFloat("-.12e2"))", "-12.0"},
    {R"(parseFloat("42 feet"))", "42.0"},
    {R"(parseFloat("$12.99"))", "invalid"},
    {R"(parseFloat("1."))", "1.0"},
    {R"(parseFloat("+.5"))", "0.5"},
    {R"(parseFloat("2.5E-1x"))", "0.25"},
    {R"(parseFloat("5e"))", "5.0"},  // an exponent needs a digit
    {R"(parseFloat("5e+"))", "5.0"},
    {R"(parseFloat("5.e1"))", "50.0"},
    {R"(parseFloat("."))", "invalid"},
    {R"(parseFloat("-"))", "invalid"},
    {R"(parseFloat("e5"))", "invalid"},
    {R"(parseFloat("1e39"))", "invalid"},  // beyond the largest float
    {R"(parseFloat("1e-50"))", "0.0"},     // an underflow
    {"parseFloat(7)", "7.0"},
    {"parseFloat(true)", "invalid"},
    {"parseFloat(invalid)", "invalid"},

    {R"(isInt(" -3 units"))", "true"},
    {R"(isInt("x"))", "false"},
    {R"(isInt("2147483648"))", "false"},
    {"isInt(3.5)", "true"},
    {"isInt(true)", "false"},
    {"isInt(invalid)", "invalid"},
    {R"(isFloat("-.5e1"))", "true"},
    {R"(isFloat("."))", "false"},
    {"isFloat(1)", "true"},
    {"isFloat(invalid)", "invalid"},
};

const CallRow randomCalls[] = {
    {"random(0)", "0"},
    {"random(0.9)", "0"},  // truncated to 0
    {"random(-0.5)", "0"},
    {"random(-1)", "invalid"},
    {R"(random("x"))", "invalid"},
    {"random(invalid)", "invalid"},
    {"random(3e10)", "invalid"},  // beyond the integer range
    {"seed(5)", "\"\""},
    {"seed(2.5)", "\"\""},
    {"seed(-1)", "\"\""},
    {R"(seed("x"))", "invalid"},
    {"seed(invalid)", "invalid"},
};

TEST(LangCalls, Numbers) { expectCalls(lang, numberCalls); }
TEST(LangCalls, ParsingPrefixes) { expectCalls(lang, parseCalls); }
TEST(LangCalls, RandomArguments) { expectCalls(lang, randomCalls); }

TEST(LangExit, StopsTheRunWithItsValue) {
  const struct {
    const char *call;
    const char *value;
  } rows[] = {{"exit(3)", "3"}, {R"(exit("bye"))", "\"bye\""}, {"exit(invalid)", "invalid"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.call);
    LibraryContext context;
    EXPECT_EQ(formatLiteral(callLibrary(context, lang, row.call)), row.value);
    EXPECT_EQ(context.stop, LibraryContext::Stop::Exit);
    EXPECT_EQ(formatLiteral(context.exitValue), row.value);
  }
}

TEST(LangAbort, IsFatalWithTheMessageAsAString) {
  const struct {
    const char *call;
    const char *message;
  } rows[] = {{R"(abort("disk on fire"))", "disk on fire"},
              {"abort(invalid)", "invalid"},
              {"abort(12)", "12"},
              {"abort(2.5)", "2.5"},
              {R"(abort("\u00e9"))", "\xC3\xA9"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.call);
    LibraryContext context;
    callLibrary(context, lang, row.call);
    EXPECT_EQ(context.stop, LibraryContext::Stop::Fatal);
    EXPECT_EQ(context.fatalMessage, row.message);
  }
}

TEST(LangCalls, OtherFunctionsLeaveTheRunGoing) {
  LibraryContext context;
  for (const char *call : {"abs(-1)", "random(5)", "seed(1)", "parseInt(invalid)"})
    callLibrary(context, lang, call);
  EXPECT_EQ(context.stop, LibraryContext::Stop::None);
}

std::vector<std::int32_t> drawRandom(LibraryContext &context, const char *call, int count) {
  std::vector<std::int32_t> drawn;
  for (int i = 0; i < count; ++i)
    drawn.push_back(callLibrary(context, lang, call).asInteger());
  return drawn;
}

TEST(LangRandom, SameSeedSameSequenceWithinTheLimit) {
  LibraryContext first;
  LibraryContext second;
  first.random.seed(42);
  second.random.seed(42);
  std::vector<std::int32_t> a = drawRandom(first, "random(10)", 200);
  EXPECT_EQ(a, drawRandom(second, "random(10)", 200));
  for (std::int32_t value : a) {
    EXPECT_GE(value, 0);
    EXPECT_LE(value, 10);
  }
  // Both ends are reached.
  EXPECT_NE(std::find(a.begin(), a.end(), 0), a.end());
  EXPECT_NE(std::find(a.begin(), a.end(), 10), a.end());
}

TEST(LangRandom, SeedFunctionRepeatsTheMachineSeed) {
  LibraryContext byMachine;
  byMachine.random.seed(7);
  LibraryContext byScript;
  callLibrary(byScript, lang, "random(100)");  // state moved on before seeding
  callLibrary(byScript, lang, "seed(7)");
  EXPECT_EQ(drawRandom(byScript, "random(1000)", 50), drawRandom(byMachine, "random(1000)", 50));
}

TEST(LangRandom, RejectedSeedLeavesTheSequenceAlone) {
  LibraryContext untouched;
  LibraryContext rejected;
  callLibrary(rejected, lang, R"(seed("x"))");
  EXPECT_EQ(drawRandom(rejected, "random(1000)", 20), drawRandom(untouched, "random(1000)", 20));
}

TEST(LangRandom, NegativeSeedStillDrawsWithinTheLimit) {
  LibraryContext context;
  callLibrary(context, lang, "seed(-1)");
  for (std::int32_t value : drawRandom(context, "random(2147483647)", 100))
    EXPECT_GE(value, 0);
}

TEST(RandomGenerator, IsSplitMix64) {
  RandomGenerator generator;
  generator.seed(0);
  EXPECT_EQ(generator.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(generator.next(), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(generator.next(), 0x06C45D188009454FULL);
}

TEST(RandomGenerator, UpToIsUniformOverSmallRanges) {
  RandomGenerator generator;
  generator.seed(1);
  std::array<int, 3> counts{};
  for (int i = 0; i < 30000; ++i)
    ++counts[generator.upTo(2)];
  for (int count : counts) {
    EXPECT_GT(count, 9400);
    EXPECT_LT(count, 10600);
  }
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(generator.upTo(0), 0u);
  generator.upTo(0xFFFFFFFFu);  // the whole range: no rejection loop forever
}

// ---------------------------------------------------------------------------

TEST(LibraryRegistry, EveryTableRowMatchesTheLibraryTable) {
  const struct {
    std::uint32_t library;
    std::span<const LibraryEntry> entries;
  } libraries[] = {{0, langLibrary()},     {1, floatLibrary()},      {2, stringLibrary()},
                   {3, urlLibrary()},      {4, browserLibrary()},    {5, dialogsLibrary()},
                   {65534, extensionLibrary()}, {65535, debugLibrary()}};
  for (const auto &library : libraries) {
    for (std::uint32_t function = 0; function < library.entries.size(); ++function) {
      SCOPED_TRACE(std::string(library.entries[function].name));
      const LibraryFunctionInfo *info = findLibraryFunction(library.library, function);
      ASSERT_NE(info, nullptr);
      EXPECT_EQ(info->name, library.entries[function].name);
      EXPECT_EQ(info->parameterCount, library.entries[function].parameterCount);
      EXPECT_EQ(findLibraryImplementation(library.library, function),
                library.entries[function].function);
    }
    // No function of the library table is left without a row.
    EXPECT_EQ(findLibraryFunction(library.library, std::uint32_t(library.entries.size())), nullptr);
    EXPECT_EQ(findLibraryImplementation(library.library, std::uint32_t(library.entries.size())),
              nullptr);
  }
}

TEST(LibraryRegistry, LibrariesNotImplementedHereGiveNull) {
  for (std::uint32_t library : {6u, 7u, 65533u, 4294967295u})
    for (std::uint32_t function = 0; function < 20; ++function)
      EXPECT_EQ(findLibraryImplementation(library, function), nullptr);
}

} // namespace
} // namespace tavokrt
