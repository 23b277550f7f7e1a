#include "command.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "url.h"

namespace tavokrt {

std::string runUsage() {
  return "usage: tavok-run [options] UNIT FUNCTION [ARG...]\n"
         "  UNIT            a compiled unit, a .wmls source compiled first, or a URL\n"
         "                  that --unit maps to a compiled unit\n"
         "  FUNCTION        an extern function of UNIT\n"
         "  ARG             a WMLScript literal: 12, -3, 1.5e3, true, false, invalid,\n"
         "                  \"text\" or 'text'; any other word is a string\n"
         "options:\n"
         "  --seed N        seed of Lang.random (default: from the system)\n"
         "  --max-steps N   steps to run at most (default 100000000)\n"
         "  --max-depth N   call depth at most (default 1000)\n"
         "  --max-memory N  characters of live strings at most (default 16000000)\n"
         "  --var NAME=VALUE\n"
         "                  a browser variable (repeatable)\n"
         "  --card URL      the current card, which calls FUNCTION\n"
         "                  (default: the current directory as a file: URL)\n"
         "  --load URL=FILE[:TYPE]\n"
         "                  what URL.loadString reads for URL (type default\n"
         "                  text/plain; repeatable)\n"
         "  --unit URL=FILE\n"
         "                  the compiled unit that URL names (repeatable)\n"
         "  --batch         any dialog is a fatal error instead of reading input\n"
         "  --vars          the browser variables after the result, NAME=\"value\"\n"
         "  --trace         each instruction on the standard error stream\n"
         "  --stats         instructions executed and time on the standard error stream\n"
         "  --help          this text\n";
}

static bool parseCount(std::string_view text, std::uint64_t &value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// A content type "x/y": two tokens around one '/'.
static bool looksLikeType(std::string_view text) {
  auto token = [](std::string_view part) {
    if (part.empty()) return false;
    for (char c : part) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view("!#$&^_.+-").find(c) != std::string_view::npos;
      if (!ok) return false;
    }
    return true;
  };
  std::size_t slash = text.find('/');
  return slash != std::string_view::npos && token(text.substr(0, slash)) &&
         token(text.substr(slash + 1));
}

// One of the browser options and its value.
static bool parseBrowserOption(std::string_view name, std::string_view value, RunCommand &command,
                               std::string &error) {
  const std::string option(name);
  if (name == "--var") {
    std::size_t equals = value.find('=');
    if (equals == std::string_view::npos) {
      error = "option --var needs NAME=VALUE, not \"" + std::string(value) + "\"";
      return false;
    }
    std::string variable(value.substr(0, equals));
    if (!isBrowserVariableName(variable)) {
      error = "option --var: bad variable name \"" + variable + "\"";
      return false;
    }
    command.variables[variable] = std::string(value.substr(equals + 1));
    return true;
  }
  if (name == "--card") {
    if (value.empty() || !isValidUrl(value)) {
      error = "option --card: bad URL \"" + std::string(value) + "\"";
      return false;
    }
    command.card = std::string(value);
    return true;
  }
  // --load and --unit: URL=FILE, and for --load an optional :TYPE.
  std::string_view mapping = value, type = "text/plain";
  if (name == "--load") {
    std::size_t colon = mapping.rfind(':');
    if (colon != std::string_view::npos && looksLikeType(mapping.substr(colon + 1))) {
      type = mapping.substr(colon + 1);
      mapping = mapping.substr(0, colon);
    }
  }
  std::size_t equals = mapping.rfind('=');
  if (equals == std::string_view::npos || equals == 0 || equals + 1 == mapping.size()) {
    error = "option " + option + " needs URL=FILE, not \"" + std::string(value) + "\"";
    return false;
  }
  std::string url(mapping.substr(0, equals)), file(mapping.substr(equals + 1));
  std::optional<UrlParts> parts = parseUrl(url);
  if (!parts || (name == "--unit" && !parts->isAbsolute())) {
    error = "option " + option + ": bad URL \"" + url + "\"" +
            (parts ? " (not absolute)" : "");
    return false;
  }
  if (name == "--load")
    command.resources[url] = Browser::Resource{file, std::string(type)};
  else
    command.units[urlWithoutFragment(url)] = file;
  return true;
}

bool parseRunCommand(int argc, const char *const *argv, RunCommand &command, std::string &error) {
  std::vector<std::string_view> positional;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word.size() < 2 || word[0] != '-') break;
    std::string_view name = word, inlineValue;
    bool hasInlineValue = false;
    if (std::size_t equals = word.find('='); equals != std::string_view::npos) {
      name = word.substr(0, equals);
      inlineValue = word.substr(equals + 1);
      hasInlineValue = true;
    }
    if (name == "--trace" || name == "--stats" || name == "--help" || name == "-h" ||
        name == "--batch" || name == "--vars") {
      if (hasInlineValue) {
        error = "option " + std::string(name) + " takes no value";
        return false;
      }
      if (name == "--trace") command.trace = true;
      else if (name == "--stats") command.stats = true;
      else if (name == "--batch") command.batch = true;
      else if (name == "--vars") command.printVariables = true;
      else command.help = true;
      continue;
    }
    if (name == "--var" || name == "--card" || name == "--load" || name == "--unit") {
      std::string_view text = inlineValue;
      if (!hasInlineValue) {
        if (i + 1 >= argc) {
          error = "option " + std::string(name) + " needs a value";
          return false;
        }
        text = argv[++i];
      }
      if (!parseBrowserOption(name, text, command, error)) return false;
      continue;
    }
    if (name != "--seed" && name != "--max-steps" && name != "--max-depth" &&
        name != "--max-memory") {
      error = "unknown option " + std::string(word);
      return false;
    }
    std::string_view text = inlineValue;
    if (!hasInlineValue) {
      if (i + 1 >= argc) {
        error = "option " + std::string(name) + " needs a number";
        return false;
      }
      text = argv[++i];
    }
    std::uint64_t value;
    if (!parseCount(text, value) || (name != "--seed" && value == 0) ||
        (name == "--max-depth" && value > 100'000'000)) {
      error = "option " + std::string(name) + ": bad number \"" + std::string(text) + "\"";
      return false;
    }
    if (name == "--seed") command.seed = value;
    else if (name == "--max-steps") command.budgets.maxSteps = value;
    else if (name == "--max-depth") command.budgets.maxDepth = static_cast<std::uint32_t>(value);
    else command.budgets.maxMemory = static_cast<std::size_t>(value);
  }
  if (command.help) return true;
  for (; i < argc; ++i) positional.push_back(argv[i]);
  if (positional.size() < 2) {
    error = positional.empty() ? "no unit given" : "no function given";
    return false;
  }
  command.unitPath = positional[0];
  command.functionName = positional[1];
  for (std::size_t k = 2; k < positional.size(); ++k) command.arguments.emplace_back(positional[k]);
  return true;
}

// ---------------------------------------------------------------------------
// Literals

static bool isDigit(char c) { return c >= '0' && c <= '9'; }
static int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static void appendUtf8(std::string &out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The inside of a quoted literal, escapes decoded to UTF-8 bytes.
static bool decodeQuoted(std::string_view body, std::string &out, std::string &error) {
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= body.size()) {
      error = "a backslash ends the string";
      return false;
    }
    char e = body[i];
    switch (e) {
    case '"': case '\'': case '/': case '\\': out += e; continue;
    case 'b': out += '\b'; continue;
    case 'f': out += '\f'; continue;
    case 'n': out += '\n'; continue;
    case 'r': out += '\r'; continue;
    case 't': out += '\t'; continue;
    default: break;
    }
    std::uint32_t code = 0;
    if (e >= '0' && e <= '7') {
      std::size_t digits = 0;
      while (digits < 3 && i < body.size() && body[i] >= '0' && body[i] <= '7') {
        code = code * 8 + static_cast<std::uint32_t>(body[i] - '0');
        ++i, ++digits;
      }
      --i;
      if (code > 255) {
        error = "octal escape above 255";
        return false;
      }
    } else if (e == 'x' || e == 'u') {
      std::size_t digits = e == 'x' ? 2 : 4;
      if (i + digits >= body.size()) {
        error = std::string("too few digits after \\") + e;
        return false;
      }
      for (std::size_t k = 1; k <= digits; ++k) {
        int h = hexValue(body[i + k]);
        if (h < 0) {
          error = std::string("bad digit after \\") + e;
          return false;
        }
        code = code * 16 + static_cast<std::uint32_t>(h);
      }
      i += digits;
    } else {
      error = std::string("illegal escape \\") + e;
      return false;
    }
    appendUtf8(out, code);
  }
  return true;
}

// Digits of an integer literal in base 8, 10 or 16 after the sign; false
// when the text is not one.
static bool integerDigits(std::string_view text, int &base, std::string_view &digits) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
    for (char c : digits)
      if (hexValue(c) < 0) return false;
    return true;
  }
  if (text.empty()) return false;
  for (char c : text)
    if (!isDigit(c)) return false;
  if (text.size() > 1 && text[0] == '0') {
    base = 8;
    digits = text.substr(1);
    for (char c : digits)
      if (c > '7') return false;
    return true;
  }
  base = 10;
  digits = text;
  return true;
}

static bool isFloatLiteral(std::string_view text) {
  std::size_t i = 0, whole = 0, fraction = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++whole;
  bool point = i < text.size() && text[i] == '.';
  if (point) {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++fraction;
  }
  if (whole + fraction == 0) return false;
  bool exponent = i < text.size() && (text[i] == 'e' || text[i] == 'E');
  if (exponent) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    if (digits == 0) return false;
  }
  return i == text.size() && (point || exponent);
}

bool parseArgumentLiteral(std::string_view text, Value &value, std::string &error) {
  if (text == "true" || text == "false") {
    value = Value::boolean(text == "true");
    return true;
  }
  if (text == "invalid") {
    value = Value::invalid();
    return true;
  }
  if (!text.empty() && (text[0] == '"' || text[0] == '\'')) {
    std::size_t backslashes = 0;  // before the closing quote: an odd count escapes it
    for (std::size_t k = text.size() - 1; k > 1 && text[k - 1] == '\\'; --k) ++backslashes;
    if (text.size() < 2 || text.back() != text[0] || backslashes % 2 == 1) {
      error = "string " + std::string(text) + " is not closed";
      return false;
    }
    std::string bytes;
    if (!decodeQuoted(text.substr(1, text.size() - 2), bytes, error)) {
      error = "string " + std::string(text) + ": " + error;
      return false;
    }
    value = Value::string(decodeUtf8(bytes));
    return true;
  }
  std::string_view unsigned_ = text;
  bool negative = false;
  if (!unsigned_.empty() && (unsigned_[0] == '-' || unsigned_[0] == '+')) {
    negative = unsigned_[0] == '-';
    unsigned_.remove_prefix(1);
  }
  int base;
  std::string_view digits;
  if (integerDigits(unsigned_, base, digits)) {
    std::uint64_t magnitude = 0;
    for (char c : digits) {
      magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(hexValue(c));
      if (magnitude > 2147483648ULL) break;
    }
    if (magnitude > 2147483647ULL + (negative ? 1 : 0)) {
      error = "integer " + std::string(text) + " is out of range";
      return false;
    }
    std::int64_t signedValue = negative ? -static_cast<std::int64_t>(magnitude)
                                        : static_cast<std::int64_t>(magnitude);
    value = Value::integer(static_cast<std::int32_t>(signedValue));
    return true;
  }
  if (isFloatLiteral(unsigned_)) {
    std::string copy(text);
    errno = 0;
    double parsed = std::strtod(copy.c_str(), nullptr);
    if (std::fabs(parsed) > std::numeric_limits<float>::max()) {
      error = "float " + std::string(text) + " is out of range";
      return false;
    }
    value = Value::floatingFromDouble(parsed);
    return true;
  }
  value = Value::string(decodeUtf8(text));
  return true;
}

} // namespace tavokrt
