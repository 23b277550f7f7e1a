#include "wmllex.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int endOfInput = -1;
constexpr int readBlockSize = 2048;

struct LexerState {
  std::FILE *inputFile;
  const char *inputFileName;
  int currentChar;  // byte value 0..255, or endOfInput
  int nextChar;
  int lineNumber;
  int bufferFill;
  int bufferPosition;
  unsigned char readBuffer[readBlockSize];
};

} // namespace

static constinit LexerState lexer{};

// Every byte, 0xFF included, is an ordinary character: only a read that
// delivers nothing ends the input.
static int readCharacter() {
  if (lexer.bufferPosition == lexer.bufferFill) {
    if (!lexer.inputFile)
      return endOfInput;
    lexer.bufferFill = static_cast<int>(std::fread(lexer.readBuffer, 1, readBlockSize, lexer.inputFile));
    lexer.bufferPosition = 0;
    if (lexer.bufferFill == 0)
      return endOfInput;
  }
  return lexer.readBuffer[lexer.bufferPosition++];
}

[[noreturn]] static void failToOpenInput() {
  std::fputs("Fatal Error Unable to open input file", stderr);
  std::exit(1);
}

void openInputFile(const char *inputFileName) {
  std::setlocale(LC_ALL, "C");
  lexer.inputFile = std::fopen(inputFileName, "r");
  if (!lexer.inputFile)
    failToOpenInput();
  lexer.inputFileName = inputFileName;
  lexer.bufferFill = 0;
  lexer.bufferPosition = 0;
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
