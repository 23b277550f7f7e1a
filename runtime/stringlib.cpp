// String: characters, substrings, elements and formatting. Indices and
// lengths count characters (code points), never bytes.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "libsupport.h"

namespace tavokrt {

namespace {

Value textValue(Text text) { return Value::string(std::move(text)); }

// ---------------------------------------------------------------------------
// Elements: a string cut at every occurrence of a one-character separator.
// Every separator separates two elements, so "a;b;" has three and "" one.

std::size_t countElements(const Text &text, char32_t separator) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), separator)) + 1;
}

// The separator is the first character of its argument; an empty one, or an
// invalid argument, gives none.
std::optional<char32_t> separatorArgument(const Value &argument) {
  TextArgument text(argument);
  if (!text || text->empty())
    return std::nullopt;
  return (*text)[0];
}

// The common arguments of the element functions, and the element the index
// names once clamped to the existing ones: text[start, end).
struct ElementCall {
  TextArgument text;
  char32_t separator;
  std::int32_t requestedIndex;
  std::size_t count;  // of elements
  std::size_t index;  // requestedIndex clamped into 0..count-1
  std::size_t start;
  std::size_t end;
  bool isLast() const { return index + 1 == count; }
};

std::optional<ElementCall> readElementCall(const Value &textArg, const Value &indexArg,
                                           const Value &separatorArg) {
  TextArgument text(textArg);
  Value index = integerArgument(indexArg);
  std::optional<char32_t> separator = separatorArgument(separatorArg);
  if (!text || index.isInvalid() || !separator)
    return std::nullopt;
  ElementCall call{.text = std::move(text), .separator = *separator,
                   .requestedIndex = index.asInteger(), .count = 0, .index = 0,
                   .start = 0, .end = 0};
  // One pass: count the separators and keep the bounds of the wanted
  // element, or of the last one when the index lies beyond it.
  const Text &whole = *call.text;
  std::size_t wanted = call.requestedIndex < 0 ? 0 : static_cast<std::size_t>(call.requestedIndex);
  std::size_t separators = 0;
  std::size_t elementStart = 0;
  bool found = false;
  for (std::size_t at = 0; at < whole.size(); ++at) {
    if (whole[at] != call.separator)
      continue;
    if (separators == wanted) {
      call.start = elementStart;
      call.end = at;
      found = true;
    }
    ++separators;
    elementStart = at + 1;
  }
  if (!found) {
    call.start = elementStart;
    call.end = whole.size();
  }
  call.count = separators + 1;
  call.index = std::min(wanted, separators);
  return call;
}

// ---------------------------------------------------------------------------
// format: one specifier %[width][.precision](d|f|s) takes the value; %% is a
// percent sign.

// Widths and precisions above this make the specifier illegal: a format
// string must not be able to ask for gigabytes of blanks.
constexpr std::uint32_t largestFormatNumber = 65535;

struct Specifier {
  std::uint32_t width = 0;
  std::optional<std::uint32_t> precision;  // "." alone gives 0
  char32_t conversion = 0;
};

// Reads decimal digits at `at`; false when the number exceeds the limit.
bool readFormatNumber(const Text &pattern, std::size_t &at, std::uint32_t &number) {
  number = 0;
  for (; at < pattern.size() && pattern[at] >= U'0' && pattern[at] <= U'9'; ++at) {
    number = number * 10 + (pattern[at] - U'0');
    if (number > largestFormatNumber)
      return false;
  }
  return true;
}

// Reads the specifier after a '%' at `at` (which then points past it);
// empty when it is illegal or cut short by the end of the pattern.
std::optional<Specifier> readSpecifier(const Text &pattern, std::size_t &at) {
  Specifier specifier;
  if (!readFormatNumber(pattern, at, specifier.width))
    return std::nullopt;
  if (at < pattern.size() && pattern[at] == U'.') {
    std::uint32_t precision;
    ++at;
    if (!readFormatNumber(pattern, at, precision))
      return std::nullopt;
    specifier.precision = precision;
  }
  if (at == pattern.size())
    return std::nullopt;
  specifier.conversion = pattern[at++];
  if (specifier.conversion != U'd' && specifier.conversion != U'f' && specifier.conversion != U's')
    return std::nullopt;
  return specifier;
}

// d: at least `precision` digits (default 1), zeros on the left; a
// precision of 0 prints the value 0 as no digits at all, as C's printf does.
std::optional<Text> formatInteger(const Value &argument, std::optional<std::uint32_t> precision) {
  Value integer = integerArgument(argument);
  if (integer.isInvalid())
    return std::nullopt;
  std::int64_t value = integer.asInteger();
  std::size_t minimumDigits = precision.value_or(1);
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (value == 0 && minimumDigits == 0)
    digits.clear();
  if (digits.size() < minimumDigits)
    digits.insert(0, minimumDigits - digits.size(), '0');
  return textFromAscii(value < 0 ? "-" + digits : digits);
}

// f: fixed notation with `precision` digits after the point (default 6; 0
// prints no point).
std::optional<Text> formatFloatFixed(const Value &argument,
                                     std::optional<std::uint32_t> precision) {
  Value number = floatArgument(argument);
  if (number.isInvalid())
    return std::nullopt;
  int digits = static_cast<int>(precision.value_or(6));
  // Sign, 39 digits of the largest float, the point, the fraction.
  std::string buffer(48 + static_cast<std::size_t>(digits), '\0');
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                              static_cast<double>(number.asFloat()), std::chars_format::fixed,
                              digits);
  if (result.ec != std::errc())
    return std::nullopt;  // cannot happen with this buffer; stay safe
  buffer.resize(static_cast<std::size_t>(result.ptr - buffer.data()));
  return textFromAscii(buffer);
}

// s: at most `precision` characters of the string.
std::optional<Text> formatString(const Value &argument, std::optional<std::uint32_t> precision) {
  TextArgument text(argument);
  if (!text)
    return std::nullopt;
  return text->substr(0, precision.value_or(text->size()));
}

std::optional<Text> formatValue(const Specifier &specifier, const Value &argument) {
  std::optional<Text> piece;
  switch (specifier.conversion) {
  case U'd': piece = formatInteger(argument, specifier.precision); break;
  case U'f': piece = formatFloatFixed(argument, specifier.precision); break;
  default: piece = formatString(argument, specifier.precision); break;
  }
  if (piece && piece->size() < specifier.width)
    piece->insert(0, specifier.width - piece->size(), U' ');
  return piece;
}

// ---------------------------------------------------------------------------
// The functions, in index order

Value length(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  return text ? integerFromSize(text->size()) : Value::invalid();
}

Value isEmpty(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  return text ? Value::boolean(text->empty()) : Value::invalid();
}

Value charAt(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  Value index = integerArgument(arguments[1]);
  if (!text || index.isInvalid())
    return Value::invalid();
  std::int32_t i = index.asInteger();
  if (i < 0 || static_cast<std::size_t>(i) >= text->size())
    return Value::emptyString();
  return textValue(Text(1, (*text)[static_cast<std::size_t>(i)]));
}

Value subString(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  Value start = integerArgument(arguments[1]);
  Value wanted = integerArgument(arguments[2]);
  if (!text || start.isInvalid() || wanted.isInvalid())
    return Value::invalid();
  // A start below 0 counts from 0; the length is not shortened for it.
  std::int64_t first = std::max<std::int32_t>(start.asInteger(), 0);
  std::int64_t count = wanted.asInteger();
  std::int64_t size = static_cast<std::int64_t>(text->size());
  if (count <= 0 || first >= size)
    return Value::emptyString();
  std::int64_t end = std::min(first + count, size);
  return textValue(text->substr(static_cast<std::size_t>(first),
                                static_cast<std::size_t>(end - first)));
}

Value find(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  TextArgument sub(arguments[1]);
  if (!text || !sub)
    return Value::invalid();
  std::size_t at = text->find(*sub);  // an empty sub is found at 0
  return at == Text::npos ? Value::integer(-1) : integerFromSize(at);
}

// Occurrences of `old` in `text` as replace counts them: left to right,
// never overlapping.
std::size_t countOccurrences(const Text &text, const Text &old) {
  std::size_t count = 0;
  for (std::size_t at = text.find(old); at != Text::npos; at = text.find(old, at + old.size()))
    ++count;
  return count;
}

Value replace(LibraryContext &context, const Value *arguments) {
  TextArgument text(arguments[0]);
  TextArgument old(arguments[1]);
  TextArgument replacement(arguments[2]);
  if (!text || !old || !replacement || old->empty())
    return Value::invalid();  // an empty old string occurs everywhere
  // Each occurrence may grow the text by the replacement's length: the
  // result is measured before it is built.
  std::size_t occurrences = countOccurrences(*text, *old);
  if (occurrences != 0 && replacement->size() > old->size()) {
    std::size_t growth = replacement->size() - old->size();
    std::size_t room = context.maxStringLength > text->size()
                           ? context.maxStringLength - text->size() : 0;
    if (occurrences > room / growth) {
      context.stop = LibraryContext::Stop::Fatal;
      context.fatalMessage = "out of memory: the result would pass " +
                             std::to_string(context.maxStringLength) + " characters";
      return Value::invalid();
    }
  }
  Text result;
  std::size_t from = 0;
  // The search resumes after each replaced occurrence, never inside the
  // replacement.
  for (std::size_t at; (at = text->find(*old, from)) != Text::npos; from = at + old->size()) {
    result.append(*text, from, at - from);
    result += *replacement;
  }
  result.append(*text, from);
  return textValue(std::move(result));
}

Value elements(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  std::optional<char32_t> separator = separatorArgument(arguments[1]);
  if (!text || !separator)
    return Value::invalid();
  return integerFromSize(countElements(*text, *separator));
}

Value elementAt(LibraryContext &, const Value *arguments) {
  std::optional<ElementCall> call = readElementCall(arguments[0], arguments[1], arguments[2]);
  if (!call)
    return Value::invalid();
  return textValue(call->text->substr(call->start, call->end - call->start));
}

// The element goes with the separator after it; the last one, which has
// none, with the separator before it.
Value removeAt(LibraryContext &, const Value *arguments) {
  std::optional<ElementCall> call = readElementCall(arguments[0], arguments[1], arguments[2]);
  if (!call)
    return Value::invalid();
  if (call->count == 1)
    return Value::emptyString();
  Text result = *call->text;
  if (call->isLast())
    result.erase(call->start - 1);
  else
    result.erase(call->start, call->end + 1 - call->start);
  return textValue(std::move(result));
}

Value replaceAt(LibraryContext &, const Value *arguments) {
  TextArgument element(arguments[1]);
  std::optional<ElementCall> call = readElementCall(arguments[0], arguments[2], arguments[3]);
  if (!element || !call)
    return Value::invalid();
  Text result = *call->text;
  result.replace(call->start, call->end - call->start, *element);
  return textValue(std::move(result));
}

// Before element i: the new element and a separator. Past the last
// element: a separator and the new element at the end.
Value insertAt(LibraryContext &, const Value *arguments) {
  TextArgument element(arguments[1]);
  std::optional<ElementCall> call = readElementCall(arguments[0], arguments[2], arguments[3]);
  if (!element || !call)
    return Value::invalid();
  if (call->text->empty())
    return textValue(*element);
  Text result = *call->text;
  if (call->requestedIndex >= 0 && static_cast<std::size_t>(call->requestedIndex) >= call->count) {
    result += call->separator;
    result += *element;
  } else {
    Text inserted = *element;
    inserted += call->separator;
    result.insert(call->start, inserted);
  }
  return textValue(std::move(result));
}

Value squeeze(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  if (!text)
    return Value::invalid();
  Text result;
  for (std::size_t at = 0; at < text->size(); ++at) {
    if (!isLibraryWhiteSpace((*text)[at])) {
      result += (*text)[at];
      continue;
    }
    result += U' ';
    while (at + 1 < text->size() && isLibraryWhiteSpace((*text)[at + 1]))
      ++at;
  }
  return textValue(std::move(result));
}

Value trim(LibraryContext &, const Value *arguments) {
  TextArgument text(arguments[0]);
  if (!text)
    return Value::invalid();
  std::size_t first = 0;
  std::size_t end = text->size();
  while (first < end && isLibraryWhiteSpace((*text)[first]))
    ++first;
  while (end > first && isLibraryWhiteSpace((*text)[end - 1]))
    --end;
  return textValue(text->substr(first, end - first));
}

Value compare(LibraryContext &, const Value *arguments) {
  TextArgument left(arguments[0]);
  TextArgument right(arguments[1]);
  if (!left || !right)
    return Value::invalid();
  int order = left->compare(*right);
  return Value::integer(order < 0 ? -1 : order > 0 ? 1 : 0);
}

Value toString(LibraryContext &, const Value *arguments) {
  if (arguments[0].isInvalid())
    return Value::string(textFromAscii("invalid"));
  return toStringOrInvalid(arguments[0]);
}

// Later specifiers print nothing; an illegal one anywhere makes the whole
// result invalid.
Value format(LibraryContext &, const Value *arguments) {
  TextArgument pattern(arguments[0]);
  const Value &argument = arguments[1];
  if (!pattern || argument.isInvalid())
    return Value::invalid();
  Text result;
  bool argumentUsed = false;
  for (std::size_t at = 0; at < pattern->size();) {
    char32_t c = (*pattern)[at++];
    if (c != U'%') {
      result += c;
      continue;
    }
    if (at < pattern->size() && (*pattern)[at] == U'%') {
      result += U'%';
      ++at;
      continue;
    }
    std::optional<Specifier> specifier = readSpecifier(*pattern, at);
    if (!specifier)
      return Value::invalid();
    if (argumentUsed)
      continue;
    argumentUsed = true;
    std::optional<Text> piece = formatValue(*specifier, argument);
    if (!piece)
      return Value::invalid();
    result += *piece;
  }
  return textValue(std::move(result));
}

constexpr LibraryEntry stringFunctions[] = {
    {"length", 1, length},
    {"isEmpty", 1, isEmpty},
    {"charAt", 2, charAt},
    {"subString", 3, subString},
    {"find", 2, find},
    {"replace", 3, replace},
    {"elements", 2, elements},
    {"elementAt", 3, elementAt},
    {"removeAt", 3, removeAt},
    {"replaceAt", 4, replaceAt},
    {"insertAt", 4, insertAt},
    {"squeeze", 1, squeeze},
    {"trim", 1, trim},
    {"compare", 2, compare},
    {"toString", 1, toString},
    {"format", 2, format},
};

} // namespace

std::span<const LibraryEntry> stringLibrary() { return stringFunctions; }

} // namespace tavokrt
