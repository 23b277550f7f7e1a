// The registry of library implementations, the random generator and the
// argument rules every library shares.
#include "library.h"

#include <cmath>
#include <limits>

#include "libsupport.h"

namespace tavokrt {

// ---------------------------------------------------------------------------
// Random numbers: splitmix64. Small, fast, and the same sequence for the
// same seed on every machine, which --seed and Lang.seed promise.

std::uint64_t RandomGenerator::next() {
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint32_t RandomGenerator::upTo(std::uint32_t limit) {
  std::uint64_t range = std::uint64_t{limit} + 1;
  // 2^64 mod range: drawing below it would favour the small results, so
  // those draws are rejected and x % range is uniform.
  std::uint64_t rejectBelow = (0 - range) % range;
  std::uint64_t x;
  do
    x = next();
  while (x < rejectBelow);
  return static_cast<std::uint32_t>(x % range);
}

// ---------------------------------------------------------------------------
// Argument rules

Value truncatedToInteger(double value) {
  // The range test is false for NaN too.
  double truncated = std::trunc(value);
  if (!(truncated >= -2147483648.0 && truncated <= 2147483647.0))
    return Value::invalid();
  return Value::integer(static_cast<std::int32_t>(truncated));
}

Value integerArgument(const Value &argument) {
  Value number = toNumberForArithmetic(argument);
  if (number.type() == ValueType::Float)
    return truncatedToInteger(number.asFloat());
  return number;  // an integer or invalid
}

Value floatArgument(const Value &argument) {
  Value number = toNumberForArithmetic(argument);
  if (number.isInvalid())
    return number;
  return toFloatOrInvalid(number);
}

Value integerFromSize(std::size_t size) {
  constexpr std::size_t largest = std::numeric_limits<std::int32_t>::max();
  return Value::integer(static_cast<std::int32_t>(size < largest ? size : largest));
}

// ---------------------------------------------------------------------------
// Registry

namespace {

std::span<const LibraryEntry> implementedLibrary(std::uint32_t library) {
  switch (library) {
  case 0: return langLibrary();
  case 1: return floatLibrary();
  case 2: return stringLibrary();
  case 3: return urlLibrary();
  case 4: return browserLibrary();
  case 5: return dialogsLibrary();
  case 65534: return extensionLibrary();
  case 65535: return debugLibrary();
  default: return {};  // no library of that index
  }
}

} // namespace

LibraryFunction findLibraryImplementation(std::uint32_t library, std::uint32_t function) {
  std::span<const LibraryEntry> entries = implementedLibrary(library);
  if (function >= entries.size())
    return nullptr;
  return entries[function].function;
}

} // namespace tavokrt
