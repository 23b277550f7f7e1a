// The command line of tavok-run: its options and the WMLScript literals
// that give the called function its arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter.h"
#include "value.h"

namespace tavokrt {

struct RunCommand {
  std::string unitPath;
  std::string functionName;
  std::vector<std::string> arguments;  // as typed; see parseArgumentLiteral
  Budgets budgets;
  std::optional<std::uint64_t> seed;   // none: a seed from the system
  bool trace = false;
  bool stats = false;
  bool help = false;
};

// Options come before UNIT; everything from UNIT on is positional, so "-3"
// is an argument. "--" ends the options. False with a message on misuse.
bool parseRunCommand(int argc, const char *const *argv, RunCommand &command, std::string &error);

// One argument as a WMLScript literal: decimal, hexadecimal (0x1F) or octal
// (017) integers with an optional sign, floats (1.5, 1.5e3, .5), true,
// false, invalid, and strings in double or single quotes with the escapes
// of the language; any other word is a string as it stands. False with a
// message for an integer beyond 32 bits, a float beyond single precision,
// or a quoted string that is not closed or holds a bad escape.
bool parseArgumentLiteral(std::string_view text, Value &value, std::string &error);

// The usage text, ending with a newline.
std::string runUsage();

} // namespace tavokrt
