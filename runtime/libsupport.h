// What the standard libraries share: each library is a table of its
// functions in index order ({name, parameter count, implementation}), and
// arguments are read through the few helpers below, so that every library
// applies the same argument rules: an invalid argument, or one that does not
// convert, makes the function return invalid without any effect.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "library.h"
#include "value.h"

namespace tavokrt {

struct LibraryEntry {
  std::string_view name;        // as the library table of instructions.h names it
  std::uint8_t parameterCount;  // as that table gives it
  LibraryFunction function;
};

// One table per library, row i being function index i.
std::span<const LibraryEntry> langLibrary();
std::span<const LibraryEntry> floatLibrary();
std::span<const LibraryEntry> stringLibrary();
std::span<const LibraryEntry> urlLibrary();
std::span<const LibraryEntry> browserLibrary();     // WMLBrowser
std::span<const LibraryEntry> dialogsLibrary();     // Dialogs
std::span<const LibraryEntry> extensionLibrary();   // WMLSExtension
std::span<const LibraryEntry> debugLibrary();

// White space of the libraries: TAB, LF, VT, FF, CR and SP.
inline bool isLibraryWhiteSpace(char32_t c) { return c == U' ' || (c >= U'\t' && c <= U'\r'); }

// An integer parameter: the argument converted to a number; a float is
// truncated toward zero as Float.int does. Invalid when it does not convert
// or the float lies outside the integer range.
Value integerArgument(const Value &argument);
// A float parameter: the argument converted to a number, then to a float.
// Invalid when it does not convert.
Value floatArgument(const Value &argument);
// A string parameter: numbers and booleans give their string. False when
// the argument is invalid. A string argument's text is shared, not copied,
// so charAt in a loop over a long string stays cheap.
class TextArgument {
public:
  explicit TextArgument(const Value &argument) : value_(toStringOrInvalid(argument)) {}
  explicit operator bool() const { return !value_.isInvalid(); }
  const Text &operator*() const { return value_.asText(); }
  const Text *operator->() const { return &value_.asText(); }

private:
  Value value_;
};

// Float.int's rule on a double: truncated toward zero, invalid outside the
// integer range (or not a number).
Value truncatedToInteger(double value);

// A count or index of characters as an integer value; text never holds
// more than 2^31 - 1 characters under the machine's memory budget, but the
// count saturates rather than wrap.
Value integerFromSize(std::size_t size);

} // namespace tavokrt
