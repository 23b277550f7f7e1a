// Test helper: a value from the literal text formatLiteral writes, so that
// table rows read as WMLScript: 12, -3, 2.5, true, invalid, "a\"b\u0007".
// Written independently of the runtime's own parsers: a number with '.',
// 'e' or 'E' is a float (strtof, then Value::floating), otherwise an
// integer; a string takes \" \\ \n \t \uXXXX and \UXXXXXXXX. A malformed
// literal is a broken test, reported by throwing.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "value.h"

namespace tavokrt::testing {

inline char32_t hexCharacter(std::string_view digits) {
  char32_t code = 0;
  for (char c : digits) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) throw std::invalid_argument("bad hex digit in test literal");
    code = code * 16 + static_cast<char32_t>(digit);
  }
  return code;
}

inline Text stringLiteralText(std::string_view literal) {
  if (literal.size() < 2 || literal.back() != '"') throw std::invalid_argument("unterminated test literal");
  Text text;
  for (std::size_t at = 1; at + 1 < literal.size(); ++at) {
    char c = literal[at];
    if (c != '\\') {
      text.push_back(static_cast<unsigned char>(c));
      continue;
    }
    char escape = literal.at(++at);
    switch (escape) {
    case '"': text.push_back(U'"'); break;
    case '\\': text.push_back(U'\\'); break;
    case 'n': text.push_back(U'\n'); break;
    case 't': text.push_back(U'\t'); break;
    case 'u': text.push_back(hexCharacter(literal.substr(at + 1, 4))); at += 4; break;
    case 'U': text.push_back(hexCharacter(literal.substr(at + 1, 8))); at += 8; break;
    default: throw std::invalid_argument("unknown escape in test literal");
    }
  }
  return text;
}

inline Value valueFromLiteral(std::string_view literal) {
  if (literal == "invalid") return Value::invalid();
  if (literal == "true") return Value::boolean(true);
  if (literal == "false") return Value::boolean(false);
  if (!literal.empty() && literal.front() == '"') return Value::string(stringLiteralText(literal));
  std::string number(literal);
  char *end = nullptr;
  if (number.find_first_of(".eE") != std::string::npos) {
    float value = std::strtof(number.c_str(), &end);
    if (end != number.c_str() + number.size()) throw std::invalid_argument("bad float in test literal");
    return Value::floating(value);
  }
  long long value = std::strtoll(number.c_str(), &end, 10);
  if (number.empty() || end != number.c_str() + number.size() || value < -2147483648LL ||
      value > 2147483647LL)
    throw std::invalid_argument("bad integer in test literal");
  return Value::integer(static_cast<std::int32_t>(value));
}

} // namespace tavokrt::testing
