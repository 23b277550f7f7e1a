// The listing of a verified unit, as `tavok-dis` prints it: the unit header,
// the constant pool with every constant as a WMLScript literal, the pragma
// pool in words, then every function with its code one instruction a line
// (code offset, the instruction's bytes, mnemonic, decoded operands), jump
// targets as labels on lines of their own, and with a debug file the names
// of variables and functions and the source lines between the instructions.
//
// The listing only reads what the verifier has proved, so any unit that
// loads can be listed; the text depends on nothing but its inputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "unit.h"

namespace tavokrt {

struct ListingOptions {
  // Offsets, bytes and mnemonics only, under the unit and function headers:
  // no pools, operands, labels, names or source lines.
  bool raw = false;
};

// What the listing reads. bytes: the file the unit was loaded from, from
// which each instruction's bytes are shown as they stand; debug: the unit's
// debug file, or null.
struct ListingInput {
  const Unit &unit;
  std::span<const std::uint8_t> bytes;
  const DebugInfo *debug = nullptr;
  ListingOptions options{};
};

// The whole listing as one text.
std::string listUnit(const ListingInput &input);

// The same text written to a stream in large pieces as it is made, so that
// the listing of a big unit is never held whole in memory. False when a
// write fails (errno tells why); what was written before stays written.
bool writeListing(const ListingInput &input, std::FILE *stream);

// One constant as a WMLScript literal: integers in decimal, floats as
// formatFloat writes them, strings decoded by their type and the unit's
// character set, double-quoted with escapes.
std::string constantLiteral(const Unit &unit, const Constant &constant);

// One pragma in words: access domain "d", access path "p",
// meta user agent "property" "content" and, with a scheme, "scheme" after them.
std::string pragmaText(const Unit &unit, const Pragma &pragma);

// The label of a jump target at this code offset: L and at least 4 hex digits.
std::string labelName(std::uint32_t codeOffset);

} // namespace tavokrt
