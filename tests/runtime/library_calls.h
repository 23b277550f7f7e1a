// Library calls written as text for table-driven tests: a row is a call
// such as `subString("Example", 1, 2)` and the expected result as a
// WMLScript literal (`"xa"`, `45`, `45.0`, `invalid`), compared through
// formatLiteral so that 45 and 45.0 differ.
//
// Arguments are literals: integers, floats (with '.' or an exponent),
// "strings" with \" \\ \n \t \r \v \f \uXXXX escapes, true, false, invalid.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "instructions.h"
#include "library.h"
#include "value.h"

namespace tavokrt::testing {

struct CallRow {
  const char *call;      // name(arguments)
  const char *expected;  // a literal
};

class CallParser {
public:
  explicit CallParser(std::string_view text) : text_(text) {}

  // False (with a test failure) on text that is not a call.
  bool parse(std::string &name, std::vector<Value> &arguments) {
    while (std::isalnum(static_cast<unsigned char>(peek())) || peek() == '_')
      name += text_[at_++];
    if (!expect('('))
      return false;
    skipBlanks();
    if (peek() == ')')
      return expect(')') && atEnd();
    for (;;) {
      Value value;
      if (!parseLiteral(value))
        return false;
      arguments.push_back(value);
      skipBlanks();
      if (peek() == ')')
        return expect(')') && atEnd();
      if (!expect(','))
        return false;
    }
  }

private:
  std::string_view text_;
  std::size_t at_ = 0;

  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  void skipBlanks() {
    while (peek() == ' ')
      ++at_;
  }
  bool fail(const char *what) {
    ADD_FAILURE() << "bad test call " << text_ << ": " << what << " at " << at_;
    return false;
  }
  bool expect(char c) {
    skipBlanks();
    if (peek() != c)
      return fail("unexpected character");
    ++at_;
    return true;
  }
  bool atEnd() { return at_ == text_.size() || fail("text after the call"); }
  bool takeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word)
      return false;
    at_ += word.size();
    return true;
  }

  bool parseLiteral(Value &value) {
    skipBlanks();
    if (takeWord("true")) return value = Value::boolean(true), true;
    if (takeWord("false")) return value = Value::boolean(false), true;
    if (takeWord("invalid")) return value = Value::invalid(), true;
    if (peek() == '"')
      return parseString(value);
    return parseNumber(value);
  }

  bool parseNumber(Value &value) {
    std::size_t start = at_;
    bool isFloat = false;
    if (peek() == '-')
      ++at_;
    while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.' || peek() == 'e' ||
           ((peek() == '-' || peek() == '+') && (text_[at_ - 1] == 'e'))) {
      isFloat |= peek() == '.' || peek() == 'e';
      ++at_;
    }
    std::string number(text_.substr(start, at_ - start));
    if (number.empty() || number == "-")
      return fail("not a literal");
    if (isFloat)
      value = Value::floating(std::strtof(number.c_str(), nullptr));
    else
      value = Value::integer(static_cast<std::int32_t>(std::strtoll(number.c_str(), nullptr, 10)));
    return true;
  }

  bool parseString(Value &value) {
    ++at_;  // the opening quote
    Text text;
    while (peek() != '"') {
      if (at_ >= text_.size())
        return fail("unterminated string");
      char c = text_[at_++];
      if (c != '\\') {
        text += static_cast<char32_t>(static_cast<unsigned char>(c));
        continue;
      }
      char escape = text_[at_++];
      switch (escape) {
      case 'n': text += U'\n'; break;
      case 't': text += U'\t'; break;
      case 'r': text += U'\r'; break;
      case 'v': text += U'\v'; break;
      case 'f': text += U'\f'; break;
      case 'u':
        text += static_cast<char32_t>(
            std::strtoul(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16));
        at_ += 4;
        break;
      default: text += static_cast<char32_t>(escape); break;
      }
    }
    ++at_;  // the closing quote
    value = Value::string(std::move(text));
    return true;
  }
};

// Calls the implementation found for `call` in `library`; the argument count
// must match the library table.
inline Value callLibrary(LibraryContext &context, std::uint32_t library, std::string_view call) {
  std::string name;
  std::vector<Value> arguments;
  if (!CallParser(call).parse(name, arguments))
    return Value::invalid();
  for (std::uint32_t function = 0;; ++function) {
    const LibraryFunctionInfo *info = findLibraryFunction(library, function);
    if (!info) {
      ADD_FAILURE() << "no function " << name << " in library " << library;
      return Value::invalid();
    }
    if (info->name != name)
      continue;
    if (info->parameterCount != arguments.size()) {
      ADD_FAILURE() << name << " takes " << int(info->parameterCount) << " arguments";
      return Value::invalid();
    }
    LibraryFunction implementation = findLibraryImplementation(library, function);
    if (!implementation) {
      ADD_FAILURE() << name << " has no implementation";
      return Value::invalid();
    }
    return implementation(context, arguments.data());
  }
}

// Every row in a fresh context: the result must print as the expected literal.
inline void expectCalls(std::uint32_t library, std::span<const CallRow> rows) {
  for (const CallRow &row : rows) {
    SCOPED_TRACE(row.call);
    LibraryContext context;
    EXPECT_EQ(formatLiteral(callLibrary(context, library, row.call)), row.expected);
  }
}

} // namespace tavokrt::testing
