// The lexer reads where the bytes lie, several at a time: words hashed eight
// bytes at a time, indentation passed eight spaces at a time, short numbers
// copied in one step. Whatever lies around a token in the read buffer, a
// word must get the id that interning its text gives, a run must stop at
// its first other byte, and a literal's text must be exactly its own.
#include "wmllex.h"

#include "errorhlr.h"
#include "strtable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

struct Token {
  int code;
  std::string text;  // literal text or identifier name
  NameId name;       // for an identifier
  int line;
};

const std::string &sourcePath() {
  static const std::string path = testing::TempDir() + "wmllex_runs_test_" + std::to_string(getpid()) + ".wmls";
  return path;
}

// Every token of the source up to the end of input, with the line current after it.
std::vector<Token> tokensOf(std::string_view source) {
  std::FILE *file = std::fopen(sourcePath().c_str(), "wb");
  EXPECT_NE(file, nullptr);
  std::fwrite(source.data(), 1, source.size(), file);
  std::fclose(file);
  openInputFile(sourcePath().c_str());
  std::remove(sourcePath().c_str());
  std::vector<Token> tokens;
  for (int code = yylex(); code != EndOfInputToken && tokens.size() <= source.size(); code = yylex()) {
    Token token{code, "", noNameId, getLineNumber()};
    if (code == IDENTIFIER) {
      token.name = currentTokenValue().nameId;
      token.text = getNameText(token.name);
    } else if (code == INTEGER_LITERAL || code == FLOAT_LITERAL || code == STRING_LITERAL) {
      token.text = currentTokenValue().text;
    }
    tokens.push_back(token);
  }
  return tokens;
}

// Letters, digits and the underscore, so that every byte position of a word
// differs from its neighbours'.
std::string wordOfLength(std::size_t length, char first) {
  const std::string_view characters = "abcdefghijklmnopqrstuvwxyz_0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string word(1, first);
  for (std::size_t i = 1; i < length; ++i)
    word += characters[(i * 7 + static_cast<unsigned char>(first)) % characters.size()];
  return word;
}

// Each word is found by the id that internName gives its text, whatever its
// length, whatever follows it, and wherever a read of the file ends: inside
// the word, right after it, or a few bytes later.
TEST(WordsInPlace, EveryLengthGetsTheIdOfItsText) {
  for (std::size_t length = 1; length <= 26; ++length) {
    SCOPED_TRACE(length);
    const std::string word = wordOfLength(length, 'w'), other = wordOfLength(length, 'W');
    const NameId name = internName(word.c_str()), otherName = internName(other.c_str());
    ASSERT_NE(name, otherName);
    for (const char *after : {" ", "(", ";\n", "\t", "+1", ""}) {
      for (std::size_t padding = 2040 - length; padding <= 2050; ++padding) {
        const std::vector<Token> tokens = tokensOf(std::string(padding, ' ') + word + after + " " + other);
        ASSERT_GE(tokens.size(), 2u) << padding;
        EXPECT_EQ(tokens.front().code, IDENTIFIER) << padding;
        EXPECT_EQ(tokens.front().name, name) << padding << " '" << after << "'";
        EXPECT_EQ(tokens.back().name, otherName) << padding;
      }
    }
  }
}

// A word is hashed from a whole word of the buffer, so the bytes after it
// are still there: a keyword followed by letters of an earlier read, or a
// name that begins another, must not take them in.
TEST(WordsInPlace, TheBytesAfterAWordAreNotPartOfIt) {
  // The first source leaves letters in the buffer past the shorter words of the second.
  tokensOf("iffy forever varnish whiles divide abcdefghijklmnop");
  const std::vector<Token> tokens = tokensOf("if(for;var\nwhile)div=x abcdefgh abcdefghi a");
  std::vector<int> codes;
  for (const Token &token : tokens)
    codes.push_back(token.code);
  EXPECT_EQ(codes, (std::vector<int>{IfKeyword, LeftParenToken, ForKeyword, SemicolonToken, VarKeyword, WhileKeyword,
                                     RightParenToken, IntegerDivideAssignToken, IDENTIFIER, IDENTIFIER, IDENTIFIER,
                                     IDENTIFIER}));
  EXPECT_EQ(tokens[9].text, "abcdefgh");
  EXPECT_EQ(tokens[10].text, "abcdefghi");
  EXPECT_EQ(tokens[11].text, "a");
}

// Operators are read from a table of their forms where the bytes lie; a
// third character decides the shifts, and >>> is left to the full reading.
// Wherever a read ends, each run of operator characters splits the same way.
TEST(OperatorsInPlace, LongestMatchesOfRunsOfOperatorCharacters) {
  const struct {
    const char *source;
    std::vector<int> codes;
  } cases[] = {
      {"<<<", {LeftShiftToken, LessToken}},
      {"<<<=", {LeftShiftToken, LessEqualToken}},
      {"<<>", {LeftShiftToken, GreaterToken}},
      {"<>=", {LessToken, GreaterEqualToken}},
      {">>>>", {UnsignedRightShiftToken, GreaterToken}},
      {">>>>=", {UnsignedRightShiftToken, GreaterEqualToken}},
      {">>=>", {RightShiftAssignToken, GreaterToken}},
      {">><", {RightShiftToken, LessToken}},
      {"&&&", {AndToken, BitAndToken}},
      {"&&=", {AndToken, AssignToken}},
      {"+++=", {IncrementToken, PlusAssignToken}},
      {"===", {EqualToken, AssignToken}},
      {"!==", {NotEqualToken, AssignToken}},
      {"||||", {OrToken, OrToken}},
      {"-->", {DecrementToken, GreaterToken}},
      {"//=\n/=", {DivideAssignToken}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.source);
    for (std::size_t padding : {0u, 2043u, 2044u, 2045u, 2046u, 2047u, 2048u}) {
      std::vector<int> codes;
      for (const Token &token : tokensOf(std::string(padding, ' ') + c.source))
        codes.push_back(token.code);
      EXPECT_EQ(codes, c.codes) << padding;
    }
  }
}

// Indentation is passed eight spaces at a time; the run stops at a tab, a
// carriage return, a line feed or the end of the buffered bytes, and every
// line feed is counted.
TEST(SpaceRuns, IndentationOfEveryWidthAndMixedBlanks) {
  for (std::size_t width = 0; width <= 20; ++width) {
    SCOPED_TRACE(width);
    const std::string spaces(width, ' ');
    const std::string source = "a\n" + spaces + "b\n" + spaces + "\t" + spaces + "c\r\n" + spaces + "\n" + spaces +
                               "d" + spaces + ";" + spaces;
    std::vector<std::pair<std::string, int>> seen;
    for (const Token &token : tokensOf(source))
      seen.emplace_back(token.text, token.line);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 5}, {"", 5}}));
  }
  // Runs of spaces that reach the end of a read, or the end of the input.
  for (std::size_t lines = 1; lines <= 3; ++lines) {
    for (std::size_t padding = 2030; padding <= 2052; ++padding) {
      const std::vector<Token> tokens =
          tokensOf("x" + std::string(lines, '\n') + std::string(padding, ' ') + "y\n" + std::string(padding, ' '));
      ASSERT_EQ(tokens.size(), 2u) << padding;
      EXPECT_EQ(tokens[1].text, "y");
      EXPECT_EQ(tokens[1].line, static_cast<int>(lines) + 1);
    }
  }
}

// Numbers of up to 14 bytes are copied in one sixteen-byte step, the rest
// byte by byte: each text is exactly its own, after longer ones too, and a
// float ending in its point still gets its 0.
TEST(NumbersInPlace, TextsOfEveryLengthAroundTheShortCopy) {
  std::string source;
  std::vector<std::string> expected;
  for (std::size_t length = 20; length >= 1; --length) {
    const std::string digits = std::string(length - 1, '9') + "1";
    const std::string point = std::string(length, '8') + ".";
    const std::string fraction = "1." + std::string(length, '5');
    source += digits + " " + point + " " + fraction + ";";
    expected.insert(expected.end(), {digits, point + "0", fraction, ""});
  }
  for (std::size_t padding : {0u, 2040u, 2046u}) {
    SCOPED_TRACE(padding);
    std::vector<std::string> texts;
    for (const Token &token : tokensOf(std::string(padding, ' ') + source))
      texts.push_back(token.text);
    EXPECT_EQ(texts, expected);
  }
}

} // namespace
