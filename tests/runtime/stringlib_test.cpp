// String: one row per call of the standard library's String functions,
// grouped by function family; indices and lengths count characters.
#include <gtest/gtest.h>

#include "library_calls.h"

namespace tavokrt {
namespace {

using testing::CallRow;
using testing::callLibrary;
using testing::expectCalls;

constexpr std::uint32_t stringLibraryIndex = 2;

const CallRow characterCalls[] = {
    {R"(length(""))", "0"},
    {R"(length("abc"))", "3"},
    {"length(342)", "3"},
    {"length(-1.5)", "4"},
    {"length(true)", "4"},
    {R"(length("\u00e9\u4e2d"))", "2"},  // characters, not bytes
    {"length(invalid)", "invalid"},
    {R"(isEmpty(""))", "true"},
    {R"(isEmpty(" "))", "false"},
    {"isEmpty(0)", "false"},
    {"isEmpty(invalid)", "invalid"},

    {R"(charAt("My name is Joe", 0))", R"("M")"},
    {R"(charAt("abc", 2))", R"("c")"},
    {R"(charAt("abc", 3))", R"("")"},
    {R"(charAt("abc", -1))", R"("")"},
    {R"(charAt("", 0))", R"("")"},
    {R"(charAt("abc", 1.9))", R"("b")"},
    {R"(charAt("abc", "1"))", R"("b")"},
    {R"(charAt("abc", "x"))", "invalid"},
    {"charAt(12345, 4)", R"("5")"},
    {R"(charAt("\u00e9x", 1))", R"("x")"},
    {R"(charAt("abc", invalid))", "invalid"},

    {R"(subString("Example", 1, 2))", R"("xa")"},
    {R"(subString("Example", -3, 1))", R"("E")"},  // the start counts from 0
    {R"(subString("Example", 5, 10))", R"("le")"},
    {R"(subString("Example", 0, 7))", R"("Example")"},
    {R"(subString("Example", 7, 1))", R"("")"},
    {R"(subString("Example", 2, 0))", R"("")"},
    {R"(subString("Example", 2, -1))", R"("")"},
    {R"(subString("Example", 1.7, 2.9))", R"("xa")"},
    {R"(subString("Example", 2147483647, 1))", R"("")"},
    {R"(subString("Example", 3, 2147483647))", R"("mple")"},
    {R"(subString("\u00e9t\u00e9", 1, 2))", "\"t\xC3\xA9\""},
    {R"(subString("Example", invalid, 1))", "invalid"},
};

const CallRow searchCalls[] = {
    {R"(find("abcde", "cd"))", "2"},
    {R"(find("abab", "b"))", "1"},
    {R"(find("abc", "x"))", "-1"},
    {R"(find("abc", ""))", "0"},
    {R"(find("", ""))", "0"},
    {R"(find("", "a"))", "-1"},
    {R"(find("a1.5", 1.5))", "1"},
    {R"(find("\u00e9\u00e9x", "x"))", "2"},
    {R"(find(invalid, "a"))", "invalid"},

    {R"(replace("Hello Joe. What is up Joe?", "Joe", "Don"))", R"("Hello Don. What is up Don?")"},
    {R"(replace("aaa", "aa", "b"))", R"("ba")"},       // left to right
    {R"(replace("aaa", "a", "aa"))", R"("aaaaaa")"},   // no rescanning
    {R"(replace("abc", "b", ""))", R"("ac")"},
    {R"(replace("abc", "x", "y"))", R"("abc")"},
    {R"(replace("", "a", "b"))", R"("")"},
    {"replace(1001, 0, 9)", R"("1991")"},
    {R"(replace("abc", "", "x"))", "invalid"},
    {R"(replace("abc", "b", invalid))", "invalid"},

    {R"(compare("Hello", "Hello"))", "0"},
    {R"(compare("Hello", "Hallo"))", "1"},
    {R"(compare("Hallo", "Hello"))", "-1"},
    {R"(compare("six", "sixteen"))", "-1"},
    {R"(compare("THREE", "four"))", "-1"},
    {R"(compare("", ""))", "0"},
    {"compare(12, 3)", "-1"},  // as strings
    {R"(compare("\u00e9", "z"))", "1"},
    {R"(compare(invalid, "a"))", "invalid"},
};

const CallRow elementCalls[] = {
    {R"(elements("a;b;c", ";"))", "3"},
    {R"(elements("a;b;", ";"))", "3"},
    {R"(elements("", ";"))", "1"},
    {R"(elements(";", ";"))", "2"},
    {R"(elements("a;b,c", ";,"))", "2"},  // the first character only
    {"elements(10203, 0)", "3"},
    {R"(elements("abc", ""))", "invalid"},
    {R"(elements("abc", invalid))", "invalid"},

    {R"(elementAt("My name is Joe; Age 50;", 0, " "))", R"("My")"},
    {R"(elementAt("My name is Joe; Age 50;", 14, ";"))", R"("")"},
    {R"(elementAt("My name is Joe; Age 50;", 1, ";"))", R"(" Age 50")"},
    {R"(elementAt("a;b;c", -5, ";"))", R"("a")"},
    {R"(elementAt("a;b;c", 9, ";"))", R"("c")"},
    {R"(elementAt("a;b", 1.9, ";"))", R"("b")"},
    {R"(elementAt("", 0, ";"))", R"("")"},
    {R"(elementAt("a;b", 0, ""))", "invalid"},
    {R"(elementAt("a;b", "x", ";"))", "invalid"},

    {R"(removeAt("A A; B C D", 1, " "))", R"("A B C D")"},
    {R"(removeAt("A A; B C D", 0, ";"))", R"(" B C D")"},
    {R"(removeAt("a;b;c", 2, ";"))", R"("a;b")"},  // the last takes the separator before it
    {R"(removeAt("a;b;c", 1, ";"))", R"("a;c")"},
    {R"(removeAt("a;b;c", -1, ";"))", R"("b;c")"},
    {R"(removeAt("a;b;c", 7, ";"))", R"("a;b")"},
    {R"(removeAt("a;b;", 2, ";"))", R"("a;b")"},
    {R"(removeAt("a;b;", 1, ";"))", R"("a;")"},
    {R"(removeAt("abc", 0, ";"))", R"("")"},
    {R"(removeAt("", 0, ";"))", R"("")"},
    {R"(removeAt("a;b", 0, ""))", "invalid"},

    {R"(replaceAt("B C; E", "A A", 0, ";"))", R"("A A; E")"},
    {R"(replaceAt("B C; E", "F", 5, ";"))", R"("B C;F")"},
    {R"(replaceAt("a;b;c", "x", -2, ";"))", R"("x;b;c")"},
    {R"(replaceAt("a;;c", "x", 1, ";"))", R"("a;x;c")"},
    {R"(replaceAt("", "x", 3, ";"))", R"("x")"},
    {R"(replaceAt("a;b", 7, 1, ";"))", R"("a;7")"},
    {R"(replaceAt("a;b", "x", 0, ""))", "invalid"},
    {R"(replaceAt("a;b", invalid, 0, ";"))", "invalid"},

    {R"(insertAt("B C; E", "A A", 0, ";"))", R"("A A;B C; E")"},
    {R"(insertAt("B C; E", "X", 1, ";"))", R"("B C;X; E")"},
    {R"(insertAt("B C; E", "D", 5, ";"))", R"("B C; E;D")"},
    {R"(insertAt("B C; E", "A", 0, " "))", R"("A B C; E")"},
    {R"(insertAt("B C; E", "X", 3, " "))", R"("B C; E X")"},
    {R"(insertAt("a;b", "x", -1, ";"))", R"("x;a;b")"},
    {R"(insertAt("a;b", "x", 1, ";"))", R"("a;x;b")"},
    {R"(insertAt("a;b", "x", 2, ";"))", R"("a;b;x")"},
    {R"(insertAt("", "x", 3, ";"))", R"("x")"},
    {R"(insertAt("", "x", -3, ";"))", R"("x")"},
    {R"(insertAt("a", 7, 0, ",;"))", R"("7,a")"},
    {R"(insertAt("a;b", "x", 0, ""))", "invalid"},
    {R"(insertAt("a;b", "x", invalid, ";"))", "invalid"},
};

const CallRow whiteSpaceCalls[] = {
    {R"(squeeze("  Hello \t\n World  "))", R"(" Hello World ")"},
    {R"(squeeze("a\vb\fc\rd"))", R"("a b c d")"},
    {R"(squeeze("\t"))", R"(" ")"},
    {R"(squeeze(""))", R"("")"},
    {R"(squeeze("a\u00a0\u00a0b"))", "\"a\xC2\xA0\xC2\xA0" "b\""},  // not white space
    {"squeeze(invalid)", "invalid"},
    {R"(trim("  Hello World  "))", R"("Hello World")"},
    {R"(trim("\t\r\n x \v\f"))", R"("x")"},
    {R"(trim("   "))", R"("")"},
    {R"(trim("a  b"))", R"("a  b")"},
    {"trim(12)", R"("12")"},
    {"trim(invalid)", "invalid"},

    {"toString(12)", R"("12")"},
    {"toString(-2.5)", R"("-2.5")"},
    {"toString(4.0)", R"("4.0")"},
    {"toString(true)", R"("true")"},
    {R"(toString("x"))", R"("x")"},
    {"toString(invalid)", R"("invalid")"},
};

const CallRow formatCalls[] = {
    {R"(format("%5.1f", 3.14))", R"("  3.1")"},
    {R"(format("%4.3d", 32))", R"(" 032")"},
    {R"(format("e: %6d", 45))", R"("e:     45")"},
    {R"(format("%6d", -45))", R"("   -45")"},
    {R"(format("%6.2f", 1.2345678))", R"("  1.23")"},
    {R"(format("%3f", 1.2345678))", R"("1.234568")"},
    {R"(format("%10.2f%%", 1.2345678))", R"("      1.23%")"},
    {R"(format("%3f %2f.", 1.2345678))", R"("1.234568 .")"},
    {R"(format("%7d", "Int"))", "invalid"},
    {R"(format("Do it %s", "now"))", R"("Do it now")"},
    {R"(format("Value: %d.", 17))", R"("Value: 17.")"},
    {R"(format("%5d", 42))", R"("   42")"},
    {R"(format("%1d", 12345))", R"("12345")"},  // the width never truncates
    {R"(format("%.3d", 7))", R"("007")"},
    {R"(format("%.3d", -7))", R"("-007")"},
    {R"(format("%6.3d", -7))", R"("  -007")"},
    {R"(format("%d", 0))", R"("0")"},
    {R"(format("%.0d", 0))", R"("")"},  // no digits for 0 at precision 0
    {R"(format("%3.d", 0))", R"("   ")"},
    {R"(format("%.0d", 5))", R"("5")"},
    {R"(format("%d", 3.9))", R"("3")"},  // truncated
    {R"(format("%d", -3.9))", R"("-3")"},
    {R"(format("%d", "12"))", R"("12")"},
    {R"(format("%d", -2147483648))", R"("-2147483648")"},
    {R"(format("%d", "x"))", "invalid"},
    {R"(format("%d", 3e10))", "invalid"},

    {R"(format("%f", 1.5))", R"("1.500000")"},
    {R"(format("%f", 10))", R"("10.000000")"},
    {R"(format("%.0f", 2.7))", R"("3")"},  // no point without digits after it
    {R"(format("%.f", 2.7))", R"("3")"},
    {R"(format("%.2f", -1.005))", R"("-1.00")"},  // the float is just below -1.005
    {R"(format("%.10f", 0.1))", R"("0.1000000015")"},  // single precision shows
    {R"(format("%8.3f", "2.5"))", R"("   2.500")"},
    {R"(format("%f", "x"))", "invalid"},

    {R"(format("%s", "hello"))", R"("hello")"},
    {R"(format("%.2s", "hello"))", R"("he")"},
    {R"(format("%6.2s", "hello"))", R"("    he")"},
    {R"(format("%.s", "hello"))", R"("")"},
    {R"(format("%.1s", "\u00e9x"))", "\"\xC3\xA9\""},
    {R"(format("%s", 42))", R"("42")"},
    {R"(format("%3s", true))", R"("true")"},

    {R"(format("100%%", 1))", R"("100%")"},
    {R"(format("%%d", 5))", R"("%d")"},
    {R"(format("no specifier", 5))", R"("no specifier")"},
    {R"(format("", 5))", R"("")"},
    {R"(format("%d and %d", 1))", R"("1 and ")"},  // later specifiers are empty
    {R"(format("%s|%5.2f|%%", "a"))", R"("a||%")"},
    {R"(format("%x", 1))", "invalid"},
    {R"(format("abc%", 1))", "invalid"},
    {R"(format("%5", 1))", "invalid"},
    {R"(format("%-5d", 1))", "invalid"},
    {R"(format("%d %x", 1))", "invalid"},  // an illegal later specifier too
    {R"(format("%65536d", 1))", "invalid"},
    {R"(format("%.65536s", "a"))", "invalid"},
    {R"(format("%d", invalid))", "invalid"},
    {R"(format(invalid, 1))", "invalid"},
    {"format(12, 1)", R"("12")"},
};

TEST(StringCalls, CharactersAndSubstrings) { expectCalls(stringLibraryIndex, characterCalls); }
TEST(StringCalls, FindReplaceCompare) { expectCalls(stringLibraryIndex, searchCalls); }
TEST(StringCalls, Elements) { expectCalls(stringLibraryIndex, elementCalls); }
TEST(StringCalls, WhiteSpaceAndConversion) { expectCalls(stringLibraryIndex, whiteSpaceCalls); }
TEST(StringCalls, Format) { expectCalls(stringLibraryIndex, formatCalls); }

TEST(StringFormat, WidthUpToTheLimitPads) {
  LibraryContext context;
  Value padded = callLibrary(context, stringLibraryIndex, R"(format("%65535d", 1))");
  ASSERT_TRUE(padded.isString());
  EXPECT_EQ(padded.asText().size(), 65535u);
  EXPECT_EQ(padded.asText().back(), U'1');
}

TEST(StringReplace, ResultBeyondTheLongestStringIsFatal) {
  LibraryContext context;
  context.maxStringLength = 10;
  // 4 occurrences growing by 2 each: 4 + 8 = 12 characters.
  const char *call = R"(replace("aaaa", "a", "xyz"))";
  EXPECT_TRUE(callLibrary(context, stringLibraryIndex, call).isInvalid());
  EXPECT_EQ(context.stop, LibraryContext::Stop::Fatal);
  EXPECT_EQ(context.fatalMessage, "out of memory: the result would pass 10 characters");

  LibraryContext fits;
  fits.maxStringLength = 12;
  EXPECT_EQ(formatLiteral(callLibrary(fits, stringLibraryIndex, call)),
            R"("xyzxyzxyzxyz")");
  EXPECT_EQ(fits.stop, LibraryContext::Stop::None);
}

} // namespace
} // namespace tavokrt
