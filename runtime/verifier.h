// The loader's internal half that deals with code: decoding a function's
// bytes into instructions and proving what the interpreter relies on
// (operands in range, jumps on instruction boundaries, no way off the end of
// the code, consistent operand-stack depths). Only loader.cpp uses it; a
// fault leaves both by throwing LoadFault, which loadUnit turns into its
// LoadError.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader.h"
#include "unit.h"

namespace tavokrt {

// A verification failure: the absolute byte offset in the file and the text.
struct LoadFault {
  std::uint32_t offset;
  std::string message;
};

// printf-style text for a fault message.
std::string formatMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void throwFault(std::uint32_t offset, std::string message);

// A WMLScript identifier: a letter or '_', then letters, digits and '_'.
bool isIdentifier(std::string_view text);
// The text with bytes outside printable ASCII written as \xHH, for messages.
std::string printableText(std::string_view text);

// Splits function.codeSize bytes starting at function.codeOffset of file into
// instructions; each must start with an opcode byte and end inside the code.
void decodeFunctionCode(std::span<const std::uint8_t> file, std::size_t number,
                        Function &function);

// Every check on one decoded function that needs the whole unit (constant
// pool, the other functions' argument counts); fills each jump's target and
// the function's maxStackDepth. Unknown library functions become warnings
// (errors under strict).
void verifyFunctionCode(const Unit &unit, Function &function, const LoadOptions &options,
                        std::vector<LoadWarning> &warnings);

} // namespace tavokrt
