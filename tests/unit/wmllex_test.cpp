// The token stream: codes, literal texts, interned names, line numbers and
// the exact diagnostics of every lexical error, read from real files.
#include "wmllex.h"

#include "errorhlr.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct Lexeme {
  int code;
  std::string text = "";  // literal text or identifier name
  int line = 0;           // 0: not checked
  bool operator==(const Lexeme &other) const {
    return code == other.code && text == other.text && (line == 0 || other.line == 0 || line == other.line);
  }
};

void PrintTo(const Lexeme &lexeme, std::ostream *out) {
  *out << "{" << lexeme.code << ", \"" << lexeme.text << "\", line " << lexeme.line << "}";
}

struct LexResult {
  std::vector<Lexeme> tokens;  // up to, not including, the end of input
  std::string messages;
};

// One file per test process; the lexer keeps the name for its messages.
const std::string &sourcePath() {
  static const std::string path =
      testing::TempDir() + "wmllex_test_" + std::to_string(getpid()) + ".wmls";
  return path;
}

// Removes the source file once all tests have run.
class SourceFileRemoval : public testing::Environment {
  void TearDown() override { std::remove(sourcePath().c_str()); }
};
testing::Environment *const sourceFileRemoval =
    testing::AddGlobalTestEnvironment(new SourceFileRemoval);

std::string errorLine(int line, const char *message) {
  return sourcePath() + " (" + std::to_string(line) + ") Error: " + message + "\n";
}

void openSource(std::string_view source) {
  std::FILE *file = std::fopen(sourcePath().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(source.data(), 1, source.size(), file), source.size());
  std::fclose(file);
  openInputFile(sourcePath().c_str());
}

// Counts whatever is pending so that the next error prints its message.
void settlePendingError() {
  if (isErrorPending())
    reportSyntaxError(SyntaxErrorInStatement);
}

std::string tokenText(int code) {
  TokenValue value = currentTokenValue();
  switch (code) {
  case IDENTIFIER:
    return getNameText(value.nameId);
  case INTEGER_LITERAL:
  case FLOAT_LITERAL:
  case STRING_LITERAL:
    return value.text;
  default:
    return "";
  }
}

// Every token of the source with the line current after it, each error
// counted at once so that each prints its own message.
LexResult lexSource(std::string_view source) {
  setErrorLimit(1000);
  settlePendingError();
  openSource(source);
  LexResult result;
  CaptureStderr();
  for (std::size_t guard = 0; guard <= source.size() + 1; ++guard) {
    int code = yylex();
    if (code == EndOfInputToken)
      break;
    result.tokens.push_back({code, tokenText(code), getLineNumber()});
    settlePendingError();
  }
  result.messages = GetCapturedStderr();
  return result;
}

struct LexCase {
  const char *name;
  std::string_view source;
  std::vector<Lexeme> tokens;
  std::vector<std::pair<int, const char *>> errors;  // line, message
};

void checkCases(const std::vector<LexCase> &cases) {
  for (const LexCase &c : cases) {
    SCOPED_TRACE(c.name);
    LexResult result = lexSource(c.source);
    EXPECT_EQ(result.tokens, c.tokens);
    std::string expectedMessages;
    for (auto [line, message] : c.errors)
      expectedMessages += errorLine(line, message);
    EXPECT_EQ(result.messages, expectedMessages);
  }
}

constexpr const char *endOfFileInComment = "End of file encountered in comment";
constexpr const char *invalidCharacter = "Invalid character encountered in source file";
constexpr const char *unterminatedString = "Unterminated string constant";
constexpr const char *incorrectConstant = "Incorrect syntax for constant";
constexpr const char *reservedKeyword = "Encountered reserved keyword";

TEST(Operators, EachLexemeHasItsParserNumber) {
  const std::pair<const char *, int> operators[] = {
      {"+=", 257}, {"&", 258},    {"&&", 259},   {"&=", 260},  {"=", 261},   {"~", 262},
      {"|", 263},  {"^", 264},    {":", 265},    {",", 266},   {"--", 267},  {"/", 268},
      {"/=", 269}, {".", 270},    {"==", 271},   {">=", 272},  {">", 273},   {"div=", 274},
      {"++", 275}, {"<=", 276},   {"<<", 277},   {"<<=", 278}, {"(", 279},   {"<", 280},
      {"-", 281},  {"%", 282},    {"%=", 283},   {"*=", 284},  {"!=", 285},  {"!", 286},
      {"||", 287}, {"|=", 288},   {"+", 289},    {"?", 290},   {">>", 291},  {">>=", 292},
      {")", 293},  {">>>", 294},  {">>>=", 295}, {"*", 296},   {"-=", 297},  {"^=", 298},
      {"{", 299},  {"}", 300},    {";", 301},    {"#", 302},
  };
  for (auto [lexeme, code] : operators) {
    SCOPED_TRACE(lexeme);
    LexResult result = lexSource(lexeme);
    EXPECT_EQ(result.tokens, std::vector<Lexeme>{{code}});
    EXPECT_EQ(result.messages, "");
  }
}

TEST(Operators, LongestMatchWinsAndSpacesSeparate) {
  checkCases({
      {"div= is one token", "div=", {{IntegerDivideAssignToken}}, {}},
      {"div = is two", "div =", {{DivKeyword}, {AssignToken}}, {}},
      {"div== takes one =", "div==", {{IntegerDivideAssignToken}, {AssignToken}}, {}},
      {"divx= is a name", "divx=", {{IDENTIFIER, "divx"}, {AssignToken}}, {}},
      {">>> =", ">>> =", {{UnsignedRightShiftToken}, {AssignToken}}, {}},
      {">>>>", ">>>>", {{UnsignedRightShiftToken}, {GreaterToken}}, {}},
      {">> >=", ">> >=", {{RightShiftToken}, {GreaterEqualToken}}, {}},
      {"<<==", "<<==", {{LeftShiftAssignToken}, {AssignToken}}, {}},
      {"<<<", "<<<", {{LeftShiftToken}, {LessToken}}, {}},
      {"&&&", "&&&", {{AndToken}, {BitAndToken}}, {}},
      {"+++=", "+++=", {{IncrementToken}, {PlusAssignToken}}, {}},
      {"a--b", "a--b", {{IDENTIFIER, "a"}, {DecrementToken}, {IDENTIFIER, "b"}}, {}},
      {"||=", "||=", {{OrToken}, {AssignToken}}, {}},
      {"!==", "!==", {{NotEqualToken}, {AssignToken}}, {}},
      {"a/b", "a/b", {{IDENTIFIER, "a"}, {DivideToken}, {IDENTIFIER, "b"}}, {}},
      {"lone slash at the end", "/", {{DivideToken}}, {}},
  });
}

TEST(Keywords, EachWordHasItsCodeAndReservedWordsBecomeNames) {
  struct KeywordRow {
    const char *word;
    int code;
    bool reserved;
  };
  const KeywordRow keywords[] = {
      {"access", 303, false},  {"agent", 304, false},   {"break", 305, false},
      {"case", 306, true},     {"catch", 307, true},    {"class", 308, true},
      {"const", 309, true},    {"continue", 310, false}, {"debugger", 311, true},
      {"default", 312, true},  {"delete", 313, true},   {"div", 314, false},
      {"do", 315, true},       {"domain", 316, false},  {"else", 317, false},
      {"enum", 318, true},     {"equiv", 319, false},   {"export", 320, true},
      {"extends", 321, true},  {"extern", 322, false},  {"false", 323, false},
      {"finally", 324, true},  {"for", 325, false},     {"function", 326, false},
      {"header", 327, false},  {"http", 328, false},    {"if", 329, false},
      {"import", 330, true},   {"in", 331, true},       {"invalid", 332, false},
      {"isvalid", 333, false}, {"lib", 334, true},      {"meta", 335, false},
      {"name", 336, false},    {"new", 337, true},      {"null", 338, true},
      {"path", 339, false},    {"private", 340, true},  {"public", 341, false},
      {"return", 342, false},  {"sizeof", 343, true},   {"struct", 344, true},
      {"super", 345, true},    {"switch", 346, true},   {"this", 347, true},
      {"throw", 348, true},    {"true", 349, false},    {"try", 350, true},
      {"typeof", 351, false},  {"url", 358, false},     {"use", 352, false},
      {"user", 353, false},    {"var", 354, false},     {"void", 355, true},
      {"while", 357, false},   {"with", 356, true},
  };
  static_assert(std::size(keywords) == 56);
  for (const KeywordRow &row : keywords) {
    SCOPED_TRACE(row.word);
    LexResult result = lexSource(row.word);
    if (row.reserved) {
      EXPECT_EQ(result.tokens, (std::vector<Lexeme>{{IDENTIFIER, row.word}}));
      EXPECT_EQ(result.messages, errorLine(1, reservedKeyword));
    } else {
      EXPECT_EQ(result.tokens, std::vector<Lexeme>{{row.code}});
      EXPECT_EQ(result.messages, "");
    }
  }
}

TEST(Keywords, NearMissesAreIdentifiers) {
  checkCases({
      {"prefix, extension, case", "acces accesss Access _if if_ x9",
       {{IDENTIFIER, "acces"}, {IDENTIFIER, "accesss"}, {IDENTIFIER, "Access"},
        {IDENTIFIER, "_if"}, {IDENTIFIER, "if_"}, {IDENTIFIER, "x9"}},
       {}},
      {"below the first and above the last", "a zzz",
       {{IDENTIFIER, "a"}, {IDENTIFIER, "zzz"}}, {}},
      {"reserved words used as names", "var lib = null;\nvoid(case);",
       {{VarKeyword}, {IDENTIFIER, "lib"}, {AssignToken}, {IDENTIFIER, "null"}, {SemicolonToken},
        {IDENTIFIER, "void", 2}, {LeftParenToken}, {IDENTIFIER, "case"}, {RightParenToken},
        {SemicolonToken}},
       {{1, reservedKeyword}, {1, reservedKeyword}, {2, reservedKeyword}, {2, reservedKeyword}}},
  });
}

TEST(Identifiers, EqualTextsShareOneNameId) {
  openSource("alpha beta alpha");
  ASSERT_EQ(yylex(), IDENTIFIER);
  NameId first = currentTokenValue().nameId;
  ASSERT_EQ(yylex(), IDENTIFIER);
  NameId second = currentTokenValue().nameId;
  ASSERT_EQ(yylex(), IDENTIFIER);
  EXPECT_EQ(currentTokenValue().nameId, first);
  EXPECT_NE(second, first);
}

TEST(Numbers, TextsAndBases) {
  checkCases({
      {"decimal", "0 7 123", {{INTEGER_LITERAL, "0"}, {INTEGER_LITERAL, "7"}, {INTEGER_LITERAL, "123"}}, {}},
      {"hexadecimal keeps its prefix", "0x1F 0XaB",
       {{INTEGER_LITERAL, "0x1F"}, {INTEGER_LITERAL, "0XaB"}}, {}},
      // Judged by the constant pool, not here.
      {"bare hexadecimal prefix", "0x;", {{INTEGER_LITERAL, "0x"}, {SemicolonToken}}, {}},
      {"octal keeps its zero", "017", {{INTEGER_LITERAL, "017"}}, {}},
      {"a letter ends a number", "12ab 0x1Fg",
       {{INTEGER_LITERAL, "12"}, {IDENTIFIER, "ab"}, {INTEGER_LITERAL, "0x1F"}, {IDENTIFIER, "g"}}, {}},
      {"leading point", ".5", {{FLOAT_LITERAL, ".5"}}, {}},
      {"trailing point gets a zero", "5. 0.", {{FLOAT_LITERAL, "5.0"}, {FLOAT_LITERAL, "0.0"}}, {}},
      {"lone point", ". a.b",
       {{DotToken}, {IDENTIFIER, "a"}, {DotToken}, {IDENTIFIER, "b"}}, {}},
      {"exponents", "1e10 1E+5 2.5e-3 5.e3 .5E1",
       {{FLOAT_LITERAL, "1e10"}, {FLOAT_LITERAL, "1E+5"}, {FLOAT_LITERAL, "2.5e-3"},
        {FLOAT_LITERAL, "5.e3"}, {FLOAT_LITERAL, ".5E1"}},
       {}},
      {"octal with 8 or 9 becomes a float", "018.5 09e1",
       {{FLOAT_LITERAL, "018.5"}, {FLOAT_LITERAL, "09e1"}}, {}},
      {"hexadecimal with a point becomes a float", "0x1F.5", {{FLOAT_LITERAL, "0x1F.5"}}, {}},
      {"two points", "1..2", {{FLOAT_LITERAL, "1.0"}, {FLOAT_LITERAL, ".2"}}, {}},
  });
}

TEST(Numbers, MalformedConstantsAreReported) {
  checkCases({
      {"octal with 8", "018;", {{INVALID_TOKEN}, {SemicolonToken}}, {{1, incorrectConstant}}},
      {"octal with 9 inside", "0179 x", {{INVALID_TOKEN}, {IDENTIFIER, "x"}}, {{1, incorrectConstant}}},
      {"exponent without digits", "1e", {{INVALID_TOKEN}}, {{1, incorrectConstant}}},
      {"signed exponent without digits", "1e+", {{INVALID_TOKEN}}, {{1, incorrectConstant}}},
      {"scanning resumes after what was taken", "1.e-x\n",
       {{INVALID_TOKEN}, {IDENTIFIER, "x"}}, {{1, incorrectConstant}}},
      {"error names the number's line", "\n\n1E\n",
       {{INVALID_TOKEN, "", 3}}, {{3, incorrectConstant}}},
  });
}

TEST(Strings, EitherQuoteAndEscapesAsWritten) {
  checkCases({
      {"double quotes", R"("abc")", {{STRING_LITERAL, R"("abc")"}}, {}},
      {"single quotes", "'abc'", {{STRING_LITERAL, "'abc'"}}, {}},
      {"empty", R"("" '')", {{STRING_LITERAL, R"("")"}, {STRING_LITERAL, "''"}}, {}},
      {"escaped quote", R"("a\"b" 'it\'s')",
       {{STRING_LITERAL, R"("a\"b")"}, {STRING_LITERAL, R"('it\'s')"}}, {}},
      {"the other quote is a character", R"("it's" 'say "hi"')",
       {{STRING_LITERAL, R"("it's")"}, {STRING_LITERAL, R"('say "hi"')"}}, {}},
      {"escaped backslash before the quote", R"('a\\' x)",
       {{STRING_LITERAL, R"('a\\')"}, {IDENTIFIER, "x"}}, {}},
      {"escaped line feed continues", "'a\\\nb' c",
       {{STRING_LITERAL, "'a\\\nb'", 2}, {IDENTIFIER, "c", 2}}, {}},
      {"comment marks are text", R"("/* // */")", {{STRING_LITERAL, R"("/* // */")"}}, {}},
      {"high bytes are kept", "'\x80\xff'", {{STRING_LITERAL, "'\x80\xff'"}}, {}},
      // The text ends at the NUL for every later reader.
      {"a NUL byte is kept", std::string_view("'a\0b' c", 7),
       {{STRING_LITERAL, "'a"}, {IDENTIFIER, "c"}}, {}},
  });
}

TEST(Strings, UnterminatedStringsStopAtTheLineEnd) {
  checkCases({
      {"line feed", "'abc\nx", {{INVALID_TOKEN, "", 1}, {IDENTIFIER, "x", 2}}, {{1, unterminatedString}}},
      {"end of input", "x = \"abc", {{IDENTIFIER, "x"}, {AssignToken}, {INVALID_TOKEN}},
       {{1, unterminatedString}}},
      {"backslash at end of input", "'a\\", {{INVALID_TOKEN}}, {{1, unterminatedString}}},
      {"closing quote of the other kind", "\"abc'\n;",
       {{INVALID_TOKEN}, {SemicolonToken, "", 2}}, {{1, unterminatedString}}},
      {"after a continued line", "\n'a\\\nb\n", {{INVALID_TOKEN, "", 3}}, {{3, unterminatedString}}},
  });
}

TEST(Comments, LineAndBlockComments) {
  checkCases({
      {"line comment without line end", "a // c", {{IDENTIFIER, "a"}}, {}},
      {"line comment", "a // c\nb", {{IDENTIFIER, "a", 1}, {IDENTIFIER, "b", 2}}, {}},
      {"empty line comment at the end", "//", {}, {}},
      {"block comment", "a /* b\n c */ d", {{IDENTIFIER, "a", 1}, {IDENTIFIER, "d", 2}}, {}},
      {"slash star slash is a whole comment", "a /*/ b", {{IDENTIFIER, "a"}, {IDENTIFIER, "b"}}, {}},
      {"slash star slash at the end", "a/*/", {{IDENTIFIER, "a"}}, {}},
      {"empty block comment", "/**/a", {{IDENTIFIER, "a"}}, {}},
      {"stars inside", "/*** / **/b", {{IDENTIFIER, "b"}}, {}},
      {"no nesting", "/* /* */ c */", {{IDENTIFIER, "c"}, {MultiplyToken}, {DivideToken}}, {}},
      {"high and NUL bytes are skipped", std::string_view("/*\x80\xff\0*/ //\xff\0\nz", 14),
       {{IDENTIFIER, "z", 2}}, {}},
  });
}

TEST(Comments, EndOfInputInsideABlockComment) {
  checkCases({
      {"unclosed", "a /* b", {{IDENTIFIER, "a"}, {INVALID_TOKEN}}, {{1, endOfFileInComment}}},
      {"opening pair only", "/*", {{INVALID_TOKEN}}, {{1, endOfFileInComment}}},
      {"star slash never pairs", "/* *\n", {{INVALID_TOKEN, "", 2}}, {{2, endOfFileInComment}}},
  });
  // The call after the error finds the end of input, and so does every later one.
  openSource("/* x");
  CaptureStderr();
  EXPECT_EQ(yylex(), INVALID_TOKEN);
  EXPECT_EQ(yylex(), EndOfInputToken);
  EXPECT_EQ(yylex(), EndOfInputToken);
  GetCapturedStderr();
  settlePendingError();
}

TEST(InvalidCharacters, EachIsReportedAndSkipped) {
  checkCases({
      {"punctuation of no token", "a @ $`\\b",
       {{IDENTIFIER, "a"}, {INVALID_TOKEN}, {INVALID_TOKEN}, {INVALID_TOKEN}, {INVALID_TOKEN},
        {IDENTIFIER, "b"}},
       {{1, invalidCharacter}, {1, invalidCharacter}, {1, invalidCharacter}, {1, invalidCharacter}}},
      {"high bytes, 0xFF not ending the input", "\x80\xff\xe9x",
       {{INVALID_TOKEN}, {INVALID_TOKEN}, {INVALID_TOKEN}, {IDENTIFIER, "x"}},
       {{1, invalidCharacter}, {1, invalidCharacter}, {1, invalidCharacter}}},
      {"NUL byte", std::string_view("\n\0y", 3), {{INVALID_TOKEN, "", 2}, {IDENTIFIER, "y"}},
       {{2, invalidCharacter}}},
  });
}

TEST(Lines, CountTheLineFeedsBeforeEachToken) {
  LexResult result = lexSource("a\n\n b\r\n/* \n */ c // x\n\v\f\td\n\n");
  EXPECT_EQ(result.tokens, (std::vector<Lexeme>{
                               {IDENTIFIER, "a", 1}, {IDENTIFIER, "b", 3},
                               {IDENTIFIER, "c", 5}, {IDENTIFIER, "d", 6}}));
  EXPECT_EQ(getLineNumber(), 8);

  setLineNumber(40);
  EXPECT_EQ(getLineNumber(), 40);
}

// Tokens that straddle a block boundary of the reader.
TEST(Reading, TokensAcrossBlockBoundaries) {
  for (int padding = 2040; padding <= 2050; ++padding) {
    SCOPED_TRACE(padding);
    std::string source(padding, ' ');
    source += ">>>= 'ab' 1.5e3 /* x */ word";
    LexResult result = lexSource(source);
    EXPECT_EQ(result.tokens, (std::vector<Lexeme>{{UnsignedRightShiftAssignToken},
                                                  {STRING_LITERAL, "'ab'"},
                                                  {FLOAT_LITERAL, "1.5e3"},
                                                  {IDENTIFIER, "word"}}));
  }
}

TEST(Reading, LongTextsGrowTheirBuffers) {
  for (std::size_t length : {63u, 64u, 65u, 127u, 128u, 129u, 5000u}) {
    SCOPED_TRACE(length);
    std::string name(length, 'n');
    std::string digits(length, '7');
    std::string text = "\"" + std::string(length, 's') + "\"";
    LexResult result = lexSource(name + " " + digits + " " + text + " 0" + digits + "." + digits);
    EXPECT_EQ(result.tokens, (std::vector<Lexeme>{{IDENTIFIER, name},
                                                  {INTEGER_LITERAL, digits},
                                                  {STRING_LITERAL, text},
                                                  {FLOAT_LITERAL, "0" + digits + "." + digits}}));
  }
}

// A literal's text stays valid until the next literal of its own kind.
TEST(Reading, EachLiteralKindHasItsOwnText) {
  openSource("12 'single' \"double\" word 3.5");
  ASSERT_EQ(yylex(), INTEGER_LITERAL);
  const char *number = currentTokenValue().text;
  ASSERT_EQ(yylex(), STRING_LITERAL);
  const char *single = currentTokenValue().text;
  ASSERT_EQ(yylex(), STRING_LITERAL);
  const char *doubled = currentTokenValue().text;
  ASSERT_EQ(yylex(), IDENTIFIER);
  EXPECT_STREQ(number, "12");
  EXPECT_STREQ(single, "'single'");
  EXPECT_STREQ(doubled, "\"double\"");
  ASSERT_EQ(yylex(), FLOAT_LITERAL);
  EXPECT_STREQ(currentTokenValue().text, "3.5");
  EXPECT_STREQ(single, "'single'");
}

TEST(Reading, OpeningAgainStartsAfresh) {
  openSource("first\n\nthird fourth");
  ASSERT_EQ(yylex(), IDENTIFIER);
  ASSERT_EQ(yylex(), IDENTIFIER);
  ASSERT_EQ(getLineNumber(), 3);
  LexResult result = lexSource("second");
  EXPECT_EQ(result.tokens, (std::vector<Lexeme>{{IDENTIFIER, "second", 1}}));
  EXPECT_EQ(result.messages, "");
  EXPECT_STREQ(getInputFileName(), sourcePath().c_str());
}

TEST(Reading, RandomBytesAlwaysReachTheEnd) {
  // Biased towards the characters that start or end tokens and comments.
  const std::string_view alphabet = "/*'\"\\\n.eE+-x0189a=<>!&| \t";
  std::size_t total = 0;
  setErrorLimit(1000);
  for (std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::string source(64 * 1024, '\0');
    for (char &byte : source) {
      std::uint32_t pick = random();
      byte = (pick & 1) ? alphabet[(pick >> 1) % alphabet.size()] : static_cast<char>(pick >> 8);
    }
    total += source.size();
    settlePendingError();
    openSource(source);
    // Errors stay pending, so only the first one prints.
    CaptureStderr();
    std::size_t tokens = 0;
    while (yylex() != EndOfInputToken && tokens <= source.size())
      ++tokens;
    GetCapturedStderr();
    EXPECT_LE(tokens, source.size());
    EXPECT_EQ(yylex(), EndOfInputToken);
  }
  settlePendingError();
  EXPECT_GE(total, 300u * 1024);
}

TEST(OpeningDeathTest, AMissingFileEndsTheRun) {
  EXPECT_EXIT(openInputFile("/nonexistent/dir/source.wmls"), testing::ExitedWithCode(1),
              "^Fatal Error Unable to open input file$");
}

TEST(OpeningDeathTest, ADirectoryIsNoInput) {
  EXPECT_EXIT(openInputFile(testing::TempDir().c_str()), testing::ExitedWithCode(1),
              "^Fatal Error Unable to open input file$");
}

} // namespace
