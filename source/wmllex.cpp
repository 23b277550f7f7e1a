#include "wmllex.h"

#include "errorhlr.h"
#include "fatal.h"
#include "mempool.h"
#include "tavokassert.h"

#include <array>
#include <bit>
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
// Words are hashed, runs of spaces passed and short literals copied eight or
// sixteen bytes at a time where they lie: the read buffer has room for
// sixteen bytes from any position up to the sentinel.
constexpr int readSlack = 15;
constexpr std::size_t shortCopyLength = 16;

// The text of one kind of token, reused from token to token; it only grows.
struct TextBuffer {
  char *bytes;
  std::size_t capacity;
  std::size_t length;
};

// Before any input is opened the lexer sees an empty, ended input: a
// sentinel with the read buffer's room after it.
constinit unsigned char noInput[1 + readSlack]{};

// The read buffer holds the bytes from the current character to `limit`,
// followed by a NUL that no scanning loop takes for a letter, digit or white
// space: the tight loops over identifiers and white space stop at the end of
// the buffered bytes without testing for it. The buffer is read on lazily,
// only where a character at or past the sentinel is needed, so the byte at
// the cursor is the current character unless it is the sentinel.
struct LexerState {
  std::FILE *inputFile;
  const char *inputFileName;
  unsigned char *cursor = noInput;  // the current character; equal to limit at the end of input
  unsigned char *limit = noInput;   // end of the buffered bytes, where the NUL sentinel sits
  bool inputEnded = true;  // a read delivered nothing: no further read is tried
  TextBuffer identifierText;  // an identifier that straddles two reads
  TextBuffer numberText;
  TextBuffer singleQuotedText;
  TextBuffer doubleQuotedText;
  // Reading on keeps at most one byte and reads while fewer than two are
  // buffered: a kept byte, one block and the sentinel at most.
  unsigned char readBuffer[1 + readBlockSize + 1 + readSlack];
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
constinit TokenValue lexerTokenValue{};
constinit int lexerLineNumber = 0;

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
  if (__builtin_add_overflow(lexerLineNumber, lineFeeds, &lexerLineNumber)) [[unlikely]]
    lexerLineNumber = INT_MAX;
}

// Leaving a line feed starts the next line; at the end of input nothing moves.
static inline void advance() {
  keepLookahead();
  if (lexer.cursor == lexer.limit)
    return;
  if (*lexer.cursor == '\n' && lexerLineNumber < INT_MAX)
    ++lexerLineNumber;
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
  lexerTokenValue.text = buffer.bytes;
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

// Passes the spaces from the position, eight at a time: a line is mostly
// indented by spaces. The sentinel stops the run, and the read buffer has
// room for eight bytes from it.
static unsigned char *skipSpaces(unsigned char *position) {
  constexpr std::uint64_t eightSpaces = 0x2020202020202020u;
  for (;;) {
    std::uint64_t differences;
    std::memcpy(&differences, position, sizeof differences);
    differences ^= eightSpaces;  // a zero byte for each space
    if (differences != 0) {
      const int spaceBits = std::endian::native == std::endian::little ? std::countr_zero(differences)
                                                                       : std::countl_zero(differences);
      return position + spaceBits / 8;
    }
    position += 8;
  }
}

// Every word is looked up, so the keywords sit in a table placed by the top
// eight bits of the scrambled name hash that interning uses; its multiplier
// was chosen so that no two keywords share a slot. A lookup is one probe,
// and since no keyword is longer than the texts the name hash tells apart,
// hash and length tell a keyword apart without comparing its text. A free
// slot has hash 0, which no word has.
constexpr std::size_t keywordSlotCount = 256;

struct KeywordSlot {
  NameHash hash;
  unsigned char keyword;  // position in keywordTable
  unsigned char length;
  // The keyword's token code, or 0 for a reserved word and for div, which
  // keywordToken deals with.
  std::uint16_t plainCode;
};

// The top eight bits of a multiplicative scramble of the name hash.
constexpr std::size_t keywordSlotOf(NameHash hash) { return scrambledNameHash(hash) >> 56; }
static_assert(keywordSlotCount == 256, "keywordSlotOf keeps eight bits");

static_assert([] {
  for (const Keyword &keyword : keywordTable)
    if (std::string_view(keyword.text).size() > nameHashExactLength)
      return false;
  return true;
}());

constexpr std::array<KeywordSlot, keywordSlotCount> keywordSlots = [] {
  std::array<KeywordSlot, keywordSlotCount> slots{};
  for (std::size_t k = 0; k < std::size(keywordTable); ++k) {
    const std::string_view text = keywordTable[k].text;
    const NameHash hash = nameHashOf(text);
    KeywordSlot &slot = slots[keywordSlotOf(hash)];
    if (slot.hash != 0)
      throw "two keywords share a slot";  // stops the compilation
    const bool plain = !keywordTable[k].reserved && keywordTable[k].code != DivKeyword;
    slot = KeywordSlot{.hash = hash, .keyword = static_cast<unsigned char>(k),
                       .length = static_cast<unsigned char>(text.size()),
                       .plainCode = static_cast<std::uint16_t>(plain ? keywordTable[k].code : 0)};
  }
  return slots;
}();

// No keyword is one letter long or ends in a digit, the one kind of word
// character without the 0x40 bit; the last byte of a short word is the low
// byte of its hash. Most names are ruled out so, without a probe.
constexpr NameHash noDigitBit = 0x40;
static_assert([] {
  for (const Keyword &keyword : keywordTable) {
    const std::string_view text = keyword.text;
    if (text.size() < 2 || !(text.back() & noDigitBit))
      return false;
  }
  return (!('0' & noDigitBit) && !('9' & noDigitBit) && ('A' & noDigitBit) && ('_' & noDigitBit));
}());

// The slot of the keyword that a word of 1 to 8 bytes, whose name hash is
// given, is; null when it is no keyword.
static inline const KeywordSlot *findKeywordSlot(NameHash hash, std::size_t length) {
  if (length < 2 || !(hash & noDigitBit))
    return nullptr;
  const KeywordSlot &slot = keywordSlots[keywordSlotOf(hash)];
  if (slot.hash != hash || slot.length != length)
    return nullptr;
  return &slot;
}

// Eight bytes from the position as a number whose first byte is the most
// significant, the order in which nameHashStep shifts bytes in.
static inline std::uint64_t bigEndianWordAt(const unsigned char *position) {
  std::uint64_t word;
  std::memcpy(&word, position, sizeof word);
  if constexpr (std::endian::native == std::endian::little)
    word = __builtin_bswap64(word);
  return word;
}

// nameHashStep rotates the hash by a byte for each byte, so the name hash of
// a text is its last eight bytes read as a big-endian number, XORed with the
// eight before them and so on, the first group holding what is left over.
// The read buffer has room for eight bytes from any buffered position, so a
// word is hashed where it lies, eight bytes at a time: a word of 1 to 8
// bytes in one step, the bytes after it shifted out.
static inline NameHash hashOfShortBufferedWord(const unsigned char *start, std::size_t length) {
  return bigEndianWordAt(start) >> (64 - 8 * length);
}

// A word of any length.
static NameHash hashOfBufferedWord(const unsigned char *start, std::size_t length) {
  if (length <= 8)
    return hashOfShortBufferedWord(start, length);
  NameHash hash = 0;
  const unsigned char *end = start + length;
  for (; end - start >= 8; end -= 8)
    hash ^= bigEndianWordAt(end - 8);
  if (end != start)
    hash ^= bigEndianWordAt(start) >> (64 - 8 * (end - start));
  return hash;
}

// The identifier characters from the position on, within the buffered bytes
// (the sentinel stops the loop).
static unsigned char *scanIdentifier(unsigned char *position) {
  while (isIdentifierByte(*position))
    ++position;
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
  lexerTokenValue.nameId = internNameText(word, hash);
  return IDENTIFIER;
}

// A name that is not interned yet, or longer than the hash tells apart.
[[gnu::noinline]] static TokenCode internWord(std::string_view word, NameHash hash) {
  lexerTokenValue.nameId = internNameText(word, hash);
  return IDENTIFIER;
}

// The token of a word read whole, keyword or name.
static TokenCode finishWord(std::string_view word, NameHash hash) {
  if (word.size() <= nameHashExactLength) {
    if (const KeywordSlot *keyword = findKeywordSlot(hash, word.size()))
      return keywordToken(&keywordTable[keyword->keyword], word, hash);
  }
  return internWord(word, hash);
}

// An identifier that runs to the end of the buffered bytes is gathered in
// the identifier text buffer, read by read, so that reading on cannot move it.
[[gnu::noinline]] static TokenCode readIdentifierAtBufferEnd(unsigned char *start,
                                                             unsigned char *end) {
  TextBuffer &buffer = lexer.identifierText;
  buffer.length = 0;
  for (;;) {
    appendBytes(buffer, start, static_cast<std::size_t>(end - start));
    lexer.cursor = end;
    if (end != lexer.limit || lexer.inputEnded)
      break;
    readOn();
    start = lexer.cursor;
    end = scanIdentifier(start);
  }
  const std::string_view word(buffer.bytes, buffer.length);
  return finishWord(word, nameHashOf(word));
}

// A word longer than eight bytes, which is no keyword.
[[gnu::noinline]] static TokenCode readLongWord(const unsigned char *start, std::size_t length) {
  const std::string_view word(reinterpret_cast<const char *>(start), length);
  const NameHash hash = hashOfBufferedWord(start, length);
  NameId name;
  if (!findLongName(word, hash, name)) [[unlikely]]
    return internWord(word, hash);
  lexerTokenValue.nameId = name;
  return IDENTIFIER;
}

// Most words end inside the buffered bytes, are at most eight bytes long
// and are known names: those are hashed and found where they lie, without a
// call. Out of line, so that yylex reaches it by a jump and saves no
// registers for it; so are its slow paths.
[[gnu::noinline]] static TokenCode readWord(unsigned char *start) {
  unsigned char *end = scanIdentifier(start + 1);  // yylex saw the first letter
  if (end == lexer.limit && !lexer.inputEnded) [[unlikely]]
    return readIdentifierAtBufferEnd(start, end);
  lexer.cursor = end;
  const auto length = static_cast<std::size_t>(end - start);
  if (length > nameHashExactLength) [[unlikely]]
    return readLongWord(start, length);
  const NameHash hash = hashOfShortBufferedWord(start, length);
  if (const KeywordSlot *keyword = findKeywordSlot(hash, length)) {
    if (keyword->plainCode != 0)
      return static_cast<TokenCode>(keyword->plainCode);
    return keywordToken(&keywordTable[keyword->keyword],
                        std::string_view(reinterpret_cast<const char *>(start), length), hash);
  }
  NameId name;
  if (!findShortName(hash, length, name)) [[unlikely]]
    return internWord(std::string_view(reinterpret_cast<const char *>(start), length), hash);
  lexerTokenValue.nameId = name;
  return IDENTIFIER;
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

// The end of the common number that starts at the position: a decimal
// integer or a lone 0, with or without a fraction, buffered whole and
// followed by neither an exponent nor (after a 0) a digit or an x. Null for
// any other number; the code tells an integer from a float.
static const unsigned char *scanPlainDecimal(const unsigned char *start, TokenCode &code) {
  if (!isByteOfClass(*start, DigitClass))
    return nullptr;  // a point before a digit
  const unsigned char *end = start + 1;
  if (*start != '0') {
    while (isByteOfClass(*end, DigitClass))
      ++end;
  } else if (*end == 'x' || *end == 'X' || isByteOfClass(*end, DigitClass)) {
    return nullptr;  // hexadecimal or octal
  }
  code = INTEGER_LITERAL;
  if (*end == '.') {
    code = FLOAT_LITERAL;
    ++end;
    while (isByteOfClass(*end, DigitClass))
      ++end;
  }
  // The sentinel may hide more digits; an exponent needs its own checks.
  if (end >= lexer.limit || *end == 'e' || *end == 'E')
    return nullptr;
  return end;
}

// A literal text of up to 14 bytes, with the 0 a float may get and its NUL,
// fits the sixteen bytes copied in one step.
constexpr std::size_t shortTextLength = shortCopyLength - 2;

// Copies a short literal's text into its buffer, known to hold sixteen bytes
// at least, ends it with its NUL and makes it the token value; the bytes
// copied past the NUL are not part of it.
static inline void copyShortText(TextBuffer &buffer, const unsigned char *start, std::size_t length) {
  std::memcpy(buffer.bytes, start, shortCopyLength);
  buffer.bytes[length] = '\0';
  buffer.length = length + 1;
  lexerTokenValue.text = buffer.bytes;
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

// A common number read where it lies, but not short or the first of its
// buffer, or any other number, with every check.
[[gnu::noinline]] static TokenCode readNumberWithChecks(const unsigned char *start,
                                                        const unsigned char *plainEnd,
                                                        TokenCode code) {
  TextBuffer &buffer = lexer.numberText;
  buffer.length = 0;
  if (!plainEnd)
    return readNumberInFull(buffer);
  appendBytes(buffer, start, static_cast<std::size_t>(plainEnd - start));
  lexer.cursor += plainEnd - start;
  if (code == FLOAT_LITERAL)
    return finishFloat(buffer);
  finishText(buffer);
  return INTEGER_LITERAL;
}

// The common numbers are read where they lie, and the short ones copied in
// one step; the others, with every check, out of line.
[[gnu::noinline]] static TokenCode readNumber() {
  const unsigned char *start = lexer.cursor;
  TokenCode code = INTEGER_LITERAL;
  const unsigned char *end = scanPlainDecimal(start, code);
  TextBuffer &buffer = lexer.numberText;
  const auto length = static_cast<std::size_t>(end - start);
  if (!end || length > shortTextLength || buffer.capacity < shortCopyLength) [[unlikely]]
    return readNumberWithChecks(start, end, code);
  lexer.cursor = const_cast<unsigned char *>(end);
  // A float text ending in its point gets a 0 (1. becomes 1.0).
  if (code == FLOAT_LITERAL && end[-1] == '.') [[unlikely]] {
    copyShortText(buffer, start, length + 1);
    buffer.bytes[length] = '0';
    return FLOAT_LITERAL;
  }
  copyShortText(buffer, start, length);
  return code;
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
  const auto length = static_cast<std::size_t>(end - start);
  lexer.cursor += length;
  if (length <= shortTextLength && buffer.capacity >= shortCopyLength) {
    copyShortText(buffer, start, length);
    return true;
  }
  appendBytes(buffer, start, length);
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

// The forms of an operator that is one character, that character and '=',
// that character twice, or twice and '=' (the longest match wins): their
// token codes by the first character; 0 where a form does not exist. >>>
// and >>>= are left to readGreaterOperator.
struct OperatorForms {
  std::uint16_t alone;
  std::uint16_t withAssign;
  std::uint16_t doubled;
  std::uint16_t doubledWithAssign;
};

constexpr std::array<OperatorForms, 256> operatorForms = [] {
  std::array<OperatorForms, 256> forms{};
  const std::pair<char, OperatorForms> operators[] = {
      {'!', {NotToken, NotEqualToken, 0, 0}},
      {'%', {RemainderToken, RemainderAssignToken, 0, 0}},
      {'*', {MultiplyToken, MultiplyAssignToken, 0, 0}},
      {'/', {DivideToken, DivideAssignToken, 0, 0}},
      {'=', {AssignToken, EqualToken, 0, 0}},
      {'^', {BitXorToken, BitXorAssignToken, 0, 0}},
      {'&', {BitAndToken, BitAndAssignToken, AndToken, 0}},
      {'+', {PlusToken, PlusAssignToken, IncrementToken, 0}},
      {'-', {MinusToken, MinusAssignToken, DecrementToken, 0}},
      {'|', {BitOrToken, BitOrAssignToken, OrToken, 0}},
      {'<', {LessToken, LessEqualToken, LeftShiftToken, LeftShiftAssignToken}},
      {'>', {GreaterToken, GreaterEqualToken, RightShiftToken, RightShiftAssignToken}}};
  for (auto [c, operatorForm] : operators)
    forms[static_cast<unsigned char>(c)] = operatorForm;
  return forms;
}();

// The operator at the position, with every check and reading on where the
// sentinel hides a character.
[[gnu::noinline]] static TokenCode readOperatorSlowly(unsigned char *position) {
  const unsigned char first = *position;  // reading on moves the buffered bytes
  lexer.cursor = position;
  if (first == '<')
    return readLessOperator();
  if (first == '>')
    return readGreaterOperator();
  const OperatorForms &forms = operatorForms[first];
  passPlainCharacter();
  if (take('='))
    return static_cast<TokenCode>(forms.withAssign);
  if (forms.doubled != 0 && take(first))
    return static_cast<TokenCode>(forms.doubled);
  return static_cast<TokenCode>(forms.alone);
}

// An operator with the forms of operatorForms, whose first character is at
// the position. The bytes after it are buffered, or the sentinel comes
// first, which is neither '=' nor an operator character.
[[gnu::always_inline]] inline static TokenCode readOperator(unsigned char *position) {
  const unsigned char first = *position;
  const OperatorForms &forms = operatorForms[first];
  const unsigned char second = position[1];
  if (second == '=') {
    lexer.cursor = position + 2;
    return static_cast<TokenCode>(forms.withAssign);
  }
  if (second == first && forms.doubled != 0) {
    if (forms.doubledWithAssign != 0) {
      const unsigned char third = position[2];
      if (third == '=') {
        lexer.cursor = position + 3;
        return static_cast<TokenCode>(forms.doubledWithAssign);
      }
      if (third == '>' || (position + 2 == lexer.limit && !lexer.inputEnded)) [[unlikely]]
        return readOperatorSlowly(position);
    }
    lexer.cursor = position + 2;
    return static_cast<TokenCode>(forms.doubled);
  }
  if (position + 1 == lexer.limit && !lexer.inputEnded) [[unlikely]]
    return readOperatorSlowly(position);
  lexer.cursor = position + 1;
  return static_cast<TokenCode>(forms.alone);
}

// What yylex does with the byte at the start of a token: for a token of
// that one character, its code; otherwise a kind of what the byte starts.
// Token codes start at 257, above every kind.
enum ByteKind : std::uint16_t {
  BlankByte,     // white space but the line feed, passed before the dispatch
  OtherByte,     // for readOtherToken: the point (which may start a number), the
                 // quotes, and every byte that starts no token
  LetterByte,    // a word
  OperatorByte,  // an operator with the forms of operatorForms, but the slash
  DigitByte,     // a number
  LineFeedByte,  // a line feed, passed with the white space and comments after it
  SlashByte,     // a comment, or a division operator
  NulByte,       // the sentinel at the end of the buffered bytes, or a NUL of the source
};
constexpr std::uint16_t firstTokenCode = 257;

constexpr std::array<std::uint16_t, 256> byteActions = [] {
  std::array<std::uint16_t, 256> actions{};
  actions.fill(OtherByte);
  const std::pair<char, TokenCode> punctuation[] = {
      {'#', HashToken},  {'(', LeftParenToken}, {')', RightParenToken}, {',', CommaToken},
      {':', ColonToken}, {';', SemicolonToken}, {'?', QuestionToken},   {'{', LeftBraceToken},
      {'}', RightBraceToken}, {'~', BitNotToken}};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const unsigned char characterClass = classTable[byte + 1];
    if (characterClass & LetterClass)
      actions[byte] = LetterByte;
    else if (characterClass & DigitClass)
      actions[byte] = DigitByte;
    else if (characterClass & BlankClass)
      actions[byte] = BlankByte;
    else if (operatorForms[byte].alone != 0)
      actions[byte] = OperatorByte;
  }
  for (auto [c, code] : punctuation)
    actions[static_cast<unsigned char>(c)] = static_cast<std::uint16_t>(code);
  actions['\n'] = LineFeedByte;
  actions['/'] = SlashByte;
  actions['\0'] = NulByte;
  return actions;
}();

static TokenCode skipInvalidCharacter() {
  reportError(InvalidCharacter);
  passPlainCharacter();
  return INVALID_TOKEN;
}

static TokenCode punctuation(TokenCode code) {
  passPlainCharacter();
  return code;
}

// The tokens that the dispatch of yylex leaves to a switch on the byte at
// the cursor.
[[gnu::noinline]] static TokenCode readOtherToken() {
  switch (*lexer.cursor) {
  case '\0':
    // Not the sentinel, which has been dealt with: a NUL byte of the source.
    return skipInvalidCharacter();
  case '"':
  case '\'':
    return readString();
  case '.':
    if (isDigit(nextChar()))
      return readNumber();
    return punctuation(DotToken);
  default:
    // Bytes from 0x80 up start no token either.
    return skipInvalidCharacter();
  }
}

[[gnu::noinline]] static int readTokenAfterSpace(unsigned char *position);

// The token that starts at the position, past the blanks; the action is
// the byte's from byteActions. Until line feeds, comments and the end of
// the buffered bytes have been passed (spaceSkipped), their bytes lead to
// readTokenAfterSpace. The tests run from the most frequent tokens on. The
// readers are out of line and reached by a jump, so that this dispatch
// saves no registers.
template <bool spaceSkipped>
[[gnu::always_inline]] inline static int readTokenAt(unsigned char *position, std::uint16_t action) {
  if (action >= firstTokenCode) {
    lexer.cursor = position + 1;
    return action;
  }
  if (action == LetterByte)
    return readWord(position);
  if (action == OperatorByte)
    return readOperator(position);
  if (action == DigitByte) {
    lexer.cursor = position;
    return readNumber();
  }
  if (action != OtherByte) {
    if constexpr (!spaceSkipped) {
      return readTokenAfterSpace(position);
    } else {
      // What is left is a NUL byte of the source.
      ASSERT(*position == '\0' && position != lexer.limit);
    }
  }
  lexer.cursor = position;
  return readOtherToken();
}

// Passes white space, comments and the end of the buffered bytes, from a
// line feed, a slash or a NUL on; reads on at the sentinel. Then the token
// after them, or the end of input. Line feeds in white space are counted as
// they are passed and added to the line before anything that may report an
// error or read on; a line is mostly indented by spaces, which are passed
// eight at a time.
[[gnu::noinline]] static int readTokenAfterSpace(unsigned char *position) {
  int lineFeeds = 0;
  for (;;) {
    const std::uint16_t action = byteActions[*position];
    if (action == LineFeedByte) {
      ++lineFeeds;
      position = skipSpaces(position + 1);
      continue;
    }
    if (action == BlankByte) {
      ++position;
      continue;
    }
    countLines(lineFeeds);
    lineFeeds = 0;
    if (action == SlashByte) {
      lexer.cursor = position;
      const int after = nextChar();  // reading on moves the buffered bytes
      if (after == '/') {
        skipLineComment();
        position = lexer.cursor;
        continue;
      }
      if (after == '*') {
        if (!skipBlockComment())
          return INVALID_TOKEN;  // the next call finds the end of input
        position = lexer.cursor;
        continue;
      }
      return readOperator(lexer.cursor);  // a division operator
    }
    if (action == NulByte && position == lexer.limit) {
      lexer.cursor = position;
      if (lexer.inputEnded)
        return EndOfInputToken;
      readOn();
      position = lexer.cursor;
      continue;
    }
    return readTokenAt<true>(position, action);
  }
}

// Tokens are mostly apart by a blank or two: those are passed here, and the
// rest of the white space and the comments, which take calls, out of line.
// A single space, the most common separator, is passed without a branch,
// which would be mispredicted wherever tokens with and without a space
// before them alternate.
int yylex() {
  unsigned char *position = lexer.cursor;
  position += *position == ' ';
  std::uint16_t action;
  while ((action = byteActions[*position]) == BlankByte)
    ++position;
  return readTokenAt<false>(position, action);
}

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
  lexerTokenValue.text = nullptr;
  readOn();
  lexerLineNumber = 1;
  // A name that opens but cannot be read, such as a directory, is no input.
  if (std::ferror(lexer.inputFile))
    failToOpenInput();
}

const char *getInputFileName() { return lexer.inputFileName; }

void setLineNumber(int line) { lexerLineNumber = line; }
