// The token stream read from real files: longest matches, keyword lookup,
// number and string texts, comments, NUL and high bytes, line numbers, block
// and buffer boundaries of the reader, and the lexical errors.
#include "wmllex.h"

#include "errorhlr.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
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
void PrintTo(const Lexeme &l, std::ostream *out) { *out << l.code << " \"" << l.text << "\" line " << l.line; }

// One file per test process; the lexer keeps the name for its messages.
const std::string &sourcePath() {
  static const std::string path = testing::TempDir() + "wmllex_test_" + std::to_string(getpid()) + ".wmls";
  return path;
}

std::string errorLine(int line, const char *message) {
  return sourcePath() + " (" + std::to_string(line) + ") Error: " + message + "\n";
}

void openSource(std::string_view source) {
  std::FILE *file = std::fopen(sourcePath().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(source.data(), 1, source.size(), file), source.size());
  std::fclose(file);
  openInputFile(sourcePath().c_str());
  std::remove(sourcePath().c_str());  // the open file stays readable
}

// Counts whatever is pending so that the next error prints its message.
void settlePendingError() {
  if (isErrorPending())
    reportSyntaxError(SyntaxErrorInStatement);
}

std::string tokenText(int code) {
  if (code == IDENTIFIER)
    return getNameText(currentTokenValue().nameId);
  if (code == INTEGER_LITERAL || code == FLOAT_LITERAL || code == STRING_LITERAL)
    return currentTokenValue().text;
  return "";
}

// Every token up to the end of input, with the line current after it; each
// error is counted at once so that each prints its own message.
std::vector<Lexeme> lexSource(std::string_view source, std::string *messages = nullptr) {
  setErrorLimit(1000);
  settlePendingError();
  openSource(source);
  std::vector<Lexeme> tokens;
  CaptureStderr();
  for (int code = yylex(); code != EndOfInputToken && tokens.size() <= source.size(); code = yylex()) {
    tokens.push_back({code, tokenText(code), getLineNumber()});
    settlePendingError();
  }
  const std::string printed = GetCapturedStderr();
  if (messages)
    *messages = printed;
  return tokens;
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
    std::string messages, expectedMessages;
    EXPECT_EQ(lexSource(c.source, &messages), c.tokens);
    for (auto [line, message] : c.errors)
      expectedMessages += errorLine(line, message);
    EXPECT_EQ(messages, expectedMessages);
  }
}

constexpr const char *endOfFileInComment = "End of file encountered in comment";
constexpr const char *invalidCharacter = "Invalid character encountered in source file";
constexpr const char *unterminatedString = "Unterminated string constant";
constexpr const char *incorrectConstant = "Incorrect syntax for constant";
constexpr const char *reservedKeyword = "Encountered reserved keyword";

// The operator codes run from 257 in this order; the longest match wins.
TEST(Operators, EveryLexemeAndTheLongestMatch) {
  std::string messages;
  const std::vector<Lexeme> tokens = lexSource("+= & && &= = ~ | ^ : , -- / /= . == >= > div= ++ <= << <<= ( < - "
                                               "% %= *= != ! || |= + ? >> >>= ) >>> >>>= * -= ^= { } ; #", &messages);
  ASSERT_EQ(tokens.size(), 46u);
  for (int i = 0; i < 46; ++i)
    EXPECT_EQ(tokens[i].code, 257 + i) << i;
  EXPECT_EQ(messages, "");
  checkCases({
      {"div = is two", "div =", {{DivKeyword}, {AssignToken}}, {}},
      {"div== takes one =", "div==", {{IntegerDivideAssignToken}, {AssignToken}}, {}},
      {"divx= is a name", "divx=", {{IDENTIFIER, "divx"}, {AssignToken}}, {}},
      {">>> =", ">>> =", {{UnsignedRightShiftToken}, {AssignToken}}, {}},
      {">>>>", ">>>>", {{UnsignedRightShiftToken}, {GreaterToken}}, {}},
      {"<<==", "<<==", {{LeftShiftAssignToken}, {AssignToken}}, {}},
      {"&&&", "&&&", {{AndToken}, {BitAndToken}}, {}},
      {"+++=", "+++=", {{IncrementToken}, {PlusAssignToken}}, {}},
      {"!==", "!==", {{NotEqualToken}, {AssignToken}}, {}},
      {"lone slash at the end", "a/", {{IDENTIFIER, "a"}, {DivideToken}}, {}},
  });
}

// Every row must be found; near misses with the same length, the same
// letters or the same name hash not.
TEST(Keywords, EveryRowIsFoundAndReservedWordsBecomeNames) {
  const struct {
    const char *word;
    int code;
    bool reserved;
  } rows[] = {
#define X(word, name, code, reserved) {word, code, reserved},
      TAVOK_KEYWORDS(X)
#undef X
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.word);
    std::string messages;
    EXPECT_EQ(lexSource(row.word, &messages),
              (std::vector<Lexeme>{row.reserved ? Lexeme{IDENTIFIER, row.word} : Lexeme{row.code}}));
    EXPECT_EQ(messages, row.reserved ? errorLine(1, reservedKeyword) : "");
  }
  for (const char *nearMiss : {"acces", "accesss", "Access", "_if", "if_", "a", "zzz", "fi", "iF", "whilf",
                               "wjile", "retrun", "elze", "fro", "var_", "v", "divdiv", "isvalid_", "typeof1"})
    EXPECT_EQ(lexSource(nearMiss), (std::vector<Lexeme>{{IDENTIFIER, nearMiss}}));
  // Nine-byte words whose name hash is a keyword's: only the length tells them apart.
  for (auto [word, keyword] : {std::pair{"Ucontinu0", "continue"}, std::pair{"_functio1", "function"},
                               std::pair{"Bdebugge0", "debugger"}}) {
    EXPECT_EQ(nameHashOf(word), nameHashOf(keyword)) << word;
    EXPECT_EQ(lexSource(word), (std::vector<Lexeme>{{IDENTIFIER, word}}));
  }
}

TEST(Numbers, TextsAndBases) {
  checkCases({
      {"hexadecimal keeps its prefix, octal its zero", "0x1F 0XaB 017",
       {{INTEGER_LITERAL, "0x1F"}, {INTEGER_LITERAL, "0XaB"}, {INTEGER_LITERAL, "017"}}, {}},
      {"bare hexadecimal prefix", "0x;", {{INTEGER_LITERAL, "0x"}, {SemicolonToken}}, {}},
      {"a letter ends a number", "12ab 0x1Fg",
       {{INTEGER_LITERAL, "12"}, {IDENTIFIER, "ab"}, {INTEGER_LITERAL, "0x1F"}, {IDENTIFIER, "g"}}, {}},
      {"points", ".5 5. 0. . a.b",
       {{FLOAT_LITERAL, ".5"}, {FLOAT_LITERAL, "5.0"}, {FLOAT_LITERAL, "0.0"}, {DotToken}, {IDENTIFIER, "a"},
        {DotToken}, {IDENTIFIER, "b"}},
       {}},
      {"exponents", "1e10 1E+5 2.5e-3 5.e3 .5E1",
       {{FLOAT_LITERAL, "1e10"}, {FLOAT_LITERAL, "1E+5"}, {FLOAT_LITERAL, "2.5e-3"}, {FLOAT_LITERAL, "5.e3"},
        {FLOAT_LITERAL, ".5E1"}},
       {}},
      {"octal with 8 or 9 becomes a float", "018.5 09e1", {{FLOAT_LITERAL, "018.5"}, {FLOAT_LITERAL, "09e1"}}, {}},
      {"hexadecimal with a point becomes a float", "0x1F.5", {{FLOAT_LITERAL, "0x1F.5"}}, {}},
      {"two points", "1..2", {{FLOAT_LITERAL, "1.0"}, {FLOAT_LITERAL, ".2"}}, {}},
      {"octal with 9 inside", "0179 x", {{INVALID_TOKEN}, {IDENTIFIER, "x"}}, {{1, incorrectConstant}}},
      {"exponent without digits", "1e", {{INVALID_TOKEN}}, {{1, incorrectConstant}}},
      {"scanning resumes after what was taken", "1.e-x\n", {{INVALID_TOKEN}, {IDENTIFIER, "x"}},
       {{1, incorrectConstant}}},
      {"error names the number's line", "\n\n1E\n", {{INVALID_TOKEN, "", 3}}, {{3, incorrectConstant}}},
  });
}

TEST(Strings, EitherQuoteAndEscapesAsWritten) {
  checkCases({
      {"escaped quote", R"("a\"b" 'it\'s')", {{STRING_LITERAL, R"("a\"b")"}, {STRING_LITERAL, R"('it\'s')"}}, {}},
      {"the other quote is a character", R"("it's" 'say "hi"')",
       {{STRING_LITERAL, R"("it's")"}, {STRING_LITERAL, R"('say "hi"')"}}, {}},
      {"escaped backslash before the quote", R"('a\\' x)", {{STRING_LITERAL, R"('a\\')"}, {IDENTIFIER, "x"}}, {}},
      {"escaped line feed continues", "'a\\\nb' c", {{STRING_LITERAL, "'a\\\nb'", 2}, {IDENTIFIER, "c", 2}}, {}},
      {"comment marks are text", R"("/* // */")", {{STRING_LITERAL, R"("/* // */")"}}, {}},
      {"high bytes are kept", "'\x80\xff'", {{STRING_LITERAL, "'\x80\xff'"}}, {}},
      // The text ends at the NUL for every later reader.
      {"a NUL byte is kept", std::string_view("'a\0b' c", 7), {{STRING_LITERAL, "'a"}, {IDENTIFIER, "c"}}, {}},
      {"unterminated at the end of input", "x = \"abc", {{IDENTIFIER, "x"}, {AssignToken}, {INVALID_TOKEN}},
       {{1, unterminatedString}}},
      {"backslash at end of input", "'a\\", {{INVALID_TOKEN}}, {{1, unterminatedString}}},
      {"closing quote of the other kind", "\"abc'\n;", {{INVALID_TOKEN}, {SemicolonToken, "", 2}},
       {{1, unterminatedString}}},
      {"after a continued line", "\n'a\\\nb\n", {{INVALID_TOKEN, "", 3}}, {{3, unterminatedString}}},
  });
}

// Comments and white space are skipped; invalid characters are reported and skipped.
TEST(Skipping, CommentsAndInvalidCharacters) {
  checkCases({
      {"line comment without line end", "a // c", {{IDENTIFIER, "a"}}, {}},
      {"empty line comment at the end", "//", {}, {}},
      {"block comment", "a /* b\n c */ d", {{IDENTIFIER, "a", 1}, {IDENTIFIER, "d", 2}}, {}},
      {"slash star slash is a whole comment", "a /*/ b", {{IDENTIFIER, "a"}, {IDENTIFIER, "b"}}, {}},
      {"slash star slash at the end", "a/*/", {{IDENTIFIER, "a"}}, {}},
      {"empty block comment", "/**/a", {{IDENTIFIER, "a"}}, {}},
      {"stars inside", "/*** / **/b", {{IDENTIFIER, "b"}}, {}},
      {"no nesting", "/* /* */ c */", {{IDENTIFIER, "c"}, {MultiplyToken}, {DivideToken}}, {}},
      {"high and NUL bytes are skipped", std::string_view("/*\x80\xff\0*/ //\xff\0\nz", 14), {{IDENTIFIER, "z", 2}},
       {}},
      {"lines count the line feeds before each token", "a\n\n b\r\n/* \n */ c // x\n\v\f\td\n\n",
       {{IDENTIFIER, "a", 1}, {IDENTIFIER, "b", 3}, {IDENTIFIER, "c", 5}, {IDENTIFIER, "d", 6}}, {}},
      {"opening pair only", "/*", {{INVALID_TOKEN}}, {{1, endOfFileInComment}}},
      {"star slash never pairs", "/* *\n", {{INVALID_TOKEN, "", 2}}, {{2, endOfFileInComment}}},
      {"punctuation of no token", "$`\\b", {{INVALID_TOKEN}, {INVALID_TOKEN}, {INVALID_TOKEN}, {IDENTIFIER, "b"}},
       {{1, invalidCharacter}, {1, invalidCharacter}, {1, invalidCharacter}}},
      {"high bytes, 0xFF not ending the input", "\x80\xff\xe9x",
       {{INVALID_TOKEN}, {INVALID_TOKEN}, {INVALID_TOKEN}, {IDENTIFIER, "x"}},
       {{1, invalidCharacter}, {1, invalidCharacter}, {1, invalidCharacter}}},
      {"NUL byte", std::string_view("\n\0y", 3), {{INVALID_TOKEN, "", 2}, {IDENTIFIER, "y"}},
       {{2, invalidCharacter}}},
  });
}

// The reader takes the file in blocks of 2048 bytes.
TEST(Reading, TokensAcrossBlockBoundaries) {
  for (int padding = 2040; padding <= 2050; ++padding) {
    SCOPED_TRACE(padding);
    EXPECT_EQ(lexSource(std::string(padding, ' ') + ">>>= 'ab' 1.5e3 /* x */ word"),
              (std::vector<Lexeme>{{UnsignedRightShiftAssignToken}, {STRING_LITERAL, "'ab'"}, {FLOAT_LITERAL, "1.5e3"},
                                   {IDENTIFIER, "word"}}));
  }
}

// Tokens are read where they lie in the read buffer, so where a read ends
// must not matter: each source gives the same tokens, texts, lines and
// messages wherever it starts around the end of the first read. Padding of
// line feeds shifts every line by its length.
TEST(Reading, TheSameTokensWhereverAReadEnds) {
  using namespace std::string_view_literals;  // a source with NUL bytes in it
  const std::vector<std::string> sources = {
      "name _x9 a1b2 div= div =div while case",
      "0 07 0x1F 0x 123 12. 1e5 1E+5 .5 018.5 0179 1e+ 9",
      "'a\\'b' \"c\\\"d\" 'e\\\nf' \"open\n x",
      "// line comment\n y /* block \n comment */ z /*/ w // last",
      ">>>= >>= >> <<= << && &= ++ += -- -= || |= != == ! ~",
      "a/*c*/b//d\ne.5f>>>=g'h'i0x1Fj.e1k;div=l/m/",
      std::string("\x80 $ a\0b '\0' \xff"sv),
      "word" + std::string(3000, 'w') + " '" + std::string(3000, 's') + "' " + std::string(3000, '5'),
      "tail",
      "12",
      "x /*",
      "'open",
  };
  for (const std::string &source : sources) {
    SCOPED_TRACE(source.substr(0, 40));
    std::string expectedMessages;
    const std::vector<Lexeme> expected = lexSource(source, &expectedMessages);
    for (int padding = 2030; padding <= 2052; ++padding) {
      SCOPED_TRACE(padding);
      std::string messages;
      EXPECT_EQ(lexSource(std::string(padding, ' ') + source, &messages), expected);
      EXPECT_EQ(messages, expectedMessages);
      std::vector<Lexeme> shifted = expected;
      for (Lexeme &lexeme : shifted)
        lexeme.line += padding;
      EXPECT_EQ(lexSource(std::string(padding, '\n') + source), shifted);
    }
  }
}

// Line feeds are counted run by run in white space and one by one in
// comments and strings; either way the count stops at the largest int.
TEST(Lines, CountedInEveryPlaceAndStoppedAtTheLargestInt) {
  const struct {
    const char *name;
    int firstLine;
    std::string_view source;
    std::vector<int> lines;  // current after each token
  } cases[] = {
      {"blank runs between line feeds", 1, "a \t\n\r\n \v\f\n\n b", {1, 5}},
      {"comments and an escaped line feed", 1, "a // x\n/* \n\n */ 'q\\\nr' b", {1, 5, 5}},
      {"past the largest int in one run", INT_MAX - 2, "a\n\n\n\n\nb\nc", {INT_MAX - 2, INT_MAX, INT_MAX}},
      {"past it inside a comment", INT_MAX - 1, "a /*\n\n\n*/ b", {INT_MAX - 1, INT_MAX}},
      {"from a line set by the emitter", 40, "a\nb", {40, 41}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    openSource(c.source);
    setLineNumber(c.firstLine);
    std::vector<int> lines;
    for (int code = yylex(); code != EndOfInputToken && lines.size() < 10; code = yylex())
      lines.push_back(getLineNumber());
    EXPECT_EQ(lines, c.lines);
  }
}

// Names longer than eight bytes may share a name hash; the lexer keeps them apart.
TEST(Names, LongNamesOfOneHashAreDifferentNames) {
  ASSERT_EQ(nameHashOf("a1234567b"), nameHashOf("b1234567a"));
  const std::vector<Lexeme> tokens = lexSource("a1234567b b1234567a a1234567b");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens, (std::vector<Lexeme>{{IDENTIFIER, "a1234567b"}, {IDENTIFIER, "b1234567a"}, {IDENTIFIER, "a1234567b"}}));
}

// Each text buffer starts at 64 bytes and doubles.
TEST(Reading, LongTextsGrowTheirBuffers) {
  for (std::size_t length : {63u, 64u, 65u, 128u, 5000u}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n'), digits(length, '7'), text = "\"" + std::string(length, 's') + "\"";
    EXPECT_EQ(lexSource(name + " " + digits + " " + text + " 0" + digits + "." + digits),
              (std::vector<Lexeme>{{IDENTIFIER, name}, {INTEGER_LITERAL, digits}, {STRING_LITERAL, text},
                                   {FLOAT_LITERAL, "0" + digits + "." + digits}}));
  }
}

TEST(Reading, RandomBytesAlwaysReachTheEnd) {
  // Biased towards the characters that start or end tokens and comments.
  const std::string_view alphabet = "/*'\"\\\n.eE+-x0189a=<>!&| \t";
  std::mt19937 random(1);
  std::string source(384 * 1024, '\0');
  for (char &byte : source) {
    std::uint32_t pick = random();
    byte = (pick & 1) ? alphabet[(pick >> 1) % alphabet.size()] : static_cast<char>(pick >> 8);
  }
  setErrorLimit(1000);
  settlePendingError();
  openSource(source);
  CaptureStderr();  // errors stay pending, so only the first one prints
  std::size_t tokens = 0;
  while (yylex() != EndOfInputToken && tokens <= source.size())
    ++tokens;
  GetCapturedStderr();
  settlePendingError();
  EXPECT_LE(tokens, source.size());
  EXPECT_EQ(yylex(), EndOfInputToken);
}

TEST(OpeningDeathTest, AMissingFileOrADirectoryEndsTheRun) {
  for (const std::string &path : {std::string("/nonexistent/dir/source.wmls"), testing::TempDir()})
    EXPECT_EXIT(openInputFile(path.c_str()), testing::ExitedWithCode(1), "^Fatal Error Unable to open input file$");
}

} // namespace
