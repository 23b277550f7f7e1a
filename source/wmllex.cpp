#include "wmllex.h"

#include "errorhlr.h"
#include "fatal.h"
#include "mempool.h"
#include "tavokassert.h"

#include <array>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

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

// Before any input is opened the lexer sees an empty, ended input.
constinit unsigned char noInput = '\0';

// The read buffer holds the bytes from the current character to `limit`,
// followed by a NUL that no scanning loop takes for a letter, digit or white
// space: the tight loops over identifiers and white space stop at the end of
// the buffered bytes without testing for it. The buffer is read on lazily,
// only where a character at or past the sentinel is needed, so the byte at
// the cursor is the current character unless it is the sentinel.
struct LexerState {
  std::FILE *inputFile;
  const char *inputFileName;
  unsigned char *cursor = &noInput;  // the current character; equal to limit at the end of input
  unsigned char *limit = &noInput;   // end of the buffered bytes, where the NUL sentinel sits
  int lineNumber;
  bool inputEnded = true;  // a read delivered nothing: no further read is tried
  TokenValue tokenValue;
  TextBuffer identifierText;  // an identifier that straddles two reads
  TextBuffer numberText;
  TextBuffer singleQuotedText;
  TextBuffer doubleQuotedText;
  // Reading on keeps at most one byte and reads while fewer than two are
  // buffered: a kept byte, one block and the sentinel at most.
  unsigned char readBuffer[1 + readBlockSize + 1];
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
  BlankClass = 16,      // white space but the line feed: space, tab, vertical tab, form
                        // feed, carriage return
  StringStopClass = 32, // what ends a run of plain string characters: quotes, backslash,
                        // line feed, and NUL for the sentinel
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
  for (int c : {'"', '\'', '\\', '\n', '\0'})
    mark(c, c, StringStopClass);
  mark(' ', ' ', BlankClass);
  mark('\t', '\t', BlankClass);
  mark('\v', '\r', BlankClass);  // vertical tab, form feed, carriage return
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

static inline bool isDigit(int c) { return isOfClass(c, DigitClass); }

static inline bool isByteOfClass(unsigned char c, unsigned char characterClass) {
  return (classTable[c + 1u] & characterClass) != 0;
}
static inline bool isIdentifierByte(unsigned char c) { return isByteOfClass(c, LetterClass | DigitClass); }

// Moves the unread bytes (one at most) to the front of the buffer and reads
// until two bytes are buffered or a read delivers nothing. Every byte, 0xFF
// included, is an ordinary character: only a read that delivers nothing ends
// the input.
[[gnu::noinline]] static void readOn() {
  const auto kept = static_cast<std::size_t>(lexer.limit - lexer.cursor);
  ASSERT(kept < 2);
  if (kept != 0)
    std::memmove(lexer.readBuffer, lexer.cursor, kept);
  lexer.cursor = lexer.readBuffer;
  lexer.limit = lexer.readBuffer + kept;
  while (lexer.limit - lexer.cursor < 2 && !lexer.inputEnded) {
    const std::size_t delivered =
        lexer.inputFile ? std::fread(lexer.limit, 1, readBlockSize, lexer.inputFile) : 0;
    if (delivered == 0)
      lexer.inputEnded = true;
    lexer.limit += delivered;
  }
  *lexer.limit = '\0';
}

// Makes sure the current character and the one after it are buffered,
// unless the input ends first. Reading on moves the buffered bytes.
static inline void keepLookahead() {
  if (lexer.limit - lexer.cursor < 2 && !lexer.inputEnded) [[unlikely]]
    readOn();
}

static inline int currentChar() {
  keepLookahead();
  return lexer.cursor < lexer.limit ? *lexer.cursor : endOfInput;
}

static inline int nextChar() {
  keepLookahead();
  return lexer.limit - lexer.cursor >= 2 ? lexer.cursor[1] : endOfInput;
}

// Line feeds passed in one stretch. A source of more lines than an int
// counts has all the rest on its last line.
static inline void countLines(int lineFeeds) {
  lexer.lineNumber = lexer.lineNumber > INT_MAX - lineFeeds ? INT_MAX : lexer.lineNumber + lineFeeds;
}

// Leaving a line feed starts the next line; at the end of input nothing moves.
static inline void advance() {
  keepLookahead();
  if (lexer.cursor == lexer.limit)
    return;
  if (*lexer.cursor == '\n' && lexer.lineNumber < INT_MAX)
    ++lexer.lineNumber;
  ++lexer.cursor;
}

// Moves past the current character, known to be buffered and no line feed.
static inline void passPlainCharacter() { ++lexer.cursor; }

// Advances over the expected character, never a line feed, when it is the
// current one. The sentinel is no expected character, so a match is a
// buffered byte; at the sentinel the buffer is read on first.
static inline bool take(int expected) {
  ASSERT(expected != '\n' && expected != '\0');
  if (*lexer.cursor != expected) {
    if (lexer.cursor != lexer.limit || lexer.inputEnded)
      return false;
    readOn();
    if (*lexer.cursor != expected)
      return false;
  }
  passPlainCharacter();
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

// Literals are mostly a few bytes long: those are copied without a call.
static inline void appendBytes(TextBuffer &buffer, const unsigned char *bytes, std::size_t count) {
  while (buffer.capacity - buffer.length < count) [[unlikely]]
    growTextBuffer(buffer);
  char *destination = buffer.bytes + buffer.length;
  if (count <= 16) {
    for (std::size_t i = 0; i < count; ++i)
      destination[i] = static_cast<char>(bytes[i]);
  } else {
    std::memcpy(destination, bytes, count);
  }
  buffer.length += count;
}

// Stores the current character and moves past it.
static inline void takeInto(TextBuffer &buffer) {
  appendByte(buffer, currentChar());
  advance();
}

// Stores the characters of the class from the cursor on, read by read. The
// class includes neither the line feed nor NUL, so the sentinel ends a run.
static void takeRun(TextBuffer &buffer, unsigned char characterClass) {
  for (;;) {
    unsigned char *position = lexer.cursor;
    while (isByteOfClass(*position, characterClass))
      ++position;
    appendBytes(buffer, lexer.cursor, static_cast<std::size_t>(position - lexer.cursor));
    lexer.cursor = position;
    if (position != lexer.limit || lexer.inputEnded)
      return;
    readOn();
  }
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
[[gnu::noinline]] static bool skipBlockComment() {
  for (;;) {
    if (nextChar() == endOfInput) {
      advance();
      reportError(EndOfFileInComment);
      return false;
    }
    if (currentChar() == '*' && nextChar() == '/') {
      advance();
      advance();
      return true;
    }
    advance();
  }
}

// Up to and past the first line feed, or to the end of input.
[[gnu::noinline]] static void skipLineComment() {
  for (;;) {
    const auto buffered = static_cast<std::size_t>(lexer.limit - lexer.cursor);
    if (const void *lineFeed = std::memchr(lexer.cursor, '\n', buffered)) {
      lexer.cursor = static_cast<unsigned char *>(const_cast<void *>(lineFeed));
      advance();
      return;
    }
    lexer.cursor = lexer.limit;
    if (lexer.inputEnded)
      return;
    readOn();
  }
}

// Passes the white space from the cursor, stopping at the sentinel at the
// latest, and counts its line feeds: blanks run by run, line feeds one by one.
static void skipSpaceStretch() {
  unsigned char *position = lexer.cursor;
  int lineFeeds = 0;
  for (;;) {
    while (isByteOfClass(*position, BlankClass))
      ++position;
    if (*position != '\n')
      break;
    ++lineFeeds;
    ++position;
  }
  lexer.cursor = position;
  if (lineFeeds != 0)
    countLines(lineFeeds);
}

// Every identifier is looked up, so the keywords sit in an open-addressed
// table placed by the name hash that interning uses, which the identifier
// reader computes as it goes: a lookup is a probe or two, and hash and length
// tell a keyword apart without comparing its text.
constexpr std::size_t keywordSlotCount = 256;  // a power of two, over four times the keywords

struct KeywordSlot {
  NameHash hash;
  unsigned char keyword;  // position in keywordTable plus one, or 0 for an empty slot
  unsigned char length;
};

// The top eight bits of a multiplicative scramble of the name hash.
constexpr std::size_t keywordHomeSlot(NameHash hash) { return (hash * 0x9E3779B97F4A7C15u) >> 56; }
static_assert(keywordSlotCount == 256, "keywordHomeSlot keeps eight bits");

constexpr std::array<KeywordSlot, keywordSlotCount> keywordSlots = [] {
  std::array<KeywordSlot, keywordSlotCount> slots{};
  for (std::size_t k = 0; k < std::size(keywordTable); ++k) {
    const std::string_view text = keywordTable[k].text;
    const NameHash hash = nameHashOf(text);
    std::size_t slot = keywordHomeSlot(hash);
    while (slots[slot].keyword != 0)
      slot = (slot + 1) & (keywordSlotCount - 1);
    slots[slot] = KeywordSlot{.hash = hash, .keyword = static_cast<unsigned char>(k + 1),
                              .length = static_cast<unsigned char>(text.size())};
  }
  return slots;
}();

// No keyword is longer than the texts the name hash tells apart, so a
// keyword's hash and length match only the keyword itself.
static_assert([] {
  for (const Keyword &keyword : keywordTable)
    if (std::string_view(keyword.text).size() > nameHashExactLength)
      return false;
  return true;
}());

// Null when the word, whose name hash is given, is no keyword.
static const Keyword *findKeyword(std::string_view word, NameHash hash) {
  for (std::size_t slot = keywordHomeSlot(hash);; slot = (slot + 1) & (keywordSlotCount - 1)) {
    const KeywordSlot &entry = keywordSlots[slot];
    if (entry.keyword == 0)
      return nullptr;
    if (entry.hash == hash && entry.length == word.size())
      return &keywordTable[entry.keyword - 1];
  }
}

// Takes the identifier characters from the position on, within the buffered
// bytes (the sentinel stops the loop), and hashes them on the way.
static unsigned char *scanIdentifier(unsigned char *position, NameHash &hash) {
  while (isIdentifierByte(*position)) {
    hash = nameHashStep(hash, *position);
    ++position;
  }
  return position;
}

// The token of a keyword. A reserved word is reported and parsing goes on
// with it as a name. Out of line, so that the readers of names keep no
// registers for it.
[[gnu::noinline]] static TokenCode keywordToken(const Keyword *keyword, std::string_view word,
                                                NameHash hash) {
  if (!keyword->reserved) {
    // div= is written without a space; "div =" is div and an assignment.
    if (keyword->code == DivKeyword && take('='))
      return IntegerDivideAssignToken;
    return keyword->code;
  }
  reportError(ReservedKeyword);
  lexer.tokenValue.nameId = internNameText(word, hash);
  return IDENTIFIER;
}

// The token of a word read whole, keyword or name.
static TokenCode finishWord(std::string_view word, NameHash hash) {
  if (const Keyword *keyword = findKeyword(word, hash)) [[unlikely]]
    return keywordToken(keyword, word, hash);
  lexer.tokenValue.nameId = internNameText(word, hash);
  return IDENTIFIER;
}

// An identifier that runs to the end of the buffered bytes is gathered in
// the identifier text buffer, read by read, so that reading on cannot move it.
[[gnu::noinline]] static TokenCode readIdentifierAtBufferEnd(unsigned char *start,
                                                             unsigned char *end,
                                                             NameHash hash) {
  TextBuffer &buffer = lexer.identifierText;
  buffer.length = 0;
  for (;;) {
    appendBytes(buffer, start, static_cast<std::size_t>(end - start));
    lexer.cursor = end;
    if (end != lexer.limit || lexer.inputEnded)
      break;
    readOn();
    start = lexer.cursor;
    end = scanIdentifier(start, hash);
  }
  return finishWord(std::string_view(buffer.bytes, buffer.length), hash);
}

// Most words end inside the buffered bytes and are looked up where they lie.
// Out of line, with the whole look-up inside, so that yylex reaches it by a
// jump and saves no registers for it.
[[gnu::noinline, gnu::flatten]] static TokenCode readIdentifierOrKeyword() {
  unsigned char *start = lexer.cursor;
  NameHash hash = 0;
  unsigned char *end = scanIdentifier(start, hash);
  if (end == lexer.limit && !lexer.inputEnded) [[unlikely]]
    return readIdentifierAtBufferEnd(start, end, hash);
  lexer.cursor = end;
  return finishWord(
      std::string_view(reinterpret_cast<const char *>(start), static_cast<std::size_t>(end - start)),
      hash);
}

static void takeDigits(TextBuffer &buffer) { takeRun(buffer, DigitClass); }

static unsigned char digitClassOfBase(int base) {
  switch (base) {
  case 8:
    return OctalDigitClass;
  case 10:
    return DigitClass;
  case 16:
    return HexDigitClass;
  }
  ASSERT(base == 8 || base == 10 || base == 16);
  return DigitClass;
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
  if (currentChar() == '+' || currentChar() == '-')
    takeInto(buffer);
  if (!isDigit(currentChar()))
    return failToken(IncorrectConstantSyntax);
  takeDigits(buffer);
  return finishFloat(buffer);
}

// After the point: the fraction's digits and an optional exponent.
static TokenCode readFraction(TextBuffer &buffer) {
  takeDigits(buffer);
  if (currentChar() == 'e' || currentChar() == 'E') {
    takeInto(buffer);
    return readExponent(buffer);
  }
  return finishFloat(buffer);
}

// The common number, read where it lies: a decimal integer or a lone 0,
// with or without a fraction, buffered whole and followed by neither an
// exponent nor (after a 0) a digit or an x. The token code, or the end of
// input code with nothing taken for any other number.
static TokenCode readPlainDecimal(TextBuffer &buffer) {
  const unsigned char *start = lexer.cursor;
  if (!isByteOfClass(*start, DigitClass))
    return EndOfInputToken;  // a point before a digit
  const unsigned char *end = start + 1;
  if (*start != '0') {
    while (isByteOfClass(*end, DigitClass))
      ++end;
  } else if (*end == 'x' || *end == 'X' || isByteOfClass(*end, DigitClass)) {
    return EndOfInputToken;  // hexadecimal or octal
  }
  TokenCode code = INTEGER_LITERAL;
  if (*end == '.') {
    code = FLOAT_LITERAL;
    ++end;
    while (isByteOfClass(*end, DigitClass))
      ++end;
  }
  // The sentinel may hide more digits; an exponent needs its own checks.
  if (end >= lexer.limit || *end == 'e' || *end == 'E')
    return EndOfInputToken;
  appendBytes(buffer, start, static_cast<std::size_t>(end - start));
  lexer.cursor += end - start;
  if (code == FLOAT_LITERAL)
    return finishFloat(buffer);
  finishText(buffer);
  return INTEGER_LITERAL;
}

// A number starts with a digit or with a point before a digit. Its text is
// kept as written (0x and the octal 0 included); the constant pool decides
// the value.
[[gnu::noinline]] static TokenCode readNumberInFull(TextBuffer &buffer) {
  if (currentChar() == '.') {
    takeInto(buffer);
    return readFraction(buffer);
  }

  int base = 10;
  if (currentChar() == '0') {
    base = 8;
    if (nextChar() == 'x' || nextChar() == 'X') {
      base = 16;
      takeInto(buffer);
    }
  }
  takeInto(buffer);
  takeRun(buffer, digitClassOfBase(base));
  bool malformedOctal = false;
  if (base == 8 && isDigit(currentChar())) {
    malformedOctal = true;  // an 8 or a 9
    takeDigits(buffer);
  }

  // A point or an exponent makes a float of any integer part, even an octal
  // one with 8 or 9 (09.5) or a hexadecimal one (0x1F.5).
  if (currentChar() == '.') {
    takeInto(buffer);
    return readFraction(buffer);
  }
  if (currentChar() == 'e' || currentChar() == 'E') {
    takeInto(buffer);
    return readExponent(buffer);
  }
  if (malformedOctal)
    return failToken(IncorrectConstantSyntax);
  finishText(buffer);
  return INTEGER_LITERAL;
}

// The common numbers are read where they lie; the others, with every check,
// out of line.
[[gnu::noinline]] static TokenCode readNumber() {
  TextBuffer &buffer = lexer.numberText;
  buffer.length = 0;
  if (const TokenCode plain = readPlainDecimal(buffer); plain != EndOfInputToken)
    return plain;
  return readNumberInFull(buffer);
}

// Stores the string's plain characters from the cursor on, as far as they
// are buffered; the sentinel ends the run at the latest.
static void takePlainStringRun(TextBuffer &buffer) {
  unsigned char *position = lexer.cursor;
  while (!isByteOfClass(*position, StringStopClass))
    ++position;
  appendBytes(buffer, lexer.cursor, static_cast<std::size_t>(position - lexer.cursor));
  lexer.cursor = position;
}

// The common string, read where it lies: buffered whole, with neither an
// escape nor a line feed, NUL or the other quote before its closing quote.
// False, with nothing taken, for any other string.
static bool readPlainString(TextBuffer &buffer, unsigned char quote) {
  const unsigned char *start = lexer.cursor;
  const unsigned char *end = start + 1;
  while (!isByteOfClass(*end, StringStopClass))
    ++end;
  if (*end != quote)  // the sentinel is no quote
    return false;
  ++end;
  appendBytes(buffer, start, static_cast<std::size_t>(end - start));
  lexer.cursor += end - start;
  finishText(buffer);
  return true;
}

// A backslash is stored with the character after it, so an escaped quote
// does not end the string and an escaped line feed continues it. The
// escapes are decoded by the constant pool.
[[gnu::noinline]] static TokenCode readString() {
  int quote = currentChar();
  TextBuffer &buffer = quote == '"' ? lexer.doubleQuotedText : lexer.singleQuotedText;
  buffer.length = 0;
  if (readPlainString(buffer, static_cast<unsigned char>(quote)))
    return STRING_LITERAL;
  takeInto(buffer);
  for (;;) {
    takePlainStringRun(buffer);
    int c = currentChar();
    if (c == quote) {
      takeInto(buffer);
      finishText(buffer);
      return STRING_LITERAL;
    }
    // The line feed is left to be skipped as white space.
    if (c == '\n' || c == endOfInput)
      return failToken(UnterminatedString);
    takeInto(buffer);  // the other quote, a NUL or a backslash
    if (c == '\\' && currentChar() != endOfInput)
      takeInto(buffer);
  }
}

// The operators that are one character, that character and '=', or that
// character twice: the longest match wins.
[[gnu::always_inline]] inline static TokenCode readOperator(TokenCode alone, TokenCode withAssign,
                                                          TokenCode doubled) {
  const int first = *lexer.cursor;  // yylex saw it, so it is buffered
  passPlainCharacter();
  if (take('='))
    return withAssign;
  if (doubled != EndOfInputToken && take(first))
    return doubled;
  return alone;
}

static TokenCode readLessOperator() {
  passPlainCharacter();
  if (take('='))
    return LessEqualToken;
  if (take('<'))
    return take('=') ? LeftShiftAssignToken : LeftShiftToken;
  return LessToken;
}

static TokenCode readGreaterOperator() {
  passPlainCharacter();
  if (take('='))
    return GreaterEqualToken;
  if (!take('>'))
    return GreaterToken;
  if (take('>'))
    return take('=') ? UnsignedRightShiftAssignToken : UnsignedRightShiftToken;
  return take('=') ? RightShiftAssignToken : RightShiftToken;
}

// The one-character tokens but the point (which may start a number), by
// byte value; 0 for the other bytes.
constexpr std::array<std::uint16_t, 256> punctuationCodes = [] {
  std::array<std::uint16_t, 256> codes{};
  const std::pair<char, TokenCode> tokens[] = {
      {'#', HashToken},  {'(', LeftParenToken}, {')', RightParenToken}, {',', CommaToken},
      {':', ColonToken}, {';', SemicolonToken}, {'?', QuestionToken},   {'{', LeftBraceToken},
      {'}', RightBraceToken}, {'~', BitNotToken}};
  for (auto [c, code] : tokens)
    codes[static_cast<unsigned char>(c)] = static_cast<std::uint16_t>(code);
  return codes;
}();

static TokenCode punctuation(TokenCode code) {
  passPlainCharacter();
  return code;
}

static TokenCode skipInvalidCharacter() {
  reportError(InvalidCharacter);
  passPlainCharacter();
  return INVALID_TOKEN;
}

[[gnu::noinline]] static TokenCode readOtherToken() {
  switch (*lexer.cursor) {
  case '\0':
    // Not the sentinel, which yylex has dealt with: a NUL byte of the source.
    return skipInvalidCharacter();
  case '"':
  case '\'':
    return readString();
  case '.':
    return punctuation(DotToken);  // the rest of punctuation is yylex's
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
    // Bytes from 0x80 up start no token either.
    return skipInvalidCharacter();
  }
}

// White space and comments are skipped first. The byte at the cursor is
// always readable, and letters and digits are told apart by one look at its
// class. At the sentinel the buffer is read on, or the input has ended. The
// readers of tokens are out of line and reached by a jump, so that this
// loop, run for every token, saves no registers.
int yylex() {
  lexer.tokenValue.text = nullptr;
  for (;;) {
    // Tokens are mostly apart by a blank or two: those are passed here.
    unsigned char *position = lexer.cursor;
    while (isByteOfClass(*position, BlankClass))
      ++position;
    lexer.cursor = position;
    const unsigned char byte = *position;
    const unsigned char byteClass = classTable[byte + 1u];
    if (byteClass & LetterClass)
      return readIdentifierOrKeyword();
    if (byteClass & DigitClass)
      return readNumber();
    if (byte == '\n') {
      skipSpaceStretch();
      continue;
    }
    if (const std::uint16_t code = punctuationCodes[byte]) {
      passPlainCharacter();
      return code;
    }
    if (byte == '/' || byte == '.') {
      const int after = nextChar();
      if (byte == '/' && after == '/') {
        skipLineComment();
        continue;
      }
      if (byte == '/' && after == '*') {
        if (!skipBlockComment())
          return INVALID_TOKEN;  // the next call finds the end of input
        continue;
      }
      if (byte == '.' && isDigit(after))
        return readNumber();
    } else if (byte == '\0' && lexer.cursor == lexer.limit) {
      if (lexer.inputEnded)
        return EndOfInputToken;
      readOn();
      continue;
    }
    return readOtherToken();
  }
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
  lexer.cursor = lexer.limit = lexer.readBuffer;
  lexer.tokenValue.text = nullptr;
  readOn();
  lexer.lineNumber = 1;
  // A name that opens but cannot be read, such as a directory, is no input.
  if (std::ferror(lexer.inputFile))
    failToOpenInput();
}

const char *getInputFileName() { return lexer.inputFileName; }

int getLineNumber() { return lexer.lineNumber; }

void setLineNumber(int line) { lexer.lineNumber = line; }
