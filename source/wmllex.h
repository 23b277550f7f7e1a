// The lexical analyser reads the source as a stream of 8-bit characters in
// blocks and owns the current source line, which every diagnostic and every
// line stamp of the intermediate code uses. It hands the parser one token at
// a time; literals come as raw text (numbers are converted and escapes
// decoded by the constant pool), identifiers as interned name ids.
#pragma once

#include "strtable.h"
#include "wmlgrammar.tab.h"

// Keywords in byte order of their text; the codes follow this order except
// for url, with and while. A reserved word is reported and then passed on as
// an identifier.
#define TAVOK_KEYWORDS(X)                         \
  X("access", AccessKeyword, 303, false)          \
  X("agent", AgentKeyword, 304, false)            \
  X("break", BreakKeyword, 305, false)            \
  X("case", CaseKeyword, 306, true)               \
  X("catch", CatchKeyword, 307, true)             \
  X("class", ClassKeyword, 308, true)             \
  X("const", ConstKeyword, 309, true)             \
  X("continue", ContinueKeyword, 310, false)      \
  X("debugger", DebuggerKeyword, 311, true)       \
  X("default", DefaultKeyword, 312, true)         \
  X("delete", DeleteKeyword, 313, true)           \
  X("div", DivKeyword, 314, false)                \
  X("do", DoKeyword, 315, true)                   \
  X("domain", DomainKeyword, 316, false)          \
  X("else", ElseKeyword, 317, false)              \
  X("enum", EnumKeyword, 318, true)               \
  X("equiv", EquivKeyword, 319, false)            \
  X("export", ExportKeyword, 320, true)           \
  X("extends", ExtendsKeyword, 321, true)         \
  X("extern", ExternKeyword, 322, false)          \
  X("false", FalseKeyword, 323, false)            \
  X("finally", FinallyKeyword, 324, true)         \
  X("for", ForKeyword, 325, false)                \
  X("function", FunctionKeyword, 326, false)      \
  X("header", HeaderKeyword, 327, false)          \
  X("http", HttpKeyword, 328, false)              \
  X("if", IfKeyword, 329, false)                  \
  X("import", ImportKeyword, 330, true)           \
  X("in", InKeyword, 331, true)                   \
  X("invalid", InvalidKeyword, 332, false)        \
  X("isvalid", IsvalidKeyword, 333, false)        \
  X("lib", LibKeyword, 334, true)                 \
  X("meta", MetaKeyword, 335, false)              \
  X("name", NameKeyword, 336, false)              \
  X("new", NewKeyword, 337, true)                 \
  X("null", NullKeyword, 338, true)               \
  X("path", PathKeyword, 339, false)              \
  X("private", PrivateKeyword, 340, true)         \
  X("public", PublicKeyword, 341, false)          \
  X("return", ReturnKeyword, 342, false)          \
  X("sizeof", SizeofKeyword, 343, true)           \
  X("struct", StructKeyword, 344, true)           \
  X("super", SuperKeyword, 345, true)             \
  X("switch", SwitchKeyword, 346, true)           \
  X("this", ThisKeyword, 347, true)               \
  X("throw", ThrowKeyword, 348, true)             \
  X("true", TrueKeyword, 349, false)              \
  X("try", TryKeyword, 350, true)                 \
  X("typeof", TypeofKeyword, 351, false)          \
  X("url", UrlKeyword, 358, false)                \
  X("use", UseKeyword, 352, false)                \
  X("user", UserKeyword, 353, false)              \
  X("var", VarKeyword, 354, false)                \
  X("void", VoidKeyword, 355, true)               \
  X("while", WhileKeyword, 357, false)            \
  X("with", WithKeyword, 356, true)

// The token codes are declared once, with their numbers, in the grammar;
// the parser generator's header carries them to the lexical analyser.
using TokenCode = yytokentype;
inline constexpr TokenCode EndOfInputToken = YYEOF;
inline constexpr TokenCode ParserErrorToken = YYerror;  // never returned here

// IDENTIFIER carries a name id; the literals carry their NUL-terminated text,
// valid until the next literal of the same kind (number, single-quoted
// string, double-quoted string) is read. Other tokens carry nothing: they
// leave the value as it was.
union TokenValue {
  NameId nameId;
  const char *text;
};

// Sets the "C" locale and opens the source for reading in text mode, with
// the line at 1; opening again starts afresh on the new file. On failure
// prints "Fatal Error Unable to open input file" (no line end) and exits
// with status 1.
void openInputFile(const char *inputFileName);

// The next token code, 0 at the end of input; the token value is set.
int yylex();

// The token value and the current line are read inline: the parser reads
// the value after every token, and every statement reads its line.
extern TokenValue lexerTokenValue;
extern int lexerLineNumber;

// The value of the token last returned by yylex.
inline TokenValue currentTokenValue() { return lexerTokenValue; }

// The name given to openInputFile, or null before the input is open.
const char *getInputFileName();

inline int getLineNumber() { return lexerLineNumber; }
// The statement emitter sets the line while it emits code saved at an earlier
// line, then restores it.
void setLineNumber(int line);
