// The verifying loader: reads a compiled unit from a file or a byte range,
// checks everything a virtual machine must be able to trust, and returns
// either the read-only Unit or the first fault, with the byte offset where
// it lies.
//
// Verification covers the header and size, every mb_u_int32, the character
// set, the constant and pragma pools, the function name table, each
// function's header and code (instructions inside the function, jumps on
// instruction boundaries, operands in range and of the right kind, library
// calls with their argument counts) and the operand stack: every path
// reaches an instruction with the same depth, nothing pops below zero, and
// each function's maximum depth is computed.
//
// Beyond the bare layout, a unit is refused when: a function has no code or
// more than 256 variables; its last instruction is not a return or an
// unconditional jump (so no path runs off the end); a scand/scor is not
// followed by a forward tjump, or a jump lands on that tjump (the pair is
// one step); the name table names a function twice, gives two functions one
// name, or holds a name that is not an identifier; a call_url's function
// name is not an identifier. Accepted: character sets 106 and 4, constant
// types 0 to 6, float constants that are NaN or infinite (they load as
// invalid), and library functions this runtime does not know (a warning in
// Unit::warnings; such a call pops nothing and pushes one value).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "unit.h"

namespace tavokrt {

struct LoadError {
  bool hasOffset = false;  // false for a file that cannot be read
  std::uint32_t offset = 0;
  std::string message;
  // "offset 0x1A3: <message>", or the message alone without an offset.
  std::string describe() const;
};

struct LoadOptions {
  // Also the rules every unit tavok writes obeys, beyond what a virtual
  // machine needs: at most 65535 constants, each instruction in its smallest
  // form, no constant twice,
  // integers in their narrowest type, pragmas in the compiler's order
  // (access domain, access path, then user-agent ones), character set UTF-8,
  // strings as type 4 without NUL bytes, finite floats, multi-byte integers
  // without a leading zero group, the name table in rising index order, and
  // no unknown library function (an error, not a warning). The tests load
  // every compiled unit this way.
  bool strict = false;
};

struct LoadResult {
  std::shared_ptr<const Unit> unit;  // null on failure
  LoadError error;
  explicit operator bool() const { return unit != nullptr; }
};

// The unit, or the first fault with its absolute byte offset. Linear in the
// size of the bytes; any byte string gives one or the other.
LoadResult loadUnit(std::span<const std::uint8_t> bytes, const LoadOptions &options = {});
// The same for a file; a file that cannot be read gives an error without an
// offset ("cannot open PATH: reason").
LoadResult loadUnitFile(const std::string &path, const LoadOptions &options = {});

struct DebugLoadResult {
  std::shared_ptr<const DebugInfo> debug;  // null on failure
  LoadError error;
  explicit operator bool() const { return debug != nullptr; }
};

// A debug file checked against its unit: one record per function, variable
// counts and indices as in the unit, line entries on instruction starts.
DebugLoadResult loadDebug(std::span<const std::uint8_t> bytes, const Unit &unit);
DebugLoadResult loadDebugFile(const std::string &path, const Unit &unit);

} // namespace tavokrt
