// Float: rounding to integers, powers and roots. Results are computed in
// double from single-precision arguments and rounded once to float; a
// result that is not finite is invalid (Value::floating's rule).
#include <cfloat>
#include <cmath>

#include "libsupport.h"

namespace tavokrt {

namespace {

// Rounds a number argument to an integer with `rounding`; an integer
// argument is already its own result.
template <class Rounding>
Value roundedToInteger(const Value &argument, Rounding rounding) {
  Value number = toNumberForArithmetic(argument);
  if (number.type() != ValueType::Float)
    return number;  // an integer or invalid
  return truncatedToInteger(rounding(static_cast<double>(number.asFloat())));
}

Value integerPart(LibraryContext &, const Value *arguments) {
  return roundedToInteger(arguments[0], [](double x) { return std::trunc(x); });
}

Value floor(LibraryContext &, const Value *arguments) {
  return roundedToInteger(arguments[0], [](double x) { return std::floor(x); });
}

Value ceil(LibraryContext &, const Value *arguments) {
  return roundedToInteger(arguments[0], [](double x) { return std::ceil(x); });
}

// Halves go toward +infinity: 17.5 gives 18, -17.5 gives -17. Adding 0.5
// is exact in double for every float.
Value round(LibraryContext &, const Value *arguments) {
  return roundedToInteger(arguments[0], [](double x) { return std::floor(x + 0.5); });
}

bool isIntegral(double x) { return std::trunc(x) == x; }

Value pow(LibraryContext &, const Value *arguments) {
  Value base = floatArgument(arguments[0]);
  Value exponent = floatArgument(arguments[1]);
  if (base.isInvalid() || exponent.isInvalid())
    return Value::invalid();
  double x = base.asFloat();
  double y = exponent.asFloat();
  if (x == 0 && y < 0)
    return Value::invalid();  // a division by zero
  if (x < 0 && !isIntegral(y))
    return Value::invalid();  // no real result
  return Value::floatingFromDouble(std::pow(x, y));
}

Value sqrt(LibraryContext &, const Value *arguments) {
  Value number = floatArgument(arguments[0]);
  if (number.isInvalid() || number.asFloat() < 0)
    return Value::invalid();
  return Value::floatingFromDouble(std::sqrt(static_cast<double>(number.asFloat())));
}

Value maxFloat(LibraryContext &, const Value *) { return Value::floating(FLT_MAX); }
// The smallest normal float: the machine has no subnormals.
Value minFloat(LibraryContext &, const Value *) { return Value::floating(FLT_MIN); }

constexpr LibraryEntry floatFunctions[] = {
    {"int", 1, integerPart},
    {"floor", 1, floor},
    {"ceil", 1, ceil},
    {"pow", 2, pow},
    {"round", 1, round},
    {"sqrt", 1, sqrt},
    {"maxFloat", 0, maxFloat},
    {"minFloat", 0, minFloat},
};

} // namespace

std::span<const LibraryEntry> floatLibrary() { return floatFunctions; }

} // namespace tavokrt
