// The command line of tavok-run: its options and the WMLScript literals
// that give the called function its arguments.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browser.h"
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

  // The browser around the run.
  std::map<std::string, std::string> variables;  // --var NAME=VALUE; the last one wins
  std::optional<std::string> card;               // --card URL; none: the current directory
  std::map<std::string, Browser::Resource> resources;  // --load URL=FILE[:TYPE]
  std::map<std::string, std::string> units;            // --unit URL=FILE
  bool batch = false;           // --batch: a dialog is a fatal error
  bool printVariables = false;  // --vars
};

// Options come before UNIT; everything from UNIT on is positional, so "-3"
// is an argument. "--" ends the options. False with a message on misuse:
// an unknown option, a bad number, a --var name that is not a variable
// name, a --card or --unit URL that is malformed (a --unit URL must also be
// absolute), a --load or --unit without URL=FILE.
//
// --load and --unit split URL=FILE at the last '=' (a query may hold '=',
// a file name seldom does); --load's FILE:TYPE at the last ':' only when
// what follows looks like a type "x/y", so a FILE may hold ':'.
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
