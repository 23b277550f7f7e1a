#include "wmllex.h"

#include "errorhlr.h"
#include "fatal.h"
#include "tavokassert.h"

#include <array>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

namespace {

constexpr int endOfInput = -1;
constexpr int readBlockSize = 2048;
constexpr std::size_t firstTextBufferSize = 64;

// The text of one kind of token, reused from token to token; it only grows.
struct TextBuffer {
  char *bytes;
  std::size_t capacity;
  std::size_t length;
};

struct LexerState {
  std::FILE *inputFile;
  const char *inputFileName;
  int currentChar;  // byte value 0..255, or endOfInput
  int nextChar;
  int lineNumber;
  bool inputEnded;  // a read delivered nothing: no further read is tried
  int bufferFill;
  int bufferPosition;
  TokenValue tokenValue;
  TextBuffer identifierText;
  TextBuffer numberText;
  TextBuffer singleQuotedText;
  TextBuffer doubleQuotedText;
  unsigned char readBuffer[readBlockSize];
};

struct Keyword {
  const char *text;
  TokenCode code;
  bool reserved;
};

constexpr Keyword keywordTable[] = {
#define X(text, name, code, reserved) {text, name, reserved},
    TAVOK_KEYWORDS(X)
#undef X
};
static_assert(std::size(keywordTable) == 56);

// The grammar declares the token numbers; the keyword table must agree.
#define X(text, name, code, reserved) static_assert(name == code, text);
TAVOK_KEYWORDS(X)
#undef X


// Character classes of the "C" locale, by byte value; bytes from 0x80 up
// belong to none of them.
enum CharacterClass : unsigned char {
  LetterClass = 1,      // A-Z a-z _
  DigitClass = 2,       // 0-9
  HexDigitClass = 4,    // 0-9 A-F a-f
  OctalDigitClass = 8,  // 0-7
  SpaceClass = 16,      // space, tab, line feed, vertical tab, form feed, carriage return
};

constexpr std::array<unsigned char, 257> makeClassTable() {
  std::array<unsigned char, 257> table{};  // indexed by character + 1: endOfInput has none
  auto mark = [&table](int first, int last, unsigned char characterClass) {
    for (int c = first; c <= last; ++c)
      table[c + 1] |= characterClass;
  };
  mark('A', 'Z', LetterClass);
  mark('a', 'z', LetterClass);
  mark('_', '_', LetterClass);
  mark('0', '9', DigitClass | HexDigitClass);
  mark('0', '7', OctalDigitClass);
  mark('A', 'F', HexDigitClass);
  mark('a', 'f', HexDigitClass);
  mark(' ', ' ', SpaceClass);
  mark('\t', '\r', SpaceClass);  // tab, line feed, vertical tab, form feed, carriage return
  return table;
}

constexpr std::array<unsigned char, 257> classTable = makeClassTable();

// The lexer's own out-of-memory message, spelled apart from the support
// library's.
constexpr const char *noTextMemorySpace = "No Memory Space";

} // namespace

static constinit LexerState lexer{};

static inline bool isOfClass(int c, unsigned char characterClass) {
  return (classTable[static_cast<unsigned>(c + 1)] & characterClass) != 0;
}

static inline bool isLetter(int c) { return isOfClass(c, LetterClass); }
static inline bool isDigit(int c) { return isOfClass(c, DigitClass); }
static inline bool isIdentifierCharacter(int c) { return isOfClass(c, LetterClass | DigitClass); }
static inline bool isSpace(int c) { return isOfClass(c, SpaceClass); }

// Every byte, 0xFF included, is an ordinary character: only a read that
// delivers nothing ends the input.
static inline int readCharacter() {
  if (lexer.bufferPosition == lexer.bufferFill) [[unlikely]] {
    if (!lexer.inputFile || lexer.inputEnded)
      return endOfInput;
    lexer.bufferFill = static_cast<int>(std::fread(lexer.readBuffer, 1, readBlockSize, lexer.inputFile));
    lexer.bufferPosition = 0;
    if (lexer.bufferFill == 0) {
      lexer.inputEnded = true;
      return endOfInput;
    }
  }
  return lexer.readBuffer[lexer.bufferPosition++];
}

// Leaving a line feed starts the next line. A source of more lines than an
// int counts has all the rest on its last line.
static inline void advance() {
  if (lexer.currentChar == '\n' && lexer.lineNumber < INT_MAX)
    ++lexer.lineNumber;
  lexer.currentChar = lexer.nextChar;
  lexer.nextChar = readCharacter();
}

// Advances over the expected character when it is the current one.
static inline bool take(int expected) {
  if (lexer.currentChar != expected)
    return false;
  advance();
  return true;
}

static void growTextBuffer(TextBuffer &buffer) {
  if (!buffer.bytes) {
    buffer.bytes = static_cast<char *>(std::calloc(firstTextBufferSize, 1));
    if (!buffer.bytes)
      fatalError(noTextMemorySpace);
    buffer.capacity = firstTextBufferSize;
    return;
  }
  std::size_t doubled = buffer.capacity * 2;
  auto *bytes = static_cast<char *>(std::realloc(buffer.bytes, doubled));
  if (!bytes)
    fatalError(noTextMemorySpace);
  buffer.bytes = bytes;
  buffer.capacity = doubled;
}

static inline void appendByte(TextBuffer &buffer, int c) {
  if (buffer.length == buffer.capacity) [[unlikely]]
    growTextBuffer(buffer);
  buffer.bytes[buffer.length++] = static_cast<char>(c);
}

// Stores the current character and moves past it.
static inline void takeInto(TextBuffer &buffer) {
  appendByte(buffer, lexer.currentChar);
  advance();
}

// Ends the text with its NUL and makes it the token value.
static const char *finishText(TextBuffer &buffer) {
  appendByte(buffer, '\0');
  lexer.tokenValue.text = buffer.bytes;
  return buffer.bytes;
}

static TokenCode failToken(ErrorCode code) {
  reportError(code);
  return INVALID_TOKEN;
}

// With the current character at the opening '/'. The test for the closing
// pair is made at the opening '/' already, so /*/ is a whole comment. False
// when the input ends inside the comment (reported).
static bool skipBlockComment() {
  for (;;) {
    if (lexer.nextChar == endOfInput) {
      advance();
      reportError(EndOfFileInComment);
      return false;
    }
    if (lexer.currentChar == '*' && lexer.nextChar == '/') {
      advance();
      advance();
      return true;
    }
    advance();
  }
}

static void skipLineComment() {
  while (lexer.currentChar != '\n' && lexer.nextChar != endOfInput)
    advance();
  advance();
}

// False when the input ended inside a block comment (reported).
static bool skipSpaceAndComments() {
  for (;;) {
    int c = lexer.currentChar;
    if (isSpace(c)) {
      advance();
    } else if (c == '/' && lexer.nextChar == '/') {
      skipLineComment();
    } else if (c == '/' && lexer.nextChar == '*') {
      if (!skipBlockComment())
        return false;
    } else {
      return true;
    }
  }
}

// Every identifier is looked up, so the keywords sit in an open-addressed
// table hashed on the length and three characters: a lookup is a hash, a
// probe or two, and one comparison of the whole word.
constexpr std::size_t keywordSlotCount = 256;  // a power of two, over four times the keywords

constexpr std::size_t keywordHash(std::string_view word) {
  const std::size_t length = word.size();
  const auto at = [&word](std::size_t i) { return static_cast<unsigned char>(word[i]); };
  return (length * 97 + at(0) * 31 + at(length - 1) * 7 + at(length / 2)) & (keywordSlotCount - 1);
}

// Slot i holds a keyword's position in keywordTable plus one, or 0 for none.
constexpr std::array<unsigned char, keywordSlotCount> keywordSlots = [] {
  std::array<unsigned char, keywordSlotCount> slots{};
  for (std::size_t k = 0; k < std::size(keywordTable); ++k) {
    std::size_t slot = keywordHash(keywordTable[k].text);
    while (slots[slot] != 0)
      slot = (slot + 1) & (keywordSlotCount - 1);
    slots[slot] = static_cast<unsigned char>(k + 1);
  }
  return slots;
}();

// Null when the word is no keyword.
static const Keyword *findKeyword(std::string_view word) {
  if (word.empty())
    return nullptr;
  for (std::size_t slot = keywordHash(word);; slot = (slot + 1) & (keywordSlotCount - 1)) {
    const unsigned entry = keywordSlots[slot];
    if (entry == 0)
      return nullptr;
    const Keyword &keyword = keywordTable[entry - 1];
    if (word == keyword.text)
      return &keyword;
  }
}

static TokenCode readIdentifierOrKeyword() {
  TextBuffer &buffer = lexer.identifierText;
  buffer.length = 0;
  do
    takeInto(buffer);
  while (isIdentifierCharacter(lexer.currentChar));
  appendByte(buffer, '\0');

  if (const Keyword *keyword = findKeyword(std::string_view(buffer.bytes, buffer.length - 1))) {
    if (!keyword->reserved) {
      // div= is written without a space; "div =" is div and an assignment.
      if (keyword->code == DivKeyword && take('='))
        return IntegerDivideAssignToken;
      return keyword->code;
    }
    // Parsing goes on with the reserved word as a name.
    reportError(ReservedKeyword);
  }
  lexer.tokenValue.nameId = internName(buffer.bytes);
  return IDENTIFIER;
}

static bool isDigitOfBase(int c, int base) {
  switch (base) {
  case 8:
    return isOfClass(c, OctalDigitClass);
  case 10:
    return isOfClass(c, DigitClass);
  case 16:
    return isOfClass(c, HexDigitClass);
  }
  ASSERT(base == 8 || base == 10 || base == 16);
  return false;
}

static void takeDigits(TextBuffer &buffer) {
  while (isDigit(lexer.currentChar))
    takeInto(buffer);
}

// A float text ending in its point gets a 0 (1. becomes 1.0).
static TokenCode finishFloat(TextBuffer &buffer) {
  if (buffer.bytes[buffer.length - 1] == '.')
    appendByte(buffer, '0');
  finishText(buffer);
  return FLOAT_LITERAL;
}

// After the 'e' or 'E': an optional sign, then at least one digit.
static TokenCode readExponent(TextBuffer &buffer) {
  if (lexer.currentChar == '+' || lexer.currentChar == '-')
    takeInto(buffer);
  if (!isDigit(lexer.currentChar))
    return failToken(IncorrectConstantSyntax);
  takeDigits(buffer);
  return finishFloat(buffer);
}

// After the point: the fraction's digits and an optional exponent.
static TokenCode readFraction(TextBuffer &buffer) {
  takeDigits(buffer);
  if (lexer.currentChar == 'e' || lexer.currentChar == 'E') {
    takeInto(buffer);
    return readExponent(buffer);
  }
  return finishFloat(buffer);
}

// A number starts with a digit or with a point before a digit. Its text is
// kept as written (0x and the octal 0 included); the constant pool decides
// the value.
static TokenCode readNumber() {
  TextBuffer &buffer = lexer.numberText;
  buffer.length = 0;
  if (lexer.currentChar == '.') {
    takeInto(buffer);
    return readFraction(buffer);
  }

  int base = 10;
  if (lexer.currentChar == '0') {
    base = 8;
    if (lexer.nextChar == 'x' || lexer.nextChar == 'X') {
      base = 16;
      takeInto(buffer);
    }
  }
  takeInto(buffer);
  while (isDigitOfBase(lexer.currentChar, base))
    takeInto(buffer);
  bool malformedOctal = false;
  if (base == 8 && isDigit(lexer.currentChar)) {
    malformedOctal = true;  // an 8 or a 9
    takeDigits(buffer);
  }

  // A point or an exponent makes a float of any integer part, even an octal
  // one with 8 or 9 (09.5) or a hexadecimal one (0x1F.5).
  if (lexer.currentChar == '.') {
    takeInto(buffer);
    return readFraction(buffer);
  }
  if (lexer.currentChar == 'e' || lexer.currentChar == 'E') {
    takeInto(buffer);
    return readExponent(buffer);
  }
  if (malformedOctal)
    return failToken(IncorrectConstantSyntax);
  finishText(buffer);
  return INTEGER_LITERAL;
}

// A backslash is stored with the character after it, so an escaped quote
// does not end the string and an escaped line feed continues it. The
// escapes are decoded by the constant pool.
static TokenCode readString() {
  int quote = lexer.currentChar;
  TextBuffer &buffer = quote == '"' ? lexer.doubleQuotedText : lexer.singleQuotedText;
  buffer.length = 0;
  takeInto(buffer);
  for (;;) {
    int c = lexer.currentChar;
    if (c == quote) {
      takeInto(buffer);
      finishText(buffer);
      return STRING_LITERAL;
    }
    // The line feed is left to be skipped as white space.
    if (c == '\n' || c == endOfInput)
      return failToken(UnterminatedString);
    takeInto(buffer);
    if (c == '\\' && lexer.currentChar != endOfInput)
      takeInto(buffer);
  }
}

// The operators that are one character, that character and '=', or that
// character twice: the longest match wins.
static TokenCode readOperator(TokenCode alone, TokenCode withAssign, TokenCode doubled) {
  int first = lexer.currentChar;
  advance();
  if (take('='))
    return withAssign;
  if (doubled != EndOfInputToken && take(first))
    return doubled;
  return alone;
}

static TokenCode readLessOperator() {
  advance();
  if (take('='))
    return LessEqualToken;
  if (take('<'))
    return take('=') ? LeftShiftAssignToken : LeftShiftToken;
  return LessToken;
}

static TokenCode readGreaterOperator() {
  advance();
  if (take('='))
    return GreaterEqualToken;
  if (!take('>'))
    return GreaterToken;
  if (take('>'))
    return take('=') ? UnsignedRightShiftAssignToken : UnsignedRightShiftToken;
  return take('=') ? RightShiftAssignToken : RightShiftToken;
}

static TokenCode punctuation(TokenCode code) {
  advance();
  return code;
}

static TokenCode readOtherToken() {
  switch (lexer.currentChar) {
  case endOfInput:
    return EndOfInputToken;
  case '"':
  case '\'':
    return readString();
  case '#':
    return punctuation(HashToken);
  case '(':
    return punctuation(LeftParenToken);
  case ')':
    return punctuation(RightParenToken);
  case ',':
    return punctuation(CommaToken);
  case '.':
    return punctuation(DotToken);
  case ':':
    return punctuation(ColonToken);
  case ';':
    return punctuation(SemicolonToken);
  case '?':
    return punctuation(QuestionToken);
  case '{':
    return punctuation(LeftBraceToken);
  case '}':
    return punctuation(RightBraceToken);
  case '~':
    return punctuation(BitNotToken);
  case '!':
    return readOperator(NotToken, NotEqualToken, EndOfInputToken);
  case '%':
    return readOperator(RemainderToken, RemainderAssignToken, EndOfInputToken);
  case '*':
    return readOperator(MultiplyToken, MultiplyAssignToken, EndOfInputToken);
  case '/':
    return readOperator(DivideToken, DivideAssignToken, EndOfInputToken);
  case '=':
    return readOperator(AssignToken, EqualToken, EndOfInputToken);
  case '^':
    return readOperator(BitXorToken, BitXorAssignToken, EndOfInputToken);
  case '&':
    return readOperator(BitAndToken, BitAndAssignToken, AndToken);
  case '+':
    return readOperator(PlusToken, PlusAssignToken, IncrementToken);
  case '-':
    return readOperator(MinusToken, MinusAssignToken, DecrementToken);
  case '|':
    return readOperator(BitOrToken, BitOrAssignToken, OrToken);
  case '<':
    return readLessOperator();
  case '>':
    return readGreaterOperator();
  default:
    // Bytes from 0x80 up and NUL bytes start no token either.
    reportError(InvalidCharacter);
    advance();
    return INVALID_TOKEN;
  }
}

int yylex() {
  lexer.tokenValue.text = nullptr;
  if (!skipSpaceAndComments())
    return INVALID_TOKEN;  // the next call finds the end of input
  int c = lexer.currentChar;
  if (isLetter(c))
    return readIdentifierOrKeyword();
  if (isDigit(c) || (c == '.' && isDigit(lexer.nextChar)))
    return readNumber();
  return readOtherToken();
}

TokenValue currentTokenValue() { return lexer.tokenValue; }

[[noreturn]] static void failToOpenInput() {
  std::fputs("Fatal Error Unable to open input file", stderr);
  std::exit(1);
}

void openInputFile(const char *inputFileName) {
  std::setlocale(LC_ALL, "C");
  if (lexer.inputFile)
    std::fclose(lexer.inputFile);
  lexer.inputFile = std::fopen(inputFileName, "r");
  if (!lexer.inputFile)
    failToOpenInput();
  lexer.inputFileName = inputFileName;
  lexer.inputEnded = false;
  lexer.bufferFill = 0;
  lexer.bufferPosition = 0;
  lexer.tokenValue.text = nullptr;
  lexer.currentChar = readCharacter();
  lexer.nextChar = readCharacter();
  lexer.lineNumber = 1;
  // A name that opens but cannot be read, such as a directory, is no input.
  if (std::ferror(lexer.inputFile))
    failToOpenInput();
}

const char *getInputFileName() { return lexer.inputFileName; }

int getLineNumber() { return lexer.lineNumber; }

void setLineNumber(int line) { lexer.lineNumber = line; }
